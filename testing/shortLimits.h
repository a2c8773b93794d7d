// Run limits for tests of bounded runs: graces short enough that no test
// waits for the daemon's own.
#ifndef KIVO_TESTING_SHORTLIMITS_H
#define KIVO_TESTING_SHORTLIMITS_H

#include <chrono>

#include "support/programRun.h"

namespace kivo {

inline RunLimits shortLimits(int timeout) {
  RunLimits limits;
  limits.timeout = timeout;
  limits.killGrace = std::chrono::milliseconds(100);
  limits.outputGrace = std::chrono::milliseconds(100);
  return limits;
}

}  // namespace kivo

#endif
