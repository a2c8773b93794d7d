#include "daemon/databaseStartup.h"

#include "daemon/errorJournal.h"
#include "daemon/kivoTrapd.h"
#include "support/iniConfig.h"
#include "support/pgSafeThread.h"

std::string databaseConnectionString(iniConfig& config) {
  std::string host = config.getKey("POSTGRESQL", "PGSQL_host");
  std::string port = config.getKey("POSTGRESQL", "PGSQL_port");
  std::string dbname = config.getKey("POSTGRESQL", "PGSQL_db");
  std::string user = config.getKey("POSTGRESQL", "PGSQL_username");
  std::string password = config.getKey("POSTGRESQL", "PGSQL_pwd");
  return pgConnectionString(host, port, dbname, user, password);
}

void startDatabase(iniConfig& config) {
  std::string conninfo = databaseConnectionString(config);
  write_log("INFO", "Connection database....");
  pgSQL.reset(new pgSafeThread(conninfo));
  write_log("INFO", "Connection database sucessful. Encoding: " + pgSQL->getClientEncoding());
  prepareJournalStatements(*pgSQL);
  loadErrorKinds(*pgSQL);
}
