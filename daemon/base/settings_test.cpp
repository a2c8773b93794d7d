// The settings as read from a real file: defaults, odd values and the
// values that are not numbers; what validate() finds, which "kivoTrapD
// --check" prints as the start-up writes it; and the number of workers.
#include "daemon/base/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "daemon/base/runSettings.h"
#include "daemon/commands/settingsCheck.h"
#include "support/iniConfig.h"
#include "support/posixIo.h"
#include "testing/tempDir.h"

namespace kivo {

using Lines = std::vector<std::string>;

static Settings settingsOf(const TempDir& dir, const std::string& text) {
  writeFile(dir.file("kivo.conf"), text);
  iniConfig config(dir.file("kivo.conf"));
  return readSettings(config);
}

// The numbers and the spool directory, section by section.
static std::string numbersOf(const Settings& s) {
  const KivoSettings& k = s.kivo;
  return std::to_string(s.log.maxSize) + " " + std::to_string(s.log.logEnable) + " | " +
         k.spoolDirectory + " " + std::to_string(k.sleep) + " " +
         std::to_string(k.spoolFileMax) + " " + std::to_string(k.queueMax) + " " +
         std::to_string(k.spoolSettle) + " " + std::to_string(k.threadNumber) + " | " +
         std::to_string(k.run.pluginTimeout) + " " + std::to_string(k.run.alertingTimeout) + " " +
         std::to_string(k.run.pluginOutputMax) + " " + std::to_string(k.run.stopGrace) + " | " +
         std::to_string(k.fold.windowSeconds) + " " + std::to_string(k.fold.ignoredOids.size()) +
         " " + std::to_string(k.metrics.interval.count()) + " " + k.metrics.informsDroppedFile +
         " | " + std::to_string(s.database.slowStatementSeconds) + " " +
         std::to_string(s.database.connections);
}

TEST(Settings, DefaultsOddValuesAndValuesThatAreNoNumbers) {
  struct Case {
    std::string file, numbers;
    Lines notNumbers;
  } cases[] = {
      {"", "0 0 |  0 1048576 1000 10 0 | 60 30 1048576 10 | 0 0 10000  | 10 1", {}},
      {"[LOG]\nmax_size_file_log=5\nlog_enable=1\n[KIVO]\nspool_directory=/s/\nsleep=2\n"
       "spool_file_max=9\nqueue_max=8\nspool_settle=0\nthread_number=3\nplugin_timeout=5\n"
       "alerting_timeout=2\nplugin_output_max=4096\nstop_grace=1\nfold_window=7\n"
       "fold_ignore= .1  .2\nmetrics_interval=3\n[POSTGRESQL]\nPGSQL_slow_statement=0\n"
       "PGSQL_connections=4\n",
       "5 1 | /s/ 2 9 8 0 3 | 5 2 4096 1 | 7 2 3000 ./.s.staging/informs-dropped | 0 4", {}},
      {"[LOG]\nlog_enable=yes\n[KIVO]\nspool_directory=/var//s//\nsleep=1s\nspool_file_max=0\n"
       "queue_max=lots\nplugin_timeout= 7s\nalerting_timeout=-30\nplugin_output_max=big\n"
       "stop_grace=\t3 \nmetrics_interval=0\n[POSTGRESQL]\n"
       "PGSQL_connections=100\n",
       "0 0 | /var//s// 1 1048576 1000 10 0 | 7 0 1048576 3 | 0 0 10000 "
       "/var/.s.staging/informs-dropped | 10 64",
       {"[LOG] log_enable=yes is not a number: using 0", "[KIVO] sleep=1s is not a number: using 1",
        "[KIVO] queue_max=lots is not a number: using 1000",
        "[KIVO] plugin_timeout= 7s is not a number: using 7",
        "[KIVO] plugin_output_max=big is not a number: using 1048576"}},
      {"[KIVO]\nplugin_timeout=99999999999\nstop_grace=-1\ninforms_dropped_file=/d\n"
       "[POSTGRESQL]\nPGSQL_connections=-2\n",
       "0 0 |  0 1048576 1000 10 0 | 31536000 30 1048576 0 | 0 0 10000 /d | 10 1", {}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    Settings s = settingsOf(dir, c.file);
    EXPECT_EQ(numbersOf(s), c.numbers) << c.file;
    EXPECT_EQ(s.notNumbers, c.notNumbers) << c.file;
  }
  Settings s = settingsOf(dir, "[POSTGRESQL]\nPGSQL_host=db1\nPGSQL_port=55x\nPGSQL_db=mon\n"
                               "PGSQL_username=kv\nPGSQL_pwd=two words\n"
                               "PGSQL_options=sslmode=require connect_timeout=5\n");
  EXPECT_EQ(s.database.connectionString(),
            "host=db1 port=55x dbname=mon user=kv sslmode=require connect_timeout=5 "
            "password=two words");
}

// The start-up writes each finding's text as an ERR line; the check prints
// the finding's line first of all, before its own look at files and
// services.
TEST(Settings, FindingsTheStartWritesAndTheCheckPrints) {
  struct Case {
    std::string kivo;
    int workers;
    Lines findings;
  } cases[] = {
      {"thread_number=256\nplugin_timeout=1\n", 256, {}},
      {"thread_number=257\n", 256,
       {"warning: thread_number 257 is above 256: 256 worker threads start"}},
      {"thread_number=1s\nplugin_timeout=0\nalerting_timeout=0\n", 1,
       {"error: [KIVO] thread_number=1s is not a number: using 1",
        "warning: [KIVO] plugin_timeout is 0: a plug-in may run without a time limit",
        "warning: [KIVO] alerting_timeout is 0: an alerting program may run without a time "
        "limit"}},
  };
  TempDir dir;
  const std::string database = "[POSTGRESQL]\nPGSQL_host=/nonexistent/kivo-socket\n";
  for (const Case& c : cases) {
    Settings s = settingsOf(dir, database + "[KIVO]\n" + c.kivo);
    Lines lines;
    for (const Finding& finding : s.validate()) lines.push_back(finding.line());
    EXPECT_EQ(lines, c.findings) << c.kivo;
    EXPECT_EQ(workerCount(s.kivo.threadNumber), c.workers) << c.kivo;
    // The check's standard output while it runs.
    const std::string path = dir.file("out");
    FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    FileDescriptor saved(::dup(STDOUT_FILENO));
    ::dup2(out.get(), STDOUT_FILENO);
    runSettingsCheck(dir.file("kivo.conf"));
    ::dup2(saved.get(), STDOUT_FILENO);
    Lines printed = splitLines(readFile(path));
    printed.resize(std::min(printed.size(), c.findings.size()));
    EXPECT_EQ(printed, c.findings) << c.kivo;
  }
}

}  // namespace kivo
