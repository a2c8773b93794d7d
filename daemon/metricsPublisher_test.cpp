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
    const char *entries, *listen, *file;
    long interval;
  } cases[] = {
      {"", "", "", 10},
      {"metrics_listen=127.0.0.1:9641\nmetrics_file=/k.prom\nmetrics_interval=1\n",
       "127.0.0.1:9641", "/k.prom", 1},
      {"metrics_interval=0\n", "", "", 10},
      {"metrics_interval=often\n", "", "", 10},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("kivo.conf"), std::string("[KIVO]\n") + c.entries);
    iniConfig config(dir.file("kivo.conf"));
    SettingsReader reader(config);
    MetricsSettings read = readMetricsSettings(reader);
    EXPECT_EQ(read.listen + " " + read.file, std::string(c.listen) + " " + c.file) << c.entries;
    EXPECT_EQ(read.interval, std::chrono::seconds(c.interval)) << c.entries;
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
  settings.file = dir.file("gone/kivotrapd.prom");
  {
    MetricsPublisher publisher;
    publisher.start(settings, kNoServer, metrics);
  }  // fails again at the end
  EXPECT_EQ(count("ERR#can't write metrics file " + settings.file + ": No such file or directory"),
            1);
}

TEST_F(MetricsPublisherThreadTest, ListenerServesTheMetricsAndABusyPortCostsOneLine) {
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

  MetricsSettings same;
  same.listen = address;
  MetricsPublisher second;
  second.start(same, kNoServer, metrics);
  EXPECT_EQ(second.listeningPort(), 0);
  EXPECT_EQ(count("ERR#can't serve metrics on " + address + ": cannot bind to " + address +
                  ": 98 (Address already in use)"),
            1)
      << output.text();
  MetricsPublisher idle;
  output.clear();
  idle.start(MetricsSettings(), kNoServer, metrics);
  EXPECT_EQ(idle.listeningPort(), 0);
  EXPECT_EQ(output.text(), "") << "nothing asked, nothing done";
}

TEST(DatabaseProbe, KeepsTheConnectionStringWithinItsOwnTimeout) {
  struct Case {
    const char* conninfo;
    int timeout;
    const char* connectTimeout;
  } cases[] = {
      {"host=/run/pg port=5433 dbname=kivo user=kivo password=", 10, "10"},
      {"host=db1 connect_timeout=5 password=", 10, "5"},
      {"host=db1 connect_timeout=30 password=", 10, "10"},
      {"host=db1 connect_timeout=1 password=", 10, "2"},
      {"host=db1 connect_timeout=0 password=", 1, "2"},
  };
  for (const Case& c : cases) {
    DatabaseProbe probe(c.conninfo, c.timeout);
    std::string parameters = " ";
    for (size_t i = 0; i < probe.keywords().size(); ++i) {
      parameters += probe.keywords()[i] + "=" + probe.values()[i] + " ";
    }
    EXPECT_NE(parameters.find(std::string(" connect_timeout=") + c.connectTimeout + " "),
              std::string::npos)
        << c.conninfo << ": " << parameters;
    EXPECT_NE(parameters.find("host=" + std::string(c.conninfo).substr(5, 3)), std::string::npos);
  }
}

}  // namespace

}  // namespace kivo
