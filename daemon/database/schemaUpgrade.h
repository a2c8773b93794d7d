// The objects that the daemon adds to the monitoring database
// (db/upgrade.sql): which of them the database has, and their making at
// the start. A database made before them lacks them; the daemon then runs
// the script's statements itself when its role may, and otherwise runs
// without them. Stateless functions.
#ifndef KIVO_DAEMON_DATABASE_SCHEMAUPGRADE_H
#define KIVO_DAEMON_DATABASE_SCHEMAUPGRADE_H

#include <string>

#include "daemon/base/schemaFeatures.h"

class pgSafeThread;

namespace kivo {

// What database has now, by one catalog query that does not wait for an
// unreachable server. Throws DatabaseFailure.
SchemaFeatures findSchemaFeatures(pgSafeThread& database);

// The missing objects, comma-separated ("kivo_trap_done, kivo_alert_due");
// "" when complete.
std::string missingObjects(const SchemaFeatures& features);

// "database lacks " the missing objects, and what to run: the line the
// start writes and --check reports.
std::string missingObjectsText(const SchemaFeatures& features);

// At the start, on the main thread: finds what database has; when something
// is missing runs the upgrade script's statements in one transaction (INFO
// "database upgraded: added " the objects), or, when that fails, writes
// missingObjectsText as one ERR line. Returns what the database has after.
// A failure of the catalog query itself goes to the caller.
SchemaFeatures completeSchema(pgSafeThread& database);

}  // namespace kivo

#endif
