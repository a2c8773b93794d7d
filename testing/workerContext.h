// What a daemon hands its workers, made for a test: every part a worker
// uses besides the globals, fresh, with the run settings' defaults. The gate
// feeds fifo_trap, as the daemon's does; stop says the stop for workers
// started with parts().
#ifndef KIVO_TESTING_WORKERCONTEXT_H
#define KIVO_TESTING_WORKERCONTEXT_H

#include "daemon/base/daemonGlobals.h"
#include "daemon/base/daemonStop.h"
#include "daemon/base/runSettings.h"
#include "daemon/intake/intakeWakeup.h"
#include "daemon/intake/serviceGate.h"
#include "daemon/intake/spoolLedger.h"
#include "daemon/worker/resourceShortage.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/worker/workerParts.h"
#include "support/connectionPool.h"
#include "support/errorRepeats.h"
#include "support/metrics.h"

namespace kivo {

struct WorkerContext {
  // The parts, with states (the context's own when null) and windows.
  WorkerParts parts(ServiceStates* serviceStates = nullptr, FoldWindows* windows = nullptr) {
    return WorkerParts{settings, stop.notice(), metrics,
                       serviceStates != nullptr ? *serviceStates : states,
                       windows, shortage, repeats, ledger, gate, pool, nullptr, schema, "",
                       nullptr};
  }

  RunSettings settings;
  Stop stop;
  Metrics metrics;
  ServiceStates states;
  ResourceShortage shortage;
  ErrorRepeats repeats;
  IntakeWakeup wakeup{die_kivo};
  SpoolLedger ledger{wakeup, metrics, 1000};
  ServiceGate gate{fifo_trap};
  ConnectionPool pool;
  SchemaFeatures schema{true, true, true, true};
};

}  // namespace kivo

#endif
