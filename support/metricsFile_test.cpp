#include "support/metricsFile.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "testing/tempDir.h"

namespace kivo {

namespace {

TEST(MetricsFile, ReplacesTheTextWholeForEveryReader) {
  TempDir dir;
  kivo::MetricsFile file(dir.file("kivotrapd.prom"));
  EXPECT_EQ(file.temporaryPath(), dir.file(".kivotrapd.prom.tmp"));
  mode_t previous = ::umask(077);
  int first = file.replace("a 1\n");
  int second = file.replace("b 2\n");
  ::umask(previous);
  ASSERT_EQ(first, 0);
  ASSERT_EQ(second, 0);
  EXPECT_EQ(readFile(file.path()), "b 2\n");
  struct stat status;
  ASSERT_EQ(::stat(file.path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u) << "readable by others whatever the umask";
  EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"kivotrapd.prom"});
}

TEST(MetricsFile, AFailureGivesItsErrorAndLeavesNoTemporary) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> prepare;
    std::string path;
    int error;
  };
  const std::vector<Case> cases = {
      {"missing directory", [](const TempDir&) {}, "gone/kivotrapd.prom", ENOENT},
      {"a directory in the way",
       [](const TempDir& d) { ::mkdir(d.file("kivotrapd.prom").c_str(), 0755); },
       "kivotrapd.prom", EISDIR},
      {"a link under the temporary name",
       [](const TempDir& d) {
         ASSERT_EQ(::symlink(d.file("elsewhere").c_str(), d.file(".kivotrapd.prom.tmp").c_str()),
                   0);
       },
       "kivotrapd.prom", ELOOP},
  };
  for (const Case& c : cases) {
    TempDir dir;
    c.prepare(dir);
    kivo::MetricsFile file(dir.file(c.path));
    EXPECT_EQ(file.replace("a 1\n"), c.error) << c.name;
    EXPECT_FALSE(fileExists(dir.file("elsewhere"))) << c.name << ": a link is never followed";
    struct stat status;
    EXPECT_NE(::lstat(file.temporaryPath().c_str(), &status), 0) << c.name;
  }
}

TEST(MetricsFileThreadTest, AReaderNeverSeesAPartText) {
  TempDir dir;
  kivo::MetricsFile file(dir.file("kivotrapd.prom"));
  // Large enough to take several writes, different in every replacement.
  const std::string texts[] = {std::string(256 * 1024, 'a') + "\n",
                               std::string(300 * 1024, 'b') + "\n"};
  ASSERT_EQ(file.replace(texts[0]), 0);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) EXPECT_EQ(file.replace(texts[i % 2]), 0);
    writing = false;
  });
  int reads = 0;
  for (int i = 0; i < 100000 && (writing || reads == 0); ++i, ++reads) {
    std::string seen = readFile(file.path());
    ASSERT_TRUE(seen == texts[0] || seen == texts[1]) << "read " << seen.size() << " bytes";
  }
  writer.join();
  EXPECT_GT(reads, 0);
}

}  // namespace

}  // namespace kivo
