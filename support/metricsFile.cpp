#include "support/metricsFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/posixIo.h"

namespace kivo {

namespace {

std::string temporaryFor(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t name = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name) + "." + path.substr(name) + ".tmp";
}

// Writes text into a fresh temporary file; 0 or the error number.
int writeTemporary(const std::string& temporary, const std::string& text) {
  // O_NOFOLLOW: a link planted under the temporary name is not followed.
  FileDescriptor file(::open(temporary.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file.valid()) return errno;
  // The mode given to open is cut by the umask; readers of other users need
  // the file whatever the umask.
  if (::fchmod(file.get(), 0644) != 0) return errno;
  int error = writeAll(file.get(), text);
  if (error != 0) return error;
  int fd = file.release();
  if (::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

}  // namespace

MetricsFile::MetricsFile(std::string path)
    : path_(std::move(path)), temporary_(temporaryFor(path_)) {}

int MetricsFile::replace(const std::string& text) {
  int error = writeTemporary(temporary_, text);
  if (error == 0 && ::rename(temporary_.c_str(), path_.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary_.c_str());
  return error;
}

}  // namespace kivo
