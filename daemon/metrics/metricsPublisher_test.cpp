// The metrics leaving the process: the file, the listener, and the probe
// of the database server, which here finds none.
#include "daemon/metrics/metricsPublisher.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "check/metricsText.h"
#include "support/metrics.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

namespace {

// No server listens here: every probe fails at once.
const char kNoServer[] = "host=/nonexistent/kivo-socket port=5432 dbname=kivo user=kivo";

class MetricsPublisherThreadTest : public ::testing::Test {
 protected:
  int count(const std::string& message) const {
    std::vector<std::string> lines = logMessages(output.text());
    return static_cast<int>(std::count(lines.begin(), lines.end(), message));
  }
  double fileSample(const std::string& key) const {
    return parseMetricsText(readFile(settings.file))[key];
  }

  CapturedOutput output;
  TempDir dir;
  Metrics metrics;
  MetricsSettings settings;
};

// The last file, written at the end, is shown by the binary's metrics test.
TEST_F(MetricsPublisherThreadTest, TheFileIsWrittenEveryIntervalAndFailuresCostALine) {
  settings.file = dir.file("late/kivotrapd.prom");
  settings.interval = std::chrono::milliseconds(10);
  MetricsPublisher publisher;
  publisher.start(settings, kNoServer, metrics);
  ASSERT_EQ(::mkdir(dir.file("late").c_str(), 0755), 0);
  EXPECT_TRUE(waitFor(
      [&] { return count("INFO#metrics file " + settings.file + " written again") == 1; }));
  const std::string failed = "ERR#can't write metrics file " + settings.file;
  EXPECT_EQ(count(failed + ": No such file or directory"), 1) << "once while it failed";
  metrics.trapTaken("trap-1", 1);
  EXPECT_TRUE(waitFor([&] { return fileSample("kivotrapd_traps_taken_total") == 1; }));
  EXPECT_EQ(count("INFO#metrics file " + settings.file + " written every 0 s"), 1);
}

// The first file, written at the start, already has the dropped INFORM
// count. What the listener serves is shown by the binary's metrics test.
TEST_F(MetricsPublisherThreadTest, TheStartWritesTheProbesCountsAndTellsTheListenerOrItsTakenPort) {
  settings.file = dir.file("kivotrapd.prom");
  settings.informsDroppedFile = dir.file("informs-dropped");
  settings.interval = std::chrono::hours(1);
  settings.listen = "127.0.0.1:0";
  writeFile(settings.informsDroppedFile, "7\n");
  MetricsPublisher publisher;
  publisher.start(settings, kNoServer, metrics);
  EXPECT_EQ(fileSample("kivotrapd_informs_dropped_total"), 7);
  const int port = publisher.listeningPort();
  ASSERT_GT(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(count("INFO#metrics served on http://" + address + "/metrics"), 1);
  MetricsPublisher busy;  // the port is taken: one line, and no listener
  MetricsSettings taken;
  taken.listen = address;
  output.clear();
  busy.start(taken, kNoServer, metrics);
  EXPECT_EQ(busy.listeningPort(), 0);
  std::vector<std::string> lines = logMessages(output.text());
  ASSERT_EQ(lines.size(), 1u) << output.text();
  EXPECT_EQ(lines[0].rfind("ERR#can't serve metrics on " + address + ": ", 0), 0u) << lines[0];
}

}  // namespace

}  // namespace kivo
