// What the daemon knows of the entries of its spool directory: the files
// whose traps are in its hands, those it leaves alone, those still being
// written, and those whose traps are done but which could not be removed.
//
// A spool file is the record of its trap until the trap is done: the intake
// (main thread) admits the file when it queues the trap and skips admitted
// files in later passes; the worker that handled the trap finishes the file,
// removing it when the trap is done and leaving it when the stop cut the trap
// short. So a trap that the process held when it died is still in the spool
// at the next start. The number of admitted files is bounded: the intake
// stops taking files while the ledger is full and is woken once the workers
// have made room, so memory stays bounded whatever the backlog.
//
// Entries are known by name and identity (device and inode): a file that
// replaced a known one under its name is a new entry, and only the file that
// was read is ever removed. Any thread may call any member; all state is
// guarded by the ledger's mutex.
#ifndef KIVO_DAEMON_INTAKE_SPOOLLEDGER_H
#define KIVO_DAEMON_INTAKE_SPOOLLEDGER_H

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "trap/snmpTrap.h"

namespace kivo {

class IntakeWakeup;
class Metrics;

class SpoolLedger {
 public:
  struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity& other) const {
      return device == other.device && inode == other.inode;
    }
  };

  enum State {
    kInHand,       // its trap is queued or being handled
    kSkipped,      // no trap file: reported once, left alone while unchanged
    kSettling,     // looks unfinished: waits until it has not changed for a while
    kUndeletable,  // its trap is done; only its removal failed
  };

  struct Entry {
    State state = kInHand;
    FileIdentity identity;
    timespec modified = {0, 0};  // kSkipped, kSettling
    // kSettling: when this modification was first seen, on the monotonic
    // clock, so that a step of the wall clock neither shortens nor stretches
    // the settle time.
    std::chrono::steady_clock::time_point stableSince;
  };

  // metrics counts the traps in memory and the files that would not go.
  SpoolLedger(IntakeWakeup& wakeup, Metrics& metrics, size_t limit);
  SpoolLedger(const SpoolLedger&) = delete;
  SpoolLedger& operator=(const SpoolLedger&) = delete;

  // The most files admitted at once; at least 1.
  void setLimit(size_t limit);

  std::optional<Entry> find(const std::string& name);
  bool inHand(const std::string& name);
  // True when no more files may be admitted. The intake is then woken once
  // half of the admitted files are finished.
  bool full();
  size_t admitted();
  // Entries left alone now.
  size_t skipped();
  // Names in state, in name order.
  std::vector<std::string> names(State state);

  // The file's trap is about to be queued.
  void admit(const SpoolOrigin& origin);
  // The entry is left alone while its identity and modification time stay.
  void skip(const std::string& name, FileIdentity identity, const timespec& modified);
  // The file waits to be complete; returns the entry as kept.
  Entry settle(const std::string& name, FileIdentity identity, const timespec& modified,
               std::chrono::steady_clock::time_point now);
  // Forgets what is known of name, unless its trap is in hand.
  void forget(const std::string& name);
  // Forgets every entry not in hand whose name is not in the sorted names.
  void forgetVanished(const std::vector<std::string>& sortedNames);

  // Called by the worker once it is through with the file's trap: done
  // removes the file (an ERR "kivo can't delete " line and the file kept as
  // undeletable when that fails); not done leaves it for the next start.
  // Does nothing for a trap that came from no spool file.
  void finish(const SpoolOrigin& origin, bool done);

 private:
  IntakeWakeup& wakeup_;
  Metrics& metrics_;
  std::mutex mutex_;
  size_t limit_;
  // Entries by state, so that a pass asks for the few waiting ones without
  // going over the many left alone.
  size_t counts_[4] = {0, 0, 0, 0};
  bool wantRoom_ = false;
  std::map<std::string, Entry> entries_;

  // With mutex_ held.
  void erase(std::map<std::string, Entry>::iterator at);
  void put(const std::string& name, const Entry& entry);
};

// Removes the spool file of origin if it is still that file. Returns 0 when
// it is gone (or was replaced by another file), else the error number.
int removeSpoolFile(const SpoolOrigin& origin);

}  // namespace kivo

#endif
