// The pause of the intake loop between two passes over the spool directory,
// and the ways to end it early.
//
// The main thread pauses here; any thread may wake it: the stop (SIGTERM),
// a worker that has made room for more traps, a watcher that saw a file
// arrive. A wake-up that comes while no pause is under way is kept, so the
// next pause returns at once and nothing that happened during a pass is
// missed. All members are guarded by the object's mutex.
#ifndef KIVO_DAEMON_INTAKEWAKEUP_H
#define KIVO_DAEMON_INTAKEWAKEUP_H

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

class IntakeWakeup {
 public:
  // stop is the daemon's stop flag: the pause ends as soon as it is set and
  // notify() has been called after it.
  explicit IntakeWakeup(const std::atomic<int>& stop) : stop_(stop) {}
  IntakeWakeup(const IntakeWakeup&) = delete;
  IntakeWakeup& operator=(const IntakeWakeup&) = delete;

  // Ends the current pause, or the next one if none is under way.
  void notify();

  // Sleeps for length, or until notify() or the stop. A length of zero or
  // less returns at once.
  void pause(const timespec& length);
  // Sleeps until notify() or the stop, however long that takes.
  void pauseUntilWoken();

 private:
  template <class Wait>
  void waitWith(Wait wait);

  const std::atomic<int>& stop_;
  std::mutex mutex_;
  std::condition_variable condition_;
  bool woken_ = false;
};

#endif
