#include "trap/spoolEntry.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "support/posixIo.h"

namespace kivo {

namespace {

// Why an entry of this type is no trap; "" for a regular file.
std::string typeReason(mode_t mode) {
  if (S_ISREG(mode)) return "";
  if (S_ISLNK(mode)) return "is a symbolic link";
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO";
  if (S_ISSOCK(mode)) return "is a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
  return "is not a regular file";
}

std::string sizeReason(size_t maxSize) {
  return "is larger than spool_file_max (" + std::to_string(maxSize) + " bytes)";
}

SpoolEntry rejected(const std::string& reason, const struct stat& status) {
  SpoolEntry entry;
  entry.status = SpoolEntry::kRejected;
  entry.reason = reason;
  entry.device = status.st_dev;
  entry.inode = status.st_ino;
  entry.modified = status.st_mtim;
  return entry;
}

// A failure to open or read: passing ones are tried again, the rest make the
// entry one to leave alone.
SpoolEntry failed(int error, const struct stat& status) {
  if (!lacksResources(error)) return rejected(errnoText(error), status);
  SpoolEntry entry;
  entry.status = SpoolEntry::kRetry;
  entry.reason = errnoText(error);
  return entry;
}

// Reads at most maxSize + 1 bytes: one more than allowed says it is too big.
bool readBounded(int fd, size_t maxSize, std::string& text, int* error) {
  char buffer[65536];
  while (text.size() <= maxSize) {
    size_t want = std::min(sizeof buffer, maxSize + 1 - text.size());
    ssize_t got = readRetry(fd, buffer, want);
    if (got < 0) {
      *error = errno;
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

int statSpoolEntry(const std::string& path, struct stat* status) {
  return ::lstat(path.c_str(), status) == 0 ? 0 : errno;
}

SpoolEntry readSpoolEntry(const std::string& path, const struct stat& listed, size_t maxSize) {
  std::string reason = typeReason(listed.st_mode);
  if (!reason.empty()) return rejected(reason, listed);
  if (static_cast<unsigned long long>(listed.st_size) > maxSize) {
    return rejected(sizeReason(maxSize), listed);
  }
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    int error = errno;
    if (error == ENOENT) return SpoolEntry();
    // Replaced by a symbolic link since the listing.
    if (error == ELOOP) return rejected(typeReason(S_IFLNK), listed);
    return failed(error, listed);
  }
  struct stat opened;
  if (::fstat(file.get(), &opened) != 0) return failed(errno, listed);
  // Replaced by something else since the listing: judge what was opened.
  reason = typeReason(opened.st_mode);
  if (!reason.empty()) return rejected(reason, opened);
  SpoolEntry entry;
  int error = 0;
  if (!readBounded(file.get(), maxSize, entry.text, &error)) return failed(error, opened);
  if (entry.text.size() > maxSize) return rejected(sizeReason(maxSize), opened);
  entry.status = SpoolEntry::kReadable;
  entry.device = opened.st_dev;
  entry.inode = opened.st_ino;
  entry.modified = opened.st_mtim;
  return entry;
}

}  // namespace kivo
