#include "daemon/intake/spoolLedger.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "daemon/intake/intakeWakeup.h"
#include "daemon/base/systemLog.h"
#include "support/logText.h"
#include "support/metrics.h"

namespace kivo {

SpoolLedger::SpoolLedger(IntakeWakeup& wakeup, Metrics& metrics, size_t limit)
    : wakeup_(wakeup), metrics_(metrics), limit_(std::max<size_t>(limit, 1)) {}

void SpoolLedger::setLimit(size_t limit) {
  std::lock_guard<std::mutex> hold(mutex_);
  limit_ = std::max<size_t>(limit, 1);
}

std::optional<SpoolLedger::Entry> SpoolLedger::find(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = entries_.find(name);
  if (known == entries_.end()) return std::nullopt;
  return known->second;
}

bool SpoolLedger::inHand(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = entries_.find(name);
  return known != entries_.end() && known->second.state == kInHand;
}

bool SpoolLedger::full() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (counts_[kInHand] < limit_) return false;
  wantRoom_ = true;
  return true;
}

size_t SpoolLedger::admitted() {
  std::lock_guard<std::mutex> hold(mutex_);
  return counts_[kInHand];
}

size_t SpoolLedger::skipped() {
  std::lock_guard<std::mutex> hold(mutex_);
  return counts_[kSkipped];
}

std::vector<std::string> SpoolLedger::names(State state) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> found;
  if (counts_[state] == 0) return found;
  for (const auto& entry : entries_) {
    if (entry.second.state == state) found.push_back(entry.first);
  }
  return found;
}

void SpoolLedger::erase(std::map<std::string, Entry>::iterator at) {
  --counts_[at->second.state];
  entries_.erase(at);
}

void SpoolLedger::put(const std::string& name, const Entry& entry) {
  auto known = entries_.find(name);
  if (known != entries_.end()) erase(known);
  entries_[name] = entry;
  ++counts_[entry.state];
}

void SpoolLedger::admit(const SpoolOrigin& origin) {
  std::lock_guard<std::mutex> hold(mutex_);
  Entry entry;
  entry.state = kInHand;
  entry.identity = FileIdentity{origin.device, origin.inode};
  put(origin.name, entry);
}

void SpoolLedger::skip(const std::string& name, FileIdentity identity, const timespec& modified) {
  std::lock_guard<std::mutex> hold(mutex_);
  Entry entry;
  entry.state = kSkipped;
  entry.identity = identity;
  entry.modified = modified;
  put(name, entry);
}

SpoolLedger::Entry SpoolLedger::settle(const std::string& name, FileIdentity identity,
                                       const timespec& modified,
                                       std::chrono::steady_clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = entries_.find(name);
  bool unchanged = known != entries_.end() && known->second.state == kSettling &&
                   known->second.identity == identity &&
                   known->second.modified.tv_sec == modified.tv_sec &&
                   known->second.modified.tv_nsec == modified.tv_nsec;
  if (unchanged) return known->second;
  Entry entry;
  entry.state = kSettling;
  entry.identity = identity;
  entry.modified = modified;
  entry.stableSince = now;
  put(name, entry);
  return entry;
}

void SpoolLedger::forget(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = entries_.find(name);
  if (known != entries_.end() && known->second.state != kInHand) erase(known);
}

void SpoolLedger::forgetVanished(const std::vector<std::string>& sortedNames) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto next = std::next(it);
    if (it->second.state != kInHand &&
        !std::binary_search(sortedNames.begin(), sortedNames.end(), it->first)) {
      erase(it);
    }
    it = next;
  }
}

void SpoolLedger::finish(const SpoolOrigin& origin, bool done) {
  if (origin.name.empty()) return;
  metrics_.trapReleased(origin.name);
  // The file goes before the entry: until the entry is gone the intake skips
  // the name, so it can never take the file a second time.
  bool removed = !done || removeSpoolFile(origin) == 0;
  if (!removed) {
    write_log("ERR", "kivo can't delete " + kivo::escapeControls(origin.path));
    metrics_.spoolFileUndeletable();
  }
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto known = entries_.find(origin.name);
    if (known != entries_.end() && known->second.state == kInHand) erase(known);
    if (!removed) {
      Entry entry;
      entry.state = kUndeletable;
      entry.identity = FileIdentity{origin.device, origin.inode};
      put(origin.name, entry);
    }
    if (wantRoom_ && counts_[kInHand] <= limit_ / 2) {
      wantRoom_ = false;
      wake = true;
    }
  }
  if (wake) wakeup_.notify(IntakeWakeup::kRoom);
}

int removeSpoolFile(const SpoolOrigin& origin) {
  struct stat status;
  if (::lstat(origin.path.c_str(), &status) != 0) return errno == ENOENT ? 0 : errno;
  // Another file under the name is another trap: it stays.
  if (status.st_dev != origin.device || status.st_ino != origin.inode) return 0;
  if (::unlink(origin.path.c_str()) == 0 || errno == ENOENT) return 0;
  return errno;
}

}  // namespace kivo
