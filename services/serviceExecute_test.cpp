// Plug-in and alerting program runs with real child processes: the monitoring
// plug-ins where they can show the case, the scripts in services/testdata
// where they cannot.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "services/service.h"
#include "support/stopNotice.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"
#include "testing/capturedOutput.h"
#include "testing/shortLimits.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

const std::string kCheckDummy = "/usr/lib/nagios/plugins/check_dummy";

std::string testdata(const std::string& name) {
  return std::string(KIVO_SOURCE_DIR) + "/services/testdata/" + name;
}

service plugin(const std::string& path, const std::string& parameter) {
  service s;
  s.Setname("disk");
  s.Setpath(path);
  s.Setparameter(parameter);
  return s;
}

// count lines, each of length copies of c.
std::string repeatedLines(int count, size_t length, char c) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(length, c) + "\n";
  return text;
}

// The message of the serviceException that execute throws.
std::string executeFailure(service& s, const RunLimits& limits = RunLimits()) {
  try {
    int code = s.execute(limits);
    return "no exception, return code " + std::to_string(code);
  } catch (const serviceException& e) {
    return e.what();
  }
}

// True while pid is a child of this process that has not been reaped; the
// question itself reaps nothing.
bool isUnreapedChild(pid_t pid) {
  siginfo_t info;
  return ::waitid(P_PID, static_cast<id_t>(pid), &info,
                  WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT) == 0;
}

// Points descriptor 1 at a file while it lives, as in a process whose
// standard output was never moved off descriptor 1.
class DescriptorOneInFile {
 public:
  explicit DescriptorOneInFile(const std::string& path)
      : saved_(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)) {
    std::fflush(stdout);
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ::dup2(file.get(), STDOUT_FILENO);
  }
  ~DescriptorOneInFile() {
    std::fflush(stdout);
    ::dup2(saved_.get(), STDOUT_FILENO);
  }
  DescriptorOneInFile(const DescriptorOneInFile&) = delete;
  DescriptorOneInFile& operator=(const DescriptorOneInFile&) = delete;

 private:
  FileDescriptor saved_;
};

TEST(ServiceExecute, ExitStatusGivesReturnCodeAndOutput) {
  const std::string exitWith = testdata("exit_with.sh");
  const std::string repeated = testdata("print_repeated.sh");
  struct Case {
    const char* what;
    std::string path;
    std::string parameter;
    int code;
    std::string output;
  } cases[] = {
      {"status 0", kCheckDummy, "0 fine", 0, "OK: fine\n"},
      {"status 1", kCheckDummy, "1 'disk warm'", 1, "WARNING: disk warm\n"},
      {"status 2", kCheckDummy, "2 full", 2, "CRITICAL: full\n"},
      {"status 3", kCheckDummy, "3 \"no idea\"", 3, "UNKNOWN: no idea\n"},
      {"status 4", exitWith, "4 accepted", 4, "accepted\n"},
      {"status 255", exitWith, "255 'host down'", 3, "could not connect to host"},
      {"two lines", exitWith, "1 first second", 1, "first\nsecond\n"},
      {"no output", exitWith, "0", 0, ""},
      {"one line of 5000", repeated, "1 5000 x", 0, repeatedLines(1, 5000, 'x')},
      {"three lines over 1024 bytes", repeated, "3 700 y 2", 2, repeatedLines(3, 700, 'y')},
      {"more than a pipe holds", repeated, "100 1000 z 1", 1, repeatedLines(100, 1000, 'z')},
  };
  for (const Case& c : cases) {
    service s = plugin(c.path, c.parameter);
    EXPECT_EQ(s.execute(), c.code) << c.what;
    EXPECT_EQ(s.GetReturnCode(), c.code) << c.what;
    EXPECT_EQ(s.GetStdout(), c.output) << c.what;
  }
}

TEST(ServiceExecute, EndOutsideTheConventionThrowsAndKeepsTheReturnCode) {
  const std::string exitWith = testdata("exit_with.sh");
  const std::string killSelf = testdata("kill_self.sh");
  struct Case {
    const char* what;
    std::string path;
    std::string parameter;
    std::string message;
    std::string output;
  } cases[] = {
      {"status 5", exitWith, "5 'disk full'",
       "Error execute disk\npath:" + exitWith + " 5 'disk full'disk full\n", "disk full\n"},
      {"status 7 without output", exitWith, "7", "Error execute disk\npath:" + exitWith + " 7",
       ""},
      {"status 254", exitWith, "254 a b", "Error execute disk\npath:" + exitWith + " 254 a ba\nb\n",
       "a\nb\n"},
      {"killed by a signal", killSelf, "",
       "Error: kivo can't execute disk\npath:" + killSelf + " about to be killed\n",
       "about to be killed\n"},
  };
  for (const Case& c : cases) {
    service s = plugin(kCheckDummy, "1 before");
    ASSERT_EQ(s.execute(), 1) << c.what;
    s.Setpath(c.path);
    s.Setparameter(c.parameter);
    EXPECT_EQ(executeFailure(s), c.message) << c.what;
    EXPECT_EQ(s.GetReturnCode(), 1) << c.what;
    EXPECT_EQ(s.GetStdout(), c.output) << c.what;
  }
}

