// The database block of the daemon's start-up: connection, the journal's
// prepared statements and the error kinds. Runs once, on the main thread,
// before any worker exists.
#ifndef KIVO_DAEMON_DATABASE_DATABASESTARTUP_H
#define KIVO_DAEMON_DATABASE_DATABASESTARTUP_H

#include <string>

#include "support/connectionOutage.h"
#include "support/pgSafeThread.h"

class iniConfig;

namespace kivo {

class ConnectionPool;
class SettingsReader;
class StopNotice;

// The most connections that PGSQL_connections may ask for.
const int kMostConnections = 64;

// PGSQL_connections: 1 when missing, below 1 or no number; at most
// kMostConnections.
int databaseConnections(kivo::SettingsReader& reader);

// "host=" PGSQL_host " port=" PGSQL_port " dbname=" PGSQL_db " user="
// PGSQL_username " password=" PGSQL_pwd, from the "POSTGRESQL" section, read
// in that order; the values as the reader returns them, the port as text.
// A non-empty PGSQL_options comes with one blank before it right before
// " password=".
std::string databaseConnectionString(iniConfig& config);

// The reconnection back-off: the default one, or for tests with the longest
// delay cut to KIVO_TEST_RECONNECT_MAX_MS milliseconds.
ConnectionOutage::Policy reconnectPolicy();

// Writes INFO "Connection database....", connects pgSQL on
// databaseConnectionString(config), writes INFO "Connection database
// sucessful. Encoding: " and the client encoding, sends the connection's
// outage lines to the system log, prepares the journal statements, makes
// the further connections of PGSQL_connections into pool and loads
// map_error. Every connection's statements are cancelled at stop's deadline
// and its events go to events. The first PostgresqlException goes to the
// caller: pgSQL stays null when the connection failed.
void startDatabase(iniConfig& config, const StopNotice& stop, const pgSafeThread::Events& events,
                   ConnectionPool& pool);

}  // namespace kivo

#endif
