// The settings that bound the workers' programs, from a real settings file,
// and the worker count with its lines.
#include "daemon/runSettings.h"

#include <gtest/gtest.h>

#include "daemon/daemonSettings.h"
#include "support/iniConfig.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

TEST(RunSettings, ValuesDefaultsAndOddValues) {
  struct Case {
    std::string kivoSection;
    std::string expected;  // timeouts, output cap, grace
    size_t findings;       // values that are not numbers
  } cases[] = {
      {"plugin_timeout=5\nalerting_timeout=2\nplugin_output_max=4096\nstop_grace=1\n",
       "5 2 4096 1", 0},
      {"plugin_timeout=\nalerting_timeout=x\nplugin_output_max=big\nstop_grace=-\n",
       "60 30 1048576 10", 3},
      {"plugin_timeout=-1\nalerting_timeout=-30\nplugin_output_max=-5\nstop_grace=0\n",
       "0 0 0 0", 0},
      {"plugin_timeout= 7s\nstop_grace=\t3 \n", "7 30 1048576 3", 1},
      {"plugin_timeout=99999999999\n", "31536000 30 1048576 10", 0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    writeFile(dir.file("kivo.conf"), "[KIVO]\n" + c.kivoSection);
    iniConfig config(dir.file("kivo.conf"));
    SettingsReader reader(config);
    RunSettings s = readRunSettings(reader);
    EXPECT_EQ(std::to_string(s.pluginTimeout) + " " + std::to_string(s.alertingTimeout) + " " +
                  std::to_string(s.pluginOutputMax) + " " + std::to_string(s.stopGrace),
              c.expected)
        << c.kivoSection;
    EXPECT_EQ(reader.findings().size(), c.findings) << c.kivoSection;
  }
  writeFile(dir.file("kivo.conf"), "[LOG]\nlog_enable=yes\n[KIVO]\nsleep=1s\nqueue_max=lots\n");
  iniConfig config(dir.file("kivo.conf"));
  SettingsReader reader(config);
  EXPECT_EQ(readDaemonSettings(reader).findings,
            (std::vector<std::string>{"[LOG] log_enable=yes is not a number: using 0",
                                      "[KIVO] sleep=1s is not a number: using 1",
                                      "[KIVO] queue_max=lots is not a number: using 1000"}));
}

TEST(RunSettings, WorkerCountIsBoundedWithALine) {
  struct Case {
    int setting, workers;
    std::vector<std::string> lines;
  } cases[] = {
      {0, 0, {"ERR#thread_number 0: no worker thread starts, no trap will be handled"}},
      {256, 256, {}},
      {257, 256, {"ERR#thread_number 257 is above 256: 256 worker threads start"}},
  };
  for (const Case& c : cases) {
    CapturedOutput output;
    EXPECT_EQ(workerCount(c.setting), c.workers) << c.setting;
    EXPECT_EQ(logMessages(output.text()), c.lines) << c.setting;
  }
}

}  // namespace kivo
