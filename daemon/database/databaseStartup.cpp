#include "daemon/database/databaseStartup.h"

#include <stdlib.h>

#include <algorithm>

#include "daemon/worker/errorJournal.h"
#include "daemon/base/daemonGlobals.h"
#include "daemon/base/runSettings.h"
#include "daemon/base/settingsReader.h"
#include "daemon/base/systemLog.h"
#include "support/connectionPool.h"
#include "support/iniConfig.h"
#include "support/pgSafeThread.h"

namespace kivo {

std::string databaseConnectionString(iniConfig& config) {
  std::string host = config.getKey("POSTGRESQL", "PGSQL_host");
  std::string port = config.getKey("POSTGRESQL", "PGSQL_port");
  std::string dbname = config.getKey("POSTGRESQL", "PGSQL_db");
  std::string user = config.getKey("POSTGRESQL", "PGSQL_username");
  std::string password = config.getKey("POSTGRESQL", "PGSQL_pwd");
  // Further libpq parameters go before the password, whose value may hold
  // anything, so that the string still ends with it.
  std::string options = config.getKey("POSTGRESQL", "PGSQL_options");
  if (!options.empty()) user += " " + options;
  return pgConnectionString(host, port, dbname, user, password);
}

ConnectionOutage::Policy reconnectPolicy() {
  ConnectionOutage::Policy policy;
  const char* limit = ::getenv("KIVO_TEST_RECONNECT_MAX_MS");
  if (limit == nullptr || *limit == '\0') return policy;
  long milliseconds = ::strtol(limit, nullptr, 10);
  if (milliseconds <= 0) return policy;
  policy.maxDelay = std::chrono::milliseconds(milliseconds);
  policy.firstDelay = std::min(policy.firstDelay, policy.maxDelay);
  return policy;
}

int databaseConnections(kivo::SettingsReader& reader) {
  long count = reader.count("POSTGRESQL", "PGSQL_connections", 1);
  if (count < 1) return 1;
  return count > kMostConnections ? kMostConnections : static_cast<int>(count);
}

void startDatabase(iniConfig& config, const StopNotice& stop, const pgSafeThread::Events& events,
                   ConnectionPool& pool) {
  std::string conninfo = databaseConnectionString(config);
  write_log("INFO", "Connection database....");
  pgSQL.reset(new pgSafeThread(conninfo));
  pgSQL->setOutageReport(
      [](const std::string& level, const std::string& message) { write_log(level, message); });
  pgSQL->setReconnectPolicy(reconnectPolicy());
  kivo::SettingsReader reader(config);
  long slowSeconds = reader.count("POSTGRESQL", "PGSQL_slow_statement", 10);
  int connections = databaseConnections(reader);
  for (const std::string& finding : reader.findings()) write_log("ERR", finding);
  pgSQL->setSlowStatementReport(std::chrono::seconds(slowSeconds));
  pgSQL->setStopNotice(&stop);
  pgSQL->setEvents(events);
  write_log("INFO", "Connection database sucessful. Encoding: " + pgSQL->getClientEncoding());
  prepareJournalStatements(*pgSQL);
  // The others like the first, its statements prepared on each.
  pool.grow(*pgSQL, connections);
  loadErrorKinds(*pgSQL);
}

}  // namespace kivo
