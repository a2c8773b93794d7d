#include "daemon/worker/dueAlerts.h"

#include <chrono>
#include <vector>

#include "daemon/base/daemonGlobals.h"
#include "daemon/base/systemLog.h"
#include "daemon/worker/trapHandler.h"
#include "support/connectionPool.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/pgSafeThread.h"

namespace kivo {

namespace {

constexpr std::chrono::hours kPruneEvery{1};

struct Due {
  long long id;
  int serviceId;
  double happenId;
  int state;
};

// The service of that id, wherever its device is.
std::optional<service> serviceById(int id) {
  for (const auto& device : map_service_trap.content()) {
    for (const service& s : device.second) {
      if (s.GetService_id() == id) return s;
    }
  }
  return std::nullopt;
}

void tell(Episode::Line line, const std::string& what, const std::string& why) {
  if (line.kind == Episode::Line::kBegins) write_log("ERR", what + " failed: " + why);
  if (line.kind == Episode::Line::kEnds) {
    write_log("INFO", what + " succeeded again after " + longToString(line.repeats) +
                          " more failures");
  }
}

}  // namespace

void DueAlerts::reserve(long long dueId) {
  std::lock_guard<std::mutex> hold(mutex_);
  inFlight_.insert(dueId);
}

void DueAlerts::release(long long dueId) {
  std::lock_guard<std::mutex> hold(mutex_);
  inFlight_.erase(dueId);
}

void DueAlerts::wanted() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    wanted_ = true;
  }
  wake_.notify_one();
}

void DueAlerts::start(const WorkerParts& parts, int retentionDays) {
  parts_.emplace(parts);
  retentionDays_ = retentionDays;
  thread_ = std::thread([this] { run(); });
}

void DueAlerts::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void DueAlerts::run() {
  auto nextPrune = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> hold(mutex_);
  while (!stopping_) {
    const bool passDue = wanted_;
    const bool pruneDue = std::chrono::steady_clock::now() >= nextPrune;
    wanted_ = false;
    if (passDue || pruneDue) {
      hold.unlock();
      if (pruneDue) {
        prune();
        nextPrune = std::chrono::steady_clock::now() + kPruneEvery;
      }
      if (passDue) pass();
      hold.lock();
      continue;
    }
    wake_.wait_until(hold, nextPrune);
  }
}

bool DueAlerts::stillDue(long long dueId) {
  try {
    std::unique_ptr<ConnectionPool::Lease> lease = parts_->pool.lease();
    PgResult rows(currentConnection(*pgSQL).executeParamRequest(
        "SELECT 1 FROM kivo_alert_due WHERE due_id = $1::bigint AND due_done_time IS NULL",
        {std::to_string(dueId)}));
    return PQntuples(rows.get()) == 1;
  } catch (const DatabaseFailure& e) {
    // The next reconnection or start makes another pass.
    tell(passFailures_.failed(), "the pass over the due alerts", e.what());
    return false;
  }
}

// Oldest first, each with the lines of a normal alert.
void DueAlerts::pass() {
  if (!parts_->schema.alertDue || parts_->host.empty()) return;
  std::vector<Due> due;
  try {
    std::unique_ptr<ConnectionPool::Lease> lease = parts_->pool.lease();
    PgResult rows(currentConnection(*pgSQL).executeParamRequest(
        "SELECT due_id, due_service_id, due_happen_id, due_state FROM kivo_alert_due "
        "WHERE due_host = $1 AND due_done_time IS NULL ORDER BY due_id",
        {parts_->host}));
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
      due.push_back(Due{std::stoll(PQgetvalue(rows.get(), row, 0)),
                        static_cast<int>(stringToLong(PQgetvalue(rows.get(), row, 1))),
                        stringToDouble(PQgetvalue(rows.get(), row, 2)),
                        static_cast<int>(stringToLong(PQgetvalue(rows.get(), row, 3)))});
    }
    tell(passFailures_.succeeded(), "the pass over the due alerts", "");
  } catch (const DatabaseFailure& e) {
    // The next reconnection or start makes another pass.
    tell(passFailures_.failed(), "the pass over the due alerts", e.what());
    return;
  }
  DaemonActions actions(*parts_);
  TrapHandler handler(actions, *parts_);
  for (const Due& alert : due) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopping_) return;
      if (!inFlight_.insert(alert.id).second) continue;
    }
    // The rows were read before this alert was reserved: a worker may have
    // run it and marked it done since. Reserved now, it is looked at afresh.
    if (!stillDue(alert.id)) {
      release(alert.id);
      continue;
    }
    std::optional<service> s = serviceById(alert.serviceId);
    try {
      if (s) {
        handler.runDueAlert(*s, alert.happenId, alert.state, alert.id);
      } else {
        write_log("INFO", "due alert " + std::to_string(alert.id) + " of service " +
                              intToString(alert.serviceId) + " not run: the service is gone");
        actions.alertDone(alert.id);
        release(alert.id);
      }
    } catch (const std::exception& e) {
      // The stop cut it short: it stays due for the next start.
      write_log("ERR", e.what());
      release(alert.id);
      return;
    }
  }
}

void DueAlerts::prune() {
  if (retentionDays_ <= 0) return;
  const std::vector<std::string> days{intToString(retentionDays_)};
  try {
    std::unique_ptr<ConnectionPool::Lease> lease = parts_->pool.lease();
    pgSafeThread& db = currentConnection(*pgSQL);
    if (parts_->schema.trapDone) {
      PgResult done(db.executeParamRequest(
          "DELETE FROM kivo_trap_done WHERE done_time < now() - $1::int * interval '1 day'",
          days));
    }
    if (parts_->schema.alertDue) {
      PgResult ran(db.executeParamRequest(
          "DELETE FROM kivo_alert_due WHERE due_done_time < now() - $1::int * interval '1 day'",
          days));
    }
    tell(pruneFailures_.succeeded(), "pruning the stored traps", "");
  } catch (const DatabaseFailure& e) {
    tell(pruneFailures_.failed(), "pruning the stored traps", e.what());
  }
}

}  // namespace kivo
