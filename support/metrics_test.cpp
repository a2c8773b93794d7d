#include "support/metrics.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "support/metricsText.h"

namespace kivo {

namespace {

double sample(const Metrics& metrics, const std::string& key) {
  MetricSamples samples = parseMetricsText(metrics.text());
  auto found = samples.find(key);
  return found == samples.end() ? -1 : found->second;
}

TEST(Metrics, EverySeriesShowsFromTheStartWithItsHelp) {
  Metrics metrics;
  const std::string text = metrics.text();
  MetricSamples samples = parseMetricsText(text);
  const std::string k = "kivotrapd_", done = k + "traps_done_total{outcome=\"";
  const std::string duration = k + "plugin_duration_seconds", alerts = k + "alerts_total{result=\"";
  const std::string zero[] = {
      k + "traps_taken_total", done + "run\"}", done + "no_service\"}", done + "folded\"}",
      done + "plugin_failed\"}", k + "plugin_exits_total{code=\"0\"}",
      k + "plugin_exits_total{code=\"4\"}", k + "plugin_timeouts_total", duration + "_count",
      duration + "_bucket{le=\"0.005\"}", duration + "_bucket{le=\"+Inf\"}", alerts + "ok\"}",
      alerts + "failed\"}", alerts + "timed_out\"}", k + "spool_files",
      k + "spool_oldest_file_timestamp_seconds", k + "spool_entries_skipped",
      k + "spool_delete_errors_total", k + "traps_in_memory", k + "workers", k + "workers_busy",
      k + "trap_log_write_errors_total", k + "database_up", k + "database_outages_total",
      k + "database_statement_errors_total", k + "services"};
  for (const std::string& key : zero) {
    ASSERT_EQ(samples.count(key), 1u) << key << "\n" << text;
    EXPECT_EQ(samples[key], 0) << key;
    std::string family = key.substr(0, key.find('{'));
    if (family.rfind(duration, 0) == 0) family = duration;
    EXPECT_NE(text.find("# HELP " + family + " "), std::string::npos) << family;
  }
  EXPECT_EQ(samples[k + "build_info{version=\"1.0.0\"}"], 1);
  EXPECT_GT(samples[k + "start_time_seconds"], 1.7e9);
}

TEST(Metrics, EachEventCountsInItsSeries) {
  const Metrics::Clock::time_point now = Metrics::Clock::now();
  const std::string k = "kivotrapd_", count = "kivotrapd_plugin_duration_seconds_count";
  struct Case {
    std::function<void(Metrics&)> event;
    std::map<std::string, double> expected;  // every other counter stays 0
  };
  const std::vector<Case> cases = {
      {[](Metrics& m) { m.trapDone(Metrics::kFolded); },
       {{k + "traps_done_total{outcome=\"folded\"}", 1}}},
      {[now](Metrics& m) { m.pluginEnded(2, false, now); },
       {{k + "plugin_exits_total{code=\"2\"}", 1}, {count, 1}}},
      {[now](Metrics& m) { m.pluginEnded(3, true, now); },
       {{k + "plugin_timeouts_total", 1}, {count, 1}}},
      {[now](Metrics& m) { m.pluginFailed(now); },
       {{k + "traps_done_total{outcome=\"plugin_failed\"}", 1}, {count, 1}}},
      {[](Metrics& m) { m.alertEnded(Metrics::kAlertTimedOut); },
       {{k + "alerts_total{result=\"timed_out\"}", 1}}},
      {[](Metrics& m) { m.spoolFileUndeletable(); }, {{k + "spool_delete_errors_total", 1}}},
      {[](Metrics& m) { m.trapLogWriteFailed(); }, {{k + "trap_log_write_errors_total", 1}}},
      {[](Metrics& m) { m.databaseStatementRefused(); },
       {{k + "database_statement_errors_total", 1}}},
      {[](Metrics& m) { m.databaseLost(); }, {{k + "database_outages_total", 1}}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    Metrics metrics;
    cases[i].event(metrics);
    for (const auto& entry : parseMetricsText(metrics.text())) {
      const std::string& key = entry.first;
      if (key.find("_total") == std::string::npos && key.find("_count") == std::string::npos) {
        continue;
      }
      auto expected = cases[i].expected.find(key);
      EXPECT_EQ(entry.second, expected == cases[i].expected.end() ? 0 : expected->second)
          << "case " << i << ": " << key;
    }
  }
}

TEST(Metrics, GaugesFollowWorkersSpoolDatabaseAndTheOldestTrapInMemory) {
  Metrics metrics;
  const std::string k = "kivotrapd_";
  auto gauges = [&](const std::vector<std::string>& names) {
    std::string values;
    for (const std::string& name : names) values += std::to_string(int(sample(metrics, k + name))) + " ";
    return values;
  };
  {
    CountedWorker first(metrics), second(metrics);
    BusyWorker busy(metrics);
    EXPECT_EQ(gauges({"workers", "workers_busy"}), "2 1 ");
  }
  EXPECT_EQ(gauges({"workers", "workers_busy"}), "0 0 ");
  metrics.spoolPassed(12, 3);
  metrics.servicesLoaded(7);
  EXPECT_EQ(gauges({"spool_files", "spool_entries_skipped", "services"}), "12 3 7 ");
  const std::vector<std::string> trapGauges = {"spool_oldest_file_timestamp_seconds",
                                               "traps_in_memory", "traps_taken_total"};
  metrics.trapTaken("trap-b", 1000);
  metrics.trapTaken("trap-a", 900);
  metrics.trapTaken("trap-c", 1000);
  EXPECT_EQ(gauges(trapGauges), "900 3 3 ");
  metrics.trapReleased("trap-a");
  metrics.trapReleased("never-taken");
  metrics.trapReleased("trap-b");
  EXPECT_EQ(gauges(trapGauges), "1000 1 3 ") << "trap-c has the same time";
  metrics.trapReleased("trap-c");
  EXPECT_EQ(gauges(trapGauges), "0 0 3 ") << "none left";
  // Up when the probe answers and the connection works.
  EXPECT_EQ(gauges({"database_up"}), "0 ") << "before the first probe";
  std::string ups;
  for (const auto& step : std::vector<std::function<void()>>{
           [&] { metrics.databaseProbed(true); }, [&] { metrics.databaseProbed(false); },
           [&] { metrics.databaseProbed(true); }, [&] { metrics.databaseLost(); },
           [&] { metrics.databaseProbed(true); }, [&] { metrics.databaseBack(); },
           [&] { metrics.databaseProbed(false); }, [&] { metrics.databaseBack(); }}) {
    step();
    ups += gauges({"database_up"});
  }
  EXPECT_EQ(ups, "1 0 1 0 0 1 0 1 ");
}

TEST(MetricsThreadTest, CountsFromManyThreadsAddUpWhileRead) {
  const int kThreads = 4, kEach = 2000;
  Metrics metrics;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&metrics, t] {
      CountedWorker counted(metrics);
      for (int i = 0; i < kEach; ++i) {
        BusyWorker busy(metrics);
        std::string file = "trap-" + std::to_string(t) + "-" + std::to_string(i);
        metrics.trapTaken(file, 1000 + i);
        metrics.pluginEnded(i % 5, false, Metrics::Clock::now());
        metrics.trapReleased(file);
      }
    });
  }
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(metrics.text().empty());
  for (std::thread& thread : threads) thread.join();
  MetricSamples samples = parseMetricsText(metrics.text());
  EXPECT_EQ(samples["kivotrapd_traps_taken_total"], kThreads * kEach);
  EXPECT_EQ(samples["kivotrapd_plugin_exits_total{code=\"4\"}"], kThreads * kEach / 5);
  EXPECT_EQ(samples["kivotrapd_plugin_duration_seconds_count"], kThreads * kEach);
  for (const char* zero : {"kivotrapd_traps_in_memory", "kivotrapd_workers_busy",
                           "kivotrapd_spool_oldest_file_timestamp_seconds", "kivotrapd_workers"}) {
    EXPECT_EQ(samples[zero], 0) << zero;
  }
}

}  // namespace

}  // namespace kivo
