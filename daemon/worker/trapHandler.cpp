#include "daemon/worker/trapHandler.h"

#include <optional>

#include "daemon/worker/dueAlerts.h"
#include "daemon/worker/errorJournal.h"
#include "daemon/worker/foldWindows.h"
#include "daemon/base/daemonGlobals.h"
#include "daemon/worker/resourceShortage.h"
#include "daemon/base/runSettings.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/intake/spoolLedger.h"
#include "daemon/base/systemLog.h"
#include "daemon/worker/trapLog.h"
#include "daemon/worker/trapParameters.h"
#include "daemon/worker/unknownTraps.h"
#include "support/connectionPool.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/logText.h"
#include "support/metrics.h"
#include "support/pgSafeThread.h"

namespace kivo {

int DaemonActions::runPlugin(service& s) {
  return s.execute(pluginLimits(parts_.settings, &parts_.stop));
}

service::AlertingEnd DaemonActions::runAlerting(service& s, double errorId) {
  service::AlertingEnd end =
      s.executeAlertingSoftware(errorId, alertingLimits(parts_.settings, &parts_.stop));
  parts_.metrics.alertEnded(end == service::kAlertingEnded    ? Metrics::kAlertOk
                            : end == service::kAlertingFailed ? Metrics::kAlertFailed
                                                              : Metrics::kAlertTimedOut);
  return end;
}

void DaemonActions::acknowledge(const service& s, int previous) { AcquitteError(s, previous); }

bool DaemonActions::openRecord(const service& s, int code) { return insertErrorRecord(s, code); }

double DaemonActions::openRecordId(const service& s) { return getHappenError(s); }

std::shared_ptr<void> DaemonActions::holdDatabase() {
  return std::shared_ptr<void>(parts_.pool.lease().release(),
                               [](void* lease) { delete static_cast<ConnectionPool::Lease*>(lease); });
}

namespace {

// The lock of a trap's transaction, with and without its identity.
const char* const kLock = "LockService";
const char* const kLockOnce = "LockServiceOnce";

pgSafeThread& connection() { return currentConnection(*pgSQL); }

}  // namespace

// BEGIN, the lock and the run's store travel together: one round trip. The
// identity goes in first, so a trap stored before is known before its
// service's row is locked for nothing; the run's store is rolled back then.
TrapActions::Begun DaemonActions::beginTrap(const service& s, const std::string& spoolFile) {
  const std::string id = intToString(s.GetService_id());
  const bool identified = parts_.schema.trapDone && !parts_.host.empty() && !spoolFile.empty();
  const std::vector<pgSafeThread::PipelineStep> steps = {
      {"", "BEGIN", {}},
      identified ? pgSafeThread::PipelineStep{kLockOnce, "", {parts_.host, spoolFile, id}}
                 : pgSafeThread::PipelineStep{kLock, "", {id}},
      storeRunStep(s)};
  std::vector<PgResult> answers = connection().executePipeline(steps);
  pgSafeThread::throwIfFailed(steps[0], answers[0].get());
  pgSafeThread::throwIfFailed(steps[1], answers[1].get());
  const PGresult* locked = answers[1].get();
  Begun begun;
  if (std::string(PQgetvalue(locked, 0, 0)) == "0") {
    begun.storedBefore = true;
    return begun;
  }
  // A service never run has no state: it counts as OK.
  if (!PQgetisnull(locked, 0, 1)) {
    begun.previous = static_cast<int>(stringToLong(PQgetvalue(locked, 0, 1)));
  }
  begun.runStored = storedRun(s, answers[2].get());
  return begun;
}

void prepareTrapStatements(pgSafeThread& db, const SchemaFeatures& schema) {
  db.prepareRequest(kLock,
                    "SELECT 1, (SELECT service_previous_state FROM kivo_services WHERE "
                    "service_id = $1::int FOR UPDATE)",
                    1);
  if (!schema.trapDone) return;
  db.prepareRequest(kLockOnce,
                    "WITH done AS (INSERT INTO kivo_trap_done (done_host, done_file) VALUES ($1, "
                    "$2) ON CONFLICT DO NOTHING RETURNING 1) SELECT (SELECT count(*) FROM done), "
                    "(SELECT service_previous_state FROM kivo_services WHERE service_id = $3::int "
                    "FOR UPDATE)",
                    3);
}

long long DaemonActions::alertDue(const service& s, double errorId, int code) {
  if (!parts_.schema.alertDue || parts_.host.empty()) return 0;
  PgResult result(connection().executeParamRequest(
      "INSERT INTO kivo_alert_due (due_host, due_service_id, due_happen_id, due_state) "
      "VALUES ($1, $2::int, $3::int, $4::int) RETURNING due_id",
      {parts_.host, intToString(s.GetService_id()), intToString(static_cast<int>(errorId)),
       intToString(code)}));
  const long long dueId = std::stoll(PQgetvalue(result.get(), 0, 0));
  // Not run by the due alerts' pass while this trap's alert is coming.
  if (parts_.dueAlerts != nullptr) parts_.dueAlerts->reserve(dueId);
  return dueId;
}

bool DaemonActions::commitTrap() {
  pgSafeThread& db = connection();
  if (db.transactionFailed()) {
    PgResult rolledBack(db.executeRequest("ROLLBACK"));
    return false;
  }
  PgResult committed(db.executeRequest("COMMIT"));
  return true;
}

void DaemonActions::rollbackTrap() {
  // On a connection made again the server has nothing to roll back, and
  // says so with a warning only.
  PgResult rolledBack(connection().executeRequest("ROLLBACK"));
}

bool DaemonActions::pauseBeforeAttempt(int attempt) {
  return connection().pauseBeforeAttempt(attempt);
}

void DaemonActions::alertDone(long long dueId) {
  std::unique_ptr<ConnectionPool::Lease> lease = parts_.pool.lease();
  try {
    PgResult done(connection().executeParamRequest(
        "UPDATE kivo_alert_due SET due_done_time = now() WHERE due_id = $1::bigint",
        {std::to_string(dueId)}));
  } catch (const PostgresqlException& e) {
    // It runs again at the next start: at least once.
    write_log("ERR", "due alert " + std::to_string(dueId) + " not marked done: " + e.what());
  }
}

// A copy, taken in one step: a reload swapping the services meanwhile
// leaves the trap with the service it found.
bool TrapHandler::findService(const snmpTrap& trap, service& s) {
  std::string address = trap.getHostAddr();
  std::optional<service> found = map_service_trap.findServiceByOID(address, trap.getOid());
  if (!found) {
    write_log("INFO", "there isn't passive service for OID" +
                          escapeControls(trap.getOid() + " on this host " + trap.getHost() + "(" +
                                         address + ")"));
    parts_.metrics.trapDone(Metrics::kNoService);
    if (parts_.unknown != nullptr) parts_.unknown->seen(trap);
    return false;
  }
  s = *found;
  return true;
}

void TrapHandler::finish(const snmpTrap& trap, bool done) {
  parts_.ledger.finish(trap.origin(), done);
}

void TrapHandler::handle(const snmpTrap& record) {
  try {
    if (record.windowClose()) {
      closeWindow(record);
    } else {
      arrive(record);
    }
  } catch (const std::exception& e) {
    // Whatever one trap does, the worker lives on for the next.
    write_log("ERR", "trap from " + escapeControls(record.getHostAddr()) + " failed: " + e.what());
    finish(record, true);
  }
}

void TrapHandler::arrive(const snmpTrap& trap) {
  if (log_enable == 1) write_trap_log(trap);
  service s;
  if (!findService(trap, s)) {
    finish(trap, true);
    return;
  }
  if (parts_.windows == nullptr || !parts_.windows->enabled()) {
    finish(trap, run(trap, s));
    return;
  }
  FoldWindows::Verdict verdict = parts_.windows->arrive(s.GetService_id(), s.Getname(), trap);
  if (!verdict.closedLine.empty()) write_log("INFO", verdict.closedLine);
  if (verdict.runFirst) runReleased(*verdict.runFirst);
  if (verdict.dropped) {
    parts_.metrics.trapDone(Metrics::kFolded);
    finish(*verdict.dropped, true);
  }
  switch (verdict.decision) {
    case FoldWindows::kRun:
      finish(trap, run(trap, s));
      break;
    case FoldWindows::kFold:
      parts_.metrics.trapDone(Metrics::kFolded);
      finish(trap, true);
      break;
    case FoldWindows::kHold:
      // Its file stays: it runs when the window closes, or after a restart.
      break;
  }
}

void TrapHandler::closeWindow(const snmpTrap& marker) {
  if (parts_.windows == nullptr) return;
  FoldWindows::Verdict verdict = parts_.windows->close(marker.windowServiceId());
  if (!verdict.closedLine.empty()) write_log("INFO", verdict.closedLine);
  if (verdict.runFirst) runReleased(*verdict.runFirst);
}

void TrapHandler::runReleased(const snmpTrap& trap) {
  try {
    service s;
    bool done = !findService(trap, s) || run(trap, s);
    finish(trap, done);
  } catch (const std::exception& e) {
    write_log("ERR", "trap from " + escapeControls(trap.getHostAddr()) + " failed: " + e.what());
    finish(trap, true);
  }
}

template <class Start>
auto TrapHandler::startWhenPossible(const std::string& what, Start start) -> decltype(start()) {
  for (;;) {
    try {
      auto result = start();
      parts_.shortage.succeeded();
      return result;
    } catch (const ResourceShortageException& e) {
      parts_.shortage.failed(what, e.what());
      if (!parts_.shortage.pause(parts_.stop)) {
        throw StopException(what + " not started: the daemon is stopping");
      }
    }
  }
}

bool TrapHandler::run(const snmpTrap& trap, service& s) {
  fillServiceParameters(s, trap);
  write_log("EXEC", escapeControls(s.Getpath() + " " + s.Getparameter()));
  int code;
  const Metrics::Clock::time_point started = Metrics::Clock::now();
  try {
    code = startWhenPossible("the plug-in of service " + s.Getname(),
                             [&] { return actions_.runPlugin(s); });
  } catch (const serviceException& e) {
    write_log("ERR", "ServiceException " + escapeControls(trap.getOid() + " " + trap.getHostAddr()) +
                         e.what());
    parts_.metrics.pluginFailed(started);
    return true;
  } catch (const StopException& e) {
    // Nothing of the run is kept: the next start handles the trap again.
    write_log("ERR", e.what());
    return false;
  }
  parts_.metrics.pluginEnded(code, s.GetTimedOut(), started);
  if (s.GetTimedOut()) {
    write_log("ERR", "plug-in of service " + s.Getname() + " timed out after " +
                         intToString(parts_.settings.pluginTimeout) + " s: " +
                         escapeControls(s.Getpath() + " " + s.Getparameter()));
  }
  try {
    const Stored stored = store(trap, s, code);
    if (stored.before) {
      write_log("INFO", "trap " + escapeControls(trap.origin().name) +
                            " was stored before: not stored again");
      return true;
    }
    parts_.metrics.trapDone(Metrics::kRun);
    if (stored.alert) alert(s, *stored.alert);
  } catch (const StopException& e) {
    write_log("ERR", e.what());
    return false;
  } catch (const DatabaseUnavailableException& e) {
    // Its spool file stays: the next start handles the trap again.
    write_log("ERR", "trap from " + escapeControls(trap.getHostAddr()) +
                         " left for the next start: " + e.what());
    return false;
  }
  return true;
}

TrapHandler::Stored TrapHandler::store(const snmpTrap& trap, service& s, int code) {
  for (int attempt = 0;; ++attempt) {
    // One connection for the trap's transaction, free again before its
    // alerting program runs.
    std::shared_ptr<void> connection = actions_.holdDatabase();
    try {
      return storeOnce(trap, s, code);
    } catch (const TransactionInterrupted& e) {
      actions_.rollbackTrap();
      write_log("ERR", "trap from " + escapeControls(trap.getHostAddr()) +
                           ": its transaction runs again: " + e.what());
    } catch (const PostgresqlException&) {
      // A statement refused: the connection goes back to the pool with no
      // transaction open.
      actions_.rollbackTrap();
      throw;
    }
    connection.reset();
    if (!actions_.pauseBeforeAttempt(attempt)) {
      throw DatabaseUnavailableException("the daemon is stopping");
    }
  }
}

TrapHandler::Stored TrapHandler::storeOnce(const snmpTrap& trap, service& s, int code) {
  const TrapActions::Begun begun = actions_.beginTrap(s, trap.origin().name);
  if (begun.storedBefore) {
    actions_.rollbackTrap();
    return Stored{true, std::nullopt};
  }
  // A failed store spoils the transaction: the trap is rolled back and
  // done, reported once by the journal.
  if (!begun.runStored) {
    actions_.rollbackTrap();
    return Stored{};
  }
  parts_.states.ran(s.GetService_id(), code);
  write_log("EXEC", "RETURN exec " + intToString(code));
  std::optional<Alert> wanted;
  if (code != begun.previous) wanted = recordStateChange(s, begun.previous, code);
  if (wanted) wanted->dueId = actions_.alertDue(s, wanted->errorId, code);
  try {
    if (!actions_.commitTrap()) {
      if (wanted) forgetDue(wanted->dueId);
      return Stored{};
    }
  } catch (const TransactionInterrupted&) {
    // A commit cut off may have gone through: then the next try finds the
    // trap stored and runs no alert, and the alert due is left to a pass
    // over the due alerts, which is asked for.
    if (wanted && wanted->dueId != 0) {
      forgetDue(wanted->dueId);
      if (parts_.dueAlerts != nullptr) parts_.dueAlerts->wanted();
    }
    throw;
  }
  return Stored{false, wanted};
}

void TrapHandler::forgetDue(long long dueId) {
  if (dueId != 0 && parts_.dueAlerts != nullptr) parts_.dueAlerts->release(dueId);
}

std::optional<TrapHandler::Alert> TrapHandler::recordStateChange(service& s, int previous,
                                                                 int code) {
  switch (code) {
    case 0:
      if (!getErrorId(previous).empty()) actions_.acknowledge(s, previous);
      return std::nullopt;
    case 1:
      return openRecord(s, previous, 1, s.GetAlertingWarning(), "Execute alerting software");
    case 2:
      return openRecord(s, previous, 2, s.GetAlertingCritical(), "Execute alerting software");
    case 3:
      // This message ends with a blank.
      return openRecord(s, previous, 3, s.GetAlertingUnknown(), "Execute alerting software ");
    default:
      return std::nullopt;
  }
}

// A warning, critical or unknown run: the previous record is acknowledged,
// one of this kind opened, and the alerting program run when wanted, with
// the record it names.
std::optional<TrapHandler::Alert> TrapHandler::openRecord(service& s, int previous, int code,
                                                         bool wanted, const char* message) {
  actions_.acknowledge(s, previous);
  bool written = actions_.openRecord(s, code);
  if (!wanted) return std::nullopt;
  if (!written) {
    write_log("ERR", "alerting program of service " + s.Getname() +
                         " not run: its error record could not be written");
    return std::nullopt;
  }
  // The service's traps run one at a time, so its newest open record is the
  // one just opened.
  double errorId = actions_.openRecordId(s);
  if (errorId < 0) {
    write_log("ERR", "alerting program of service " + s.Getname() +
                         " not run: no open error record of the service was found");
    return std::nullopt;
  }
  return Alert{errorId, message, code, 0};
}

// StopException, when the stop cuts the program short, goes to run(): the
// alert stays due.
void TrapHandler::alert(service& s, const Alert& wanted) {
  write_log("INFO", wanted.message);
  service::AlertingEnd end =
      startWhenPossible("the alerting program of service " + s.Getname(),
                        [&] { return actions_.runAlerting(s, wanted.errorId); });
  if (end == service::kAlertingTimedOut) {
    write_log("ERR", "alerting program of service " + s.Getname() + " timed out after " +
                         intToString(parts_.settings.alertingTimeout) + " s: " +
                         s.GetAlertingSoftware());
  }
  if (wanted.dueId != 0) {
    // Whatever its end, the alert has run.
    actions_.alertDone(wanted.dueId);
    forgetDue(wanted.dueId);
  }
}

void TrapHandler::runDueAlert(service& s, double errorId, int code, long long dueId) {
  // The unknown state's message ends with a blank, as in recordStateChange.
  alert(s, Alert{errorId, code == 3 ? "Execute alerting software " : "Execute alerting software",
                 code, dueId});
}

}  // namespace kivo
