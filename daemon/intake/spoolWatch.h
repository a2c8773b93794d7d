// Watches the spool directory for arriving files, so that the intake takes a
// trap as soon as its file is there instead of at the end of its pause, and
// knows which names changed, so that a pass need not list the whole
// directory again.
//
// An inotify instance reports a name linked, moved, written or changed in
// the directory; a thread owned by the watch collects those names and wakes
// the intake (IntakeWakeup::kArrival) for a file that arrived. Events lost
// (the kernel's queue overflowed, or the directory went away) ask for the
// directory to be listed whole. The watch is on the directory that was at
// the path when it was added: a directory removed while the daemon holds it
// open (its claim, SpoolLock) sends no event, and one replaced sends none
// for the new one. So the thread also compares, once a second, the
// directory at the path (device and inode) with the watched one, and wakes
// the intake when the path changed; watch() compares them too and watches
// the directory now at the path. The watch is added by the main thread;
// where inotify cannot watch the directory, watch() says so and the intake
// falls back to its timed passes over the whole directory. The destructor
// stops and joins the thread.
#ifndef KIVO_DAEMON_INTAKE_SPOOLWATCH_H
#define KIVO_DAEMON_INTAKE_SPOOLWATCH_H

#include <sys/types.h>

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

  // Watches the directory at the path unless it is watched already; a
  // watched directory that is no longer at the path (removed, moved away
  // or replaced) is let go first. Called by the main thread only.
  Watch watch();

  // The names that events reported since the last call, in name order;
  // whether events were lost so that the whole directory must be listed;
  // and whether watch() found the watched directory replaced by another.
  struct Changes {
    std::vector<std::string> names;
    bool lost = false;
    bool replaced = false;
  };
  Changes takeChanges();

 private:
  // A directory's device and inode; all zero for none.
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator!=(const Identity& other) const {
      return device != other.device || inode != other.inode;
    }
  };
  Identity identityAtPath() const;
  void unwatch();
  void run();
  void readEvents();
  // Wakes the intake when the directory at the path changed since the last
  // look and is not the watched one.
  void checkPath();

  IntakeWakeup& wakeup_;
  const std::string directory_;
  FileDescriptor inotify_;
  FileDescriptor quit_;  // an eventfd that ends the thread
  std::atomic<int> watchDescriptor_{-1};
  std::mutex changesMutex_;
  std::set<std::string> changed_;  // guarded by changesMutex_
  bool lost_ = false;              // guarded by changesMutex_
  bool replaced_ = false;          // guarded by changesMutex_
  Identity watched_;               // guarded by changesMutex_
  Identity seen_;                  // the thread's last look at the path
  std::thread thread_;
};

}  // namespace kivo

#endif
