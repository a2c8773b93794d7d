// The trap services' part of "kivoTrapD --check": what the rows of the
// start's query hold that would make a trap go wrong or a service never run.
// Stateless; any thread may call it.
#ifndef KIVO_DAEMON_COMMANDS_SERVICECHECK_H
#define KIVO_DAEMON_COMMANDS_SERVICECHECK_H

#include <vector>

#include "daemon/database/serviceLoader.h"
#include "daemon/commands/settingsCheck.h"

namespace kivo {

// Adds the findings of rows, in row order (the order in which the daemon
// matches):
// - a device address that is NULL, not a number or outside 32 bits (an
//   error: the daemon reads it as another address), or 0.0.0.0 (a
//   warning), once per device;
// - a plug-in or alerting program that this user cannot run (an error);
// - a later service of a device that answers an OID an earlier one answers
//   already (a warning naming both: the later never runs);
// - a service with several alerting programs (a warning: only the first
//   runs).
void checkServices(const std::vector<TrapServiceRow>& rows, Findings* findings);

// How many devices the rows name.
size_t distinctDevices(const std::vector<TrapServiceRow>& rows);

}  // namespace kivo

#endif
