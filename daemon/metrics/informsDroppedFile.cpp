#include "daemon/metrics/informsDroppedFile.h"

#include <errno.h>
#include <fcntl.h>

#include "daemon/base/systemLog.h"
#include "support/exceptions.h"
#include "support/logText.h"
#include "support/metrics.h"
#include "support/posixIo.h"

namespace kivo {

namespace {

// More than the longest count and its newline: a file this long holds none.
const size_t kLongestFile = 24;
// The most digits read as a count, which then fits in 64 bits.
const size_t kMostDigits = 19;

bool isCount(const std::string& text) {
  size_t digits = text.find_first_not_of("0123456789");
  if (digits == std::string::npos) digits = text.size();
  return digits > 0 && digits <= kMostDigits &&
         (digits == text.size() || (digits + 1 == text.size() && text.back() == '\n'));
}

}  // namespace

unsigned long long InformsDroppedFile::read() const {
  // Non-blocking: a FIFO put there never holds the metrics thread.
  FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid() && errno == ENOENT) return 0;
  if (!file.valid()) throw FileException(errnoText(errno));
  // The handler replaces the file whole, so one read gets all of it.
  char buffer[kLongestFile];
  ssize_t size = readRetry(file.get(), buffer, sizeof buffer);
  if (size < 0) throw FileException(errnoText(errno));
  std::string text(buffer, static_cast<size_t>(size));
  if (!isCount(text)) throw FileException("no count in \"" + escapeControls(text) + "\"");
  return std::stoull(text);
}

void InformsDroppedFile::refresh(Metrics& metrics) {
  try {
    metrics.informsDroppedRead(read());
  } catch (const FileException& e) {
    if (failure_.failed().kind == Episode::Line::kBegins) {
      write_log("ERR", "can't read dropped INFORM count " + path_ + ": " + e.message);
    }
    return;
  }
  if (failure_.succeeded().kind == Episode::Line::kEnds) {
    write_log("INFO", "dropped INFORM count " + path_ + " read again");
  }
}

}  // namespace kivo
