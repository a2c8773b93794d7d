#include "daemon/database/schemaUpgrade.h"

#include "daemon/base/systemLog.h"
#include "daemon/database/upgradeScript.h"
#include "support/connectionOutage.h"
#include "support/exceptions.h"
#include "support/pgSafeThread.h"

namespace kivo {

namespace {

// The notices are complete with the function and the five triggers that
// call it.
const char* const kCatalogQuery =
    "SELECT to_regclass('kivo_trap_done') IS NOT NULL,"
    " to_regclass('kivo_alert_due') IS NOT NULL,"
    " to_regclass('kivo_trap_unknown') IS NOT NULL,"
    " (SELECT count(DISTINCT tgname) FROM pg_trigger"
    "   WHERE tgfoid = to_regprocedure('kivo_services_changed()')"
    "   AND tgname IN ('kivo_plugins_changed', 'kivo_device_changed', 'kivo_services_changed',"
    "                  'kivo_program_changed', 'kivo_service_response_program_changed')) = 5";

bool isTrue(const PGresult* result, int column) {
  return PQgetvalue(result, 0, column)[0] == 't';
}

}  // namespace

SchemaFeatures findSchemaFeatures(pgSafeThread& database) {
  PgResult result(database.executeRequestWithoutWaiting(kCatalogQuery));
  SchemaFeatures features;
  features.trapDone = isTrue(result.get(), 0);
  features.alertDue = isTrue(result.get(), 1);
  features.unknown = isTrue(result.get(), 2);
  features.notify = isTrue(result.get(), 3);
  return features;
}

std::string missingObjects(const SchemaFeatures& features) {
  std::string text;
  auto add = [&text](bool present, const char* name) {
    if (present) return;
    if (!text.empty()) text += ", ";
    text += name;
  };
  add(features.trapDone, "kivo_trap_done");
  add(features.alertDue, "kivo_alert_due");
  add(features.unknown, "kivo_trap_unknown");
  add(features.notify, "the kivo_services_changed triggers");
  return text;
}

std::string missingObjectsText(const SchemaFeatures& features) {
  return "database lacks " + missingObjects(features) +
         ": run /usr/share/kivo/upgrade.sql as the database's owner, then grants.sql;"
         " running without what needs them";
}

SchemaFeatures completeSchema(pgSafeThread& database) {
  SchemaFeatures before = findSchemaFeatures(database);
  if (before.complete()) return before;
  try {
    // One simple query of several statements is one transaction: all or
    // nothing. The objects that exist already would each give a notice;
    // the setting may outlast the transaction, harmlessly: no notice is
    // wanted on this connection.
    PgResult done(database.executeRequest("SET client_min_messages = warning;\n" +
                                          std::string(kUpgradeScript)));
    write_log("INFO", "database upgraded: added " + missingObjects(before));
    return findSchemaFeatures(database);
  } catch (const DatabaseFailure&) {
    // Permission denied, mostly: what to do is the same for any cause.
  }
  write_log("ERR", missingObjectsText(before));
  return before;
}

}  // namespace kivo
