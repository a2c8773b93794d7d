#include "daemon/spoolLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>

#include <utility>

SpoolLock::Result SpoolLock::acquire(const std::string& directory, int* error) {
  if (held()) return kHeld;
  FileDescriptor opened(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.valid()) {
    *error = errno;
    return kUnavailable;
  }
  int locked;
  do {
    locked = ::flock(opened.get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    *error = errno;
    return errno == EWOULDBLOCK ? kTaken : kUnavailable;
  }
  directory_ = std::move(opened);
  return kHeld;
}
