// Bounded runs of real child processes: their own group and input, the
// output cap, the time limit with SIGTERM then SIGKILL, background children
// that hold the output, and the stop's deadline.
#include "support/programRun.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/stopNotice.h"
#include "testing/tempDir.h"
#include "testing/shortLimits.h"

namespace kivo {

namespace {

struct Outcome {
  ProgramRun::End end;
  int status;
  std::string output;
};

// Runs script with /bin/sh, its output captured.
Outcome runShell(const std::string& script, const RunLimits& limits) {
  ProgramRun run(limits);
  if (run.captureOutput() != 0) ADD_FAILURE() << "no pipe";
  ArgumentVector arguments("/bin/sh", {"-c", script});
  int error = 0;
  if (run.start(arguments, &error) != ChildProcess::kStarted) {
    ADD_FAILURE() << "/bin/sh did not start";
    return {ProgramRun::kWaitFailed, 0, ""};
  }
  ProgramRun::End end = run.wait();
  return {end, run.status(), run.output()};
}

// True once the process is gone or only a zombie waiting for its parent.
bool processGone(const std::string& pidFile) {
  std::string pid = readFile(pidFile);
  while (!pid.empty() && pid.back() == '\n') pid.pop_back();
  if (pid.empty()) return false;
  std::string stat = readFile("/proc/" + pid + "/stat");
  size_t close = stat.rfind(')');
  return stat.empty() || (close != std::string::npos && stat.compare(close, 3, ") Z") == 0);
}

bool killedBy(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }

bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

TEST(ProgramRun, ProgramLeadsItsOwnGroupAndReadsDevNull) {
  Outcome o = runShell("read pid comm state ppid group rest < /proc/$$/stat;"
                       "[ \"$pid\" = \"$group\" ] && echo own group;"
                       "readlink /proc/$$/fd/0",
                       shortLimits(0));
  EXPECT_EQ(o.end, ProgramRun::kEnded);
  EXPECT_EQ(o.output, "own group\n/dev/null\n");
}

TEST(ProgramRun, OutputIsKeptUpToItsLimitAndTheRestDropped) {
  const std::string big = "head -c 300000 /dev/zero | tr '\\0' x; exit 3";
  struct Case {
    const char* what;
    std::string script;
    size_t outputMax;
    std::string output;
  } cases[] = {
      {"small, no limit", "printf 'a\\nb\\n'; exit 3", RunLimits().outputMax, "a\nb\n"},
      {"above the limit", big, 1000, std::string(1000, 'x')},
      {"more than a pipe holds, no limit", big, RunLimits().outputMax, std::string(300000, 'x')},
      {"exactly the limit", "printf abcd; exit 3", 4, "abcd"},
      {"limit zero", "printf abcd; exit 3", 0, ""},
  };
  for (const Case& c : cases) {
    RunLimits limits = shortLimits(0);
    limits.outputMax = c.outputMax;
    Outcome o = runShell(c.script, limits);
    EXPECT_EQ(o.end, ProgramRun::kEnded) << c.what;
    EXPECT_TRUE(exitedWith(o.status, 3)) << c.what << ": status " << o.status;
    EXPECT_EQ(o.output, c.output) << c.what;
  }
}

TEST(ProgramRun, ProgramOutOfTimeIsKilledWithItsGroup) {
  TempDir dir;
  struct Case {
    const char* what;
    std::string script;
    int signal;  // the one that ended the program
  } cases[] = {
      {"hung", "sleep 30", SIGTERM},
      {"ignores SIGTERM", "trap '' TERM; sleep 30", SIGKILL},
      {"closes its output and runs on", "echo bye; exec >&-; sleep 30", SIGTERM},
  };
  for (const Case& c : cases) {
    const std::string pid = dir.file("pid");
    const std::string background = dir.file("background");
    ::unlink(pid.c_str());
    ::unlink(background.c_str());
    // A background child of the group that would outlive the program.
    Outcome o = runShell("echo $$ > " + pid + "; sleep 30 & echo $! > " + background + ";" +
                             c.script,
                         shortLimits(1));
    EXPECT_EQ(o.end, ProgramRun::kTimedOut) << c.what;
    EXPECT_TRUE(killedBy(o.status, c.signal)) << c.what << ": status " << o.status;
    EXPECT_TRUE(waitFor([&] { return processGone(pid) && processGone(background); }))
        << c.what << ": the group lives on";
  }
}

TEST(ProgramRun, BackgroundChildHoldingTheOutputIsKilledAfterTheGrace) {
  TempDir dir;
  const std::string background = dir.file("background");
  // No time limit: only the grace after the program's end can end the wait
  // before the background child's thirty seconds.
  Outcome o = runShell("echo started; sleep 30 & echo $! > " + background + "; exit 1",
                       shortLimits(0));
  EXPECT_EQ(o.end, ProgramRun::kEnded);
  EXPECT_TRUE(exitedWith(o.status, 1)) << "status " << o.status;
  EXPECT_EQ(o.output, "started\n");
  EXPECT_TRUE(waitFor([&] { return processGone(background); })) << "killed with the group";
}

TEST(ProgramRun, StoppedProgramEndsAsKilled) {
  TempDir dir;
  Outcome o = runShell("echo $$ > " + dir.file("pid") + "; echo stopping; exec >&-; kill -STOP $$",
                       shortLimits(1));
  EXPECT_EQ(o.end, ProgramRun::kEnded);
  EXPECT_TRUE(killedBy(o.status, SIGKILL)) << "status " << o.status;
  EXPECT_EQ(o.output, "stopping\n");
  EXPECT_TRUE(waitFor([&] { return processGone(dir.file("pid")); }));
}

// The stop's deadline, given to runs through their limits.
class ProgramRunStop : public ::testing::Test {
 protected:
  RunLimits limits() {
    RunLimits l = shortLimits(0);
    l.stop = &notice;
    return l;
  }

