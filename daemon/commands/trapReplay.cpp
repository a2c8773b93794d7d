#include "daemon/commands/trapReplay.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "daemon/base/settings.h"
#include "daemon/base/runSettings.h"
#include "daemon/database/serviceLoader.h"
#include "daemon/commands/settingsCheck.h"
#include "daemon/worker/trapParameters.h"
#include "support/connectionOutage.h"
#include "support/exceptions.h"
#include "support/iniConfig.h"
#include "support/logText.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"
#include "trap/spoolEntry.h"

namespace kivo {

namespace {

const int kMatched = 0;
const int kNotMatched = 1;
const int kUnreadable = 2;

void print(const std::string& text) { (void)writeAll(STDOUT_FILENO, text); }

// Between visible delimiters, control characters escaped.
std::string shown(const std::string& text) { return "<" + escapeControls(text) + ">"; }

// The file as the intake reads a spool entry; "" and why when it is not
// read as a trap.
bool readTrapFile(const std::string& file, size_t maxSize, snmpTrap* trap, std::string* why) {
  struct stat status;
  int error = statSpoolEntry(file, &status);
  if (error != 0) {
    *why = errnoText(error);
    return false;
  }
  SpoolEntry entry = readSpoolEntry(file, status, maxSize);
  if (entry.status != SpoolEntry::kReadable) {
    *why = entry.status == SpoolEntry::kVanished ? errnoText(ENOENT) : entry.reason;
    return false;
  }
  trap->readText(entry.text);
  return true;
}

// The services as a start loads them; false after printing why not.
bool loadServices(const DatabaseSettings& settings, MapTrapService* services) {
  try {
    services->exchange(servicesByAddress(readTrapServiceRows(settings.connectionString())));
    return true;
  } catch (const DatabaseFailure& e) {
    print("error: " + databaseFailure(e.what()) + "\n");
  }
  return false;
}

// Runs the plug-in as a worker would, without recording anything.
int runPlugin(service& s, const RunSettings& limits) {
  std::string problem = programProblem(s.Getpath());
  if (!problem.empty()) {
    print("warning: plug-in " + escapeControls(s.Getpath()) + ": " + problem + "\n");
  }
  int code;
  try {
    code = s.execute(pluginLimits(limits, nullptr));
  } catch (const serviceException& e) {
    print("plug-in failed: " + errorTextOnOneLine(e.what()) + "\n");
    return kNotMatched;
  } catch (const ResourceShortageException& e) {
    print("plug-in not started: " + std::string(e.what()) + "\n");
    return kNotMatched;
  }
  std::string timedOut = s.GetTimedOut() ? " (timed out after " +
                                               std::to_string(limits.pluginTimeout) + " s)"
                                         : "";
  print("exit code: " + std::to_string(code) + timedOut + "\n");
  print("output = " + shown(s.GetStdout()) + "\n");
  return kMatched;
}

int replay(const std::string& configuration, const std::string& file, bool run) {
  iniConfig config(configuration);
  const Settings settings = readSettings(config);
  snmpTrap trap;
  std::string why;
  if (!readTrapFile(file, settings.kivo.spoolFileMax, &trap, &why)) {
    print("error: " + escapeControls(file) + " is not read as a trap: " + why + "\n");
    return kUnreadable;
  }
  print("trap file " + escapeControls(file) + "\n" + describeTrap(trap));
  MapTrapService services;
  if (!loadServices(settings.database, &services)) return kUnreadable;
  print(describeMatch(trap, services));
  std::optional<service> found = services.findServiceByOID(trap.getHostAddr(), trap.getOid());
  if (!found) return kNotMatched;
  service s = *found;
  fillServiceParameters(s, trap);
  print(describeCommand(s));
  return run ? runPlugin(s, settings.kivo.run) : kMatched;
}

}  // namespace

std::string describeTrap(const snmpTrap& trap) {
  std::string text = "host: " + shown(trap.getHost()) + "\n";
  text += "address: " + shown(trap.getHostAddr()) + "\n";
  text += "OID: " + shown(trap.getOid()) + "\n";
  std::vector<trap_variable> variables = trap.getVariables();
  for (size_t i = 0; i < variables.size(); ++i) {
    text += "$" + std::to_string(i + 1) + ": " + escapeControls(variables[i].oid) + " = " +
            shown(variables[i].value) + "\n";
  }
  return text;
}

std::string describeMatch(const snmpTrap& trap, MapTrapService& services) {
  const std::string address = trap.getHostAddr();
  std::optional<service> found = services.findServiceByOID(address, trap.getOid());
  if (found) {
    return "service: " + std::to_string(found->GetService_id()) + " (" +
           escapeControls(found->Getname()) + ") of device " +
           std::to_string(found->GetDevice_id()) + "\n";
  }
  MapTrapService::Services all = services.content();
  if (all.find(address) == all.end()) {
    return "service: none: no device has the address " + escapeControls(address) + "\n";
  }
  return "service: none: no service of " + escapeControls(address) + " has the OID " +
         escapeControls(trap.getOid()) + "\n";
}

std::string describeCommand(const service& s) {
  std::string text = "command: " + escapeControls(s.Getpath() + " " + s.Getparameter()) + "\n";
  std::vector<std::string> arguments = s.getVectorParam();
  arguments.insert(arguments.begin(), s.Getpath());
  for (size_t i = 0; i < arguments.size(); ++i) {
    text += "argv[" + std::to_string(i) + "] = " + shown(arguments[i]) + "\n";
  }
  return text;
}

int runTrapReplay(const std::string& configuration, const std::string& file, bool run) {
  // What the support code writes (traces, the filling's REP lines) is no
  // part of the report, and no log line may be written.
  DiscardedStandardOutput quiet;
  try {
    return replay(configuration, file, run);
  } catch (const FileException&) {
    print("error: can't read the settings file " + configuration + "\n");
    return kUnreadable;
  }
}

}  // namespace kivo
