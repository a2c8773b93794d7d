// The database block of the daemon's start-up: connection, the schema's
// missing objects, the journal's and the trap's prepared statements, the
// pool and the error kinds. Runs once, on the main thread,
// before any worker exists.
#ifndef KIVO_DAEMON_DATABASE_DATABASESTARTUP_H
#define KIVO_DAEMON_DATABASE_DATABASESTARTUP_H

#include <string>

#include "daemon/base/schemaFeatures.h"
#include "support/connectionOutage.h"
#include "support/pgSafeThread.h"

namespace kivo {

struct DatabaseSettings;
class ConnectionPool;
class StopNotice;

// The reconnection back-off: the default one, or for tests with the longest
// delay cut to KIVO_TEST_RECONNECT_MAX_MS milliseconds.
ConnectionOutage::Policy reconnectPolicy();

// Writes INFO "Connection database....", connects pgSQL on
// the settings' connection string, writes INFO "Connection database
// sucessful. Encoding: " and the client encoding, sends the connection's
// outage lines to the system log, completes the schema (completeSchema),
// prepares the journal's and the trap's statements, makes the further
// connections of PGSQL_connections into pool and loads map_error. Every
// connection's statements are cancelled at stop's deadline and its events
// go to events. Returns what the schema has. The first DatabaseFailure goes
// to the caller: pgSQL stays null when the connection failed.
SchemaFeatures startDatabase(const DatabaseSettings& settings, const StopNotice& stop,
                             const pgSafeThread::Events& events, ConnectionPool& pool);

}  // namespace kivo

#endif
