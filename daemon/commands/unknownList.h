// "kivoTrapD --unknown": which devices send which trap OIDs that no service
// takes, as the daemon has counted them in kivo_trap_unknown, newest first.
//
// The command reads the settings file as the daemon does, connects to the
// database and reads the table; it writes no log and changes nothing, so it
// runs beside a running daemon. Counts the daemon holds in memory show once
// it has flushed them (every [KIVO] unknown_flush seconds, and at its stop).
// Stateless; the command runs on the main thread.
#ifndef KIVO_DAEMON_COMMANDS_UNKNOWNLIST_H
#define KIVO_DAEMON_COMMANDS_UNKNOWNLIST_H

#include <string>
#include <vector>

namespace kivo {

// The rows (address, OID, first seen, last seen, count) under a header, in
// columns as wide as their widest value, then "kivoTrapD --unknown: N pairs,
// M traps"; each line ends with a line feed.
std::string unknownListing(const std::vector<std::vector<std::string>>& rows);

// The whole command on the settings file at configuration: prints the
// listing and returns 0, or prints "kivoTrapD --unknown: " and what failed
// and returns 1.
int runUnknownList(const std::string& configuration);

}  // namespace kivo

#endif
