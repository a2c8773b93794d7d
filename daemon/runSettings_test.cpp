// The settings that bound the workers' programs, read from a real settings
// file, and the worker count with its lines; no server, no child process.
#include "daemon/runSettings.h"

#include "daemon/daemonSettings.h"
#include "support/iniConfig.h"

#include <gtest/gtest.h>

#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

std::string describe(const RunSettings& s) {
  return std::to_string(s.pluginTimeout) + " " + std::to_string(s.alertingTimeout) + " " +
         std::to_string(s.pluginOutputMax) + " " + std::to_string(s.stopGrace);
}

TEST(RunSettings, ValuesDefaultsAndOddValues) {
  struct Case {
    const char* what;
    std::string kivoSection;
    std::string expected;  // timeouts, output cap, grace
    size_t findings;       // values that are not numbers
  } cases[] = {
      {"missing", "", "60 30 1048576 10", 0},
      {"set", "plugin_timeout=5\nalerting_timeout=2\nplugin_output_max=4096\nstop_grace=1\n",
       "5 2 4096 1", 0},
      {"zero", "plugin_timeout=0\nalerting_timeout=0\nplugin_output_max=0\nstop_grace=0\n",
       "0 0 0 0", 0},
      {"empty", "plugin_timeout=\nalerting_timeout=\nplugin_output_max=\nstop_grace=\n",
       "60 30 1048576 10", 0},
      {"no number", "plugin_timeout=soon\nalerting_timeout=x\nplugin_output_max=big\n"
                    "stop_grace=-\n",
       "60 30 1048576 10", 4},
      {"negative", "plugin_timeout=-1\nalerting_timeout=-30\nplugin_output_max=-5\n"
                   "stop_grace=-2\n",
       "0 0 0 0", 0},
      {"blanks around", "plugin_timeout= 7 \nstop_grace=\t3\n", "7 30 1048576 3", 0},
      {"unit after", "plugin_timeout=7s\nstop_grace=3 seconds\n", "7 30 1048576 3", 2},
      {"beyond a year", "plugin_timeout=99999999999\n", "31536000 30 1048576 10", 0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    writeFile(dir.file("kivo.conf"), "[LOG]\nlog_enable=1\n[KIVO]\n" + c.kivoSection);
    iniConfig config(dir.file("kivo.conf"));
    kivo::SettingsReader reader(config);
    EXPECT_EQ(describe(readRunSettings(reader)), c.expected) << c.what;
    EXPECT_EQ(reader.findings().size(), c.findings) << c.what;
  }
}

TEST(RunSettings, AValueThatIsNotANumberIsNamedWithTheNumberUsed) {
  TempDir dir;
  writeFile(dir.file("kivo.conf"), "[LOG]\nlog_enable=yes\n[KIVO]\nsleep=1s\nqueue_max=lots\n");
  iniConfig config(dir.file("kivo.conf"));
  kivo::SettingsReader reader(config);
  kivo::DaemonSettings settings = kivo::readDaemonSettings(reader);
  EXPECT_EQ(settings.findings,
            (std::vector<std::string>{"[LOG] log_enable=yes is not a number: using 0",
                                      "[KIVO] sleep=1s is not a number: using 1",
                                      "[KIVO] queue_max=lots is not a number: using 1000"}));
}

TEST(RunSettings, LimitsFollowTheSettings) {
  RunSettings saved = run_settings;
  run_settings = {5, 2, 4096, 1};
  RunLimits plugin = pluginLimits();
  RunLimits alerting = alertingLimits();
  run_settings = saved;
  EXPECT_EQ(plugin.timeout, 5);
  EXPECT_EQ(plugin.outputMax, 4096u);
  EXPECT_EQ(plugin.stop, &stop_notice);
  EXPECT_EQ(alerting.timeout, 2);
  EXPECT_EQ(alerting.stop, &stop_notice);
}

TEST(RunSettings, WorkerCountIsBoundedWithALine) {
  struct Case {
    int setting;
    int workers;
    std::vector<std::string> lines;
  } cases[] = {
      {-1, 0, {"ERR#thread_number -1: no worker thread starts, no trap will be handled"}},
      {0, 0, {"ERR#thread_number 0: no worker thread starts, no trap will be handled"}},
      {1, 1, {}},
      {256, 256, {}},
      {257, 256, {"ERR#thread_number 257 is above 256: 256 worker threads start"}},
      {100000, 256, {"ERR#thread_number 100000 is above 256: 256 worker threads start"}},
  };
  for (const Case& c : cases) {
    CapturedOutput output;
    EXPECT_EQ(workerCount(c.setting), c.workers) << c.setting;
    EXPECT_EQ(logMessages(output.text()), c.lines) << c.setting;
  }
}

}  // namespace

}  // namespace kivo
