// The intake side of the spool directory: spool trap files in, trap records
// onto the queue.
//
// Used by the main thread only. A pass lists the whole directory, sorts the
// names byte-wise, and queues the trap of each file in that order that is
// not already in the daemon's hands, until the ledger is full; the rest wait
// for a later pass. A file is not removed here: the worker removes it once
// its trap is done (SpoolLedger), so the spool stays the record of every
// trap not yet done.
//
// No entry can stop or mislead the intake: an entry that is no regular
// file, cannot be read or is too large is reported once (ERR "kivo skips
// spool entry " + path + ": " + why) and then skipped while it stays; it is
// never read and never removed. A file that vanished between the listing
// and the read is skipped without a word. A file whose trap is done but
// which could not be removed is tried again, and reported, in every pass.
#ifndef KIVO_DAEMON_SPOOLINTAKE_H
#define KIVO_DAEMON_SPOOLINTAKE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "daemon/spoolLedger.h"
#include "daemon/spoolLock.h"
#include "trap/ExecuteQueue.h"
#include "trap/snmpTrap.h"

class SpoolIntake {
 public:
  enum PassResult {
    kDone,       // every file of the listing was looked at
    kFull,       // the ledger filled up; files wait for room
    kLockedOut,  // another daemon holds the spool directory: stop
  };

  // directory is used as a prefix: a file's path is directory + its name.
  // Files above maxFileSize bytes are not read. lock is the daemon's claim
  // on the directory, taken here when start-up could not take it.
  SpoolIntake(std::string directory, size_t maxFileSize, ExecuteQueue<snmpTrap>& queue,
              SpoolLedger& ledger, SpoolLock& lock);
  SpoolIntake(const SpoolIntake&) = delete;
  SpoolIntake& operator=(const SpoolIntake&) = delete;

  // One pass over the directory.
  PassResult runPass();

 private:
  typedef std::pair<dev_t, ino_t> FileIdentity;

  // Sorted entry names, "." and ".." left out; false when the directory
  // cannot be opened.
  bool listEntries(std::vector<std::string>& names);
  bool claimDirectory();
  void takeEntry(const std::string& name);
  void retryRemoval(const std::string& name, const std::string& path, const struct stat& status);
  bool reportedBefore(const std::string& name, FileIdentity identity);
  void forgetVanished(const std::vector<std::string>& names);

  std::string directory_;
  size_t maxFileSize_;
  ExecuteQueue<snmpTrap>& queue_;
  SpoolLedger& ledger_;
  SpoolLock& lock_;
  std::map<std::string, FileIdentity> rejected_;
  bool unreadable_ = false;
};

// Writes the message that the spool directory belongs to another daemon.
void reportSpoolTaken(const std::string& directory);

#endif
