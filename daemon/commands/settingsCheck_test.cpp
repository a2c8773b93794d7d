#include "daemon/commands/settingsCheck.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "testing/daemonConfig.h"

namespace kivo {

TEST(SettingsCheck, SpoolDirectoryWrittenFilesAndPrograms) {
  TempDir dir;
  const std::string file = dir.file("file"), plain = dir.file("plain");
  writeFile(file, "#!/bin/sh\n");
  writeFile(plain, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(file.c_str(), 0755), 0);
  const std::string spool = "error: [KIVO] spool_directory ", log = "error: [LOG] log_trapd_file ";
  struct Case {
    std::string path, spool, written, program;  // the lines, "" for none
  } cases[] = {
      {dir.path() + "/", "", log + dir.path() + "/ is a directory", "not a regular file"},
      {file, spool + file + " is not a directory", "", ""},
      {plain, spool + plain + " is not a directory", "", "not executable for this user"},
      {dir.file("no/new.log"), spool + dir.file("no/new.log") + ": No such file or directory",
       log + dir.file("no/new.log") + ": directory " + dir.file("no") +
           ": No such file or directory",
       "No such file or directory"},
      {file + "/new.log", spool + file + "/new.log: Not a directory",
       log + file + "/new.log: Not a directory", "Not a directory"},
      {"", "error: [KIVO] spool_directory is not set", "error: [LOG] log_trapd_file is not set",
       "no path"},
  };
  for (const Case& c : cases) {
    Findings spoolFindings, written;
    checkSpoolDirectory(c.path, &spoolFindings);
    checkWritableFile("[LOG] log_trapd_file", c.path, Finding::kError, &written);
    EXPECT_EQ(linesOf(spoolFindings), c.spool.empty() ? Lines{} : Lines{c.spool});
    EXPECT_EQ(linesOf(written), c.written.empty() ? Lines{} : Lines{c.written});
    EXPECT_EQ(programProblem(c.path), c.program) << c.path;
  }
}

TEST(SettingsCheck, SummaryAndDatabaseLine) {
  Findings some = {{Finding::kWarning, "w"}, {Finding::kError, "e"}, {Finding::kError, "e"}};
  Findings oneEach = {{Finding::kError, "e"}, {Finding::kWarning, "w"}};
  EXPECT_EQ(checkSummary(oneEach, true, 1, 1),
            "kivoTrapD --check: 1 service on 1 device, 1 warning, 1 error");
  EXPECT_EQ(checkSummary(some, false, 0, 0),
            "kivoTrapD --check: services not loaded, 1 warning, 2 errors");
  EXPECT_EQ(databaseFailure("failed: refused\n\tIs it running?\n\nhost=h password=********"),
            "database: failed: refused Is it running? host=h password=********");
}

}  // namespace kivo
