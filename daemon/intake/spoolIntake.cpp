#include "daemon/intake/spoolIntake.h"

#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <numeric>

#include "daemon/base/systemLog.h"
#include "support/logText.h"
#include "support/metrics.h"
#include "support/posixIo.h"

namespace kivo {

namespace {

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A listing's type that can only be that of an entry no trap file is.
bool typeIsNoFile(unsigned char type) { return type != DT_UNKNOWN && type != DT_REG; }

SpoolLedger::FileIdentity identityOf(const struct stat& status) {
  return SpoolLedger::FileIdentity{status.st_dev, status.st_ino};
}

}  // namespace

SpoolIntake::SpoolIntake(std::string directory, const Settings& settings,
                         kivo::ServiceGate& gate, SpoolLedger& ledger, SpoolLock& lock,
                         Metrics& metrics)
    : directory_(std::move(directory)),
      settings_(settings),
      gate_(gate),
      ledger_(ledger),
      lock_(lock),
      metrics_(metrics) {}

SpoolIntake::PassResult SpoolIntake::runPass() {
  std::vector<std::string> names;
  std::vector<Listed> listed;
  if (!listEntries(names, listed)) return kIncomplete;
  if (!claimDirectory()) return kLockedOut;
  PassResult result = takeEntries(names, &listed);
  ledger_.forgetVanished(names);
  size_t skipped = ledger_.skipped();
  metrics_.spoolPassed(names.size() - skipped, skipped);
  return result;
}

SpoolIntake::PassResult SpoolIntake::runPass(const std::vector<std::string>& changed) {
  if (!claimDirectory()) return kLockedOut;
  // Files waiting to settle or to be removed are looked at in every pass.
  std::vector<std::string> names = changed;
  for (SpoolLedger::State state : {SpoolLedger::kSettling, SpoolLedger::kUndeletable}) {
    std::vector<std::string> waiting = ledger_.names(state);
    names.insert(names.end(), waiting.begin(), waiting.end());
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  PassResult result = takeEntries(names, nullptr);
  // Between whole listings, with room for every trap file: each file in the
  // spool is in hand, waiting to settle or to be removed.
  metrics_.spoolPassed(ledger_.admitted() + ledger_.names(SpoolLedger::kSettling).size() +
                                  ledger_.names(SpoolLedger::kUndeletable).size(),
                              ledger_.skipped());
  return result;
}

SpoolIntake::PassResult SpoolIntake::takeEntries(const std::vector<std::string>& names,
                                                 const std::vector<Listed>* listed) {
  retryLater_ = false;
  nextSettleDue_ = Clock::time_point();
  for (size_t i = 0; i < names.size(); ++i) {
    if (ledger_.inHand(names[i])) continue;
    if (ledger_.full()) return kFull;
    takeEntry(names[i], listed != nullptr ? &(*listed)[i] : nullptr);
  }
  if (!retryLater_ && readLack_.succeeded().kind == Episode::Line::kEnds) {
    write_log("INFO", "spool files can be read again");
  }
  return retryLater_ ? kIncomplete : kDone;
}

bool SpoolIntake::listEntries(std::vector<std::string>& names, std::vector<Listed>& listed) {
  DIR* directory = ::opendir(directory_.c_str());
  if (directory == nullptr) {
    // Once per outage: the directory may be missing for a long time.
    if (unreadable_.failed().kind == Episode::Line::kBegins) {
      write_log("ERR", "kivo can't open spool directory " + directory_ + ": " + errnoText(errno));
    }
    return false;
  }
  if (unreadable_.succeeded().kind == Episode::Line::kEnds) {
    write_log("INFO", "spool dir readable again: " + directory_);
  }
  std::vector<std::string> unsorted;
  std::vector<Listed> unsortedListed;
  while (struct dirent* entry = ::readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsorted.push_back(std::move(name));
    unsortedListed.push_back(Listed{entry->d_type, entry->d_ino});
  }
  ::closedir(directory);
  std::vector<size_t> order(unsorted.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&unsorted](size_t a, size_t b) { return unsorted[a] < unsorted[b]; });
  names.reserve(order.size());
  listed.reserve(order.size());
  for (size_t i : order) {
    names.push_back(std::move(unsorted[i]));
    listed.push_back(unsortedListed[i]);
  }
  return true;
}

// A spool directory that was missing at start-up is claimed before its
// first file is taken.
bool SpoolIntake::claimDirectory() {
  if (lock_.acquire(directory_) != SpoolLock::kTaken) return true;
  reportSpoolTaken(directory_);
  return false;
}

void SpoolIntake::takeEntry(const std::string& name, const Listed* listed) {
  if (passOver(name, listed, nullptr)) return;
  const std::string path = directory_ + name;
  struct stat status;
  if (statSpoolEntry(path, &status) != 0) {
    // Vanished since the listing or the event.
    ledger_.forget(name);
    return;
  }
  std::optional<SpoolLedger::Entry> known = ledger_.find(name);
  if (known && known->state == SpoolLedger::kUndeletable &&
      known->identity == identityOf(status)) {
    retryRemoval(name, path, status);
    return;
  }
  if (passOver(name, listed, &status)) return;
  SpoolEntry entry = readSpoolEntry(path, status, settings_.maxFileSize);
  switch (entry.status) {
    case SpoolEntry::kVanished:
      ledger_.forget(name);
      return;
    case SpoolEntry::kRetry:
      if (readLack_.failed().kind == Episode::Line::kBegins) {
        write_log("ERR", "kivo can't read spool file " + kivo::escapeControls(path) + ": " +
                             entry.reason + ": trying again");
      }
      retryLater_ = true;
      return;
    case SpoolEntry::kRejected:
      write_log("ERR", "kivo skips spool entry " + kivo::escapeControls(path) + ": " + entry.reason);
      ledger_.skip(name, SpoolLedger::FileIdentity{entry.device, entry.inode}, entry.modified);
      return;
    case SpoolEntry::kReadable:
      takeReadable(name, path, entry);
      return;
  }
}

bool SpoolIntake::passOver(const std::string& name, const Listed* listed,
                           const struct stat* status) {
  std::optional<SpoolLedger::Entry> known = ledger_.find(name);
  if (!known || known->state != SpoolLedger::kSkipped) return false;
  if (status == nullptr) {
    // Without a system call: the listing names the same entry, of a type no
    // trap file has, so it cannot have become one.
    return listed != nullptr && listed->inode == known->identity.inode &&
           typeIsNoFile(listed->type);
  }
  if (known->identity == identityOf(*status) && sameTime(known->modified, status->st_mtim)) {
    return true;
  }
  // Another entry under the name, or the same one changed: judged afresh.
  ledger_.forget(name);
  return false;
}

void SpoolIntake::takeReadable(const std::string& name, const std::string& path,
                               const SpoolEntry& entry) {
  if (entry.text.empty() || !snmpTrap::hasTrapOidLine(entry.text)) {
    Clock::time_point now = Clock::now();
    SpoolLedger::Entry settling = ledger_.settle(
        name, SpoolLedger::FileIdentity{entry.device, entry.inode}, entry.modified, now);
    Clock::time_point due = settling.stableSince + std::chrono::seconds(settings_.settleSeconds);
    if (now < due) {
      if (nextSettleDue_ == Clock::time_point() || due < nextSettleDue_) nextSettleDue_ = due;
      return;
    }
  }
  snmpTrap trap;
  trap.readText(entry.text);
  trap.setOrigin(SpoolOrigin{name, path, entry.device, entry.inode});
  // Admitted before it is queued, so a worker that finishes it at once
  // always finds it in the ledger.
  ledger_.admit(trap.origin());
  // Counted before it is queued, so that a worker cannot let it go first.
  metrics_.trapTaken(name, entry.modified.tv_sec);
  gate_.offer(trap);
}

// The trap of this file is done; only its removal failed before.
void SpoolIntake::retryRemoval(const std::string& name, const std::string& path,
                               const struct stat& status) {
  if (removeSpoolFile(SpoolOrigin{name, path, status.st_dev, status.st_ino}) == 0) {
    ledger_.forget(name);
    return;
  }
  write_log("ERR", "kivo can't delete " + kivo::escapeControls(path));
}

void reportSpoolTaken(const std::string& directory) {
  write_log("ERR", "kivo spool directory " + directory +
                       " is taken by another running kivoTrapD: this one stops");
}

}  // namespace kivo
