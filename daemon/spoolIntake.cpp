#include "daemon/spoolIntake.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>

#include <algorithm>

#include "daemon/kivoTrapd.h"
#include "support/metrics.h"
#include "support/posixIo.h"
#include "trap/spoolEntry.h"

SpoolIntake::SpoolIntake(std::string directory, size_t maxFileSize, ExecuteQueue<snmpTrap>& queue,
                         SpoolLedger& ledger, SpoolLock& lock)
    : directory_(std::move(directory)),
      maxFileSize_(maxFileSize),
      queue_(queue),
      ledger_(ledger),
      lock_(lock) {}

SpoolIntake::PassResult SpoolIntake::runPass() {
  std::vector<std::string> names;
  if (!listEntries(names)) return kDone;
  if (!claimDirectory()) return kLockedOut;
  PassResult result = kDone;
  for (const std::string& name : names) {
    if (ledger_.inHand(name)) continue;
    if (ledger_.full()) {
      result = kFull;
      break;
    }
    takeEntry(name);
  }
  forgetVanished(names);
  kivo::metrics().spoolPassed(names.size() - rejected_.size(), rejected_.size());
  return result;
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

// A spool directory that was missing at start-up is claimed before its
// first file is taken.
bool SpoolIntake::claimDirectory() {
  int error = 0;
  if (lock_.acquire(directory_, &error) != SpoolLock::kTaken) return true;
  reportSpoolTaken(directory_);
  return false;
}

void SpoolIntake::takeEntry(const std::string& name) {
  const std::string path = directory_ + name;
  struct stat status;
  if (statSpoolEntry(path, &status) != 0) return;  // vanished since the listing
  FileIdentity identity(status.st_dev, status.st_ino);
  if (ledger_.undeletable(name, identity)) {
    retryRemoval(name, path, status);
    return;
  }
  if (reportedBefore(name, identity)) return;
  SpoolEntry entry = readSpoolEntry(path, status, maxFileSize_);
  if (entry.status == SpoolEntry::kVanished) return;
  if (entry.status == SpoolEntry::kRejected) {
    write_log("ERR", "kivo skips spool entry " + path + ": " + entry.reason);
    rejected_[name] = FileIdentity(entry.device, entry.inode);
    return;
  }
  snmpTrap trap;
  trap.readText(entry.text);
  trap.setOrigin(SpoolOrigin{name, path, entry.device, entry.inode});
  // Admitted before it is queued, so a worker that finishes it at once
  // always finds it in the ledger.
  ledger_.admit(trap.origin());
  kivo::metrics().trapTaken(name, status.st_mtime);
  queue_.push(trap);
}

// The trap of this file is done; only its removal failed before.
void SpoolIntake::retryRemoval(const std::string& name, const std::string& path,
                               const struct stat& status) {
  int error = 0;
  if (removeSpoolFile(SpoolOrigin{name, path, status.st_dev, status.st_ino}, &error)) {
    ledger_.forgetUndeletable(name);
    return;
  }
  write_log("ERR", "kivo can't delete " + path);
}

bool SpoolIntake::reportedBefore(const std::string& name, FileIdentity identity) {
  auto known = rejected_.find(name);
  if (known == rejected_.end()) return false;
  if (known->second == identity) return true;
  // Another entry under the same name: judged afresh.
  rejected_.erase(known);
  return false;
}

void SpoolIntake::forgetVanished(const std::vector<std::string>& names) {
  for (auto it = rejected_.begin(); it != rejected_.end();) {
    if (std::binary_search(names.begin(), names.end(), it->first)) {
      ++it;
    } else {
      it = rejected_.erase(it);
    }
  }
  ledger_.forgetVanished(names);
}

void reportSpoolTaken(const std::string& directory) {
  write_log("ERR", "kivo spool directory " + directory +
                       " is taken by another running kivoTrapD: this one stops");
}
