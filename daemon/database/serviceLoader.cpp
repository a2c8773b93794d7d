#include "daemon/database/serviceLoader.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <set>

#include "daemon/base/daemonGlobals.h"
#include "support/convertTo.h"
#include "support/pgSafeThread.h"

using kivo::PgResult;
using kivo::deviceAddressKey;

namespace {

// Columns of trapServiceQuery().
enum Column {
  kPluginId = 0,
  kServiceName,
  kPluginPath,
  kServiceParameter,
  kDeviceId,
  kDeviceIpAddr,
  kServiceId,
  kPluginTrapOid,
  kProgramPath,
  kResponseUnknown,
  kResponseWarning,
  kResponseCritical,
  kResponseParameter,
};

// The service of one row, filled in the column order above (the address
// aside); a NULL reads as "".
service serviceOfRow(const PGresult* result, int row) {
  auto text = [&](Column column) { return std::string(PQgetvalue(result, row, column)); };
  service s;
  s.SetPlugin_id(stringToInt(text(kPluginId)));
  s.Setname(text(kServiceName));
  s.Setpath(text(kPluginPath));
  s.Setparameter(text(kServiceParameter));
  s.SetDevice_id(stringToInt(text(kDeviceId)));
  s.SetService_id(stringToInt(text(kServiceId)));
  s.SetOID(text(kPluginTrapOid));
  s.SetAlertingSoftware(text(kProgramPath));
  if (text(kResponseUnknown) == "t") s.SetAlertingUnknown(true);
  if (text(kResponseWarning) == "t") s.SetAlertingWarning(true);
  if (text(kResponseCritical) == "t") s.SetAlertingCritical(true);
  s.SetAlertingParameter(text(kResponseParameter));
  return s;
}

}  // namespace

std::string kivo::trapServiceQuery() {
  return std::string(
             "SELECT plugin_id,service_name, plugin_path,service_parameter,device_id,"
             "device_ip_addr,service_id,plugin_trap_oid, program_path,response_unknown,"
             "response_warning,response_critical,response_parameter") +
         " FROM kivo_plugins JOIN kivo_services ON plugin_id = service_plugin_id" +
         " JOIN kivo_device ON device_id = service_device_id" +
         " LEFT JOIN kivo_service_response_program ON service_id = response_service_id" +
         " LEFT JOIN kivo_program ON response_program_id = program_id" +
         " WHERE plugin_type='trap'";
}

std::string kivo::deviceAddressKey(const std::string& ipAddr) {
  in_addr address;
  address.s_addr = htonl(static_cast<uint32_t>(stringToLongInt(ipAddr) & 0xFFFFFFFFul));
  // inet_ntop rather than inet_ntoa: same text, no shared static buffer.
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &address, text, sizeof text);
}

void LoadTrapService(std::string query) {
  PgResult result(pgSQL->executeRequest(query));
  for (const kivo::TrapServiceRow& row : kivo::trapServiceRows(result.get())) {
    map_service_trap.addTrapService(deviceAddressKey(row.address), row.s);
  }
}

namespace kivo {

std::vector<TrapServiceRow> trapServiceRows(const PGresult* result) {
  std::vector<TrapServiceRow> rows;
  for (int row = 0; row < PQntuples(result); ++row) {
    TrapServiceRow entry;
    entry.address = PQgetvalue(result, row, kDeviceIpAddr);
    entry.addressNull = PQgetisnull(result, row, kDeviceIpAddr) != 0;
    entry.s = serviceOfRow(result, row);
    rows.push_back(std::move(entry));
  }
  return rows;
}

std::vector<TrapServiceRow> readTrapServiceRows(const std::string& conninfo) {
  pgSafeThread database(conninfo);
  PgResult result(database.executeRequestWithoutWaiting(trapServiceQuery()));
  return trapServiceRows(result.get());
}

MapTrapService::Services servicesByAddress(const std::vector<TrapServiceRow>& rows) {
  MapTrapService::Services services;
  for (const TrapServiceRow& row : rows) services[deviceAddressKey(row.address)].push_back(row.s);
  return services;
}

size_t distinctServices(const std::vector<TrapServiceRow>& rows) {
  std::set<int> ids;
  for (const TrapServiceRow& row : rows) ids.insert(row.s.GetService_id());
  return ids.size();
}

}  // namespace kivo
