// What the workers work with besides the globals of the daemon: references
// to objects that the daemon owns for its run (kivo::Daemon) and tests make
// for theirs. Each object says itself how threads may use it; the owner
// keeps them all alive until the last worker has been joined.
#ifndef KIVO_DAEMON_WORKER_WORKERPARTS_H
#define KIVO_DAEMON_WORKER_WORKERPARTS_H

#include <string>

#include "daemon/base/schemaFeatures.h"

namespace kivo {

class ConnectionPool;
class DueAlerts;
class ErrorRepeats;
class FoldWindows;
class Metrics;
class ResourceShortage;
class ServiceGate;
class ServiceStates;
class SpoolLedger;
class StopNotice;
class UnknownTraps;
struct RunSettings;

struct WorkerParts {
  const RunSettings& settings;
  const StopNotice& stop;
  Metrics& metrics;
  ServiceStates& states;
  FoldWindows* windows;  // null: nothing is folded
  ResourceShortage& shortage;
  // The error journal's failures that last, told once per statement.
  ErrorRepeats& journalRepeats;
  SpoolLedger& ledger;
  ServiceGate& gate;
  ConnectionPool& pool;
  UnknownTraps* unknown;  // null: traps without a service are only told
  // What the database has of the objects the daemon adds; a worker does
  // without what is missing: without kivo_trap_done a trap may be stored
  // twice after a crash, without kivo_alert_due an alert cut short by a
  // crash is lost.
  SchemaFeatures schema;
  // This host's name, which tells its traps and due alerts from those of
  // the other hosts on the database; empty: traps have no identity.
  std::string host;
  // The due alerts being run by this process; null: none are tracked.
  DueAlerts* dueAlerts = nullptr;
};

// The parts in use by this process's workers, or null when none are.
//
// thread_treat_trap, whose argument carries nothing, and the free functions
// it calls (write_trap_log and the error journal's) take no parts, so they
// reach them here, and only they do: everything else is handed its parts.
const WorkerParts* workerParts();

// Makes a copy of parts those of workerParts() for the holder's life. The
// daemon holds one from before the first worker starts until the last one
// has been joined; tests of the free functions above hold their own. One
// holder at a time.
class WorkerPartsInUse {
 public:
  explicit WorkerPartsInUse(const WorkerParts& parts);
  ~WorkerPartsInUse();
  WorkerPartsInUse(const WorkerPartsInUse&) = delete;
  WorkerPartsInUse& operator=(const WorkerPartsInUse&) = delete;

 private:
  const WorkerParts parts_;
};

}  // namespace kivo

#endif
