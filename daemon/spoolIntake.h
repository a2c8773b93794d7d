// The intake side of the spool directory: spool trap files in, trap records
// onto the queue; and, at the stop, queued traps back out into files.
//
// Used by the main thread only. A pass lists the whole directory, sorts the
// names byte-wise, then reads, queues and deletes each file in that order. A
// file that cannot be deleted is queued once: it is remembered by name and
// inode and skipped in later passes while it is still there, though every
// pass tries to delete it again and reports the failure.
#ifndef KIVO_DAEMON_SPOOLINTAKE_H
#define KIVO_DAEMON_SPOOLINTAKE_H

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "trap/ExecuteQueue.h"
#include "trap/snmpTrap.h"

class SpoolIntake {
 public:
  // directory is used as a prefix: a file's path is directory + its name.
  SpoolIntake(std::string directory, ExecuteQueue<snmpTrap>& queue);
  SpoolIntake(const SpoolIntake&) = delete;
  SpoolIntake& operator=(const SpoolIntake&) = delete;

  // One pass over the directory. Throws FileException "error open file"
  // when a listed file cannot be opened; the files after it stay for the
  // next start.
  void runPass();

 private:
  typedef std::pair<dev_t, ino_t> FileIdentity;

  // Sorted entry names, "." and ".." left out; false when the directory
  // cannot be opened.
  bool listEntries(std::vector<std::string>& names);
  void takeFile(const std::string& name);
  bool alreadyQueued(const std::string& name, const std::string& path);
  void forgetVanished(const std::vector<std::string>& names);

  std::string directory_;
  ExecuteQueue<snmpTrap>& queue_;
  std::map<std::string, FileIdentity> undeletable_;
  bool unreadable_ = false;
};

// Writes every trap still in queue back into the spool directory as a
// complete spool trap file, in queue order, under names that sort before the
// names of newly received traps. Returns how many were written; failures are
// reported in the system log.
size_t putBackTraps(ExecuteQueue<snmpTrap>& queue, const std::string& directory);

// The name prefix of put-back files: it sorts before every name that the
// spool handler gives.
extern const char* const kPutBackPrefix;

#endif
