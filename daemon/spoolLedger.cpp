#include "daemon/spoolLedger.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "daemon/intakeWakeup.h"
#include "daemon/kivoTrapd.h"
#include "support/metrics.h"

SpoolLedger::SpoolLedger(IntakeWakeup& wakeup, size_t limit)
    : wakeup_(wakeup), limit_(std::max<size_t>(limit, 1)) {}

void SpoolLedger::setLimit(size_t limit) {
  std::lock_guard<std::mutex> hold(mutex_);
  limit_ = std::max<size_t>(limit, 1);
}

bool SpoolLedger::inHand(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  return admitted_.count(name) != 0;
}

bool SpoolLedger::undeletable(const std::string& name, FileIdentity identity) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = undeletable_.find(name);
  return known != undeletable_.end() && known->second == identity;
}

bool SpoolLedger::full() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (admitted_.size() < limit_) return false;
  wantRoom_ = true;
  return true;
}

void SpoolLedger::admit(const SpoolOrigin& origin) {
  std::lock_guard<std::mutex> hold(mutex_);
  admitted_[origin.name] = FileIdentity(origin.device, origin.inode);
  undeletable_.erase(origin.name);
}

size_t SpoolLedger::admitted() {
  std::lock_guard<std::mutex> hold(mutex_);
  return admitted_.size();
}

void SpoolLedger::finish(const SpoolOrigin& origin, bool done) {
  if (origin.name.empty()) return;
  kivo::metrics().trapReleased(origin.name);
  // The file goes before the entry: until the entry is gone the intake skips
  // the name, so it can never take the file a second time.
  int error = 0;
  bool removed = !done || removeSpoolFile(origin, &error);
  if (!removed) write_log("ERR", "kivo can't delete " + origin.path);
  if (!removed) kivo::metrics().spoolFileUndeletable();
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    admitted_.erase(origin.name);
    if (!removed) undeletable_[origin.name] = FileIdentity(origin.device, origin.inode);
    if (wantRoom_ && admitted_.size() <= limit_ / 2) {
      wantRoom_ = false;
      wake = true;
    }
  }
  if (wake) wakeup_.notify(IntakeWakeup::kRoom);
}

void SpoolLedger::forgetUndeletable(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  undeletable_.erase(name);
}

void SpoolLedger::forgetVanished(const std::vector<std::string>& sortedNames) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto it = undeletable_.begin(); it != undeletable_.end();) {
    if (std::binary_search(sortedNames.begin(), sortedNames.end(), it->first)) {
      ++it;
    } else {
      it = undeletable_.erase(it);
    }
  }
}

bool removeSpoolFile(const SpoolOrigin& origin, int* error) {
  struct stat status;
  if (::lstat(origin.path.c_str(), &status) != 0) {
    if (errno == ENOENT) return true;
    *error = errno;
    return false;
  }
  // Another file under the name is another trap: it stays.
  if (status.st_dev != origin.device || status.st_ino != origin.inode) return true;
  if (::unlink(origin.path.c_str()) == 0 || errno == ENOENT) return true;
  *error = errno;
  return false;
}
