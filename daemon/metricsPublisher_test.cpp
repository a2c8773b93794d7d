#include "daemon/metricsPublisher.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/metricsSource.h"
#include "daemon/settingsReader.h"
#include "support/metricsText.h"
#include "support/iniConfig.h"
#include "support/metrics.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"
#include "testing/tempDir.h"

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
  int countStartingWith(const std::string& prefix) const {
    int found = 0;
    for (const std::string& line : logMessages(output.text())) {
      found += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return found;
  }
  double fileSample(const std::string& key) const {
    kivo::MetricSamples samples = kivo::parseMetricsText(readFile(settings.file));
    return samples.count(key) != 0 ? samples[key] : -1;
  }

  CapturedOutput output;
  TempDir dir;
  kivo::Metrics metrics;
  kivo::MetricsSettings settings;
};

TEST_F(MetricsPublisherThreadTest, SettingsAndTheirDefaults) {
  struct Case {
    const char* entries;
    const char* listen;
    const char* file;
    long interval;
  };
  const Case cases[] = {
      {"", "", "", 10},
      {"metrics_listen=127.0.0.1:9641\nmetrics_file=/var/lib/kivo/kivotrapd.prom\n"
       "metrics_interval=3\n",
       "127.0.0.1:9641", "/var/lib/kivo/kivotrapd.prom", 3},
      {"metrics_interval=0\n", "", "", 10},
      {"metrics_interval=-4\n", "", "", 10},
      {"metrics_interval=often\n", "", "", 10},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("kivo.conf"), std::string("[KIVO]\n") + c.entries);
    iniConfig config(dir.file("kivo.conf"));
    kivo::SettingsReader reader(config);
    kivo::MetricsSettings read = kivo::readMetricsSettings(reader);
    EXPECT_EQ(read.listen, c.listen) << c.entries;
    EXPECT_EQ(read.file, c.file) << c.entries;
    EXPECT_EQ(read.interval, std::chrono::seconds(c.interval)) << c.entries;
  }
}

TEST_F(MetricsPublisherThreadTest, FileIsWrittenAtOnceThenEveryIntervalAndAtTheEnd) {
  settings.file = dir.file("kivotrapd.prom");
  settings.interval = std::chrono::milliseconds(10);
  {
    kivo::MetricsPublisher publisher;
    publisher.start(settings, kNoServer, metrics);
    EXPECT_EQ(fileSample("kivotrapd_traps_taken_total"), 0) << "written by start";
    EXPECT_EQ(fileSample("kivotrapd_database_up"), 0) << "probed before the first file";
    EXPECT_EQ(count("INFO#metrics file " + settings.file + " written every 0 s"), 1);
    metrics.trapTaken("trap-1", 1);
    EXPECT_TRUE(waitFor([&] { return fileSample("kivotrapd_traps_taken_total") == 1; }));
    metrics.trapTaken("trap-2", 2);
    metrics.trapTaken("trap-3", 3);
  }
  EXPECT_EQ(fileSample("kivotrapd_traps_taken_total"), 3) << "the last file, at the end";
  EXPECT_EQ(countStartingWith("ERR#"), 0);
}

TEST_F(MetricsPublisherThreadTest, AFileThatCannotBeWrittenCostsOneLine) {
  settings.file = dir.file("gone/kivotrapd.prom");
  {
    kivo::MetricsPublisher publisher;
    publisher.start(settings, kNoServer, metrics);
    metrics.trapTaken("trap-1", 1);
  }  // fails again at the end
  EXPECT_EQ(count("ERR#can't write metrics file " + settings.file + ": No such file or directory"),
            1);
}

TEST_F(MetricsPublisherThreadTest, AFileWrittenAgainSaysSo) {
  settings.file = dir.file("late/kivotrapd.prom");
  settings.interval = std::chrono::milliseconds(10);
  kivo::MetricsPublisher publisher;
  publisher.start(settings, kNoServer, metrics);
  ASSERT_EQ(countStartingWith("ERR#can't write metrics file "), 1);
  ::mkdir(dir.file("late").c_str(), 0755);
  EXPECT_TRUE(waitFor([&] { return count("INFO#metrics file " + settings.file + " written again") == 1; }));
  EXPECT_EQ(fileSample("kivotrapd_traps_taken_total"), 0);
  EXPECT_EQ(countStartingWith("ERR#"), 1);
}

TEST_F(MetricsPublisherThreadTest, ListenerServesTheMetricsAndABusyPortCostsOneLine) {
  settings.listen = "127.0.0.1:0";
  kivo::MetricsPublisher publisher;
  publisher.start(settings, kNoServer, metrics);
  const int port = publisher.listeningPort();
  ASSERT_GT(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(count("INFO#metrics served on http://" + address + "/metrics"), 1);
  metrics.trapDone(kivo::Metrics::kNoService);
  kivo::MetricsRead read = kivo::fetchMetrics(kivo::metricsUrl("127.0.0.1", port), 5);
  ASSERT_TRUE(read.ok) << read.error;
  // The listener adds series of its own (exposer_...).
  kivo::MetricSamples served;
  for (const auto& sample : kivo::parseMetricsText(read.text)) {
    if (sample.first.rfind("kivotrapd_", 0) == 0) served.insert(sample);
  }
  EXPECT_EQ(served, kivo::parseMetricsText(metrics.text()));
  EXPECT_NE(read.text.find("# HELP kivotrapd_traps_done_total "), std::string::npos);

  kivo::MetricsSettings same;
  same.listen = address;
  kivo::MetricsPublisher second;
  second.start(same, kNoServer, metrics);
  EXPECT_EQ(second.listeningPort(), 0);
  EXPECT_EQ(count("ERR#can't serve metrics on " + address + ": cannot bind to " + address +
                  ": 98 (Address already in use)"),
            1)
      << output.text();
}

TEST_F(MetricsPublisherThreadTest, NothingAskedNothingDone) {
  kivo::MetricsPublisher publisher;
  publisher.start(settings, kNoServer, metrics);
  EXPECT_EQ(publisher.listeningPort(), 0);
  EXPECT_EQ(output.text(), "");
}

}  // namespace

}  // namespace kivo
