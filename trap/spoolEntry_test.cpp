#include "trap/spoolEntry.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/tempDir.h"

namespace kivo {

namespace {

TEST(SpoolEntry, OnlyRegularFilesWithinTheLimitAreRead) {
  TempDir dir;
  writeFile(dir.file("secret"), "secret\n");
  writeFile(dir.file("regular"), "host\nline\n");
  writeFile(dir.file("at-limit"), std::string(16, 'x'));
  writeFile(dir.file("above-limit"), std::string(17, 'x'));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(dir.file("secret").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::mkdir(dir.file("directory").c_str(), 0755), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string socketPath = dir.file("socket");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  struct Case {
    const char* name;
    SpoolEntry::Status status;
    std::string text;
    std::string reason;
  } cases[] = {
      {"regular", SpoolEntry::kReadable, "host\nline\n", ""},
      {"at-limit", SpoolEntry::kReadable, std::string(16, 'x'), ""},
      {"above-limit", SpoolEntry::kRejected, "", "is larger than spool_file_max (16 bytes)"},
      {"fifo", SpoolEntry::kRejected, "", "is a FIFO"},
      {"link", SpoolEntry::kRejected, "", "is a symbolic link"},
      {"directory", SpoolEntry::kRejected, "", "is a directory"},
      {"socket", SpoolEntry::kRejected, "", "is a socket"},
      {"/dev/null", SpoolEntry::kRejected, "", "is a device"},
  };
  for (const Case& c : cases) {
    std::string path = c.name[0] == '/' ? c.name : dir.file(c.name);
    struct stat status;
    ASSERT_EQ(statSpoolEntry(path, &status), 0) << c.name;
    SpoolEntry entry = readSpoolEntry(path, status, 16);
    EXPECT_EQ(entry.status, c.status) << c.name;
    EXPECT_EQ(entry.text, c.text) << c.name;
    EXPECT_EQ(entry.reason, c.reason) << c.name;
    EXPECT_EQ(entry.inode, status.st_ino) << c.name;
  }
  ::close(sock);
}

TEST(SpoolEntry, EntryGoneOrReplacedSinceTheListing) {
  TempDir dir;
  writeFile(dir.file("file"), "text");
  struct stat listed;
  ASSERT_EQ(statSpoolEntry(dir.file("file"), &listed), 0);
  ASSERT_EQ(::unlink(dir.file("file").c_str()), 0);
  EXPECT_EQ(readSpoolEntry(dir.file("file"), listed, 100).status, SpoolEntry::kVanished);
  EXPECT_EQ(statSpoolEntry(dir.file("file"), &listed), ENOENT);

  // A symbolic link put in the place of a listed file is not followed.
  writeFile(dir.file("target"), "secret");
  writeFile(dir.file("swapped"), "text");
  ASSERT_EQ(statSpoolEntry(dir.file("swapped"), &listed), 0);
  ASSERT_EQ(::unlink(dir.file("swapped").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("swapped").c_str()), 0);
  SpoolEntry entry = readSpoolEntry(dir.file("swapped"), listed, 100);
  EXPECT_EQ(entry.status, SpoolEntry::kRejected);
  EXPECT_EQ(entry.reason, "is a symbolic link");
  EXPECT_EQ(entry.text, "");
}

}  // namespace

}  // namespace kivo
