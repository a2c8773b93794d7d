#include "daemon/worker/trapWorker.h"

#include <pthread.h>

#include <system_error>

#include "daemon/worker/foldWindows.h"
#include "daemon/base/daemonGlobals.h"
#include "daemon/base/runSettings.h"
#include "daemon/intake/serviceGate.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/base/systemLog.h"
#include "daemon/worker/trapHandler.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/metrics.h"
#include "support/pgSafeThread.h"

using kivo::fold_windows;
using kivo::run_settings;
using kivo::service_gate;
using kivo::stop_notice;

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

}  // namespace

void* thread_treat_trap(void*) {
  // Named, so that ps -L and top show how many workers run.
  ::pthread_setname_np(::pthread_self(), "kivo-worker");
  kivo::CountedWorker counted(kivo::metrics());
  kivo::DaemonActions actions;
  kivo::TrapHandler handler(actions, kivo::service_states, fold_windows.get());
  snmpTrap trap;
  while (die_kivo.load() == 0 && databaseUsable() && takeTrap(trap)) {
    kivo::BusyWorker busy(kivo::metrics());
    handler.handle(trap);
    // The service's next trap may go now.
    service_gate.done(kivo::ServiceGate::keyOf(trap));
  }
  return nullptr;
}

int kivo::startWorkers(int count) {
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

void kivo::signalWorkersToEnd() {
  stop_notice.begin(std::chrono::seconds(run_settings.stopGrace));
  fifo_trap.lock();
  // Under the queue's lock: main clears pgSQL only after its own call here.
  if (die_kivo.exchange(1) == 0 && pgSQL != nullptr) pgSQL->interruptWaits();
  fifo_trap.unlock();
  fifo_trap.broadcast();
}

void kivo::joinWorkers() {
  kivo::signalWorkersToEnd();
  std::lock_guard<std::mutex> hold(mutex_vec_thread);
  for (thread_kivo& worker : vec_thread) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  vec_thread.clear();
}
