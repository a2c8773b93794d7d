#include "daemon/intake/spoolLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <thread>
#include <utility>

namespace kivo {

namespace {

// flock(2) without waiting, retried after EINTR: 0 or the error number.
int tryLock(int fd) {
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked == 0 ? 0 : errno;
}

// Whether fd is the directory now at path.
bool isAt(int fd, const std::string& path) {
  struct stat held, now;
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 &&
         held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

}  // namespace

SpoolLock::Result SpoolLock::acquire(const std::string& directory,
                                     std::chrono::milliseconds patience) {
  if (held()) {
    if (isAt(directory_.get(), directory)) return kHeld;
    // Removed or moved away: the claim follows the path, so that no other
    // daemon takes the directory now there.
    directory_.reset();
  }
  FileDescriptor opened(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.valid()) return kUnavailable;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  const std::chrono::milliseconds step(50);
  int failure = tryLock(opened.get());
  while (failure == EWOULDBLOCK && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(step);
    failure = tryLock(opened.get());
  }
  if (failure != 0) return failure == EWOULDBLOCK ? kTaken : kUnavailable;
  directory_ = std::move(opened);
  return kHeld;
}

}  // namespace kivo
