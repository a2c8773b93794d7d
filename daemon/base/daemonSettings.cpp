#include "daemon/base/daemonSettings.h"

#include <sstream>

namespace kivo {

namespace {

// A size or count that must be at least 1: missing, zero, negative or no
// number gives the default.
size_t positiveCount(SettingsReader& reader, const char* key, size_t fallback) {
  long value = reader.count("KIVO", key, static_cast<long>(fallback));
  return value > 0 ? static_cast<size_t>(value) : fallback;
}

}  // namespace

DaemonSettings readDaemonSettings(SettingsReader& reader) {
  DaemonSettings settings;
  settings.systemLog = reader.text("LOG", "log_trapd_file");
  settings.trapReceive = reader.text("LOG", "log_trap_receive");
  settings.trapUnknown = reader.text("LOG", "log_trap_unknown");
  settings.maxSize = reader.number("LOG", "max_size_file_log");
  settings.logEnable = static_cast<int>(reader.number("LOG", "log_enable"));
  settings.spoolDirectory = reader.text("KIVO", "spool_directory");
  settings.sleep = static_cast<int>(reader.number("KIVO", "sleep"));
  settings.trapPqueueFile = reader.text("KIVO", "trap_pqueue_file");
  // A file's path is the directory and its name run together, so the
  // directory needs its final "/".
  if (!settings.spoolDirectory.empty() && settings.spoolDirectory.back() != '/') {
    settings.spoolDirectory += '/';
    settings.spoolSlashAdded = true;
  }
  settings.spoolFileMax = positiveCount(reader, "spool_file_max", settings.spoolFileMax);
  settings.queueMax = positiveCount(reader, "queue_max", settings.queueMax);
  settings.spoolSettle =
      static_cast<int>(reader.count("KIVO", "spool_settle", settings.spoolSettle));
  settings.fold.windowSeconds = static_cast<int>(reader.count("KIVO", "fold_window", 0));
  std::istringstream ignored(reader.text("KIVO", "fold_ignore"));
  for (std::string oid; ignored >> oid;) settings.fold.ignoredOids.insert(oid);
  settings.metrics = readMetricsSettings(reader);
  settings.run = readRunSettings(reader);
  settings.findings = reader.findings();
  return settings;
}

}  // namespace kivo
