#include "daemon/intake/spoolWatch.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "daemon/intake/intakeWakeup.h"

namespace kivo {

namespace {

// A file linked (the spool handlers' way), renamed or written into the
// directory. The handlers publish complete files, so their name appears
// with their content. A change of mode may make an entry readable.
const uint32_t kArrivalEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;
const uint32_t kWatchedEvents = kArrivalEvents | IN_ATTRIB | IN_MOVE_SELF;

// A name created empty is a file still being written in place: its close
// is the arrival. A linked file comes with its content.
bool createdWithContent(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
}

}  // namespace

SpoolWatch::SpoolWatch(IntakeWakeup& wakeup, std::string directory)
    : wakeup_(wakeup),
      directory_(std::move(directory)),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      quit_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (inotify_.valid() && quit_.valid()) thread_ = std::thread(&SpoolWatch::run, this);
}

SpoolWatch::~SpoolWatch() {
  if (!thread_.joinable()) return;
  uint64_t one = 1;
  (void)writeAll(quit_.get(), reinterpret_cast<const char*>(&one), sizeof one);
  thread_.join();
}

SpoolWatch::Watch SpoolWatch::watch() {
  if (!thread_.joinable()) return kUnwatched;
  if (watchDescriptor_.load() >= 0) return kWatched;
  int added = ::inotify_add_watch(inotify_.get(), directory_.c_str(), kWatchedEvents | IN_ONLYDIR);
  watchDescriptor_.store(added);
  return added >= 0 ? kNewlyWatched : kUnwatched;
}

SpoolWatch::Changes SpoolWatch::takeChanges() {
  Changes changes;
  std::lock_guard<std::mutex> hold(changesMutex_);
  changes.names.assign(changed_.begin(), changed_.end());
  changes.lost = lost_;
  changed_.clear();
  lost_ = false;
  return changes;
}

void SpoolWatch::run() {
  pollfd watched[2] = {{inotify_.get(), POLLIN, 0}, {quit_.get(), POLLIN, 0}};
  for (;;) {
    int ready = ::poll(watched, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (watched[1].revents & POLLIN) != 0) return;
    if ((watched[0].revents & POLLIN) != 0) readEvents();
  }
}

void SpoolWatch::readEvents() {
  alignas(inotify_event) char buffer[16384];
  bool arrived = false;
  for (;;) {
    ssize_t got = readRetry(inotify_.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    std::lock_guard<std::mutex> hold(changesMutex_);
    for (char* at = buffer; at < buffer + got;) {
      const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      // The directory was removed or moved away: the watch is gone and is
      // added again once the directory is back. A pass reports the outage
      // at once. An overflow lost events: a pass over the whole directory
      // finds whatever they were about.
      // A directory moved away keeps its watch: the watch is dropped, so
      // that the directory now at the path is watched instead.
      if ((event->mask & IN_MOVE_SELF) != 0) {
        ::inotify_rm_watch(inotify_.get(), event->wd);
        watchDescriptor_.store(-1);
      }
      if (((event->mask & IN_IGNORED) != 0 && event->wd == watchDescriptor_.load()) ||
          (event->mask & (IN_Q_OVERFLOW | IN_MOVE_SELF)) != 0) {
        if ((event->mask & IN_IGNORED) != 0) watchDescriptor_.store(-1);
        lost_ = true;
        arrived = true;
        continue;
      }
      if (event->len == 0) continue;
      std::string name = event->name;
      changed_.insert(name);
      if ((event->mask & (IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB)) != 0) arrived = true;
      if ((event->mask & IN_CREATE) != 0 && createdWithContent(directory_ + name)) arrived = true;
    }
  }
  if (arrived) wakeup_.notify(IntakeWakeup::kArrival);
}

}  // namespace kivo
