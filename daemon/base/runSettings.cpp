#include "daemon/base/runSettings.h"

#include <chrono>

#include "daemon/base/systemLog.h"
#include "support/convertTo.h"

namespace kivo {

RunSettings run_settings;
StopNotice stop_notice;

namespace {

int readSeconds(kivo::SettingsReader& settings, const char* key, int fallback) {
  const long kLongest = 365L * 24 * 3600;  // keeps deadlines far from overflow
  long value = settings.count("KIVO", key, fallback);
  return static_cast<int>(value > kLongest ? kLongest : value);
}

}  // namespace

RunSettings readRunSettings(kivo::SettingsReader& reader) {
  RunSettings defaults;
  RunSettings settings;
  settings.pluginTimeout = readSeconds(reader, "plugin_timeout", defaults.pluginTimeout);
  settings.alertingTimeout = readSeconds(reader, "alerting_timeout", defaults.alertingTimeout);
  settings.pluginOutputMax = static_cast<size_t>(
      reader.count("KIVO", "plugin_output_max", static_cast<long>(defaults.pluginOutputMax)));
  settings.stopGrace = readSeconds(reader, "stop_grace", defaults.stopGrace);
  return settings;
}

RunLimits pluginLimits() {
  RunLimits limits;
  limits.timeout = run_settings.pluginTimeout;
  limits.outputMax = run_settings.pluginOutputMax;
  limits.stop = &stop_notice;
  return limits;
}

RunLimits alertingLimits() {
  RunLimits limits;
  limits.timeout = run_settings.alertingTimeout;
  limits.stop = &stop_notice;
  return limits;
}

int workerCount(int threadNumber) {
  if (threadNumber <= 0) {
    write_log("ERR", "thread_number " + intToString(threadNumber) +
                         ": no worker thread starts, no trap will be handled");
    return 0;
  }
  if (threadNumber > kMostWorkers) {
    write_log("ERR", "thread_number " + intToString(threadNumber) + " is above " +
                         intToString(kMostWorkers) + ": " + intToString(kMostWorkers) +
                         " worker threads start");
    return kMostWorkers;
  }
  return threadNumber;
}

}  // namespace kivo
