// Bounded runs of real child processes: their own group and input, the
// output cap, the time limit with SIGTERM then SIGKILL, background children
// that hold the output, and the stop's deadline.
#include "support/programRun.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/stopNotice.h"
#include "testing/shortLimits.h"
#include "testing/tempDir.h"

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
  EXPECT_EQ(run.captureOutput(), 0);
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

// True once the process of pidFile, a child of this one, has been reaped.
bool reaped(const std::string& pidFile) {
  siginfo_t info;
  return ::waitid(P_PID, static_cast<id_t>(std::stol("0" + readFile(pidFile))), &info,
                  WEXITED | WSTOPPED | WNOHANG | WNOWAIT) != 0;
}

// The status as "exit N" or "signal N".
std::string ending(int status) {
  return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

TEST(ProgramRun, ProgramLeadsItsOwnGroupReadsDevNullAndOutputIsCapped) {
  const std::string big = "head -c 300000 /dev/zero | tr '\\0' x; exit 3";
  struct Case {
    std::string script;
    size_t outputMax;
    std::string output;
  } cases[] = {
      {"read pid comm state ppid group rest < /proc/$$/stat; [ \"$pid\" = \"$group\" ] && "
       "echo own group; readlink /proc/$$/fd/0; exit 3",
       RunLimits().outputMax, "own group\n/dev/null\n"},
      {big, 1000, std::string(1000, 'x')},
      {big, RunLimits().outputMax, std::string(300000, 'x')},
      {"printf abcd; exit 3", 4, "abcd"},
      {"printf abcd; exit 3", 0, ""},
  };
  for (const Case& c : cases) {
    RunLimits limits = shortLimits(0);
    limits.outputMax = c.outputMax;
    Outcome o = runShell(c.script, limits);
    EXPECT_EQ(o.end, ProgramRun::kEnded) << c.outputMax;
    EXPECT_EQ(ending(o.status), "exit 3") << c.outputMax;
    EXPECT_EQ(o.output, c.output) << c.outputMax;
  }
}

// A background child of the group would outlive the program; without a time
// limit only the grace after the program's end ends the wait.
TEST(ProgramRun, ProgramOutOfTimeStoppedOrLeavingABackgroundChildIsKilledWithItsGroup) {
  TempDir dir;
  const std::string pid = dir.file("pid"), background = dir.file("background");
  const std::string bg = "sleep 30 & echo $! > " + background + "; ";
  struct Case {
    std::string script;
    int timeout;
    ProgramRun::End end;
    std::string ending, output;
  } cases[] = {
      {bg + "sleep 30", 1, ProgramRun::kTimedOut, "signal 15", ""},
      {bg + "trap '' TERM; sleep 30", 1, ProgramRun::kTimedOut, "signal 9", ""},
      {bg + "echo bye; exec >&-; sleep 30", 1, ProgramRun::kTimedOut, "signal 15", "bye\n"},
      {"echo bye; exec >&-; kill -STOP $$", 1, ProgramRun::kEnded, "signal 9", "bye\n"},
      {bg + "echo bye; exit 1", 0, ProgramRun::kEnded, "exit 1", "bye\n"},
  };
  for (const Case& c : cases) {
    ::unlink(pid.c_str());
    ::unlink(background.c_str());
    Outcome o = runShell("echo $$ > " + pid + "; " + c.script, shortLimits(c.timeout));
    EXPECT_EQ(o.end, c.end) << c.script;
    EXPECT_EQ(ending(o.status), c.ending) << c.script;
    EXPECT_EQ(o.output, c.output) << c.script;
    EXPECT_TRUE(reaped(pid)) << c.script;
    EXPECT_TRUE(waitFor([&] {
      return processGone(pid) && (!fileExists(background) || processGone(background));
    })) << c.script
        << ": the group lives on";
  }
}

// The stop's deadline, given to runs through their limits: a program started
// after it or running at it is killed, one ending within the grace finishes.
TEST(ProgramRun, StopDeadlineKillsTheProgramAfterTheGrace) {
  TempDir dir;
  const std::string started = dir.file("started"), gate = dir.file("gate");
  const std::string gated = std::string(KIVO_SOURCE_DIR) + "/services/testdata/gated.sh";
  struct Case {
    std::chrono::milliseconds grace;
    bool beforeStart;
    std::string script;
    ProgramRun::End end;
  } cases[] = {
      {std::chrono::milliseconds(0), true, "echo $$ > " + started + "; sleep 30",
       ProgramRun::kStopped},
      {std::chrono::milliseconds(200), false, "echo $$ > " + started + "; sleep 30",
       ProgramRun::kStopped},
      {std::chrono::seconds(30), false, gated + " " + started + " " + gate + " finished",
       ProgramRun::kEnded},
  };
  for (const Case& c : cases) {
    StopNotice notice;
    RunLimits limits = shortLimits(0);
    limits.stop = &notice;
    ::unlink(started.c_str());
    if (c.beforeStart) notice.begin(c.grace);
    Outcome o{ProgramRun::kWaitFailed, 0, ""};
    std::thread run([&] { o = runShell(c.script, limits); });
    bool running = c.beforeStart || waitFor([&] { return fileExists(started); });
    notice.begin(c.grace);
    writeFile(gate, "");
    run.join();
    EXPECT_TRUE(running) << c.script;
    EXPECT_EQ(o.end, c.end) << c.script;
    if (c.end == ProgramRun::kEnded) {
      EXPECT_EQ(o.output + ending(o.status), "finished\nexit 0");
    }
    // It may be killed before it has written its pid.
    if (c.end == ProgramRun::kStopped) {
      EXPECT_TRUE(waitFor([&] { return !fileExists(started) || processGone(started); }));
    }
  }
}

// A program already running, its pipe open, when another one starts ends as
// soon as it has started: the later one holds no descriptor of the earlier.
TEST(ProgramRunThreadTest, FastProgramDoesNotWaitForASlowOneStartedAfterIt) {
  TempDir dir;
  const std::string gated = std::string(KIVO_SOURCE_DIR) + "/services/testdata/gated.sh";
  const std::string fastStarted = dir.file("fast"), slowStarted = dir.file("slow");
  Outcome fast{ProgramRun::kWaitFailed, 0, ""}, slow = fast;
  std::atomic<bool> fastDone{false}, slowDone{false};
  std::thread fastRun([&] {
    fast = runShell(gated + " " + fastStarted + " " + slowStarted + " fast", shortLimits(0));
    fastDone = true;
  });
  bool fastRunning = waitFor([&] { return fileExists(fastStarted); });
  std::thread slowRun([&] {
    slow = runShell(gated + " " + slowStarted + " " + dir.file("gate") + " slow", shortLimits(0));
    slowDone = true;
  });
  // Well below the slow program's own give-up time.
  bool fastFinished = waitFor([&] { return fastDone.load(); }, std::chrono::seconds(10));
  bool slowStillRunning = !slowDone;
  writeFile(dir.file("gate"), "");
  fastRun.join();
  slowRun.join();
  EXPECT_TRUE(fastRunning && fastFinished) << "the fast program waited for the slow one";
  EXPECT_TRUE(slowStillRunning) << "the slow program ended before its gate opened";
  EXPECT_EQ(fast.output + slow.output, "fast\nslow\n");
}

}  // namespace

}  // namespace kivo
