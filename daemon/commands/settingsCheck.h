// "kivoTrapD --check": the settings, the files and the services that a start
// would use, looked at without starting anything.
//
// The check reads the settings as the daemon does, reports what the daemon
// would report of them at start-up, connects to the database and reads the
// trap services with the start's query, and reports what would go wrong:
// one finding per problem, an error for what breaks the daemon or a
// trap, a warning for what works otherwise than written. It writes no log,
// takes no spool file and no spool lock and changes nothing in the
// database, so it runs beside a running daemon (the unit's reload runs it
// before SIGHUP). Accesses are judged for the user running the check. The
// functions are stateless; the command runs on the main thread.
#ifndef KIVO_DAEMON_COMMANDS_SETTINGSCHECK_H
#define KIVO_DAEMON_COMMANDS_SETTINGSCHECK_H

#include <string>
#include <vector>

#include "daemon/base/settings.h"

namespace kivo {

// The spool directory exists and this user may list it, write in it and open
// its files.
void checkSpoolDirectory(const std::string& path, Findings* findings);

// A file the daemon writes, named by the setting key ("[LOG]
// log_trapd_file"): the file when it exists, else its directory, writable
// by this user. Findings of the given level.
void checkWritableFile(const std::string& key, const std::string& path, Finding::Level level,
                       Findings* findings);

// Why the program at path cannot be run by this user ("No such file or
// directory", "is not a regular file", "is not executable for this user"),
// or "" when it can.
std::string programProblem(const std::string& path);

// "database: " and the message of a failed connection or query on one line,
// runs of blanks made one.
std::string databaseFailure(const std::string& message);

// "kivoTrapD --check: 12 services on 5 devices, 1 warning, 0 errors", or
// with "services not loaded" when the database could not be read.
std::string checkSummary(const Findings& findings, bool loaded, size_t services, size_t devices);

// The whole check on the settings file at configuration: prints each
// finding and the summary on standard output and returns the exit status,
// 0 without errors, 1 with.
int runSettingsCheck(const std::string& configuration);

}  // namespace kivo

#endif
