#include "daemon/base/runSettings.h"

#include <chrono>

#include "daemon/base/systemLog.h"
#include "support/convertTo.h"

namespace kivo {

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

RunLimits pluginLimits(const RunSettings& settings, const StopNotice* stop) {
  RunLimits limits;
  limits.timeout = settings.pluginTimeout;
  limits.outputMax = settings.pluginOutputMax;
  limits.stop = stop;
  return limits;
}

RunLimits alertingLimits(const RunSettings& settings, const StopNotice* stop) {
  RunLimits limits;
  limits.timeout = settings.alertingTimeout;
  limits.stop = stop;
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
