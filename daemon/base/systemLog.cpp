#include "daemon/base/systemLog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "daemon/base/daemonGlobals.h"
#include "support/exceptions.h"
#include "support/standardOutput.h"

using kivo::FileDescriptor;
using kivo::SystemLog;
using kivo::localTimestamp;
using kivo::redirectStandardOutput;
using kivo::writeStandardOutput;

std::mutex mutex_log_system;

void write_log(std::string level, std::string message) {
  // The lock also orders lines by their timestamps.
  std::lock_guard<std::mutex> hold(mutex_log_system);
  writeStandardOutput(localTimestamp() + "#" + level + "#" + message + "\n");
}

namespace kivo {

namespace {

// Moves path to previous; 0 when done or when there was nothing to move.
int movePrevious(const std::string& path, const std::string& previous) {
  if (::rename(path.c_str(), previous.c_str()) == 0 || errno == ENOENT) return 0;
  return errno;
}

int openRetry(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

SystemLog::~SystemLog() {
  if (file_.valid()) redirectStandardOutput(-1);
}

void SystemLog::open(const std::string& path) {
  path_ = path;
  keepPreviousError_ = path.empty() ? 0 : movePrevious(path, previousPath());
  file_.reset(openRetry(path, O_RDWR | O_CREAT | O_TRUNC | O_APPEND));
  if (!file_.valid()) throw FileException("ERROR can't open system file " + path);
  redirectStandardOutput(file_.get());
}

int SystemLog::reopen() {
  FileDescriptor fresh(openRetry(path_, O_WRONLY | O_CREAT | O_APPEND));
  if (!fresh.valid()) return errno;
  int done;
  do {
    done = ::dup3(fresh.get(), file_.get(), O_CLOEXEC);
  } while (done < 0 && (errno == EINTR || errno == EBUSY));
  return done < 0 ? errno : 0;
}

}  // namespace kivo
