// Loading of the trap services from the database: into map_service_trap at
// start-up, on the main thread, before the workers start; as rows for a
// reload and for the checks, which build their own maps from them.
#ifndef KIVO_DAEMON_DATABASE_SERVICELOADER_H
#define KIVO_DAEMON_DATABASE_SERVICELOADER_H

#include <libpq-fe.h>

#include <string>
#include <vector>

#include "services/MapTrapService.h"
#include "services/service.h"

namespace kivo {

// The query of every service whose plug-in has the type 'trap', with its
// device and, through two left joins, one row per linked alerting program
// (or one row with empty program columns when it has none).
std::string trapServiceQuery();

}  // namespace kivo

// Runs query (trapServiceQuery()) on pgSQL and adds one service per row to
// map_service_trap, under the dotted-decimal address of the row's device,
// in row order. A failed query's PostgresqlException goes to the caller, the
// map unchanged.
void LoadTrapService(std::string query);

namespace kivo {

// The map key of a device_ip_addr text: its low 32 bits, the most
// significant byte first, as dotted decimal ("167838211" is "10.1.2.3"); text
// that holds no number, NULL's empty text included, gives "0.0.0.0".
std::string deviceAddressKey(const std::string& ipAddr);

}  // namespace kivo

namespace kivo {

// One row of trapServiceQuery(): the service as the daemon loads it, and its
// device's address as stored.
struct TrapServiceRow {
  std::string address;  // device_ip_addr as text, "" for NULL
  bool addressNull = false;
  service s;
};

// The rows of a result of trapServiceQuery(), in row order.
std::vector<TrapServiceRow> trapServiceRows(const PGresult* result);

// Connects on conninfo, reads the rows of trapServiceQuery() without waiting
// for an unreachable server, and disconnects: for the commands that run
// beside the daemon on a connection of their own. PostgresqlException when
// the connection (its message with the password masked) or the query fails,
// DatabaseUnavailableException when the connection breaks.
std::vector<TrapServiceRow> readTrapServiceRows(const std::string& conninfo);

// The services of rows under their map keys (deviceAddressKey), each key's in
// row order: the content of map_service_trap after a load of these rows.
MapTrapService::Services servicesByAddress(const std::vector<TrapServiceRow>& rows);

// How many services the rows hold: a service with several alerting programs
// has one row for each.
size_t distinctServices(const std::vector<TrapServiceRow>& rows);

}  // namespace kivo

#endif
