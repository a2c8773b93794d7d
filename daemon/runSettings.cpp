#include "daemon/runSettings.h"

#include <ctype.h>

#include <chrono>

#include "daemon/kivoTrapd.h"
#include "support/convertTo.h"

RunSettings run_settings;
StopNotice stop_notice;

namespace {

// Whether the number conversions would find a number in text: after
// leading white space, a digit, or a sign and a digit.
bool holdsNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  return i < text.size() && isdigit(static_cast<unsigned char>(text[i]));
}

int readSeconds(iniConfig& config, const char* key, int fallback) {
  const long kLongest = 365L * 24 * 3600;  // keeps deadlines far from overflow
  long value = readKivoCount(config, key, fallback);
  return static_cast<int>(value > kLongest ? kLongest : value);
}

}  // namespace

long readKivoCount(iniConfig& config, const char* key, long fallback) {
  std::string text = config.getKey("KIVO", key);
  if (!holdsNumber(text)) return fallback;
  long value = stringToLong(text);
  return value < 0 ? 0 : value;
}

RunSettings readRunSettings(iniConfig& config) {
  RunSettings defaults;
  RunSettings settings;
  settings.pluginTimeout = readSeconds(config, "plugin_timeout", defaults.pluginTimeout);
  settings.alertingTimeout = readSeconds(config, "alerting_timeout", defaults.alertingTimeout);
  settings.pluginOutputMax = static_cast<size_t>(
      readKivoCount(config, "plugin_output_max", static_cast<long>(defaults.pluginOutputMax)));
  settings.stopGrace = readSeconds(config, "stop_grace", defaults.stopGrace);
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
