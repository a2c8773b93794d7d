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
  kivo::MetricSamples samples = kivo::parseMetricsText(metrics.text());
  auto found = samples.find(key);
  return found == samples.end() ? -1 : found->second;
}

TEST(Metrics, EverySeriesShowsFromTheStartWithItsHelp) {
  Metrics metrics;
  const std::string text = metrics.text();
  kivo::MetricSamples samples = kivo::parseMetricsText(text);
  const std::vector<std::string> zero = {
      "kivotrapd_traps_taken_total",
      "kivotrapd_traps_done_total{outcome=\"run\"}",
      "kivotrapd_traps_done_total{outcome=\"no_service\"}",
      "kivotrapd_traps_done_total{outcome=\"folded\"}",
      "kivotrapd_traps_done_total{outcome=\"plugin_failed\"}",
      "kivotrapd_plugin_exits_total{code=\"0\"}",
      "kivotrapd_plugin_exits_total{code=\"4\"}",
      "kivotrapd_plugin_timeouts_total",
      "kivotrapd_plugin_duration_seconds_count",
      "kivotrapd_plugin_duration_seconds_bucket{le=\"0.005\"}",
      "kivotrapd_plugin_duration_seconds_bucket{le=\"60\"}",
      "kivotrapd_plugin_duration_seconds_bucket{le=\"+Inf\"}",
      "kivotrapd_alerts_total{result=\"ok\"}",
      "kivotrapd_alerts_total{result=\"failed\"}",
      "kivotrapd_alerts_total{result=\"timed_out\"}",
      "kivotrapd_spool_files",
      "kivotrapd_spool_oldest_file_timestamp_seconds",
      "kivotrapd_spool_entries_skipped",
      "kivotrapd_spool_delete_errors_total",
      "kivotrapd_traps_in_memory",
      "kivotrapd_workers",
      "kivotrapd_workers_busy",
      "kivotrapd_trap_log_write_errors_total",
      "kivotrapd_database_up",
      "kivotrapd_database_outages_total",
      "kivotrapd_database_statement_errors_total",
      "kivotrapd_services",
  };
  for (const std::string& key : zero) {
    ASSERT_EQ(samples.count(key), 1u) << key << "\n" << text;
    EXPECT_EQ(samples[key], 0) << key;
    std::string family = key.substr(0, key.find('{'));
    for (const char* suffix : {"_bucket", "_count"}) {
      size_t at = family.rfind(suffix);
      if (at != std::string::npos && at + std::string(suffix).size() == family.size()) {
        family.erase(at);
      }
    }
    EXPECT_NE(text.find("# HELP " + family + " "), std::string::npos) << family;
  }
  EXPECT_EQ(samples["kivotrapd_build_info{version=\"1.0.0\"}"], 1);
  EXPECT_GT(samples["kivotrapd_start_time_seconds"], 1.7e9);
}

TEST(Metrics, EachEventCountsInItsSeries) {
  const Metrics::Clock::time_point now = Metrics::Clock::now();
  struct Case {
    const char* name;
    std::function<void(Metrics&)> event;
    std::map<std::string, double> expected;  // every other counter stays 0
  };
  const std::vector<Case> cases = {
      {"run", [](Metrics& m) { m.trapDone(Metrics::kRun); },
       {{"kivotrapd_traps_done_total{outcome=\"run\"}", 1}}},
      {"folded", [](Metrics& m) { m.trapDone(Metrics::kFolded); },
       {{"kivotrapd_traps_done_total{outcome=\"folded\"}", 1}}},
      {"exit 2", [now](Metrics& m) { m.pluginEnded(2, false, now); },
       {{"kivotrapd_plugin_exits_total{code=\"2\"}", 1},
        {"kivotrapd_plugin_duration_seconds_count", 1}}},
      {"timeout", [now](Metrics& m) { m.pluginEnded(3, true, now); },
       {{"kivotrapd_plugin_timeouts_total", 1}, {"kivotrapd_plugin_duration_seconds_count", 1}}},
      {"failed run", [now](Metrics& m) { m.pluginFailed(now); },
       {{"kivotrapd_traps_done_total{outcome=\"plugin_failed\"}", 1},
        {"kivotrapd_plugin_duration_seconds_count", 1}}},
      {"alert", [](Metrics& m) { m.alertEnded(Metrics::kAlertTimedOut); },
       {{"kivotrapd_alerts_total{result=\"timed_out\"}", 1}}},
      {"undeletable", [](Metrics& m) { m.spoolFileUndeletable(); },
       {{"kivotrapd_spool_delete_errors_total", 1}}},
      {"trap log", [](Metrics& m) { m.trapLogWriteFailed(); },
       {{"kivotrapd_trap_log_write_errors_total", 1}}},
      {"refused", [](Metrics& m) { m.databaseStatementRefused(); },
       {{"kivotrapd_database_statement_errors_total", 1}}},
      {"lost", [](Metrics& m) { m.databaseLost(); }, {{"kivotrapd_database_outages_total", 1}}},
  };
  for (const Case& c : cases) {
    Metrics metrics;
    c.event(metrics);
    for (const auto& entry : kivo::parseMetricsText(metrics.text())) {
      const std::string& key = entry.first;
      if (key.find("_total") == std::string::npos && key.find("_count") == std::string::npos) {
        continue;
      }
      auto expected = c.expected.find(key);
      EXPECT_EQ(entry.second, expected == c.expected.end() ? 0 : expected->second)
          << c.name << ": " << key;
    }
  }
}

