// The daemon's stop: the one place that says "stop", and the ways every part
// hears it.
//
// stop() is the only writer of die_kivo: it begins the StopNotice (the
// deadline stop_grace later, by which every program still running is
// killed), sets die_kivo from 0 to 1 under fifo_trap's mutex, runs the wake
// callbacks once, still under that mutex, and wakes every worker waiting on
// fifo_trap. A part that waits hears the stop in one of two ways: a wait on
// a descriptor polls notice().fd(); a wait on a condition of its own
// registers a callback with onStop() that ends it.
//
// The callbacks run under fifo_trap's mutex: they must only wake (take no
// lock held elsewhere while fifo_trap's mutex is wanted). Because they run
// under it, a thread that calls stop() after another returns only once the
// first's callbacks are done: the caller may then free what they use.
//
// Register callbacks and set the grace before other threads use the object;
// stop(), stopped(), pause() and notice() may be called from any thread.
#ifndef KIVO_DAEMON_BASE_DAEMONSTOP_H
#define KIVO_DAEMON_BASE_DAEMONSTOP_H

#include <chrono>
#include <functional>
#include <vector>

#include "support/stopNotice.h"

namespace kivo {

class Stop {
 public:
  Stop() = default;
  Stop(const Stop&) = delete;
  Stop& operator=(const Stop&) = delete;

  // The time from the stop to the kill of programs still running.
  void setGrace(std::chrono::seconds grace) { grace_ = grace; }
  void onStop(std::function<void()> wake) { wakes_.push_back(std::move(wake)); }

  // Says stop; only the first call does anything.
  void stop();
  bool stopped() const;

  // Sleeps for length, or until the stop.
  void pause(std::chrono::milliseconds length) const;

  StopNotice& notice() { return notice_; }

  // For tests: die_kivo back to 0 and the notice forgotten, with no wait
  // under way.
  void reset();

 private:
  StopNotice notice_;
  std::chrono::seconds grace_{10};
  std::vector<std::function<void()>> wakes_;
};

}  // namespace kivo

#endif
