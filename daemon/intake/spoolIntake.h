// The intake side of the spool directory: spool trap files in, trap records
// onto the queue.
//
// Used by the main thread only. A pass over the whole directory lists it,
// sorts the names byte-wise, and queues the trap of each file in that order
// that is not already in the daemon's hands, until the ledger is full; the
// rest wait for a later pass. Traps go to the workers through the service
// gate, which keeps each service's traps in the order taken here. A pass over some names (those that the spool
// watch reported) does the same for just those names, so that a directory
// holding many entries costs nothing per arriving trap. A file is not
// removed here: the worker removes it once its trap is done (SpoolLedger),
// so the spool stays the record of every trap not yet done.
//
// No entry can stop or mislead the intake: an entry that is no regular
// file, cannot be read or is too large is reported once (ERR "kivo skips
// spool entry " + path + ": " + why) and then left alone while its name,
// inode and modification time stay the same: never opened, read or reported
// again (the listing's entry type, or one lstat, tells). A file that vanished
// between the listing and the read is skipped without a word. A file that
// looks unfinished (empty, or without the trap-OID line) is left until it
// has not changed for the settle time, as this process saw it on the
// monotonic clock (its modification time is the writer's clock, and a step
// of the wall clock would shorten or stretch the wait), then taken as it is. A file that
// cannot be read for lack of resources (descriptors, memory) is tried again
// in a later pass. A file whose trap is done but which could not be removed
// is tried again, and reported, in every pass.
#ifndef KIVO_DAEMON_INTAKE_SPOOLINTAKE_H
#define KIVO_DAEMON_INTAKE_SPOOLINTAKE_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "daemon/intake/serviceGate.h"
#include "daemon/intake/spoolLedger.h"
#include "daemon/intake/spoolLock.h"
#include "support/episode.h"
#include "trap/ExecuteQueue.h"
#include "trap/snmpTrap.h"
#include "trap/spoolEntry.h"

namespace kivo {

class SpoolIntake {
 public:
  using Clock = std::chrono::steady_clock;

  enum PassResult {
    kDone,        // every name was looked at
    kFull,        // the ledger filled up; files wait for room
    kLockedOut,   // another daemon holds the spool directory: stop
    kIncomplete,  // the directory could not be listed, or a file could
                  // not be read for lack of resources: list it whole again
  };

  struct Settings {
    size_t maxFileSize = 1024 * 1024;  // files above it are not read
    int settleSeconds = 10;            // how long an unfinished file waits
  };

  // directory is used as a prefix: a file's path is directory + its name.
  // lock is the daemon's claim on the directory, taken here when start-up
  // could not take it, and again on a directory made anew at the path.
  // metrics counts the passes and the traps taken.
  SpoolIntake(std::string directory, const Settings& settings, kivo::ServiceGate& gate,
              SpoolLedger& ledger, SpoolLock& lock, Metrics& metrics);
  SpoolIntake(const SpoolIntake&) = delete;
  SpoolIntake& operator=(const SpoolIntake&) = delete;

  // One pass over the whole directory.
  PassResult runPass();
  // One pass over the sorted names, and over the files that wait to settle
  // or to be removed.
  PassResult runPass(const std::vector<std::string>& names);

  // When the next file waiting to settle is due to be looked at again; the
  // clock's epoch when none waits.
  Clock::time_point nextSettleDue() const { return nextSettleDue_; }

 private:
  // The type and inode that the listing gave for a name, when it did.
  struct Listed {
    unsigned char type = DT_UNKNOWN;
    ino_t inode = 0;
  };

  // Sorted entry names, "." and ".." left out; false when the directory
  // cannot be opened.
  bool listEntries(std::vector<std::string>& names, std::vector<Listed>& listed);
  bool claimDirectory();
  PassResult takeEntries(const std::vector<std::string>& names, const std::vector<Listed>* listed);
  void takeEntry(const std::string& name, const Listed* listed);
  // Whether the entry, known from an earlier pass, is still to be passed
  // over as it was.
  bool passOver(const std::string& name, const Listed* listed, const struct stat* status);
  void retryRemoval(const std::string& name, const std::string& path, const struct stat& status);
  // A readable file: queued, or left to settle.
  void takeReadable(const std::string& name, const std::string& path, const SpoolEntry& entry);

  std::string directory_;
  Settings settings_;
  kivo::ServiceGate& gate_;
  SpoolLedger& ledger_;
  SpoolLock& lock_;
  Metrics& metrics_;
  Episode unreadable_;  // the directory cannot be listed
  bool retryLater_ = false;
  Episode readLack_;  // files cannot be read for lack of resources
  Clock::time_point nextSettleDue_;
};

// Writes the message that the spool directory belongs to another daemon.
void reportSpoolTaken(const std::string& directory);

}  // namespace kivo

#endif
