#include "daemon/database/databaseStartup.h"

#include <stdlib.h>

#include <algorithm>

#include "daemon/database/schemaUpgrade.h"
#include "daemon/worker/errorJournal.h"
#include "daemon/worker/trapHandler.h"
#include "daemon/base/daemonGlobals.h"
#include "daemon/base/runSettings.h"
#include "daemon/base/settings.h"
#include "daemon/base/systemLog.h"
#include "support/connectionPool.h"
#include "support/pgSafeThread.h"

namespace kivo {

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

SchemaFeatures startDatabase(const DatabaseSettings& settings, const StopNotice& stop,
                             const pgSafeThread::Events& events, ConnectionPool& pool) {
  write_log("INFO", "Connection database....");
  pgSQL.reset(new pgSafeThread(settings.connectionString()));
  pgSQL->setOutageReport(
      [](const std::string& level, const std::string& message) { write_log(level, message); });
  pgSQL->setReconnectPolicy(reconnectPolicy());
  pgSQL->setSlowStatementReport(std::chrono::seconds(settings.slowStatementSeconds));
  pgSQL->setStopNotice(&stop);
  pgSQL->setEvents(events);
  write_log("INFO", "Connection database sucessful. Encoding: " + pgSQL->getClientEncoding());
  prepareJournalStatements(*pgSQL);
  // Before the trap's statements, which need what it adds.
  const SchemaFeatures schema = completeSchema(*pgSQL);
  prepareTrapStatements(*pgSQL, schema);
  // The others like the first, its statements prepared on each.
  pool.grow(*pgSQL, settings.connections);
  loadErrorKinds(*pgSQL);
  return schema;
}

}  // namespace kivo
