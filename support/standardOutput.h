// The daemon's standard output: the process's descriptor 1 until main opens
// the system log, the system log file from then on.
//
// Every line reaches the file whole: it is written with one write call under
// one process-wide lock, so lines of different threads never mix inside a
// line. Trace lines of the support classes and the raw lines of exception
// handlers go through writeStandardOutput; timestamped lines go through the
// daemon's write_log, which ends here too.
#ifndef KIVO_SUPPORT_STANDARDOUTPUT_H
#define KIVO_SUPPORT_STANDARDOUTPUT_H

#include <string>

#include "support/posixIo.h"

namespace kivo {

// Appends text (which should end with a line feed) to standard output.
void writeStandardOutput(const std::string& text);

// Appends line and a line feed.
void writeStandardOutputLine(const std::string& line);

// From now on standard output is fd. The caller keeps fd open for as long as
// anything may write; -1 sends output back to descriptor 1.
void redirectStandardOutput(int fd);

// The descriptor that standard output currently goes to. A forked child
// writes its messages there directly, since it may take no lock.
int standardOutputDescriptor();

// Sends standard output to /dev/null for the life of the holder, then back
// to descriptor 1: for the commands that print their own report on
// descriptor 1 and must write no log line. Owns its descriptor; one holder
// at a time, made and dropped by the main thread.
class DiscardedStandardOutput {
 public:
  DiscardedStandardOutput();
  ~DiscardedStandardOutput();
  DiscardedStandardOutput(const DiscardedStandardOutput&) = delete;
  DiscardedStandardOutput& operator=(const DiscardedStandardOutput&) = delete;

 private:
  FileDescriptor null_;
};

}  // namespace kivo

#endif
