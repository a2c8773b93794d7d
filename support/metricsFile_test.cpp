#include "support/metricsFile.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/tempDir.h"

namespace kivo {

TEST(MetricsFile, ReplacesTheTextReadableByAllOrGivesItsErrorAndLeavesNoTemporary) {
  // 0: works; 1: missing directory; 2: a directory in the way; 3: a link as the temporary.
  const int errors[] = {0, ENOENT, EISDIR, ELOOP};
  for (int i = 0; i < 4; ++i) {
    TempDir dir;
    if (i == 2) ::mkdir(dir.file("kivotrapd.prom").c_str(), 0755);
    if (i == 3) ::symlink(dir.file("elsewhere").c_str(), dir.file(".kivotrapd.prom.tmp").c_str());
    MetricsFile file(dir.file(i == 1 ? "gone/kivotrapd.prom" : "kivotrapd.prom"));
    mode_t previous = ::umask(077);
    EXPECT_EQ(file.replace("a 1\n"), errors[i]) << i;
    if (i == 0) {
      EXPECT_EQ(file.replace("b 2\n"), 0);
    }
    ::umask(previous);
    EXPECT_FALSE(fileExists(dir.file("elsewhere"))) << i << ": a link is never followed";
    struct stat status;
    EXPECT_NE(::lstat(file.temporaryPath().c_str(), &status), 0) << i;
    if (i > 0) continue;
    EXPECT_EQ(file.temporaryPath(), dir.file(".kivotrapd.prom.tmp"));
    EXPECT_EQ(readFile(file.path()), "b 2\n");
    ASSERT_EQ(::stat(file.path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u) << "readable by others whatever the umask";
  }
}

}  // namespace kivo
