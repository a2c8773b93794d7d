// The spool handler: the program that the SNMP trap receiver runs for every
// trap ("traphandle default kivo-spool-handler <spool directory>").
//
// It reads the trap as the receiver writes it on standard input (host name
// line, transport line, one "OID value" line per variable), adds the line
// "date YYYY-MM-DD HH:MM:SS" with the local receive time, and publishes the
// whole as one spool trap file. The receiver waits for the handler of each
// trap before it reads the next one, so the handler does only that: no shell,
// no child process, one read, one unnamed file linked in.
#ifndef KIVO_TRAP_SPOOLHANDLER_H
#define KIVO_TRAP_SPOOLHANDLER_H

#include <sys/types.h>
#include <time.h>

#include <string>

namespace kivo {

// The trap text with the receive-date line appended; a missing final line
// feed is supplied first.
std::string addReceiveDate(const std::string& trapText, const struct tm& local);

// A name that sorts in arrival order: "trap-", the wall-clock time in
// nanoseconds (fixed width), "-", the handler's process id and an attempt
// number.
std::string spoolFileName(const timespec& now, pid_t pid, unsigned attempt);

// directory + "/" + name, without doubling a final "/".
std::string spoolPath(const std::string& directory, const std::string& name);

// The whole handler: reads standard input, writes the spool file into
// directory. Returns the exit status: 0 when the trap is in the spool, 1 when
// it could not be written (with the reason in *error).
int handleTrap(int input, const std::string& directory, std::string* error);

}  // namespace kivo

#endif
