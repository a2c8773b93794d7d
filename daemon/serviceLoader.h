// Loading of the trap services from the database into map_service_trap, once
// at start-up, on the main thread, before the workers start.
#ifndef KIVO_DAEMON_SERVICELOADER_H
#define KIVO_DAEMON_SERVICELOADER_H

#include <string>

// The query of every service whose plug-in has the type 'trap', with its
// device and, through two left joins, one row per linked alerting program
// (or one row with empty program columns when it has none).
std::string trapServiceQuery();

// Runs query (trapServiceQuery()) on pgSQL and adds one service per row to
// map_service_trap, under the dotted-decimal address of the row's device,
// in row order. A failed query's PostgresqlException goes to the caller, the
// map unchanged.
void LoadTrapService(std::string query);

// The map key of a device_ip_addr text: its low 32 bits, the most
// significant byte first, as dotted decimal ("167838211" is "10.1.2.3"); text
// that holds no number, NULL's empty text included, gives "0.0.0.0".
std::string deviceAddressKey(const std::string& ipAddr);

#endif
