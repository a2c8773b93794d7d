#include "support/standardOutput.h"

#include <unistd.h>

#include <atomic>
#include <mutex>

#include "support/posixIo.h"

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
