#include "support/standardOutput.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "support/posixIo.h"

namespace kivo {

namespace {

std::mutex output_mutex;
std::atomic<int> output_fd{STDOUT_FILENO};

}  // namespace

void writeStandardOutput(const std::string& text) {
  std::lock_guard<std::mutex> hold(output_mutex);
  // Nothing sensible can be done when the log itself refuses a line.
  (void)writeAll(output_fd.load(), text);
}

void writeStandardOutputLine(const std::string& line) {
  writeStandardOutput(line + "\n");
}

void redirectStandardOutput(int fd) {
  std::lock_guard<std::mutex> hold(output_mutex);
  output_fd.store(fd < 0 ? STDOUT_FILENO : fd);
}

int standardOutputDescriptor() { return output_fd.load(); }

DiscardedStandardOutput::DiscardedStandardOutput() {
  int fd;
  do {
    fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  null_.reset(fd);
  // Without /dev/null the lines go to descriptor 1 as before.
  if (null_.valid()) redirectStandardOutput(null_.get());
}

DiscardedStandardOutput::~DiscardedStandardOutput() {
  if (null_.valid()) redirectStandardOutput(-1);
}

}  // namespace kivo
