// One run of the trap daemon, from start-up to the stop.
//
// The object owns what the run's parts share besides the daemon's globals:
// the settings, what the database has of the objects the daemon adds
// (SchemaFeatures), the stop, the metrics, the services' last states and fold
// windows, the trackers of lasting failures, the intake's wakeup, the spool
// ledger, the service gate, the connection pool and the traps without a
// service. It hands each part only
// what that part uses, as constructor arguments or WorkerParts, and keeps
// everything alive until the last worker has been joined.
//
// run() is called once, on the main thread. The signal thread, the workers
// and the other threads of the run only use what they were handed.
#ifndef KIVO_DAEMON_DAEMON_H
#define KIVO_DAEMON_DAEMON_H

#include <memory>
#include <optional>

#include "daemon/base/daemonGlobals.h"
#include "daemon/base/schemaFeatures.h"
#include "daemon/base/settings.h"
#include "daemon/base/daemonStop.h"
#include "daemon/intake/intakeWakeup.h"
#include "daemon/intake/serviceGate.h"
#include "daemon/intake/spoolLedger.h"
#include "daemon/worker/dueAlerts.h"
#include "daemon/worker/foldWindows.h"
#include "daemon/worker/resourceShortage.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/worker/unknownTraps.h"
#include "daemon/worker/workerParts.h"
#include "support/connectionPool.h"
#include "support/errorRepeats.h"
#include "support/metrics.h"
#include "support/periodicThread.h"

class iniConfig;

namespace kivo {

class ServiceListener;
class ServiceReload;
class SpoolLock;
class SystemLog;

class Daemon {
 public:
  Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // The whole run. Returns the process's exit status: 0 after a stop on
  // SIGTERM or SIGINT, 1 after a stop caused by a failure.
  int run();

 private:
  // The settings into the daemon's globals.
  void readSettings(iniConfig& config);
  void writeStartupLines(const SystemLog& systemLog);
  // The trap log and the connection.
  void startLogAndDatabase();
  void startUnknownTraps();
  void startServicesAndWorkers();
  // Runs passes until the stop. False when another daemon turned out to
  // hold the spool directory.
  bool runIntakeLoop(SpoolLock& lock);
  void stopWorkers();
  void stopDaemon(ServiceReload& serviceReload, ServiceListener& serviceListener);

  Settings settings_;
  // What the database has of the objects the daemon adds, from the start on.
  SchemaFeatures schema_;
  Stop stop_;
  Metrics metrics_;
  ServiceStates states_;
  ResourceShortage shortage_;
  ErrorRepeats journalRepeats_;
  IntakeWakeup wakeup_{die_kivo};
  SpoolLedger ledger_{wakeup_, metrics_, 1000};
  // Between the intake and fifo_trap: one trap of a service at a time.
  ServiceGate gate_{fifo_trap};
  // pgSQL and the further connections of PGSQL_connections, leased by the
  // workers one trap at a time.
  ConnectionPool pool_;
  // Made with the settings before the workers, gone after them.
  std::unique_ptr<FoldWindows> windows_;
  // Made before the workers; its counts go to the database every
  // unknown_flush seconds on unknownFlush_'s thread, and last after the
  // workers, on the main thread.
  std::unique_ptr<UnknownTraps> unknown_;
  std::unique_ptr<PeriodicThread> unknownFlush_;
  std::optional<WorkerPartsInUse> workerParts_;
  // Started with the workers, ended after them.
  DueAlerts dueAlerts_;
};

}  // namespace kivo

#endif
