// The check's decisions on settings and files, without a server.
#include "daemon/settingsCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/tempDir.h"

namespace kivo {

namespace {

std::vector<std::string> linesOf(const Findings& findings) {
  std::vector<std::string> lines;
  for (const Finding& finding : findings) lines.push_back(finding.line());
  return lines;
}

TEST(SettingsCheck, Numbers) {
  struct Case {
    long threads;
    int pluginTimeout;
    int alertingTimeout;
    std::vector<std::string> reader;
    std::vector<std::string> lines;
  } cases[] = {
      {4, 60, 30, {}, {}},
      {256, 1, 1, {}, {}},
      {0, 60, 30, {}, {"error: [KIVO] thread_number=0: no worker starts, no trap is handled"}},
      {-3, 60, 30, {}, {"error: [KIVO] thread_number=-3: no worker starts, no trap is handled"}},
      {257, 60, 30, {}, {"warning: [KIVO] thread_number=257: only 256 workers start"}},
      {4, 0, 0, {},
       {"warning: [KIVO] plugin_timeout is 0: a plug-in may run without a time limit",
        "warning: [KIVO] alerting_timeout is 0: an alerting program may run without a time "
        "limit"}},
      {4, 60, 30, {"[KIVO] sleep=1s is not a number: using 1"},
       {"error: [KIVO] sleep=1s is not a number: using 1"}},
  };
  for (const Case& c : cases) {
    kivo::DaemonSettings settings;
    settings.run.pluginTimeout = c.pluginTimeout;
    settings.run.alertingTimeout = c.alertingTimeout;
    Findings findings;
    kivo::checkNumbers(settings, c.threads, c.reader, &findings);
    EXPECT_EQ(linesOf(findings), c.lines) << c.threads;
  }
}

TEST(SettingsCheck, SpoolDirectoryAndWrittenFiles) {
  TempDir dir;
  const std::string file = dir.file("file");
  writeFile(file, "x");
  const std::string spoolKey = "[KIVO] spool_directory";
  struct Case {
    std::string path;
    std::string spool;    // the spool check's line, "" for none
    std::string written;  // the written file check's line, "" for none
  } cases[] = {
      {dir.path() + "/", "", "error: [LOG] log_trapd_file " + dir.path() + "/ is a directory"},
      {file, "error: " + spoolKey + " " + file + " is not a directory", ""},
      {dir.file("new.log"), "error: " + spoolKey + " " + dir.file("new.log") +
                                ": No such file or directory", ""},
      {dir.file("no/new.log"),
       "error: " + spoolKey + " " + dir.file("no/new.log") + ": No such file or directory",
       "error: [LOG] log_trapd_file " + dir.file("no/new.log") + ": directory " +
           dir.file("no") + ": No such file or directory"},
      {file + "/new.log",
       "error: " + spoolKey + " " + file + "/new.log: Not a directory",
       "error: [LOG] log_trapd_file " + file + "/new.log: Not a directory"},
      {"", "error: " + spoolKey + " is not set", "error: [LOG] log_trapd_file is not set"},
  };
  for (const Case& c : cases) {
    Findings spool;
    kivo::checkSpoolDirectory(c.path, &spool);
    EXPECT_EQ(linesOf(spool), c.spool.empty() ? std::vector<std::string>{}
                                              : std::vector<std::string>{c.spool});
    Findings written;
    kivo::checkWritableFile("[LOG] log_trapd_file", c.path, Finding::kError, &written);
    EXPECT_EQ(linesOf(written), c.written.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{c.written});
  }
}

TEST(SettingsCheck, UnwritableForThisUser) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write anything; the binary's test covers it";
  TempDir dir;
  const std::string locked = dir.file("locked");
  ASSERT_EQ(::mkdir(locked.c_str(), 0500), 0);
  Findings findings;
  kivo::checkSpoolDirectory(locked, &findings);
  kivo::checkWritableFile("[LOG] log_trap_receive", locked + "/trap.log", Finding::kWarning,
                          &findings);
  EXPECT_EQ(linesOf(findings),
            (std::vector<std::string>{
                "error: [KIVO] spool_directory " + locked + ": this user may not write in it",
                "warning: [LOG] log_trap_receive " + locked +
                    "/trap.log: this user may not create it in " + locked}));
}

TEST(SettingsCheck, Programs) {
  TempDir dir;
  const std::string script = dir.file("plugin");
  writeFile(script, "#!/bin/sh\n");
  const std::string plain = dir.file("plain");
  writeFile(plain, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(plain.c_str(), 0644), 0);
  struct Case {
    std::string path;
    std::string problem;
  } cases[] = {
      {script, ""},
      {plain, "not executable for this user"},
      {dir.path(), "not a regular file"},
      {dir.file("missing"), "No such file or directory"},
      {"", "no path"},
  };
  for (const Case& c : cases) EXPECT_EQ(kivo::programProblem(c.path), c.problem) << c.path;
}

TEST(SettingsCheck, SummaryAndDatabaseLine) {
  Findings none;
  Findings some = {{Finding::kWarning, "w"}, {Finding::kError, "e"}, {Finding::kError, "e"}};
  Findings oneEach = {{Finding::kError, "e"}, {Finding::kWarning, "w"}};
  EXPECT_EQ(kivo::checkSummary(none, true, 12, 5),
            "kivoTrapD --check: 12 services on 5 devices, 0 warnings, 0 errors");
  EXPECT_EQ(kivo::checkSummary(oneEach, true, 1, 1),
            "kivoTrapD --check: 1 service on 1 device, 1 warning, 1 error");
  EXPECT_EQ(kivo::checkSummary(some, false, 0, 0),
            "kivoTrapD --check: services not loaded, 1 warning, 2 errors");
  EXPECT_EQ(kivo::databaseFailure("failed: refused\n\tIs it running?\n\nhost=h password=********"),
            "database: failed: refused Is it running? host=h password=********");
}

}  // namespace

}  // namespace kivo
