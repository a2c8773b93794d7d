#include "daemon/base/runSettings.h"

namespace kivo {

RunSettings run_settings;
StopNotice stop_notice;

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
  if (threadNumber <= 0) return 0;
  return threadNumber > kMostWorkers ? kMostWorkers : threadNumber;
}

}  // namespace kivo
