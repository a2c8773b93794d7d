// The daemon's system log file and its line writer.
//
// SystemLog owns the open file that standard output goes into from open()
// until the object goes; main owns the one SystemLog. open() runs on the main
// thread before any other thread exists; reopen() may run on any thread
// while others write lines: it swaps the file under the same descriptor
// number, so a line goes whole into either the old or the new file, and a
// child being started never meets a closed descriptor.
#ifndef KIVO_DAEMON_BASE_SYSTEMLOG_H
#define KIVO_DAEMON_BASE_SYSTEMLOG_H

#include <string>

#include "support/posixIo.h"

// Appends one line to the system log: the local time in asctime form, "#",
// level, "#", message. Callable from any thread at any time.
void write_log(std::string level, std::string message);

namespace kivo {

class SystemLog {
 public:
  SystemLog() = default;
  // Sends standard output back to descriptor 1, then closes the file.
  ~SystemLog();
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  // Moves the file of the previous run aside to previousPath(), so that a
  // restart keeps the reason for the stop before it, then opens path new
  // and empty and sends standard output into it. Throws FileException
  // "ERROR can't open system file " + path when it cannot be opened.
  void open(const std::string& path);

  // Opens the file at path() again, appending and creating it when it is
  // missing (after a rotation or a move). Returns 0, or the error number
  // with the old file still in use.
  int reopen();

  const std::string& path() const { return path_; }
  std::string previousPath() const { return path_ + ".previous"; }
  // 0, or why open() could not move the previous file aside (it was then
  // emptied).
  int keepPreviousError() const { return keepPreviousError_; }

 private:
  std::string path_;
  FileDescriptor file_;
  int keepPreviousError_ = 0;
};

}  // namespace kivo

#endif