TEST(Metrics, GaugesFollowTheWorkersAndTheSpool) {
  Metrics metrics;
  {
    kivo::CountedWorker first(metrics);
    kivo::CountedWorker second(metrics);
    kivo::BusyWorker busy(metrics);
    EXPECT_EQ(sample(metrics, "kivotrapd_workers"), 2);
    EXPECT_EQ(sample(metrics, "kivotrapd_workers_busy"), 1);
  }
  EXPECT_EQ(sample(metrics, "kivotrapd_workers"), 0);
  EXPECT_EQ(sample(metrics, "kivotrapd_workers_busy"), 0);
  metrics.spoolPassed(12, 3);
  metrics.servicesLoaded(7);
  EXPECT_EQ(sample(metrics, "kivotrapd_spool_files"), 12);
  EXPECT_EQ(sample(metrics, "kivotrapd_spool_entries_skipped"), 3);
  EXPECT_EQ(sample(metrics, "kivotrapd_services"), 7);
}

TEST(Metrics, OldestFileIsThatOfTheOldestTrapInMemory) {
  Metrics metrics;
  const char* const kOldest = "kivotrapd_spool_oldest_file_timestamp_seconds";
  metrics.trapTaken("trap-b", 1000);
  metrics.trapTaken("trap-a", 900);
  metrics.trapTaken("trap-c", 1000);
  EXPECT_EQ(sample(metrics, kOldest), 900);
  EXPECT_EQ(sample(metrics, "kivotrapd_traps_in_memory"), 3);
  EXPECT_EQ(sample(metrics, "kivotrapd_traps_taken_total"), 3);
  metrics.trapReleased("trap-a");
  metrics.trapReleased("never-taken");
  EXPECT_EQ(sample(metrics, kOldest), 1000);
  metrics.trapReleased("trap-b");
  EXPECT_EQ(sample(metrics, kOldest), 1000) << "trap-c has the same time";
  metrics.trapReleased("trap-c");
  EXPECT_EQ(sample(metrics, kOldest), 0) << "none left";
  EXPECT_EQ(sample(metrics, "kivotrapd_traps_in_memory"), 0);
}

TEST(Metrics, DatabaseIsUpWhenTheProbeAnswersAndTheConnectionWorks) {
  struct Step {
    std::function<void(Metrics&)> event;
    double up;
  };
  const std::vector<Step> steps = {
      {[](Metrics& m) { m.databaseProbed(true); }, 1},
      {[](Metrics& m) { m.databaseProbed(false); }, 0},
      {[](Metrics& m) { m.databaseProbed(true); }, 1},
      {[](Metrics& m) { m.databaseLost(); }, 0},
      {[](Metrics& m) { m.databaseProbed(true); }, 0},  // the connection is still down
      {[](Metrics& m) { m.databaseBack(); }, 1},
      {[](Metrics& m) { m.databaseProbed(false); }, 0},
      {[](Metrics& m) { m.databaseBack(); }, 1},  // a connection made: the server answers
  };
  Metrics metrics;
  EXPECT_EQ(sample(metrics, "kivotrapd_database_up"), 0) << "before the first probe";
  for (size_t i = 0; i < steps.size(); ++i) {
    steps[i].event(metrics);
    EXPECT_EQ(sample(metrics, "kivotrapd_database_up"), steps[i].up) << "step " << i;
  }
}

TEST(MetricsThreadTest, CountsFromManyThreadsAddUpWhileRead) {
  const int kThreads = 4;
  const int kEach = 5000;
  Metrics metrics;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&metrics, t] {
      kivo::CountedWorker counted(metrics);
      for (int i = 0; i < kEach; ++i) {
        kivo::BusyWorker busy(metrics);
        std::string file = "trap-" + std::to_string(t) + "-" + std::to_string(i);
        metrics.trapTaken(file, 1000 + i);
        metrics.pluginEnded(i % 5, false, Metrics::Clock::now());
        metrics.trapDone(Metrics::kRun);
        metrics.trapReleased(file);
      }
    });
  }
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(metrics.text().empty());
  for (std::thread& thread : threads) thread.join();
  kivo::MetricSamples samples = kivo::parseMetricsText(metrics.text());
  EXPECT_EQ(samples["kivotrapd_traps_taken_total"], kThreads * kEach);
  EXPECT_EQ(samples["kivotrapd_traps_done_total{outcome=\"run\"}"], kThreads * kEach);
  EXPECT_EQ(samples["kivotrapd_plugin_exits_total{code=\"4\"}"], kThreads * kEach / 5);
  EXPECT_EQ(samples["kivotrapd_plugin_duration_seconds_count"], kThreads * kEach);
  EXPECT_EQ(samples["kivotrapd_traps_in_memory"], 0);
  EXPECT_EQ(samples["kivotrapd_spool_oldest_file_timestamp_seconds"], 0);
  EXPECT_EQ(samples["kivotrapd_workers"], 0);
  EXPECT_EQ(samples["kivotrapd_workers_busy"], 0);
}

}  // namespace

}  // namespace kivo
