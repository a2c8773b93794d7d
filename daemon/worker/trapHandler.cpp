#include "daemon/worker/trapHandler.h"

#include <optional>

#include "daemon/worker/errorJournal.h"
#include "daemon/worker/foldWindows.h"
#include "daemon/base/daemonGlobals.h"
#include "daemon/worker/resourceShortage.h"
#include "daemon/base/runSettings.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/intake/spoolLedger.h"
#include "daemon/base/systemLog.h"
#include "daemon/worker/trapLog.h"
#include "daemon/worker/trapParameters.h"
#include "daemon/worker/unknownTraps.h"
#include "support/connectionPool.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/logText.h"
#include "support/metrics.h"

namespace kivo {

int DaemonActions::runPlugin(service& s) {
  return s.execute(pluginLimits(parts_.settings, &parts_.stop));
}

service::AlertingEnd DaemonActions::runAlerting(service& s, double errorId) {
  service::AlertingEnd end =
      s.executeAlertingSoftware(errorId, alertingLimits(parts_.settings, &parts_.stop));
  parts_.metrics.alertEnded(end == service::kAlertingEnded    ? Metrics::kAlertOk
                            : end == service::kAlertingFailed ? Metrics::kAlertFailed
                                                              : Metrics::kAlertTimedOut);
  return end;
}

bool DaemonActions::storeRun(const service& s) { return kivo::storeRun(s); }

void DaemonActions::acknowledge(const service& s, int previous) { AcquitteError(s, previous); }

bool DaemonActions::openRecord(const service& s, int code) { return insertErrorRecord(s, code); }

double DaemonActions::openRecordId(const service& s) { return getHappenError(s); }

std::shared_ptr<void> DaemonActions::holdDatabase() {
  return std::shared_ptr<void>(parts_.pool.lease().release(),
                               [](void* lease) { delete static_cast<ConnectionPool::Lease*>(lease); });
}

// A copy, taken in one step: a reload swapping the services meanwhile
// leaves the trap with the service it found.
bool TrapHandler::findService(const snmpTrap& trap, service& s) {
  std::string address = trap.getHostAddr();
  std::optional<service> found = map_service_trap.findServiceByOID(address, trap.getOid());
  if (!found) {
    write_log("INFO", "there isn't passive service for OID" +
                          escapeControls(trap.getOid() + " on this host " + trap.getHost() + "(" +
                                         address + ")"));
    parts_.metrics.trapDone(Metrics::kNoService);
    if (parts_.unknown != nullptr) parts_.unknown->seen(trap);
    return false;
  }
  s = *found;
  return true;
}

void TrapHandler::finish(const snmpTrap& trap, bool done) {
  parts_.ledger.finish(trap.origin(), done);
}

void TrapHandler::handle(const snmpTrap& record) {
  try {
    if (record.windowClose()) {
      closeWindow(record);
    } else {
      arrive(record);
    }
  } catch (const std::exception& e) {
    // Whatever one trap does, the worker lives on for the next.
    write_log("ERR", "trap from " + escapeControls(record.getHostAddr()) + " failed: " + e.what());
    finish(record, true);
  }
}

void TrapHandler::arrive(const snmpTrap& trap) {
  if (log_enable == 1) write_trap_log(trap);
  service s;
  if (!findService(trap, s)) {
    finish(trap, true);
    return;
  }
  if (parts_.windows == nullptr || !parts_.windows->enabled()) {
    finish(trap, run(trap, s));
    return;
  }
  FoldWindows::Verdict verdict = parts_.windows->arrive(s.GetService_id(), s.Getname(), trap);
  if (!verdict.closedLine.empty()) write_log("INFO", verdict.closedLine);
  if (verdict.runFirst) runReleased(*verdict.runFirst);
  if (verdict.dropped) {
    parts_.metrics.trapDone(Metrics::kFolded);
    finish(*verdict.dropped, true);
  }
  switch (verdict.decision) {
    case FoldWindows::kRun:
      finish(trap, run(trap, s));
      break;
    case FoldWindows::kFold:
      parts_.metrics.trapDone(Metrics::kFolded);
      finish(trap, true);
      break;
    case FoldWindows::kHold:
      // Its file stays: it runs when the window closes, or after a restart.
      break;
  }
}

void TrapHandler::closeWindow(const snmpTrap& marker) {
  if (parts_.windows == nullptr) return;
  FoldWindows::Verdict verdict = parts_.windows->close(marker.windowServiceId());
  if (!verdict.closedLine.empty()) write_log("INFO", verdict.closedLine);
  if (verdict.runFirst) runReleased(*verdict.runFirst);
}

void TrapHandler::runReleased(const snmpTrap& trap) {
  try {
    service s;
    bool done = !findService(trap, s) || run(trap, s);
    finish(trap, done);
  } catch (const std::exception& e) {
    write_log("ERR", "trap from " + escapeControls(trap.getHostAddr()) + " failed: " + e.what());
    finish(trap, true);
  }
}

template <class Start>
auto TrapHandler::startWhenPossible(const std::string& what, Start start) -> decltype(start()) {
  for (;;) {
    try {
      auto result = start();
      parts_.shortage.succeeded();
      return result;
    } catch (const ResourceShortageException& e) {
      parts_.shortage.failed(what, e.what());
      if (!parts_.shortage.pause(parts_.stop)) {
        throw StopException(what + " not started: the daemon is stopping");
      }
    }
  }
}

bool TrapHandler::run(const snmpTrap& trap, service& s) {
  fillServiceParameters(s, trap);
  write_log("EXEC", escapeControls(s.Getpath() + " " + s.Getparameter()));
  int previous = parts_.states.previous(s.GetService_id());
  int code;
  const Metrics::Clock::time_point started = Metrics::Clock::now();
  try {
    code = startWhenPossible("the plug-in of service " + s.Getname(),
                             [&] { return actions_.runPlugin(s); });
  } catch (const serviceException& e) {
    write_log("ERR", "ServiceException " + escapeControls(trap.getOid() + " " + trap.getHostAddr()) +
                         e.what());
    parts_.metrics.pluginFailed(started);
    return true;
  } catch (const StopException& e) {
    // Nothing of the run is kept: the next start handles the trap again.
    write_log("ERR", e.what());
    return false;
  }
  parts_.metrics.pluginEnded(code, s.GetTimedOut(), started);
  if (s.GetTimedOut()) {
    write_log("ERR", "plug-in of service " + s.Getname() + " timed out after " +
                         intToString(parts_.settings.pluginTimeout) + " s: " +
                         escapeControls(s.Getpath() + " " + s.Getparameter()));
  }
  try {
    std::optional<Alert> wanted;
    {
      // One connection for the trap's statements, free again before its
      // alerting program runs.
      std::shared_ptr<void> connection = actions_.holdDatabase();
      // A failure here must not cost the trap its error record and alert,
      // so it is reported and the trap goes on.
      actions_.storeRun(s);
      parts_.states.ran(s.GetService_id(), code);
      write_log("EXEC", "RETURN exec " + intToString(code));
      if (code != previous) wanted = recordStateChange(s, previous, code);
    }
    parts_.metrics.trapDone(Metrics::kRun);
    if (wanted) alert(s, *wanted);
  } catch (const StopException& e) {
    write_log("ERR", e.what());
    return false;
  } catch (const DatabaseUnavailableException& e) {
    // Its spool file stays: the next start handles the trap again.
    write_log("ERR", "trap from " + escapeControls(trap.getHostAddr()) +
                         " left for the next start: " + e.what());
    return false;
  }
  return true;
}

std::optional<TrapHandler::Alert> TrapHandler::recordStateChange(service& s, int previous,
                                                                 int code) {
  switch (code) {
    case 0:
      if (!getErrorId(previous).empty()) actions_.acknowledge(s, previous);
      return std::nullopt;
    case 1:
      return openRecord(s, previous, 1, s.GetAlertingWarning(), "Execute alerting software");
    case 2:
      return openRecord(s, previous, 2, s.GetAlertingCritical(), "Execute alerting software");
    case 3:
      // This message ends with a blank.
      return openRecord(s, previous, 3, s.GetAlertingUnknown(), "Execute alerting software ");
    default:
      return std::nullopt;
  }
}

// A warning, critical or unknown run: the previous record is acknowledged,
// one of this kind opened, and the alerting program run when wanted, with
// the record it names.
std::optional<TrapHandler::Alert> TrapHandler::openRecord(service& s, int previous, int code,
                                                         bool wanted, const char* message) {
  actions_.acknowledge(s, previous);
  bool written = actions_.openRecord(s, code);
  if (!wanted) return std::nullopt;
  if (!written) {
    write_log("ERR", "alerting program of service " + s.Getname() +
                         " not run: its error record could not be written");
    return std::nullopt;
  }
  // The service's traps run one at a time, so its newest open record is the
  // one just opened.
  double errorId = actions_.openRecordId(s);
  if (errorId < 0) {
    write_log("ERR", "alerting program of service " + s.Getname() +
                         " not run: no open error record of the service was found");
    return std::nullopt;
  }
  return Alert{errorId, message};
}

// StopException, when the stop cuts the program short, goes to run().
void TrapHandler::alert(service& s, const Alert& wanted) {
  write_log("INFO", wanted.message);
  service::AlertingEnd end =
      startWhenPossible("the alerting program of service " + s.Getname(),
                        [&] { return actions_.runAlerting(s, wanted.errorId); });
  if (end == service::kAlertingTimedOut) {
    write_log("ERR", "alerting program of service " + s.Getname() + " timed out after " +
                         intToString(parts_.settings.alertingTimeout) + " s: " +
                         s.GetAlertingSoftware());
  }
}

}  // namespace kivo
