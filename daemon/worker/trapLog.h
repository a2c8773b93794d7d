// The trap log: one line per trap that a worker takes off the queue.
//
// write_trap_log may be called by every worker at any time; mutex_log_trap
// is held from building the line to the end of its write, so lines never mix.
// It may take mutex_log_system (through write_log) while holding it; nothing
// takes the two in the other order.
#ifndef KIVO_DAEMON_WORKER_TRAPLOG_H
#define KIVO_DAEMON_WORKER_TRAPLOG_H

#include <string>

#include "trap/snmpTrap.h"

namespace kivo {

// receive date, "#", trap OID, "#", host, "#", address, then for traps with
// variables "#" and "oid:value#" per variable. Nothing is escaped.
std::string trapLogLine(const snmpTrap& trap);

}  // namespace kivo

// Appends the trap's line to flog_trap_receive. A failed write is reported
// in the system log and otherwise ignored: the trap goes on.
void write_trap_log(snmpTrap trap);

#endif
