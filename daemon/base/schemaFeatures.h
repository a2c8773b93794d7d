// Which of the objects that the daemon adds to the monitoring database
// (db/upgrade.sql) the database has: a plain value, found at the start
// (daemon/database/schemaUpgrade.h), kept by the Daemon and handed to the
// parts that need one of them, which do without what is missing.
#ifndef KIVO_DAEMON_BASE_SCHEMAFEATURES_H
#define KIVO_DAEMON_BASE_SCHEMAFEATURES_H

namespace kivo {

struct SchemaFeatures {
  bool trapDone = false;  // kivo_trap_done: each trap stored once
  bool alertDue = false;  // kivo_alert_due: every alert that was due runs
  bool unknown = false;   // kivo_trap_unknown: the traps no service takes
  bool notify = false;    // the triggers that announce changed services

  bool complete() const { return trapDone && alertDue && unknown && notify; }
};

}  // namespace kivo

#endif
