// Watches the spool directory for arriving files, so that the intake takes a
// trap as soon as its file is there instead of at the end of its pause.
//
// An inotify instance reports a name linked, moved or written into the
// directory; a thread owned by the watch waits for those events and wakes
// the intake (IntakeWakeup::kArrival). The watch is added by the main
// thread, again after the directory was removed or when it did not exist
// yet; where inotify cannot watch the directory, watch() says so and the
// intake falls back to its timed passes. The destructor stops and joins the
// thread.
#ifndef KIVO_DAEMON_SPOOLWATCH_H
#define KIVO_DAEMON_SPOOLWATCH_H

#include <atomic>
#include <string>
#include <thread>

#include "support/posixIo.h"

class IntakeWakeup;

class SpoolWatch {
 public:
  // directory ends with "/".
  SpoolWatch(IntakeWakeup& wakeup, std::string directory);
  ~SpoolWatch();
  SpoolWatch(const SpoolWatch&) = delete;
  SpoolWatch& operator=(const SpoolWatch&) = delete;

  // Watches the directory unless it is watched already. True while it is.
  // Called by the main thread only.
  bool watch();

 private:
  void run();
  void readEvents();

  IntakeWakeup& wakeup_;
  const std::string directory_;
  FileDescriptor inotify_;
  FileDescriptor quit_;  // an eventfd that ends the thread
  std::atomic<int> watchDescriptor_{-1};
  std::thread thread_;
};

#endif
