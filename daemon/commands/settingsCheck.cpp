#include "daemon/commands/settingsCheck.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/commands/serviceCheck.h"
#include "daemon/database/schemaUpgrade.h"
#include "daemon/database/serviceLoader.h"
#include "support/connectionOutage.h"
#include "support/exceptions.h"
#include "support/iniConfig.h"
#include "support/pgSafeThread.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

namespace kivo {

namespace {

// Judged for the effective user, as the daemon's own opens would be.
bool mayAccess(const std::string& path, int mode) {
  return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// 0 and the status, or the error number.
int statusOf(const std::string& path, struct stat* status) {
  return ::stat(path.c_str(), status) == 0 ? 0 : errno;
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// "a", "a and b", "a, b and c".
std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
    text += parts[i];
  }
  return text;
}

std::string counted(size_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Writes the findings not yet printed, so that a slow step shows what came
// before it.
void printNew(const Findings& findings, size_t* printed) {
  for (; *printed < findings.size(); ++*printed) {
    (void)writeAll(STDOUT_FILENO, findings[*printed].line() + "\n");
  }
}

struct Loaded {
  bool done = false;
  size_t services = 0;
  size_t devices = 0;
};

// The trap services as a start reads them, and their findings.
Loaded checkDatabase(const DatabaseSettings& settings, Findings* findings) {
  Loaded loaded;
  std::vector<TrapServiceRow> rows;
  try {
    pgSafeThread database(settings.connectionString());
    const SchemaFeatures schema = findSchemaFeatures(database);
    if (!schema.complete()) findings->push_back({Finding::kWarning, missingObjectsText(schema)});
    PgResult result(database.executeRequestWithoutWaiting(trapServiceQuery()));
    rows = trapServiceRows(result.get());
  } catch (const DatabaseFailure& e) {
    findings->push_back({Finding::kError, databaseFailure(e.what())});
    return loaded;
  }
  checkServices(rows, findings);
  loaded.done = true;
  loaded.services = distinctServices(rows);
  loaded.devices = distinctDevices(rows);
  return loaded;
}

// Everything the settings file names; the database last, as it may be slow.
Loaded checkEverything(const std::string& configuration, Findings* findings, size_t* printed) {
  iniConfig config(configuration);
  const Settings settings = readSettings(config);
  const Findings own = settings.validate();
  findings->insert(findings->end(), own.begin(), own.end());
  checkSpoolDirectory(settings.kivo.spoolDirectory, findings);
  checkWritableFile("[LOG] log_trapd_file", settings.log.systemLog, Finding::kError, findings);
  checkWritableFile("[LOG] log_trap_receive", settings.log.trapReceive, Finding::kError, findings);
  checkWritableFile("[KIVO] trap_pqueue_file", settings.kivo.trapPqueueFile, Finding::kWarning,
                    findings);
  printNew(*findings, printed);
  return checkDatabase(settings.database, findings);
}

}  // namespace

void checkSpoolDirectory(const std::string& path, Findings* findings) {
  const std::string key = "[KIVO] spool_directory";
  if (path.empty()) {
    findings->push_back({Finding::kError, key + " is not set"});
    return;
  }
  struct stat status;
  int error = statusOf(path, &status);
  if (error != 0) {
    findings->push_back({Finding::kError, key + " " + path + ": " + errnoText(error)});
    return;
  }
  if (!S_ISDIR(status.st_mode)) {
    findings->push_back({Finding::kError, key + " " + path + " is not a directory"});
    return;
  }
  std::vector<std::string> denied;
  if (!mayAccess(path, R_OK)) denied.push_back("list it");
  if (!mayAccess(path, W_OK)) denied.push_back("write in it");
  if (!mayAccess(path, X_OK)) denied.push_back("open its files");
  if (!denied.empty()) {
    findings->push_back(
        {Finding::kError, key + " " + path + ": this user may not " + joined(denied)});
  }
}

void checkWritableFile(const std::string& key, const std::string& path, Finding::Level level,
                       Findings* findings) {
  if (path.empty()) {
    findings->push_back({level, key + " is not set"});
    return;
  }
  const std::string named = key + " " + path;
  struct stat status;
  int error = statusOf(path, &status);
  if (error == 0) {
    if (S_ISDIR(status.st_mode)) {
      findings->push_back({level, named + " is a directory"});
    } else if (!mayAccess(path, W_OK)) {
      findings->push_back({level, named + ": this user may not write it"});
    }
    return;
  }
  if (error != ENOENT) {
    findings->push_back({level, named + ": " + errnoText(error)});
    return;
  }
  const std::string directory = directoryOf(path);
  error = statusOf(directory, &status);
  if (error != 0) {
    findings->push_back({level, named + ": directory " + directory + ": " + errnoText(error)});
  } else if (!S_ISDIR(status.st_mode)) {
    findings->push_back({level, named + ": " + directory + " is not a directory"});
  } else if (!mayAccess(directory, W_OK | X_OK)) {
    findings->push_back({level, named + ": this user may not create it in " + directory});
  }
}

std::string programProblem(const std::string& path) {
  if (path.empty()) return "no path";
  struct stat status;
  int error = statusOf(path, &status);
  if (error != 0) return errnoText(error);
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  if (!mayAccess(path, X_OK)) return "not executable for this user";
  return "";
}

std::string databaseFailure(const std::string& message) {
  std::string text;
  for (char c : errorTextOnOneLine(message)) {
    if (c == ' ' && !text.empty() && text.back() == ' ') continue;
    text += c;
  }
  return "database: " + text;
}

std::string checkSummary(const Findings& findings, bool loaded, size_t services, size_t devices) {
  size_t errors = 0;
  for (const Finding& finding : findings) errors += finding.level == Finding::kError ? 1 : 0;
  std::string what = loaded ? counted(services, "service") + " on " + counted(devices, "device")
                            : std::string("services not loaded");
  return "kivoTrapD --check: " + what + ", " + counted(findings.size() - errors, "warning") +
         ", " + counted(errors, "error");
}

int runSettingsCheck(const std::string& configuration) {
  // The support code's lines (connection traces) would otherwise mix with
  // the findings.
  DiscardedStandardOutput quiet;
  Findings findings;
  size_t printed = 0;
  Loaded loaded;
  int error = mayAccess(configuration, R_OK) ? 0 : errno;
  if (error != 0) {
    findings.push_back({Finding::kError, "settings file " + configuration + ": " + errnoText(error)});
  } else {
    try {
      loaded = checkEverything(configuration, &findings, &printed);
    } catch (const FileException& e) {
      findings.push_back({Finding::kError, "settings file " + configuration + ": " + e.what()});
    }
  }
  printNew(findings, &printed);
  (void)writeAll(STDOUT_FILENO,
                 checkSummary(findings, loaded.done, loaded.services, loaded.devices) + "\n");
  for (const Finding& finding : findings) {
    if (finding.level == Finding::kError) return 1;
  }
  return 0;
}

}  // namespace kivo
