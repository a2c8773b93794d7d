// Everything the daemon reads from its settings file at start-up, read in
// one place and in one go, before anything is applied: the daemon applies
// it to its globals, and a check of the settings can look at it without
// starting anything.
#ifndef KIVO_DAEMON_BASE_DAEMONSETTINGS_H
#define KIVO_DAEMON_BASE_DAEMONSETTINGS_H

#include <cstddef>
#include <string>
#include <vector>

#include "daemon/worker/foldWindows.h"
#include "daemon/metrics/metricsPublisher.h"
#include "daemon/base/runSettings.h"
#include "daemon/base/settingsReader.h"

namespace kivo {

struct DaemonSettings {
  // [LOG]
  std::string systemLog;
  std::string trapReceive;
  std::string trapUnknown;
  long maxSize = 0;
  int logEnable = 0;
  // [KIVO]
  std::string spoolDirectory;  // with its final "/"
  bool spoolSlashAdded = false;
  int sleep = 0;
  std::string trapPqueueFile;
  size_t spoolFileMax = 1024 * 1024;
  size_t queueMax = 1000;
  int spoolSettle = 10;
  FoldWindows::Settings fold;
  MetricsSettings metrics;
  RunSettings run;
  // ERR lines owed for values that are not numbers.
  std::vector<std::string> findings;
};

// Reads the [LOG] and [KIVO] settings; the [POSTGRESQL] ones and
// thread_number are read by the database start-up. FileException when the
// file cannot be read.
DaemonSettings readDaemonSettings(SettingsReader& reader);

}  // namespace kivo

#endif
