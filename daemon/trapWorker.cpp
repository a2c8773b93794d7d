#include "daemon/trapWorker.h"

#include <pthread.h>

#include <system_error>

#include "daemon/errorJournal.h"
#include "daemon/kivoTrapd.h"
#include "daemon/runSettings.h"
#include "daemon/spoolLedger.h"
#include "daemon/trapLog.h"
#include "daemon/trapParameters.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/metrics.h"
#include "support/pgSafeThread.h"

namespace {

// While the database is unreachable a new trap could only wait for it: it
// stays queued, its file in the spool. False when the stop came meanwhile.
bool databaseUsable() { return pgSQL == nullptr || pgSQL->waitUntilConnected(); }

// Waits for a trap; false when the worker is to end.
bool takeTrap(snmpTrap& trap) {
  for (;;) {
    fifo_trap.waitNotEmptyOrDie(&die_kivo);
    if (!fifo_trap.empty()) {
      try {
        trap = fifo_trap.pop();
        return true;
      } catch (const EmptyQueueException&) {
        // Another worker took the last one first.
      }
    }
    if (die_kivo.load() != 0) return false;
  }
}

// StopException, when the stop cuts the program short, goes to treatTrap.
void alert(service& s, const char* message) {
  double errorId = getHappenError(s);
  write_log("INFO", message);
  if (!s.executeAlertingSoftware(errorId, alertingLimits())) {
    write_log("ERR", "alerting program of service " + s.Getname() + " timed out after " +
                         intToString(run_settings.alertingTimeout) + " s: " +
                         s.GetAlertingSoftware());
  }
}

// A warning, critical or unknown run: the previous record is acknowledged,
// one of this kind opened, and the alerting program run when wanted.
void openRecord(service& s, int previous, int code, bool wanted, const char* message) {
  AcquitteError(s, previous);
  InsertError(s, code);
  if (wanted) alert(s, message);
}

// Stores the run in the service's row. A failure here must not cost the
// trap its error record and alert, so it is reported and the trap goes on.
void storeRun(const service& s) {
  try {
    updateService(s);
  } catch (const PostgresqlException& e) {
    write_log("ERR", "UpdateState failed for service " + intToString(s.GetService_id()) + ": " +
                         e.what());
  }
}

}  // namespace

void recordStateChange(service& s, int previous, int code) {
  switch (code) {
    case 0:
      if (!getErrorId(previous).empty()) AcquitteError(s, previous);
      break;
    case 1:
      openRecord(s, previous, 1, s.GetAlertingWarning(), "Execute alerting software");
      break;
    case 2:
      openRecord(s, previous, 2, s.GetAlertingCritical(), "Execute alerting software");
      break;
    case 3:
      // This message ends with a blank.
      openRecord(s, previous, 3, s.GetAlertingUnknown(), "Execute alerting software ");
      break;
    default:
      break;
  }
}

namespace {

// The plug-in's run and everything after it. False when the stop cut the
// trap short: a program still running at the end of the stop's grace, or
// the database work while the server is unreachable.
bool runAndRecord(const snmpTrap& trap, service& s) {
  write_log("EXEC", s.Getpath() + " " + s.Getparameter());
  int previous = s.GetReturnCode();
  int code;
  const kivo::Metrics::Clock::time_point started = kivo::Metrics::Clock::now();
  try {
    code = s.execute(pluginLimits());
  } catch (const serviceException& e) {
    write_log("ERR", "ServiceException " + trap.getOid() + " " + trap.getHostAddr() + e.what());
    kivo::metrics().pluginFailed(started);
    return true;
  } catch (const StopException& e) {
    // Nothing of the run is kept: the next start handles the trap again.
    write_log("ERR", e.what());
    return false;
  }
  kivo::metrics().pluginEnded(code, s.GetTimedOut(), started);
  if (s.GetTimedOut()) {
    write_log("ERR", "plug-in of service " + s.Getname() + " timed out after " +
                         intToString(run_settings.pluginTimeout) + " s: " + s.Getpath() + " " +
                         s.Getparameter());
  }
  try {
    storeRun(s);
    write_log("EXEC", "RETURN exec " + intToString(code));
    if (code != previous) recordStateChange(s, previous, code);
  } catch (const StopException& e) {
    write_log("ERR", e.what());
    return false;
  } catch (const DatabaseUnavailableException& e) {
    // Its spool file stays: the next start handles the trap again.
    write_log("ERR", "trap from " + trap.getHostAddr() + " left for the next start: " + e.what());
    return false;
  }
  kivo::metrics().trapDone(kivo::Metrics::kRun);
  return true;
}

}  // namespace

bool treatTrap(const snmpTrap& trap) {
  if (log_enable == 1) write_trap_log(trap);
  std::string address = trap.getHostAddr();
  int position = map_service_trap.searchServiceByOID(address, trap.getOid());
  if (position == -1) {
    write_log("INFO", "there isn't passive service for OID" + trap.getOid() + " on this host " +
                          trap.getHost() + "(" + address + ")");
    kivo::metrics().trapDone(kivo::Metrics::kNoService);
    return true;
  }
  service s = map_service_trap.getServiceByPosition(address, position);
  s.Setparameter(buildParameters(s.Getparameter(), trap, s));
  return runAndRecord(trap, s);
}

void* thread_treat_trap(void*) {
  // Named, so that ps -L and top show how many workers run.
  ::pthread_setname_np(::pthread_self(), "kivo-worker");
  kivo::CountedWorker counted(kivo::metrics());
  snmpTrap trap;
  while (die_kivo.load() == 0 && databaseUsable() && takeTrap(trap)) {
    kivo::BusyWorker busy(kivo::metrics());
    bool done = true;
    try {
      done = treatTrap(trap);
    } catch (const std::exception& e) {
      // Whatever one trap does, the worker lives on for the next.
      write_log("ERR", "trap from " + trap.getHostAddr() + " failed: " + e.what());
    }
    // Its spool file goes only now that the trap is done.
    spool_ledger.finish(trap.origin(), done);
  }
  return nullptr;
}

int startWorkers(int count) {
  std::lock_guard<std::mutex> hold(mutex_vec_thread);
  int failed = 0;
  std::string reason;
  for (int i = 0; i < count; ++i) {
    thread_kivo record;
    record.status = 0;
    try {
      record.thread = std::thread(thread_treat_trap, nullptr);
    } catch (const std::system_error& e) {
      if (failed++ == 0) reason = e.what();
      continue;
    }
    vec_thread.push_back(std::move(record));
  }
  int running = static_cast<int>(vec_thread.size());
  if (failed > 0) {
    write_log("ERR", "kivo can't start " + intToString(failed) + " worker threads: " + reason);
    write_log("INFO", intToString(running) + " worker threads running");
  }
  return running;
}

void signalWorkersToEnd() {
  stop_notice.begin(std::chrono::seconds(run_settings.stopGrace));
  fifo_trap.lock();
  // Under the queue's lock: main clears pgSQL only after its own call here.
  if (die_kivo.exchange(1) == 0 && pgSQL != nullptr) pgSQL->interruptWaits();
  fifo_trap.unlock();
  fifo_trap.broadcast();
}

void joinWorkers() {
  signalWorkersToEnd();
  std::lock_guard<std::mutex> hold(mutex_vec_thread);
  for (thread_kivo& worker : vec_thread) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  vec_thread.clear();
}