TEST(ServiceExecute, StoppedPluginIsKilledAndReapedBeforeTheError) {
  TempDir dir;
  const std::string pidFile = dir.file("pid");
  const std::string stopSelf = testdata("stop_self.sh");
  service s = plugin(stopSelf, pidFile);
  // Seen at the end of its output, or at the latest at its time limit.
  EXPECT_EQ(executeFailure(s, shortLimits(1)),
            "Error: kivo can't execute disk\npath:" + stopSelf + " " + pidFile + "about to stop\n");
  pid_t pid = static_cast<pid_t>(std::stol(readFile(pidFile)));
  EXPECT_FALSE(isUnreapedChild(pid)) << "stopped plug-in " << pid << " left behind";
  if (isUnreapedChild(pid)) ::kill(pid, SIGKILL);
}

// The ways a program runs out of time are ProgramRun's tests; here, what a
// plug-in run makes of them.
TEST(ServiceExecute, PluginOutOfTimeCountsAsUnknown) {
  service s = plugin(kCheckDummy, "1 before");
  ASSERT_EQ(s.execute(), 1);
  EXPECT_FALSE(s.GetTimedOut());
  s.Setpath("/bin/sleep");
  s.Setparameter("30");
  EXPECT_EQ(s.execute(shortLimits(1)), 3);
  EXPECT_EQ(s.GetReturnCode(), 3);
  EXPECT_EQ(s.GetStdout(), "plug-in timed out after 1 s");
  EXPECT_TRUE(s.GetTimedOut());
}

TEST(ServiceExecute, OutputBeyondTheLimitIsDropped) {
  RunLimits limits = shortLimits(0);
  limits.outputMax = 2500;
  service s = plugin(testdata("print_repeated.sh"), "100 1000 z 2");
  EXPECT_EQ(s.execute(limits), 2);
  EXPECT_EQ(s.GetStdout(), repeatedLines(100, 1000, 'z').substr(0, 2500));
}

TEST(ServiceExecute, PluginRunningAtTheStopDeadlineThrowsStopException) {
  StopNotice notice;
  notice.begin(std::chrono::milliseconds(0));
  RunLimits limits = shortLimits(0);
  limits.stop = &notice;
  service s = plugin(kCheckDummy, "1 before");
  ASSERT_EQ(s.execute(), 1);
  s.Setpath("/bin/sleep");
  s.Setparameter("30");
  try {
    s.execute(limits);
    ADD_FAILURE() << "no StopException";
  } catch (const StopException& e) {
    EXPECT_EQ(std::string(e.what()), "plug-in of service disk cut short by the stop: /bin/sleep 30");
  }
  EXPECT_EQ(s.GetReturnCode(), 1) << "nothing of the run is kept";
  EXPECT_EQ(s.GetStdout(), "WARNING: before\n");
}

TEST(ServiceExecute, PluginThatCannotStartGivesTwoAndLogsTheReason) {
  TempDir dir;
  const std::string notExecutable = dir.file("not-executable");
  writeFile(notExecutable, "#!/bin/sh\necho never\n");
  ASSERT_EQ(::chmod(notExecutable.c_str(), 0644), 0);
  struct Case {
    const char* what;
    std::string path;
    std::string logged;
  } cases[] = {
      {"never existed", dir.file("no-such-plugin"), "No such file or directory\n"},
      {"no execute permission", notExecutable, "Permission denied\n"},
  };
  for (const Case& c : cases) {
    CapturedOutput log;
    service s = plugin(c.path, "-H 192.0.2.7");
    EXPECT_EQ(s.execute(), 2) << c.what;
    EXPECT_EQ(s.GetStdout(), "") << c.what;
    EXPECT_EQ(log.text(), c.logged) << c.what;
  }
}

TEST(ServiceExecute, StartFailureTextStaysOutOfTheOutputWhenTheLogIsDescriptorOne) {
  ASSERT_EQ(standardOutputDescriptor(), STDOUT_FILENO);
  TempDir dir;
  const std::string console = dir.file("console");
  service s = plugin(dir.file("no-such-plugin"), "");
  {
    DescriptorOneInFile redirect(console);
    EXPECT_EQ(s.execute(), 2);
  }
  EXPECT_EQ(s.GetStdout(), "");
  EXPECT_EQ(readFile(console), "No such file or directory\n");
}

TEST(ServiceExecute, ArgumentListFollowsThePath) {
  struct Case {
    const char* parameter;
    std::string output;
  } cases[] = {
      {"", "0 arguments\n"},
      {"   ", "0 arguments\n"},
      {"-w 'disk full' -c", "3 arguments\n"},
  };
  for (const Case& c : cases) {
    service s = plugin(testdata("count_arguments.sh"), c.parameter);
    EXPECT_EQ(s.execute(), 0) << "'" << c.parameter << "'";
    EXPECT_EQ(s.GetStdout(), c.output) << "'" << c.parameter << "'";
  }
}

