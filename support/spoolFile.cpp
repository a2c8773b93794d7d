#include "support/spoolFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "support/exceptions.h"
#include "support/posixIo.h"

namespace kivo {

namespace {

const mode_t kSpoolMode = 0644;

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

[[noreturn]] void fail(const std::string& path, int error) {
  throw FileException("can't write spool file " + path + ": " + errnoText(error));
}

}  // namespace

bool publishFileThroughTemporary(const std::string& path, const std::string& content) {
  std::string directory = directoryOf(path);
  std::string pattern = directoryOf(directory) + "/.kivo-spool-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  FileDescriptor file(::mkostemp(name.data(), O_CLOEXEC));
  if (!file.valid()) fail(path, errno);
  std::string temporary(name.data());
  int error = 0;
  error = writeAll(file.get(), content);
  if (error == 0 && ::fchmod(file.get(), kSpoolMode) != 0) error = errno;
  if (error == 0 && ::link(temporary.c_str(), path.c_str()) != 0) error = errno;
  ::unlink(temporary.c_str());
  if (error == EEXIST) return false;
  if (error != 0) fail(path, error);
  return true;
}

bool publishFile(const std::string& path, const std::string& content) {
  std::string directory = directoryOf(path);
  FileDescriptor file(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kSpoolMode));
  if (!file.valid()) {
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      return publishFileThroughTemporary(path, content);
    }
    fail(path, errno);
  }
  int error = writeAll(file.get(), content);
  if (error != 0) fail(path, error);
  std::string procPath = "/proc/self/fd/" + std::to_string(file.get());
  if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    if (errno == EEXIST) return false;
    if (errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
      return publishFileThroughTemporary(path, content);
    }
    fail(path, errno);
  }
  return true;
}

}  // namespace kivo
