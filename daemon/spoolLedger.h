// The spool files whose traps are in the daemon's hands, and those whose
// traps are done but which could not be removed.
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
// Files are known by name and identity (device and inode): a file that
// replaced a known one under its name is a new trap, and only the file that
// was read is ever removed. Any thread may call any member; all state is
// guarded by the ledger's mutex.
#ifndef KIVO_DAEMON_SPOOLLEDGER_H
#define KIVO_DAEMON_SPOOLLEDGER_H

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "trap/snmpTrap.h"

class IntakeWakeup;

class SpoolLedger {
 public:
  typedef std::pair<dev_t, ino_t> FileIdentity;

  SpoolLedger(IntakeWakeup& wakeup, size_t limit);
  SpoolLedger(const SpoolLedger&) = delete;
  SpoolLedger& operator=(const SpoolLedger&) = delete;

  // The most files admitted at once; at least 1.
  void setLimit(size_t limit);

  // Whether a file of that name is admitted and not yet finished.
  bool inHand(const std::string& name);
  // Whether the file is one whose trap is done but which could not be
  // removed.
  bool undeletable(const std::string& name, FileIdentity identity);
  // True when no more files may be admitted. The intake is then woken once
  // half of the admitted files are finished.
  bool full();
  // The file's trap is about to be queued.
  void admit(const SpoolOrigin& origin);
  size_t admitted();

  // Called by the worker once it is through with the file's trap: done
  // removes the file (an ERR "kivo can't delete " line and the file kept as
  // undeletable when that fails); not done leaves it for the next start.
  // Does nothing for a trap that came from no spool file.
  void finish(const SpoolOrigin& origin, bool done);

  // The intake removed an undeletable file after all, or saw it vanish.
  void forgetUndeletable(const std::string& name);
  // Forgets the undeletable files whose names are not in the sorted names.
  void forgetVanished(const std::vector<std::string>& sortedNames);

 private:
  IntakeWakeup& wakeup_;
  std::mutex mutex_;
  size_t limit_;
  bool wantRoom_ = false;
  std::map<std::string, FileIdentity> admitted_;
  std::map<std::string, FileIdentity> undeletable_;
};

// Removes the spool file of origin if it is still that file. True when it is
// gone (or was replaced by another file); false with the error number in
// *error when it could not be removed.
bool removeSpoolFile(const SpoolOrigin& origin, int* error);

#endif
