#include "daemon/intake/spoolWatch.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "daemon/intake/intakeWakeup.h"

namespace kivo {

namespace {

// A file linked (the spool handlers' way), renamed or written into the
// directory. The handlers publish complete files, so their name appears
// with their content. A change of mode may make an entry readable.
const uint32_t kArrivalEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;
const uint32_t kWatchedEvents = kArrivalEvents | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// How often the thread looks at the path: one stat(2).
const std::chrono::milliseconds kPathCheckEvery{1000};

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

SpoolWatch::Identity SpoolWatch::identityAtPath() const {
  struct stat status;
  if (::stat(directory_.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return Identity{};
  return Identity{status.st_dev, status.st_ino};
}

void SpoolWatch::unwatch() {
  int old = watchDescriptor_.exchange(-1);
  if (old >= 0) ::inotify_rm_watch(inotify_.get(), old);
}

SpoolWatch::Watch SpoolWatch::watch() {
  if (!thread_.joinable()) return kUnwatched;
  const Identity atPath = identityAtPath();
  const bool watching = watchDescriptor_.load() >= 0;
  {
    std::lock_guard<std::mutex> hold(changesMutex_);
    if (watching && !(atPath != watched_)) return kWatched;
    if (watched_.inode != 0 && atPath != watched_) {
      // Whatever the old directory held is gone from the path: the one
      // there now is listed whole.
      lost_ = true;
      if (atPath.inode != 0) replaced_ = true;
      watched_ = Identity{};
    }
  }
  unwatch();
  if (atPath.inode == 0) return kUnwatched;
  int added = ::inotify_add_watch(inotify_.get(), directory_.c_str(), kWatchedEvents | IN_ONLYDIR);
  if (added < 0) return kUnwatched;
  if (identityAtPath() != atPath) {
    // Replaced again meanwhile: the next call watches the one there then.
    ::inotify_rm_watch(inotify_.get(), added);
    return kUnwatched;
  }
  {
    std::lock_guard<std::mutex> hold(changesMutex_);
    watched_ = atPath;
  }
  watchDescriptor_.store(added);
  return kNewlyWatched;
}

SpoolWatch::Changes SpoolWatch::takeChanges() {
  Changes changes;
  std::lock_guard<std::mutex> hold(changesMutex_);
  changes.names.assign(changed_.begin(), changed_.end());
  changes.lost = lost_;
  changes.replaced = replaced_;
  changed_.clear();
  lost_ = false;
  replaced_ = false;
  return changes;
}

void SpoolWatch::run() {
  using Clock = std::chrono::steady_clock;
  pollfd watched[2] = {{inotify_.get(), POLLIN, 0}, {quit_.get(), POLLIN, 0}};
  Clock::time_point nextCheck = Clock::now() + kPathCheckEvery;
  for (;;) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextCheck - Clock::now());
    int ready = ::poll(watched, 2, static_cast<int>(std::max<long long>(wait.count(), 0)) + 1);
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0 && (watched[1].revents & POLLIN) != 0) return;
    if (ready > 0 && (watched[0].revents & POLLIN) != 0) readEvents();
    if (Clock::now() >= nextCheck) {
      checkPath();
      nextCheck = Clock::now() + kPathCheckEvery;
    }
  }
}

void SpoolWatch::checkPath() {
  const Identity atPath = identityAtPath();
  if (!(atPath != seen_)) return;
  seen_ = atPath;
  {
    std::lock_guard<std::mutex> hold(changesMutex_);
    if (!(atPath != watched_) && watchDescriptor_.load() >= 0) return;
    lost_ = true;
  }
  wakeup_.notify(IntakeWakeup::kArrival);
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
      // The directory went away, or events were lost: a pass lists the
      // directory whole, and watch() watches the one now at the path. A
      // watch that the kernel dropped is gone.
      if ((event->mask & IN_IGNORED) != 0) {
        int dropped = event->wd;
        if (watchDescriptor_.compare_exchange_strong(dropped, -1)) lost_ = arrived = true;
        continue;
      }
      if ((event->mask & (IN_Q_OVERFLOW | IN_MOVE_SELF | IN_DELETE_SELF)) != 0) {
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
