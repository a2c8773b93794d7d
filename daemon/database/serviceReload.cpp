#include "daemon/database/serviceReload.h"

#include <pthread.h>

#include <system_error>
#include <vector>

#include "daemon/base/daemonGlobals.h"
#include "daemon/database/priorityFile.h"
#include "daemon/database/serviceLoader.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/database/servicesReloaded.h"
#include "daemon/base/systemLog.h"
#include "support/connectionOutage.h"
#include "support/exceptions.h"
#include "support/pgSafeThread.h"

namespace kivo {

namespace {

void reportFailure(const std::string& reason) {
  write_log("ERR", "services not reloaded, the old ones stay: " + errorTextOnOneLine(reason));
}

// Every query before anything changes, so that a failure changes nothing.
bool readServices(std::vector<TrapServiceRow>* rows, PgResult* priorities, PgResult* states) {
  try {
    PgResult services(pgSQL->executeRequestWithoutWaiting(trapServiceQuery()));
    *rows = trapServiceRows(services.get());
    priorities->reset(pgSQL->executeRequestWithoutWaiting(priorityQuery()));
    states->reset(pgSQL->executeRequestWithoutWaiting(stateQuery()));
    return true;
  } catch (const DatabaseFailure& e) {
    reportFailure(e.what());
  }
  return false;
}

}  // namespace

bool reloadServices(ServiceStates& serviceStates, FoldWindows* windows, Metrics& metrics) {
  if (die_kivo.load() != 0) return false;
  std::vector<TrapServiceRow> rows;
  PgResult priorities;
  PgResult states;
  if (!readServices(&rows, &priorities, &states)) return false;
  MapTrapService::Services fresh = servicesByAddress(rows);
  MapTrapService::Services before = map_service_trap.exchange(fresh);
  // The services' last states as their rows hold them now.
  serviceStates.replace(states.get());
  servicesReloaded(before, fresh, windows, metrics);
  writePriorityFile(priorities.get());
  write_log("INFO", "services reloaded: " + std::to_string(distinctServices(rows)) + " services");
  return true;
}

ServiceReload::ServiceReload(std::function<void()> reload) : reload_(std::move(reload)) {}

ServiceReload::~ServiceReload() { finish(); }

void ServiceReload::start() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (finished_ || thread_.joinable()) return;
  try {
    thread_ = std::thread(&ServiceReload::run, this);
  } catch (const std::system_error& e) {
    write_log("ERR", std::string("can't start the reload thread: SIGHUP reloads no services: ") +
                         e.what());
  }
}

void ServiceReload::request() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    requested_ = true;
  }
  wake_.notify_one();
}

void ServiceReload::finish() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    finished_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void ServiceReload::run() {
  ::pthread_setname_np(::pthread_self(), "kivo-reload");
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    wake_.wait(hold, [this] { return requested_ || finished_; });
    if (finished_) return;
    requested_ = false;
    hold.unlock();
    reload_();
    hold.lock();
  }
}

}  // namespace kivo
