#include "support/logFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <utility>

#include "support/exceptions.h"
#include "support/posixIo.h"

using kivo::FileDescriptor;
using kivo::lacksResources;
using kivo::localTimestamp;
using kivo::writeAll;

namespace {

const int kAppendFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
const mode_t kLogMode = 0644;

}  // namespace

std::string kivo::localTimestamp() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char text[32];
  asctime_r(&local, text);
  std::string stamp(text);
  size_t lineFeed = stamp.rfind('\n');
  if (lineFeed != std::string::npos) stamp.erase(lineFeed);
  return stamp;
}

logFile::logFile(std::string path) : path_(std::move(path)) {
  FileDescriptor file(::open(path_.c_str(), kAppendFlags, kLogMode));
  if (!file.valid()) throw FileException(openError());
}

logFile::logFile(const char* path) : path_(path) {}

logFile::~logFile() = default;

void logFile::write(std::string text) { append(text + "\n"); }

void logFile::write(std::string first, std::string second) {
  append(localTimestamp() + "#" + first + "#" + second + "\n");
}

long logFile::size() {
  FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0) throw FileException(openError());
  return static_cast<long>(status.st_size);
}

std::string logFile::getFileName() {
  size_t slash = path_.rfind('/');
  return slash == std::string::npos ? path_ : path_.substr(slash);
}

std::string logFile::getDirectory() {
  size_t slash = path_.rfind('/');
  return slash == std::string::npos ? path_ : path_.substr(0, slash);
}

void logFile::append(const std::string& line) {
  // Descriptors running short pass: the line waits for one, a moment.
  const int kAttempts = 100;
  const timespec kPause = {0, 10 * 1000 * 1000};
  FileDescriptor file(::open(path_.c_str(), kAppendFlags, kLogMode));
  for (int attempt = 1; !file.valid() && lacksResources(errno) && attempt < kAttempts; ++attempt) {
    ::nanosleep(&kPause, nullptr);
    file.reset(::open(path_.c_str(), kAppendFlags, kLogMode));
  }
  // One write per line: with O_APPEND the line lands whole at the end of the
  // file, whatever another writer did in the meantime.
  if (!file.valid() || writeAll(file.get(), line) != 0) throw FileException(openError());
}

std::string logFile::openError() const { return "error open file: " + path_; }
