#include "daemon/intake/intakeWakeup.h"

#include <chrono>

namespace kivo {

void IntakeWakeup::notify(Reason reason) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    pending_ |= reason;
  }
  condition_.notify_all();
}

void IntakeWakeup::wakeForStop() {
  // Taking the mutex orders the flag before a waiter's test, so no waiter
  // can test, miss it and then sleep through the wake-up.
  { std::lock_guard<std::mutex> hold(mutex_); }
  condition_.notify_all();
}

void IntakeWakeup::pause(unsigned reasons, const timespec* length) {
  std::unique_lock<std::mutex> hold(mutex_);
  auto ready = [&] { return (pending_ & reasons) != 0 || stop_.load() != 0; };
  if (length == nullptr) {
    condition_.wait(hold, ready);
  } else if (length->tv_sec > 0 || length->tv_nsec > 0) {
    auto duration = std::chrono::seconds(length->tv_sec) + std::chrono::nanoseconds(length->tv_nsec);
    condition_.wait_for(hold, duration, ready);
  }
  pending_ &= ~reasons;
}

}  // namespace kivo
