// Plug-ins run by several workers at once, as the daemon's workers do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "services/service.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

const std::string kCheckDummy = "/usr/lib/nagios/plugins/check_dummy";

std::string testdata(const std::string& name) {
  return std::string(KIVO_SOURCE_DIR) + "/services/testdata/" + name;
}

// The return code and output of one run, or the failure's message.
std::string run(const std::string& path, const std::string& parameter) {
  service s;
  s.Setname("disk");
  s.Setpath(path);
  s.Setparameter(parameter);
  try {
    int code = s.execute();
    return std::to_string(code) + " " + s.GetStdout();
  } catch (const serviceException& e) {
    return std::string("exception ") + e.what();
  }
}

std::string repeatedLines(int count, size_t length, char c) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(length, c) + "\n";
  return text;
}

TEST(ServiceExecuteThreadTest, EachCallGetsItsOwnOutputAndCode) {
  const std::string repeated = testdata("print_repeated.sh");
  struct Job {
    std::string path;
    std::string parameter;
    std::string result;
  } jobs[] = {
      {kCheckDummy, "0 'thread zero'", "0 OK: thread zero\n"},
      {kCheckDummy, "2 'thread two'", "2 CRITICAL: thread two\n"},
      {repeated, "1 10 a 1", "1 " + repeatedLines(1, 10, 'a')},
      {repeated, "3 3000 b 3", "3 " + repeatedLines(3, 3000, 'b')},
      {repeated, "40 2000 c 4", "4 " + repeatedLines(40, 2000, 'c')},
      {testdata("exit_with.sh"), "255 lost", "3 could not connect to host"},
  };
  const size_t kJobs = sizeof jobs / sizeof jobs[0];
  const int kRounds = 8;
  // Each thread writes only its own entry.
  std::vector<std::string> mismatches(kJobs);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kJobs; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        std::string result = run(jobs[i].path, jobs[i].parameter);
        if (result != jobs[i].result) {
          mismatches[i] += "round " + std::to_string(round) + ": " + result.substr(0, 80) + "\n";
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < kJobs; ++i) EXPECT_EQ(mismatches[i], "") << jobs[i].parameter;
}

TEST(ServiceExecuteThreadTest, FastPluginsDoNotWaitForASlowOne) {
  // The fast plug-ins are already running, their pipes open, when the slow
  // one starts; they end as soon as it has started, while it waits for the
  // gate that the test opens only after the fast ones have returned.
  TempDir dir;
  const std::string gated = testdata("gated.sh");
  const std::string slowStarted = dir.file("slow-started");
  const std::string gate = dir.file("gate");
  const int kFast = 3;

  std::vector<std::string> fastResults(kFast);
  std::atomic<int> fastDone{0};
  std::vector<std::thread> fast;
  std::vector<std::string> fastStarted;
  for (int i = 0; i < kFast; ++i) {
    fastStarted.push_back(dir.file("fast-" + std::to_string(i) + "-started"));
    std::string parameter = fastStarted[i] + " " + slowStarted + " 'fast " + std::to_string(i) + "'";
    fast.emplace_back([&, i, parameter] {
      fastResults[i] = run(gated, parameter);
      ++fastDone;
    });
  }
  bool fastRunning = waitFor([&] {
    for (const std::string& started : fastStarted) {
      if (!fileExists(started)) return false;
    }
    return true;
  });

  std::string slowResult;
  std::atomic<bool> slowDone{false};
  std::thread slow([&] {
    slowResult = run(gated, slowStarted + " " + gate + " slow");
    slowDone = true;
  });
  // Well below the slow plug-in's own give-up time.
  bool fastFinished = waitFor([&] { return fastDone == kFast; }, std::chrono::seconds(10));
  bool slowStillRunning = !slowDone;
  writeFile(gate, "");
  slow.join();
  for (std::thread& thread : fast) thread.join();

  EXPECT_TRUE(fastRunning) << "the fast plug-ins never started";
  EXPECT_TRUE(fastFinished) << "the fast plug-ins waited for the slow one";
  EXPECT_TRUE(slowStillRunning) << "the slow plug-in ended before its gate opened";
  for (int i = 0; i < kFast; ++i) {
    EXPECT_EQ(fastResults[i], "0 fast " + std::to_string(i) + "\n") << "fast plug-in " << i;
  }
  EXPECT_EQ(slowResult, "0 slow\n");
}

}  // namespace

}  // namespace kivo