// The alerting program of these tests, linked into a directory of the test's
// own; it records its arguments beside itself.
class RecordingAlert {
 public:
  RecordingAlert() : path_(dir_.file("alert")) {
    if (::symlink(testdata("record_arguments.sh").c_str(), path_.c_str()) != 0) {
      ADD_FAILURE() << "cannot link the alerting program: " << errnoText(errno);
    }
  }
  const std::string& path() const { return path_; }
  // The number of arguments, then each argument, one a line.
  std::string recorded() const { return readFile(path_ + ".arguments"); }

 private:
  TempDir dir_;
  std::string path_;
};

TEST(ServiceAlerting, ErrorMarkerGivesWayToTheIdentifier) {
  struct Case {
    const char* parameter;
    double errorId;
    std::string recorded;
  } cases[] = {
      {"--error $ERROR", 42, "2\n--error\n42\n"},
      {"id=$ERROR", 42, "1\n42\n"},
      {"--error $ERROR", -1, "2\n--error\n-1\n"},
      {"$ERROR", 1000000, "1\n1000000\n"},
      {"$ERROR", 1234567, "1\n1234567\n"},
      {"$ERROR", 2.5, "1\n2.5\n"},
      {"$ERROR -v x$ERRORy", 7, "3\n7\n-v\n7\n"},
      {"-m 'disk full' $error", 7, "3\n-m\ndisk full\n$error\n"},
      {"", 42, "0\n"},
  };
  for (const Case& c : cases) {
    RecordingAlert alert;
    service s;
    s.SetAlertingSoftware(alert.path());
    s.SetAlertingParameter(c.parameter);
    s.executeAlertingSoftware(c.errorId);
    EXPECT_EQ(alert.recorded(), c.recorded) << "'" << c.parameter << "' with " << c.errorId;
  }
}

TEST(ServiceAlerting, ProgramThatCannotStartIsLoggedAndTheCallReturns) {
  TempDir dir;
  CapturedOutput log;
  service s;
  s.SetAlertingSoftware(dir.file("no-such-alert"));
  s.SetAlertingParameter("--error $ERROR");
  s.executeAlertingSoftware(42);
  EXPECT_EQ(log.text(), "No such file or directory\n");
}

TEST(ServiceAlerting, ProgramKeepsTheDaemonsDescriptors) {
  TempDir dir;
  const std::string console = dir.file("console");
  CapturedOutput log;
  service s;
  s.SetAlertingSoftware("/bin/echo");
  s.SetAlertingParameter("alert for $ERROR");
  {
    DescriptorOneInFile redirect(console);
    s.executeAlertingSoftware(42);
  }
  EXPECT_EQ(readFile(console), "alert for 42\n");
  EXPECT_EQ(log.text(), "") << "the system log gets no output of the program";
}

TEST(ServiceAlerting, ProgramOutOfTimeIsKilledAndReported) {
  RecordingAlert alert;
  service s;
  s.Setname("disk");
  s.SetAlertingSoftware("/bin/sh");
  s.SetAlertingParameter("-c \"echo $$ > " + alert.path() + ".pid; sleep 30\" $ERROR");
  EXPECT_EQ(s.executeAlertingSoftware(42, shortLimits(1)), service::kAlertingTimedOut);
  EXPECT_TRUE(fileExists(alert.path() + ".pid"));
  s.SetAlertingSoftware(alert.path());
  EXPECT_EQ(s.executeAlertingSoftware(42, shortLimits(1)), service::kAlertingEnded) << "a prompt one";
}

TEST(ServiceAlerting, ProgramRunningAtTheStopDeadlineThrowsStopException) {
  StopNotice notice;
  notice.begin(std::chrono::milliseconds(0));
  RunLimits limits = shortLimits(0);
  limits.stop = &notice;
  service s;
  s.Setname("disk");
  s.SetAlertingSoftware("/bin/sleep");
  s.SetAlertingParameter("30");
  try {
    s.executeAlertingSoftware(42, limits);
    ADD_FAILURE() << "no StopException";
  } catch (const StopException& e) {
    EXPECT_EQ(std::string(e.what()),
              "alerting program of service disk cut short by the stop: /bin/sleep");
  }
}

TEST(ServiceAlerting, LeavesOtherChildrenToTheirOwner) {
  // Another worker's plug-in, ended but not yet reaped by its worker.
  pid_t other = ::fork();
  ASSERT_GE(other, 0) << errnoText(errno);
  if (other == 0) _exit(3);
  siginfo_t info{};
  bool ended = waitFor([&] {
    info.si_pid = 0;
    return ::waitid(P_PID, static_cast<id_t>(other), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == other;
  });
  ASSERT_TRUE(ended) << "the other child never ended";

  RecordingAlert alert;
  service s;
  s.SetAlertingSoftware(alert.path());
  s.executeAlertingSoftware(42);
  EXPECT_EQ(alert.recorded(), "0\n");

  int status = 0;
  EXPECT_EQ(::waitpid(other, &status, WNOHANG), other) << "the other child was reaped";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "status " << status;
}

}  // namespace

}  // namespace kivo
