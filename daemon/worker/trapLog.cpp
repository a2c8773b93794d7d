#include "daemon/worker/trapLog.h"
#include "daemon/worker/workerParts.h"

#include "daemon/base/daemonGlobals.h"
#include "daemon/base/systemLog.h"
#include "support/exceptions.h"
#include "support/logText.h"
#include "support/metrics.h"

using kivo::trapLogLine;

std::string kivo::trapLogLine(const snmpTrap& trap) {
  std::string line = trap.getdateReceive() + "#" + trap.getOid() + "#" + trap.getHost() + "#" +
                     trap.getHostAddr();
  if (trap.getSize() > 0) line += "#";
  for (const trap_variable& variable : trap.getVariables()) {
    line += variable.oid + ":" + variable.value + "#";
  }
  // One trap, one line, whatever its fields hold.
  return kivo::escapeControls(line);
}

void write_trap_log(snmpTrap trap) {
  std::lock_guard<std::mutex> hold(mutex_log_trap);
  if (!flog_trap_receive) return;
  try {
    flog_trap_receive->write(trapLogLine(trap));
  } catch (const FileException&) {
    write_log("ERR", "write error trap log file: " + flog_trap_receive->getFileName());
    const kivo::WorkerParts* parts = kivo::workerParts();
    if (parts != nullptr) parts->metrics.trapLogWriteFailed();
  }
}
