#include "support/spoolFile.h"

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

TEST(SpoolFile, PublishedFileIsCompleteAloneAndNeverReplaced) {
  TempDir dir;
  std::string content(100000, 'x');
  ASSERT_TRUE(publishFile(dir.file("trap-1"), content));
  EXPECT_FALSE(publishFile(dir.file("trap-1"), "new"));
  EXPECT_EQ(readFile(dir.file("trap-1")), content);
  EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"trap-1"}) << "no temporary file";
  std::string path = dir.file("gone/trap-1");
  try {
    publishFile(path, "x");
    ADD_FAILURE() << "a missing directory must raise";
  } catch (const FileException& e) {
    EXPECT_STREQ(e.what(),
                 ("can't write spool file " + path + ": No such file or directory").c_str());
  }
}

}  // namespace kivo
