// The trap priority file, written at start-up and at every reload of the
// services: "[TRAP]", then one "OID=priority" line per trap plug-in with a
// trap OID, in the order of the database's rows. The daemon never reads it
// back.
#ifndef KIVO_DAEMON_DATABASE_PRIORITYFILE_H
#define KIVO_DAEMON_DATABASE_PRIORITYFILE_H

#include <libpq-fe.h>

#include <string>

namespace kivo {

// The query of the trap plug-ins' OIDs and priorities.
std::string priorityQuery();

// Writes the file at trap_pqueue_file from rows, a result of
// priorityQuery(), each row to the system log too (INFO "OID priority P").
// A file that cannot be opened is written as the raw line "error to open
// kivo.conf in /etc/kivo/kivo.conf" and left as it was.
void writePriorityFile(const PGresult* rows);

}  // namespace kivo

// Runs priorityQuery() on pgSQL and writes the file at trap_pqueue_file,
// writing each row to the system log too (INFO "OID priority P"). Lets no
// exception out: a failed query is written as the raw line "POSTGRESQL
// EXECPETION" + message and leaves an earlier file as it was; a file that
// cannot be opened is written as "error to open kivo.conf in
// /etc/kivo/kivo.conf". Runs on the main thread before the workers exist.
void CreatePriorityTrap();

#endif
