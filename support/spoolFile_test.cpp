#include "support/spoolFile.h"

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

TEST(SpoolFile, PublishedFileIsCompleteAndAlone) {
  TempDir dir;
  std::string content(100000, 'x');
  ASSERT_TRUE(publishFile(dir.file("trap-1"), content));
  EXPECT_EQ(readFile(dir.file("trap-1")), content);
  EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"trap-1"})
      << "no temporary file is left in the directory";
}

TEST(SpoolFile, ExistingNameIsNotReplaced) {
  TempDir dir;
  writeFile(dir.file("trap-1"), "old");
  EXPECT_FALSE(publishFile(dir.file("trap-1"), "new"));
  EXPECT_EQ(readFile(dir.file("trap-1")), "old");
  EXPECT_EQ(listDirectory(dir.path()).size(), 1u);
}

TEST(SpoolFile, MissingDirectoryRaisesWithPathAndReason) {
  TempDir dir;
  std::string path = dir.file("gone/trap-1");
  try {
    publishFile(path, "x");
    FAIL() << "a missing directory must raise";
  } catch (const FileException& e) {
    EXPECT_EQ(std::string(e.what()),
              "can't write spool file " + path + ": No such file or directory");
  }
}

}  // namespace

}  // namespace kivo