  // Runs script on another thread; begin() is called once started exists.
  Outcome runWhileStopping(const std::string& script, const std::string& started,
                           std::chrono::milliseconds grace,
                           const std::string& gate = std::string()) {
    Outcome o{ProgramRun::kWaitFailed, 0, ""};
    std::thread run([&] { o = runShell(script, limits()); });
    bool running = waitFor([&] { return fileExists(started); });
    notice.begin(grace);
    if (!gate.empty()) writeFile(gate, "");
    run.join();
    EXPECT_TRUE(running) << "the program never started";
    return o;
  }

  TempDir dir;
  StopNotice notice;
};

TEST_F(ProgramRunStop, ProgramStartedAfterTheDeadlineIsKilled) {
  notice.begin(std::chrono::milliseconds(0));
  const std::string pid = dir.file("pid");
  Outcome o = runShell("echo $$ > " + pid + "; sleep 30", limits());
  EXPECT_EQ(o.end, ProgramRun::kStopped);
  // It may be killed before it has written its pid.
  EXPECT_TRUE(waitFor([&] { return !fileExists(pid) || processGone(pid); }));
}

TEST_F(ProgramRunStop, ProgramRunningAtTheDeadlineIsKilled) {
  const std::string started = dir.file("started");
  Outcome o = runWhileStopping("echo $$ > " + started + "; sleep 30", started,
                               std::chrono::milliseconds(200));
  EXPECT_EQ(o.end, ProgramRun::kStopped);
  EXPECT_TRUE(waitFor([&] { return processGone(started); }));
}

TEST_F(ProgramRunStop, ProgramEndingWithinTheGraceFinishes) {
  const std::string started = dir.file("started");
  const std::string gate = dir.file("gate");
  const std::string gated = std::string(KIVO_SOURCE_DIR) + "/services/testdata/gated.sh";
  Outcome o = runWhileStopping(gated + " " + started + " " + gate + " finished", started,
                               std::chrono::seconds(30), gate);
  EXPECT_EQ(o.end, ProgramRun::kEnded);
  EXPECT_TRUE(exitedWith(o.status, 0)) << "status " << o.status;
  EXPECT_EQ(o.output, "finished\n");
}

}  // namespace

}  // namespace kivo
