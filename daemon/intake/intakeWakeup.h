// The pause of the intake loop between two passes over the spool directory,
// and the ways to end it early.
//
// The main thread pauses here; other threads wake it for a reason: a file
// arrived in the spool (the spool watch), the workers made room for more
// traps (the ledger), or the stop began (SIGTERM). A reason notified while no
// pause waits for it stays pending, so the next pause that waits for it
// returns at once and nothing that happened during a pass is missed. All
// members are guarded by the object's mutex; any thread may notify.
#ifndef KIVO_DAEMON_INTAKE_INTAKEWAKEUP_H
#define KIVO_DAEMON_INTAKE_INTAKEWAKEUP_H

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace kivo {

class IntakeWakeup {
 public:
  enum Reason : unsigned {
    kArrival = 1,  // a file arrived in the spool directory
    kRoom = 2,     // the intake may take more traps
    kAny = kArrival | kRoom,
  };

  // stop is the daemon's stop flag: every pause ends once it is set and
  // wakeForStop() has been called (the daemon's Stop calls it at the stop).
  explicit IntakeWakeup(const std::atomic<int>& stop) : stop_(stop) {}
  IntakeWakeup(const IntakeWakeup&) = delete;
  IntakeWakeup& operator=(const IntakeWakeup&) = delete;

  void notify(Reason reason);
  // Ends any pause once the stop flag is set.
  void wakeForStop();

  // Sleeps until one of reasons is pending (and takes it), the stop, or
  // length has passed. A null length sets no time limit; a length of zero or
  // less returns at once.
  void pause(unsigned reasons, const timespec* length);

 private:
  const std::atomic<int>& stop_;
  std::mutex mutex_;
  std::condition_variable condition_;
  unsigned pending_ = 0;
};

}  // namespace kivo

#endif
