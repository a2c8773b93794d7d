// What a service makes of a run's end; how runs end is ProgramRun's test.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "services/service.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"
#include "support/stopNotice.h"
#include "testing/capturedOutput.h"
#include "testing/shortLimits.h"
#include "testing/tempDir.h"

namespace kivo {

const std::string kCheckDummy = "/usr/lib/nagios/plugins/check_dummy";

const std::string kTestdata = std::string(KIVO_SOURCE_DIR) + "/services/testdata/";

static service plugin(const std::string& path, const std::string& parameter) {
  service s;
  s.Setname("disk");
  s.Setpath(path);
  s.Setparameter(parameter);
  return s;
}

static std::string run(service& s, const RunLimits& limits = RunLimits(), bool alert = false) {
  try {
    if (alert) return "alert " + std::to_string(s.executeAlertingSoftware(42, limits));
    int code = s.execute(limits);
    return std::to_string(code) + " " + s.GetStdout();
  } catch (const std::exception& e) {
    return std::string("exception ") + e.what();
  }
}

TEST(ServiceExecute, PluginAndAlertingProgramRunEnds) {
  const std::string exitWith = kTestdata + "exit_with.sh", killSelf = kTestdata + "kill_self.sh";
  StopNotice stop;
  stop.begin(std::chrono::milliseconds(0));
  RunLimits stopped = shortLimits(0);
  stopped.stop = &stop;
  struct Case {
    std::string path, parameter;
    RunLimits limits;
    std::string result;
    int returnCode;  // kept after the run
    bool alert = false;
  } cases[] = {
      {kCheckDummy, "1 'disk warm'", RunLimits(), "1 WARNING: disk warm\n", 1},
      {exitWith, "4 first second", RunLimits(), "4 first\nsecond\n", 4},
      {exitWith, "0", RunLimits(), "0 ", 0},
      {exitWith, "255 'host down'", RunLimits(), "3 could not connect to host", 3},
      {"/bin/sleep", "30", shortLimits(1), "3 plug-in timed out after 1 s", 3},
      // Outside the convention: the run's return code is not kept.
      {exitWith, "5 'disk full'", RunLimits(),
       "exception Error execute disk\npath:" + exitWith + " 5 'disk full'disk full\n", 1},
      {killSelf, "", RunLimits(),
       "exception Error: kivo can't execute disk\npath:" + killSelf + " about to be killed\n", 1},
      {"/bin/sleep", "30", stopped,
       "exception plug-in of service disk cut short by the stop: /bin/sleep 30", 1},
      {"/bin/sleep", "30", shortLimits(1), "alert 2", 1, true},
      {"/bin/sleep", "", stopped,
       "exception alerting program of service disk cut short by the stop: /bin/sleep", 1, true},
  };
  for (const Case& c : cases) {
    service s = plugin(c.path, c.parameter);
    s.SetResult(1, "before");  // an earlier run's
    s.SetAlertingSoftware(c.path);
    s.SetAlertingParameter(c.parameter);
    EXPECT_EQ(run(s, c.limits, c.alert), c.result) << c.parameter;
    EXPECT_EQ(s.GetReturnCode(), c.returnCode) << c.parameter;
    EXPECT_EQ(s.GetTimedOut(), c.result == "3 plug-in timed out after 1 s") << c.parameter;
  }
}

// Another worker's plug-in, ended but not reaped yet, is left to its worker.
TEST(ServiceAlerting, ErrorMarkerGivesWayToTheIdentifierAndOtherChildrenAreLeft) {
  pid_t other = ::fork();
  ASSERT_GE(other, 0) << errnoText(errno);
  if (other == 0) _exit(3);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(other), &info, WEXITED | WNOWAIT), 0) << "it ended";
  const std::tuple<const char*, double, std::string> cases[] = {
      {"--error $ERROR", -1, "2\n--error\n-1\n"},
      {"$ERROR $ERROR", 1000000, "2\n1000000\n1000000\n"},
      {"$ERROR", 2.5, "1\n2.5\n"},
      {"$ERROR -m 'disk full' $error x$ERRORy", 7, "5\n7\n-m\ndisk full\n$error\n7\n"},
      {"", 42, "0\n"},
  };
  for (const auto& [parameter, errorId, recorded] : cases) {
    // The program records its arguments beside itself, in a directory of its own.
    TempDir dir;
    service s = plugin("", "");
    s.SetAlertingSoftware(dir.file("alert"));
    s.SetAlertingParameter(parameter);
    ASSERT_EQ(::symlink((kTestdata + "record_arguments.sh").c_str(), dir.file("alert").c_str()), 0);
    EXPECT_EQ(s.executeAlertingSoftware(errorId), service::kAlertingEnded) << parameter;
    EXPECT_EQ(readFile(dir.file("alert.arguments")), recorded) << parameter;
  }
  int status = 0;
  EXPECT_EQ(::waitpid(other, &status, WNOHANG), other) << "the other child was reaped";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "status " << status;
}

// The system log is descriptor 1 here, the alerting program's output the daemon's:
// descriptor 1 is a file, as in a process whose standard output was never moved off it.
TEST(ServiceExecute, ProgramsThatCannotStartAreLoggedAndAlertsKeepTheDaemonsDescriptors) {
  ASSERT_EQ(standardOutputDescriptor(), STDOUT_FILENO);
  TempDir dir;
  service s = plugin(dir.file("no-such-plugin"), "-H 192.0.2.7");
  s.SetAlertingParameter("alert for $ERROR");
  std::fflush(stdout);
  FileDescriptor saved(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  const std::string console = dir.file("console");
  FileDescriptor file(::open(console.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ::dup2(file.get(), STDOUT_FILENO);
  EXPECT_EQ(run(s), "2 ");
  {
    CapturedOutput log;
    s.SetAlertingSoftware("/bin/echo");
    EXPECT_EQ(s.executeAlertingSoftware(42), service::kAlertingEnded);
    s.SetAlertingSoftware(dir.file("no-such-alert"));
    EXPECT_EQ(s.executeAlertingSoftware(42), service::kAlertingFailed);
    EXPECT_EQ(log.text(), "No such file or directory\n");
  }
  std::fflush(stdout);
  ::dup2(saved.get(), STDOUT_FILENO);
  EXPECT_EQ(readFile(console), "No such file or directory\nalert for 42\n");
}

}  // namespace kivo
