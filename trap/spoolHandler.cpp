#include "trap/spoolHandler.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "support/exceptions.h"
#include "support/posixIo.h"
#include "support/spoolFile.h"

namespace kivo {

namespace {

// Names are unique within one handler by the attempt number and across
// handlers by the process id; this bounds the retries on a name that another
// writer took.
const unsigned kMaxAttempts = 100;

}  // namespace

std::string addReceiveDate(const std::string& trapText, const struct tm& local) {
  char date[64];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  std::string text = trapText;
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text + "date " + date + "\n";
}

std::string spoolFileName(const timespec& now, pid_t pid, unsigned attempt) {
  char name[96];
  snprintf(name, sizeof name, "trap-%010lld%09ld-%d-%u", static_cast<long long>(now.tv_sec),
           now.tv_nsec, static_cast<int>(pid), attempt);
  return name;
}

std::string spoolPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

int handleTrap(int input, const std::string& directory, std::string* error) {
  std::string trapText;
  int failure = readAll(input, trapText);
  if (failure != 0) {
    *error = "can't read the trap: " + errnoText(failure);
    return 1;
  }
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  std::string content = addReceiveDate(trapText, local);
  try {
    for (unsigned attempt = 0; attempt < kMaxAttempts; ++attempt) {
      if (publishFile(spoolPath(directory, spoolFileName(now, getpid(), attempt)), content)) {
        return 0;
      }
    }
    *error = "can't find a free spool file name in " + directory;
  } catch (const FileException& e) {
    *error = e.what();
  }
  return 1;
}

}  // namespace kivo
