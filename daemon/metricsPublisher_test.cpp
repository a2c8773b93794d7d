// The metrics leaving the process: the settings, the file, the listener and
// the probe of the database server, which here finds none.
#include "daemon/metricsPublisher.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "daemon/databaseProbe.h"
#include "daemon/settingsReader.h"
#include "support/iniConfig.h"
#include "support/metrics.h"
#include "support/metricsSource.h"
#include "support/metricsText.h"
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
    MetricSamples samples = parseMetricsText(readFile(settings.file));
    return samples.count(key) != 0 ? samples[key] : -1;
  }

  CapturedOutput output;
  TempDir dir;
  Metrics metrics;
  MetricsSettings settings;
};

TEST_F(MetricsPublisherThreadTest, SettingsAndTheirDefaults) {
  struct Case {
    const char *entries, *expected;
  } cases[] = {
      {"metrics_listen=127.0.0.1:9641\nmetrics_file=/k.prom\nmetrics_interval=1",
       "127.0.0.1:9641 /k.prom 1000"},
      {"metrics_interval=0", "  10000"},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("kivo.conf"), std::string("[KIVO]\n") + c.entries + "\n");
    iniConfig config(dir.file("kivo.conf"));
    SettingsReader reader(config);
    MetricsSettings read = readMetricsSettings(reader);
    EXPECT_EQ(read.listen + " " + read.file + " " + std::to_string(read.interval.count()),
              c.expected);
  }
}

TEST_F(MetricsPublisherThreadTest, TheFileIsWrittenEveryIntervalAndAtTheEndFailuresCostALine) {
  settings.file = dir.file("late/kivotrapd.prom");
  settings.interval = std::chrono::milliseconds(10);
  {
    MetricsPublisher publisher;
    publisher.start(settings, kNoServer, metrics);
    const std::string failed = "ERR#can't write metrics file " + settings.file;
    ASSERT_EQ(::mkdir(dir.file("late").c_str(), 0755), 0);
    EXPECT_TRUE(waitFor(
        [&] { return count("INFO#metrics file " + settings.file + " written again") == 1; }));
    EXPECT_EQ(count(failed + ": No such file or directory"), 1) << "once while it failed";
    EXPECT_EQ(fileSample("kivotrapd_database_up"), 0) << "probed";
    metrics.trapTaken("trap-1", 1);
    EXPECT_TRUE(waitFor([&] { return fileSample("kivotrapd_traps_taken_total") == 1; }));
    metrics.trapTaken("trap-2", 2);
    metrics.trapTaken("trap-3", 3);
  }
  EXPECT_EQ(fileSample("kivotrapd_traps_taken_total"), 3) << "the last file, at the end";
  EXPECT_EQ(count("INFO#metrics file " + settings.file + " written every 0 s"), 1);
}

TEST_F(MetricsPublisherThreadTest, ListenerServesTheMetricsOnlyWhenAsked) {
  settings.listen = "127.0.0.1:0";
  MetricsPublisher publisher;
  publisher.start(settings, kNoServer, metrics);
  const int port = publisher.listeningPort();
  ASSERT_GT(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(count("INFO#metrics served on http://" + address + "/metrics"), 1);
  metrics.trapDone(Metrics::kNoService);
  MetricsRead read = fetchMetrics(metricsUrl("127.0.0.1", port), 5);
  ASSERT_TRUE(read.ok) << read.error;
  MetricSamples served;  // without the listener's own series
  for (const auto& sample : parseMetricsText(read.text)) {
    if (sample.first.rfind("kivotrapd_", 0) == 0) served.insert(sample);
  }
  EXPECT_EQ(served, parseMetricsText(metrics.text()));
  MetricsPublisher idle;
  output.clear();
  idle.start(MetricsSettings(), kNoServer, metrics);
  EXPECT_EQ(idle.listeningPort(), 0);
  EXPECT_EQ(output.text(), "") << "nothing asked, nothing done";
}

TEST(DatabaseProbe, KeepsTheConnectionStringWithinItsOwnTimeout) {
  struct Case {
    const char* connectTimeout;
    int timeout;
    const char* kept;
  } cases[] = {{"5", 10, "5"}, {"30", 10, "10"}, {"1", 10, "2"}, {"0", 1, "2"}};
  for (const Case& c : cases) {
    DatabaseProbe probe(std::string("host=db1 connect_timeout=") + c.connectTimeout, c.timeout);
    std::vector<std::string> parameters;
    for (size_t i = 0; i < probe.keywords().size(); ++i) {
      parameters.push_back(probe.keywords()[i] + "=" + probe.values()[i]);
    }
    EXPECT_EQ(parameters, (std::vector<std::string>{"host=db1", std::string("connect_timeout=") +
                                                                    c.kept}))
        << c.connectTimeout;
  }
}

}  // namespace

}  // namespace kivo
