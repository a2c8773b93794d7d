// "kivoTrapD --replay FILE [--run]": how the daemon would handle the trap of
// one spool file, shown without handling it.
//
// The file is read as the intake reads a spool entry and left where it is.
// The services are read from the database as a start reads them, the
// service is matched as a worker matches it and its parameters are filled
// and split as a worker does, so that what is shown is what would run. With
// run, the plug-in runs too, within plugin_timeout and plugin_output_max;
// nothing is recorded, no alerting program runs and no log line is
// written. Runs on the main thread.
#ifndef KIVO_DAEMON_COMMANDS_TRAPREPLAY_H
#define KIVO_DAEMON_COMMANDS_TRAPREPLAY_H

#include <string>

#include "services/MapTrapService.h"
#include "services/service.h"
#include "trap/snmpTrap.h"

namespace kivo {

// The trap as parsed: host, address, OID, then "$N: OID = <value>" for each
// variable, one item a line; control characters escaped.
std::string describeTrap(const snmpTrap& trap);

// The service that the daemon would run for trap, as a worker finds it:
// "service: ID (NAME) of device D", or "service: none: " and why (no
// device has the address, or none of its services has the OID).
std::string describeMatch(const snmpTrap& trap, MapTrapService& services);

// The plug-in's command line of s, filled: the line the daemon logs
// ("command: PATH PARAMETERS"), then one line per argument, "argv[N] =
// <ARGUMENT>", argv[0] being the path, so that blanks and quotes show.
std::string describeCommand(const service& s);

// The whole command on the settings file at configuration: prints on
// standard output and returns the exit status: 0 when a service matched
// (and with run, its plug-in ran), 1 when none matched (or its plug-in
// could not be run), 2 when the file, the settings or the services could
// not be read.
int runTrapReplay(const std::string& configuration, const std::string& file, bool run);

}  // namespace kivo

#endif
