// Small holders and helpers over POSIX descriptors.
//
// FileDescriptor owns one descriptor and closes it on every way out of its
// scope. The helpers retry on EINTR, since SIGTERM is installed without
// SA_RESTART and may interrupt any thread's system call.
#ifndef KIVO_SUPPORT_POSIXIO_H
#define KIVO_SUPPORT_POSIXIO_H

#include <sys/types.h>

#include <string>

namespace kivo {

// The system's text for an error number (strerror), safe to call from any
// thread. Call it right after the failing call, before errno can change.
std::string errnoText(int error);

// Whether error is a lack of resources (descriptors, memory, processes)
// that passes, rather than something wrong with what was asked for.
bool lacksResources(int error);

// Raises the soft limit on open files to the hard limit. Returns 0, or the
// error number; *limit gets the soft limit in force afterwards.
int raiseOpenFileLimit(unsigned long* limit);

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }

  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release();
  // Closes the held descriptor, if any, and holds fd instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all of data, retrying after EINTR and short writes. Returns 0, or
// the error number when the descriptor refuses it.
int writeAll(int fd, const char* data, size_t size);
int writeAll(int fd, const std::string& data);

// read(2) retried after EINTR.
ssize_t readRetry(int fd, void* buffer, size_t size);

// Reads until end of file or error; returns 0, or the error number.
int readAll(int fd, std::string& out);

}  // namespace kivo

#endif
