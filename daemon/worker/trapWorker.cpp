#include "daemon/worker/trapWorker.h"

#include <pthread.h>

#include <system_error>

#include "daemon/base/daemonGlobals.h"
#include "daemon/intake/serviceGate.h"
#include "daemon/base/systemLog.h"
#include "daemon/worker/trapHandler.h"
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

}  // namespace

void* thread_treat_trap(void*) {
  // Named, so that ps -L and top show how many workers run.
  ::pthread_setname_np(::pthread_self(), "kivo-worker");
  const kivo::WorkerParts& parts = *kivo::workerParts();
  kivo::CountedWorker counted(parts.metrics);
  kivo::DaemonActions actions(parts);
  kivo::TrapHandler handler(actions, parts);
  snmpTrap trap;
  while (die_kivo.load() == 0 && databaseUsable() && takeTrap(trap)) {
    kivo::BusyWorker busy(parts.metrics);
    handler.handle(trap);
    // The service's next trap may go now.
    parts.gate.done(kivo::ServiceGate::keyOf(trap));
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

void kivo::joinWorkers() {
  std::lock_guard<std::mutex> hold(mutex_vec_thread);
  for (thread_kivo& worker : vec_thread) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  vec_thread.clear();
}
