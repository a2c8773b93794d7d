#include "daemon/spoolIntake.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <set>

#include "daemon/kivoTrapd.h"
#include "support/exceptions.h"
#include "support/posixIo.h"
#include "support/spoolFile.h"

const char* const kPutBackPrefix = "0requeued-";

SpoolIntake::SpoolIntake(std::string directory, ExecuteQueue<snmpTrap>& queue)
    : directory_(std::move(directory)), queue_(queue) {}

void SpoolIntake::runPass() {
  std::vector<std::string> names;
  if (!listEntries(names)) return;
  for (const std::string& name : names) takeFile(name);
  forgetVanished(names);
}

bool SpoolIntake::listEntries(std::vector<std::string>& names) {
  DIR* directory = ::opendir(directory_.c_str());
  if (directory == nullptr) {
    // Once per outage: the directory may be missing for a long time.
    if (!unreadable_) {
      write_log("ERR", "kivo can't open spool directory " + directory_ + ": " + errnoText(errno));
    }
    unreadable_ = true;
    return false;
  }
  if (unreadable_) write_log("INFO", "spool dir readable again: " + directory_);
  unreadable_ = false;
  while (struct dirent* entry = ::readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(directory);
  std::sort(names.begin(), names.end());
  return true;
}

void SpoolIntake::takeFile(const std::string& name) {
  std::string path = directory_ + name;
  if (!alreadyQueued(name, path)) {
    snmpTrap trap;
    trap.read(path);
    queue_.push(trap);
  }
  if (::remove(path.c_str()) == 0) {
    undeletable_.erase(name);
    return;
  }
  write_log("ERR", "kivo can't delete " + path);
  struct stat status;
  if (::lstat(path.c_str(), &status) == 0) {
    undeletable_[name] = FileIdentity(status.st_dev, status.st_ino);
  }
}

bool SpoolIntake::alreadyQueued(const std::string& name, const std::string& path) {
  auto known = undeletable_.find(name);
  if (known == undeletable_.end()) return false;
  struct stat status;
  if (::lstat(path.c_str(), &status) == 0 &&
      known->second == FileIdentity(status.st_dev, status.st_ino)) {
    return true;
  }
  // Another file under the same name: a new trap.
  undeletable_.erase(known);
  return false;
}

void SpoolIntake::forgetVanished(const std::vector<std::string>& names) {
  for (auto it = undeletable_.begin(); it != undeletable_.end();) {
    if (std::binary_search(names.begin(), names.end(), it->first)) {
      ++it;
    } else {
      it = undeletable_.erase(it);
    }
  }
}

namespace {

// Nanoseconds since the epoch, fixed width, so that names sort by time.
std::string wallClockStamp() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char text[32];
  snprintf(text, sizeof text, "%010lld%09ld", static_cast<long long>(now.tv_sec), now.tv_nsec);
  return text;
}

std::string putBackName(const std::string& stamp, size_t sequence) {
  char number[24];
  snprintf(number, sizeof number, "%09zu", sequence);
  return std::string(kPutBackPrefix) + stamp + "-" + number;
}

}  // namespace

size_t putBackTraps(ExecuteQueue<snmpTrap>& queue, const std::string& directory) {
  size_t written = 0;
  size_t lost = 0;
  std::string firstError;
  std::string stamp = wallClockStamp();
  for (size_t sequence = 0; !queue.empty(); ++sequence) {
    snmpTrap trap = queue.pop();
    try {
      // A name taken by a file of an earlier stop gets a newer stamp.
      while (!publishFile(directory + putBackName(stamp, sequence), trap.toSpoolText())) {
        stamp = wallClockStamp();
      }
      ++written;
    } catch (const FileException& e) {
      if (lost++ == 0) firstError = e.what();
    }
  }
  if (lost > 0) {
    write_log("ERR", "kivo can't put back " + std::to_string(lost) + " queued traps: " + firstError);
  }
  return written;
}
