// The commands without a server: the command line's action, and the
// check's decisions on files and the services' rows.
#include "daemon/commands/settingsCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/commandLine.h"
#include "daemon/commands/serviceCheck.h"
#include "testing/daemonConfig.h"

namespace kivo {

TEST(CommandLine, ActionsTheirArgumentsAndBadUsage) {
  using A = CommandLine::Action;
  struct Case {
    std::vector<std::string> arguments;
    A action;
    std::string fileOrProblem;
    bool run;
  } cases[] = {
      {{}, A::kRunDaemon, "", false},          {{"--check"}, A::kCheck, "", false},
      {{"--version"}, A::kVersion, "", false}, {{"--help"}, A::kHelp, "", false},
      {{"--unknown"}, A::kUnknown, "", false},
      {{"--replay", "trap-1"}, A::kReplay, "trap-1", false},
      {{"--run", "--replay", "/a b"}, A::kReplay, "/a b", true},
      {{"start"}, A::kBadUsage, "unexpected argument start", false},
      {{"--check", "--version"}, A::kBadUsage, "unexpected argument --version", false},
      {{"--check", "--run"}, A::kBadUsage, "unexpected argument --check", false},
      {{"--run"}, A::kBadUsage, "--run goes with --replay FILE", false},
      {{"--replay", "--run"}, A::kBadUsage, "--replay needs a file", false},
      {{"--replay", "a", "--run", "--run"}, A::kBadUsage, "unexpected argument --run", false},
      {{"--replay", "a", "--replay", "b"}, A::kBadUsage, "unexpected argument --replay", false},
  };
  for (const Case& c : cases) {
    CommandLine line = parseCommandLine(c.arguments);
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0] + " " + c.fileOrProblem);
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(c.action == A::kBadUsage ? line.problem : line.replayFile, c.fileOrProblem);
    EXPECT_EQ(line.run, c.run);
  }
}

namespace {

using Lines = std::vector<std::string>;

Lines linesOf(const Findings& findings) {
  Lines lines;
  for (const Finding& finding : findings) lines.push_back(finding.line());
  return lines;
}

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

// A row of service id on device with address, whose plug-in runs.
TrapServiceRow row(int id, int device, const std::string& address, const std::string& oid,
                   const std::string& alerting = "/bin/sh") {
  TrapServiceRow r;
  r.address = address;
  r.s.SetService_id(id);
  r.s.Setname("s" + std::to_string(id));
  r.s.SetDevice_id(device);
  r.s.Setpath("/bin/sh");
  r.s.SetOID(oid);
  r.s.SetAlertingSoftware(alerting);
  return r;
}

TEST(ServiceCheck, AddressesProgramsAndServicesThatNeverRun) {
  TempDir dir;
  const std::string plain = dir.file("plain");
  writeFile(plain, "#!/bin/sh\n");
  TrapServiceRow null = row(1, 1, "", ".1");
  null.addressNull = true;
  std::vector<TrapServiceRow> rows = {
      null, row(2, 2, "abc", ".2"), row(3, 3, "4294967296", ".3"), row(4, 4, "-1", ".4"),
      row(5, 5, "0", ".5"), row(6, 6, "4294967295", ".6"), row(7, 7, "167838211", ".7"),
      row(9, 9, "4462805507", ".7"),  // another device, the same key once cut to 32 bits
      row(11, 10, "167838212", ".7"),  // another address: no conflict
      row(12, 8, "1", ".2", plain),
      row(13, 8, "1", ".3", "/bin/sh"), row(13, 8, "1", ".3", "/bin/true"),
  };
  Findings findings;
  checkServices(rows, &findings);
  EXPECT_EQ(linesOf(findings),
            (Lines{
                "error: device 1: device_ip_addr is NULL: read as 0.0.0.0, which sends no trap",
                "error: device 2: device_ip_addr abc is not a number: read as 0.0.0.0",
                "error: device 3: device_ip_addr 4294967296 is outside 32 bits: read as 0.0.0.0",
                "error: device 4: device_ip_addr -1 is outside 32 bits: read as 255.255.255.255",
                "warning: device 5: device_ip_addr 0 is 0.0.0.0, which sends no trap",
                "error: device 9: device_ip_addr 4462805507 is outside 32 bits: read as 10.1.2.3",
                "error: service 12 (s12) of device 8: alerting program " + plain +
                    ": not executable for this user",
                "warning: service 7 (s7) and service 9 (s9) on 10.1.2.3 both answer OID .7: 9 "
                "never runs",
                "warning: service 13 (s13) has 2 alerting programs, but only one runs: /bin/sh",
            }));
  EXPECT_EQ(distinctDevices(rows), 10u);
  EXPECT_EQ(distinctServices(rows), 11u);
}

}  // namespace

}  // namespace kivo
