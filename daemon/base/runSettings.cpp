#include "daemon/base/runSettings.h"

namespace kivo {

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
  if (threadNumber <= 0) return 0;
  return threadNumber > kMostWorkers ? kMostWorkers : threadNumber;
}

}  // namespace kivo
