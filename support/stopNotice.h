// The moment by which every program that the workers run must have ended,
// once the daemon's stop has begun.
//
// The daemon owns one StopNotice for the whole process. The thread that
// begins the stop calls begin() once; every wait on a child program also
// polls fd(), which becomes readable (and stays so) at that moment, and then
// reads deadline(). A program still running at the deadline is killed by
// the wait that started it, so no registry of running children is needed and
// every child stays owned by the one thread that started it.
//
// All members may be called from any thread at any time; reset() is for
// tests only and may not run while a wait uses the notice.
#ifndef KIVO_SUPPORT_STOPNOTICE_H
#define KIVO_SUPPORT_STOPNOTICE_H

#include <atomic>
#include <chrono>

#include "support/posixIo.h"

namespace kivo {

class StopNotice {
 public:
  using Clock = std::chrono::steady_clock;

  StopNotice();
  StopNotice(const StopNotice&) = delete;
  StopNotice& operator=(const StopNotice&) = delete;

  // Records now + grace as the deadline and wakes every wait. Only the first
  // call counts: a second SIGTERM does not move the deadline.
  void begin(std::chrono::milliseconds grace);

  bool begun() const { return deadline_.load() != kNone; }

  // The deadline; only meaningful once begun() is true.
  Clock::time_point deadline() const;

  // Readable from begin() on. -1 when the descriptor could not be made: a
  // wait then sees the stop only when something else wakes it.
  int fd() const { return event_.get(); }

  // Forgets the stop: begun() is false and fd() unreadable again.
  void reset();

 private:
  static constexpr long long kNone = -1;

  FileDescriptor event_;
  // Clock ticks since the clock's epoch, or kNone.
  std::atomic<long long> deadline_{kNone};
};

}  // namespace kivo

#endif
