// Sends the daemon's standard output into a file for the life of the holder,
// so that a test can read the lines that a unit wrote.
#ifndef KIVO_TESTING_CAPTUREDOUTPUT_H
#define KIVO_TESTING_CAPTUREDOUTPUT_H

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "support/posixIo.h"
#include "support/standardOutput.h"
#include "testing/tempDir.h"

namespace kivo {

class CapturedOutput {
 public:
  CapturedOutput()
      : path_(dir_.file("stdout")),
        file_(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
    redirectStandardOutput(file_.get());
  }
  ~CapturedOutput() { redirectStandardOutput(-1); }

  std::string text() const { return readFile(path_); }
  // Forgets what was written so far.
  void clear() { (void)::ftruncate(file_.get(), 0); }

 private:
  TempDir dir_;
  std::string path_;
  FileDescriptor file_;
};

}  // namespace kivo

#endif
