#include "check/checkKivotrapd.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <tuple>

#include "testing/tempDir.h"

namespace kivo {

TEST(CheckArguments, AreReadOrRefusedWithTheProblem) {
  // The arguments split at blanks, the action, "file host port w c s t" or the problem.
  const std::tuple<std::string, CheckArguments::Action, std::string> cases[] = {
      {"-f /x.prom", CheckArguments::kCheck, "/x.prom  9641 60 300 60 10"},
      {"-H 127.0.0.1 -p 9700 -t 3", CheckArguments::kCheck, " 127.0.0.1 9700 60 300 60 3"},
      {"-f/x.prom -w5 -c 9 -s1", CheckArguments::kCheck, "/x.prom  9641 5 9 1 10"},
      {"--file=/x.prom --warning 0 --critical=0 --stale=2", CheckArguments::kCheck,
       "/x.prom  9641 0 0 2 10"},
      {"-f /x.prom --version -x", CheckArguments::kVersion, "/x.prom  9641 60 300 60 10"},
      {"", CheckArguments::kUsageError, "give either -f FILE or -H HOST"},
      {"-f", CheckArguments::kUsageError, "-f needs a value"},
      {"-f /x -w -1", CheckArguments::kUsageError, "-w needs whole seconds"},
      {"-f /x -w 10 -c 5", CheckArguments::kUsageError, "-w must not be above -c"},
      {"-f /x -s 0", CheckArguments::kUsageError, "-s and -t need at least 1 second"},
      {"-H h -p 70000", CheckArguments::kUsageError, "-p needs a port from 1 to 65535"},
      {"-f /x -x 1", CheckArguments::kUsageError, "unknown option -x"},
      {"-f /x extra", CheckArguments::kUsageError, "unexpected argument extra"},
  };
  for (const auto& [line, action, readBack] : cases) {
    std::istringstream words(line);
    CheckArguments parsed = parseCheckArguments({std::istream_iterator<std::string>(words), {}});
    const CheckOptions& o = parsed.options;
    std::ostringstream text;
    text << o.file << " " << o.host << " " << o.port << " " << o.warning << " " << o.critical
         << " " << o.stale << " " << o.timeout;
    EXPECT_EQ(parsed.action, action) << line;
    EXPECT_EQ(action == CheckArguments::kUsageError ? parsed.problem : text.str(), readBack)
        << line;
  }
}

TEST(CheckVerdict, FollowsTheThresholdsTheFileAgeAndTheDaemonState) {
  const double kNow = 2000000000;
  const std::string kOldest = "kivotrapd_spool_oldest_file_timestamp_seconds";
  const MetricSamples healthy = {{"kivotrapd_spool_files", 0}, {kOldest, 0},
                                 {"kivotrapd_database_up", 1}, {"kivotrapd_workers", 4}};
  CheckOptions fromFile, fromListener;
  fromFile.file = "/var/lib/kivo/kivotrapd.prom";
  fromListener.host = "localhost";
  // Case, series changed (-1: missing), source, file age, state, the line or its start.
  const std::tuple<const char*, MetricSamples, const CheckOptions&, double, CheckState,
                   std::string> cases[] = {
      {"healthy", {}, fromFile, 5, kCheckOk,
       "KIVOTRAPD OK - 0 traps waiting, oldest 0 s, database up, 4 workers | waiting=0 "
       "oldest=0s;60;300 database_up=1;;1: workers=4;;1: age=5s;;60"},
      {"at the warning limit", {{"kivotrapd_spool_files", 1}, {kOldest, kNow - 60}}, fromFile, 0,
       kCheckOk, "KIVOTRAPD OK - 1 trap waiting, oldest 60 s,"},
      {"above it", {{kOldest, kNow - 61}}, fromFile, 0, kCheckWarning, "KIVOTRAPD WARNING - 0 "},
      {"above the critical limit", {{kOldest, kNow - 301}}, fromFile, 0, kCheckCritical,
       "KIVOTRAPD CRITICAL - 0 traps waiting, oldest 301 s,"},
      {"a file from the future", {{kOldest, kNow + 99}}, fromFile, 0, kCheckOk,
       "KIVOTRAPD OK - 0 traps waiting, oldest 0 s,"},
      {"database down", {{"kivotrapd_database_up", 0}}, fromFile, 0, kCheckCritical,
       "KIVOTRAPD CRITICAL - 0 traps waiting, oldest 0 s, database down, 4 workers"},
      {"no worker", {{"kivotrapd_workers", 0}}, fromFile, 0, kCheckCritical,
       "KIVOTRAPD CRITICAL - 0 traps waiting, oldest 0 s, database up, 0 workers"},
      {"file at the staleness limit", {}, fromFile, 60, kCheckOk, "KIVOTRAPD OK - 0 traps"},
      {"stale file", {}, fromFile, 61.5, kCheckCritical,
       "KIVOTRAPD CRITICAL - metrics file 61 s old, the daemon is gone or stuck; 0 traps "
       "waiting, oldest 0 s, database up, 4 workers"},
      {"missing series", {{"kivotrapd_workers", -1}}, fromFile, 0, kCheckUnknown,
       "KIVOTRAPD UNKNOWN - kivotrapd_workers missing from metrics file "
       "/var/lib/kivo/kivotrapd.prom"},
      {"from the listener, with counters",
       {{"kivotrapd_workers_busy", 1}, {"kivotrapd_traps_taken_total", 12},
        {"kivotrapd_traps_done_total{outcome=\"plugin_failed\"}", 3}},
       fromListener, -1, kCheckOk,
       "KIVOTRAPD OK - 0 traps waiting, oldest 0 s, database up, 4 workers | waiting=0 "
       "oldest=0s;60;300 database_up=1;;1: workers=4;;1: busy=1 taken=12c plugin_failed=3c"},
  };
  for (const auto& [name, changes, options, fileAge, state, line] : cases) {
    MetricSamples samples = healthy;
    for (const auto& [series, value] : changes) {
      samples[series] = value;
      if (value < 0) samples.erase(series);
    }
    CheckResult result = judgeMetrics(samples, options, kNow, fileAge);
    EXPECT_EQ(result.state, state) << name;
    EXPECT_EQ(result.line.substr(0, line.size()), line) << name;
  }
}

TEST(CheckPlugin, PrintsOneLineAndExitsWithItsState) {
  TempDir dir;
  const std::string file = dir.file("kivotrapd.prom");
  writeFile(file,
            "kivotrapd_spool_files 0\nkivotrapd_spool_oldest_file_timestamp_seconds 0\n"
            "kivotrapd_database_up 0\nkivotrapd_workers 1\n");
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      // the arguments, the exit status, the output's start
      {{"-f", file}, 2, "KIVOTRAPD CRITICAL - 0 traps waiting, oldest 0 s, database down, 1 worker"},
      {{"-f", dir.file("missing")}, 3, "KIVOTRAPD UNKNOWN - can't read metrics file " +
                                           dir.file("missing") + ": No such file or directory\n"},
      {{"-V"}, 3, "check_kivotrapd v1.0.0\n"},
      {{"-h"}, 3, "check_kivotrapd v1.0.0\n\nChecks kivoTrapD"},
      {{"-w", "x"}, 3, "check_kivotrapd: -w needs whole seconds\nUsage:\n check_kivotrapd -f FILE"},
  };
  for (const auto& [arguments, status, output] : cases) {
    std::ostringstream out;
    EXPECT_EQ(runCheck(arguments, out), status) << output;
    EXPECT_EQ(out.str().substr(0, output.size()), output);
    EXPECT_EQ(out.str().back(), '\n') << output;
  }
}

}  // namespace kivo
