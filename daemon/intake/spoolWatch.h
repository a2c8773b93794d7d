// Watches the spool directory for arriving files, so that the intake takes a
// trap as soon as its file is there instead of at the end of its pause, and
// knows which names changed, so that a pass need not list the whole
// directory again.
//
// An inotify instance reports a name linked, moved, written or changed in
// the directory; a thread owned by the watch collects those names and wakes
// the intake (IntakeWakeup::kArrival) for a file that arrived. Events lost
// (the kernel's queue overflowed, or the directory went away) ask for the
// directory to be listed whole. The watch is added by the main thread, again
// after the directory was removed or when it did not exist yet; where
// inotify cannot watch the directory, watch() says so and the intake falls
// back to its timed passes over the whole directory. The destructor stops
// and joins the thread.
#ifndef KIVO_DAEMON_INTAKE_SPOOLWATCH_H
#define KIVO_DAEMON_INTAKE_SPOOLWATCH_H

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/posixIo.h"

namespace kivo {

class IntakeWakeup;

class SpoolWatch {
 public:
  // directory ends with "/".
  SpoolWatch(IntakeWakeup& wakeup, std::string directory);
  ~SpoolWatch();
  SpoolWatch(const SpoolWatch&) = delete;
  SpoolWatch& operator=(const SpoolWatch&) = delete;

  enum Watch {
    kUnwatched,     // the directory cannot be watched (now)
    kWatched,       // watched since an earlier call
    kNewlyWatched,  // watched from now on: events before now were not seen
  };

  // Watches the directory unless it is watched already. Called by the main
  // thread only.
  Watch watch();

  // The names that events reported since the last call, in name order, and
  // whether events were lost so that the whole directory must be listed.
  struct Changes {
    std::vector<std::string> names;
    bool lost = false;
  };
  Changes takeChanges();

 private:
  void run();
  void readEvents();

  IntakeWakeup& wakeup_;
  const std::string directory_;
  FileDescriptor inotify_;
  FileDescriptor quit_;  // an eventfd that ends the thread
  std::atomic<int> watchDescriptor_{-1};
  std::mutex changesMutex_;
  std::set<std::string> changed_;  // guarded by changesMutex_
  bool lost_ = false;              // guarded by changesMutex_
  std::thread thread_;
};

}  // namespace kivo

#endif
