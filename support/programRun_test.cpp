#include "support/programRun.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>

#include "support/stopNotice.h"
#include "testing/shortLimits.h"
#include "testing/tempDir.h"

namespace kivo {

const std::string kGated = std::string(KIVO_SOURCE_DIR) + "/services/testdata/gated.sh";

// Runs script with /bin/sh, its output captured: "<end> exit|signal <n> <output>".
static std::string runShell(const std::string& script, const RunLimits& limits) {
  ProgramRun run(limits);
  EXPECT_EQ(run.captureOutput(), 0);
  int error = 0;
  if (run.start(ArgumentVector("/bin/sh", {"-c", script}), &error) != ChildProcess::kStarted)
    return "not started";
  const char* const ends[] = {"ended", "timed out", "stopped", "wait failed"};
  std::string end = ends[run.wait()];
  int status = run.status();
  return end +
         (WIFEXITED(status) ? " exit " + std::to_string(WEXITSTATUS(status))
                            : " signal " + std::to_string(WTERMSIG(status))) +
         " " + run.output();
}

// True once the process is gone or only a zombie waiting for its parent.
static bool processGone(const std::string& pidFile) {
  const long pid = std::stol("0" + readFile(pidFile));
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return pid > 0 &&
         (stat.empty() || (close != std::string::npos && stat.compare(close, 3, ") Z") == 0));
}

// True once the process of pidFile, a child of this one, has been reaped.
static bool reaped(const std::string& pidFile) {
  siginfo_t info;
  return ::waitid(P_PID, static_cast<id_t>(std::stol("0" + readFile(pidFile))), &info,
                  WEXITED | WSTOPPED | WNOHANG | WNOWAIT) != 0;
}

// Without a time limit only the grace after the program's end ends the wait
// for a background child that holds the output.
TEST(ProgramRun, ProgramLeadsItsGroupReadsDevNullHasItsOutputCappedAndItsGroupKilled) {
  TempDir dir;
  const std::string pid = dir.file("pid"), background = dir.file("background");
  const std::string bg = "sleep 30 & echo $! > " + background + "; ";
  const std::string big = "head -c 300000 /dev/zero | tr '\\0' x; exit 3";
  const size_t all = RunLimits().outputMax;
  const std::tuple<std::string, int, size_t, std::string> cases[] = {
      {"read pid comm state ppid group rest < /proc/$$/stat; [ \"$pid\" = \"$group\" ] && "
       "echo own group; readlink /proc/$$/fd/0; exit 3",
       0, all, "ended exit 3 own group\n/dev/null\n"},
      {big, 0, 1000, "ended exit 3 " + std::string(1000, 'x')},
      {big, 0, all, "ended exit 3 " + std::string(300000, 'x')},
      {"printf abcd; exit 3", 0, 4, "ended exit 3 abcd"},
      {"printf abcd; exit 3", 0, 0, "ended exit 3 "},
      {bg + "sleep 30", 1, all, "timed out signal 15 "},
      {bg + "trap '' TERM; sleep 30", 1, all, "timed out signal 9 "},
      {bg + "echo bye; exec >&-; sleep 30", 1, all, "timed out signal 15 bye\n"},
      {"echo bye; exec >&-; kill -STOP $$", 1, all, "ended signal 9 bye\n"},
      {bg + "echo bye; exit 1", 0, all, "ended exit 1 bye\n"},
  };
  for (const auto& [script, timeout, outputMax, result] : cases) {
    ::unlink(pid.c_str());
    ::unlink(background.c_str());
    RunLimits limits = shortLimits(timeout);
    limits.outputMax = outputMax;
    EXPECT_EQ(runShell("echo $$ > " + pid + "; " + script, limits), result) << script;
    EXPECT_TRUE(reaped(pid)) << script;
    EXPECT_TRUE(waitFor([&] {
      return processGone(pid) && (!fileExists(background) || processGone(background));
    })) << script << ": the group lives on";
  }
}

TEST(ProgramRun, StopDeadlineKillsTheProgramAfterTheGrace) {
  TempDir dir;
  const std::string started = dir.file("started"), gate = dir.file("gate");
  const std::string sleeper = "echo $$ > " + started + "; sleep 30";
  const std::tuple<std::chrono::milliseconds, bool, std::string, std::string> cases[] = {
      {std::chrono::milliseconds(0), true, sleeper, "stopped"},
      {std::chrono::milliseconds(200), false, sleeper, "stopped"},
      {std::chrono::seconds(30), false, kGated + " " + started + " " + gate + " finished",
       "ended exit 0 finished\n"},
  };
  for (const auto& [grace, beforeStart, script, result] : cases) {
    StopNotice notice;
    RunLimits limits = shortLimits(0);
    limits.stop = &notice;
    ::unlink(started.c_str());
    if (beforeStart) notice.begin(grace);
    auto outcome = std::async(std::launch::async, [&] { return runShell(script, limits); });
    bool running = beforeStart || waitFor([&] { return fileExists(started); });
    notice.begin(grace);
    writeFile(gate, "");
    EXPECT_TRUE(running) << script;
    EXPECT_EQ(outcome.get().substr(0, result.size()), result) << script;
  }
}

// The later program holds no descriptor of the earlier one's pipe.
TEST(ProgramRunThreadTest, FastProgramDoesNotWaitForASlowOneStartedAfterIt) {
  TempDir dir;
  const std::string fastStarted = dir.file("fast"), slowStarted = dir.file("slow");
  auto fast = std::async(std::launch::async, [&] {
    return runShell(kGated + " " + fastStarted + " " + slowStarted + " fast", shortLimits(0));
  });
  bool fastRunning = waitFor([&] { return fileExists(fastStarted); });
  auto slow = std::async(std::launch::async, [&] {
    return runShell(kGated + " " + slowStarted + " " + dir.file("gate") + " slow", shortLimits(0));
  });
  bool fastFinished = fast.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  bool slowStillRunning = slow.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
  writeFile(dir.file("gate"), "");
  EXPECT_TRUE(fastRunning && fastFinished) << "the fast program waited for the slow one";
  EXPECT_TRUE(slowStillRunning) << "the slow program ended before its gate opened";
  EXPECT_EQ(fast.get() + slow.get(), "ended exit 0 fast\nended exit 0 slow\n");
}

}  // namespace kivo
