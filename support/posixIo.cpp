#include "support/posixIo.h"

#include <errno.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kivo {

std::string errnoText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which may or may not be buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

bool lacksResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

int raiseOpenFileLimit(unsigned long* limit) {
  struct rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return errno;
  *limit = files.rlim_cur;
  if (files.rlim_cur == files.rlim_max) return 0;
  files.rlim_cur = files.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &files) != 0) return errno;
  *limit = files.rlim_cur;
  return 0;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int FileDescriptor::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileDescriptor::reset(int fd) {
  if (fd_ >= 0) {
    // Linux releases the descriptor even when close reports EINTR, so it is
    // never retried.
    ::close(fd_);
  }
  fd_ = fd;
}

int writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

int writeAll(int fd, const std::string& data) {
  return writeAll(fd, data.data(), data.size());
}

ssize_t readRetry(int fd, void* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

int readAll(int fd, std::string& out) {
  char buffer[8192];
  for (;;) {
    ssize_t got = readRetry(fd, buffer, sizeof buffer);
    if (got < 0) return errno;
    if (got == 0) return 0;
    out.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace kivo
