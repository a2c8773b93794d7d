#include "daemon/database/priorityFile.h"

#include <fcntl.h>

#include "daemon/base/daemonGlobals.h"
#include "daemon/base/systemLog.h"
#include "support/exceptions.h"
#include "support/pgSafeThread.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

using kivo::FileDescriptor;
using kivo::PgResult;
using kivo::priorityQuery;
using kivo::writeAll;
using kivo::writeStandardOutputLine;

namespace {

// Creates or empties the file at path.
FileDescriptor openPriorityFile(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file.valid()) throw FileException("Error can't open pqueue file");
  return file;
}

}  // namespace

std::string kivo::priorityQuery() {
  return std::string("SELECT plugin_trap_oid,plugin_priority") + " FROM kivo_plugins" +
         " WHERE plugin_type='trap' AND plugin_trap_oid IS NOT NULL ;";
}

void kivo::writePriorityFile(const PGresult* rows) {
  try {
    FileDescriptor file = openPriorityFile(trap_pqueue_file);
    // A failed write after a successful open goes unnoticed: the file only
    // informs, and the daemon goes on either way.
    (void)writeAll(file.get(), "[TRAP]\n");
    for (int row = 0; row < PQntuples(rows); ++row) {
      std::string oid = PQgetvalue(rows, row, 0);
      std::string priority = PQgetvalue(rows, row, 1);
      write_log("INFO", oid + " priority " + priority);
      (void)writeAll(file.get(), oid + "=" + priority + "\n");
    }
  } catch (const FileException&) {
    writeStandardOutputLine("error to open kivo.conf in /etc/kivo/kivo.conf");
  }
}

void CreatePriorityTrap() {
  try {
    // The query comes first, so that a failing one leaves the file alone.
    PgResult result(pgSQL->executeRequest(priorityQuery()));
    kivo::writePriorityFile(result.get());
  } catch (const PostgresqlException& e) {
    writeStandardOutputLine("POSTGRESQL EXECPETION" + std::string(e.what()));
  }
}
