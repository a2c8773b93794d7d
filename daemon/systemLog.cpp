#include "daemon/kivoTrapd.h"
#include "support/standardOutput.h"

std::mutex mutex_log_system;

void write_log(std::string level, std::string message) {
  // The lock also orders lines by their timestamps.
  std::lock_guard<std::mutex> hold(mutex_log_system);
  writeStandardOutput(localTimestamp() + "#" + level + "#" + message + "\n");
}
