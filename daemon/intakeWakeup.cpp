#include "daemon/intakeWakeup.h"

#include <chrono>

void IntakeWakeup::notify() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    woken_ = true;
  }
  condition_.notify_all();
}

template <class Wait>
void IntakeWakeup::waitWith(Wait wait) {
  std::unique_lock<std::mutex> hold(mutex_);
  wait(hold, [this] { return woken_ || stop_.load() != 0; });
  woken_ = false;
}

void IntakeWakeup::pause(const timespec& length) {
  if (length.tv_sec <= 0 && length.tv_nsec <= 0) return;
  auto duration = std::chrono::seconds(length.tv_sec) + std::chrono::nanoseconds(length.tv_nsec);
  waitWith([&](std::unique_lock<std::mutex>& hold, auto ready) {
    condition_.wait_for(hold, duration, ready);
  });
}

void IntakeWakeup::pauseUntilWoken() {
  waitWith([&](std::unique_lock<std::mutex>& hold, auto ready) { condition_.wait(hold, ready); });
}
