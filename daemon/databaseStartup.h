// The database block of the daemon's start-up: connection, the journal's
// prepared statements and the error kinds. Runs once, on the main thread,
// before any worker exists.
#ifndef KIVO_DAEMON_DATABASESTARTUP_H
#define KIVO_DAEMON_DATABASESTARTUP_H

#include <string>

class iniConfig;

// "host=" PGSQL_host " port=" PGSQL_port " dbname=" PGSQL_db " user="
// PGSQL_username " password=" PGSQL_pwd, from the "POSTGRESQL" section, read
// in that order; the values as the reader returns them, the port as text.
std::string databaseConnectionString(iniConfig& config);

// Writes INFO "Connection database....", connects pgSQL on
// databaseConnectionString(config), writes INFO "Connection database
// sucessful. Encoding: " and the client encoding, prepares the journal
// statements and loads map_error. The first PostgresqlException goes to the
// caller: pgSQL stays null when the connection failed.
void startDatabase(iniConfig& config);

#endif
