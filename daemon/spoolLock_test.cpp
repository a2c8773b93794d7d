// The claim on the spool directory against another process that holds it:
// a real child process takes the lock.
#include "daemon/spoolLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/tempDir.h"

namespace kivo {

namespace {

// A child that claims the directory, says so on a pipe, and ends after
// holdMs; the parent reaps it when it goes.
class LockingChild {
 public:
  LockingChild(const std::string& directory, int holdMs) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
      char byte = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
      (void)!::write(ready[1], &byte, 1);
      ::usleep(static_cast<useconds_t>(holdMs) * 1000);
      _exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    locked_ = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
    ::close(ready[0]);
  }
  ~LockingChild() {
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

TEST(SpoolLock, ClaimHeldElsewhereIsTakenOnceReleasedWithinThePatience) {
  TempDir dir;
  {
    LockingChild child(dir.path(), 200);
    ASSERT_TRUE(child.locked());
    SpoolLock lock;
    EXPECT_EQ(lock.acquire(dir.path(), std::chrono::seconds(10)), SpoolLock::kHeld)
        << "a predecessor's child lets go in a moment";
    EXPECT_TRUE(lock.held());
  }
  {
    SpoolLock first;
    ASSERT_EQ(first.acquire(dir.path()), SpoolLock::kHeld);
    SpoolLock second;
    EXPECT_EQ(second.acquire(dir.path(), std::chrono::milliseconds(0)), SpoolLock::kTaken);
  }
  SpoolLock missing;
  EXPECT_EQ(missing.acquire(dir.file("absent")), SpoolLock::kUnavailable);
}

}  // namespace

}  // namespace kivo
