// Reading one entry of the spool directory as a spool trap file, safely.
//
// Anyone who can write into the spool directory decides what its entries
// are, so an entry is read only when it is a regular file of bounded size,
// opened without following a symbolic link and without blocking: a FIFO, a
// socket, a device, a symbolic link (which could point at any file the
// daemon may read), a directory or an oversized file is never opened as a
// trap. Stateless; any thread may call it.
#ifndef KIVO_TRAP_SPOOLENTRY_H
#define KIVO_TRAP_SPOOLENTRY_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

namespace kivo {

struct SpoolEntry {
  enum Status {
    kReadable,  // text holds the whole file
    kVanished,  // gone between the listing and the read
    kRejected,  // not to be read as a trap; reason says why
    kRetry,     // the system lacked resources (descriptors, memory): try again later
  };
  Status status = kVanished;
  std::string text;
  std::string reason;
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified = {0, 0};
};


// lstat(2) of path: 0, or the error number.
int statSpoolEntry(const std::string& path, struct stat* status);

// Reads the entry at path, whose lstat(2) gave listed, if it is a regular
// file of at most maxSize bytes. The identity reported is that of the file
// that was read.
SpoolEntry readSpoolEntry(const std::string& path, const struct stat& listed, size_t maxSize);

}  // namespace kivo

#endif
