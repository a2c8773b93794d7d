#include "support/stopNotice.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kivo {

StopNotice::StopNotice() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void StopNotice::begin(std::chrono::milliseconds grace) {
  long long deadline = (Clock::now() + grace).time_since_epoch().count();
  long long none = kNone;
  if (!deadline_.compare_exchange_strong(none, deadline)) return;
  // The deadline is in place before any wait can see the descriptor ready.
  if (event_.valid()) {
    uint64_t one = 1;
    (void)writeAll(event_.get(), reinterpret_cast<const char*>(&one), sizeof one);
  }
}

StopNotice::Clock::time_point StopNotice::deadline() const {
  return Clock::time_point(Clock::duration(deadline_.load()));
}

void StopNotice::reset() {
  if (event_.valid()) {
    uint64_t count;
    (void)readRetry(event_.get(), &count, sizeof count);
  }
  deadline_.store(kNone);
}

}  // namespace kivo
