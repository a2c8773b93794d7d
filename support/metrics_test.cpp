#include "support/metrics.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "check/metricsText.h"

namespace kivo {

// The named series' values, each followed by a blank; -1 for a missing one.
static std::string values(const Metrics& metrics, const std::vector<std::string>& names) {
  MetricSamples samples = parseMetricsText(metrics.text());
  std::string values;
  for (const std::string& name : names) {
    auto found = samples.find("kivotrapd_" + name);
    values += std::to_string(found == samples.end() ? -1 : int(found->second)) + " ";
  }
  return values;
}

// 45 series, each at 0 but the build's and the start's, each family with its help.
TEST(Metrics, EverySeriesShowsFromTheStartWithItsHelp) {
  Metrics metrics;
  const std::string text = metrics.text();
  MetricSamples samples = parseMetricsText(text);
  EXPECT_EQ(samples.size(), 45u) << text;
  for (const auto& entry : samples) {
    std::string family = entry.first.substr(0, entry.first.find('{'));
    family = std::regex_replace(family, std::regex("_(bucket|count|sum)$"), "");
    EXPECT_NE(text.find("# HELP " + family + " "), std::string::npos) << family;
    if (family == "kivotrapd_build_info" || family == "kivotrapd_start_time_seconds") continue;
    EXPECT_EQ(entry.second, 0) << entry.first;
  }
  EXPECT_EQ(samples["kivotrapd_build_info{version=\"1.0.0\"}"], 1);
  EXPECT_GT(samples["kivotrapd_start_time_seconds"], 1.7e9);
}

// Each event adds 1 to the series named, and to no other counter.
TEST(Metrics, EachEventCountsInItsSeries) {
  const Metrics::Clock::time_point now = Metrics::Clock::now();
  const std::string k = "kivotrapd_", done = k + "traps_done_total{outcome=\"";
  const std::string exits = k + "plugin_exits_total{code=\"", alerts = k + "alerts_total{result=\"";
  const std::string count = k + "plugin_duration_seconds_count";
  const std::vector<std::pair<std::function<void(Metrics&)>, std::vector<std::string>>> cases = {
      {[](Metrics& m) { m.trapDone(Metrics::kRun); }, {done + "run\"}"}},
      {[](Metrics& m) { m.trapDone(Metrics::kNoService); }, {done + "no_service\"}"}},
      {[](Metrics& m) { m.trapDone(Metrics::kFolded); }, {done + "folded\"}"}},
      {[now](Metrics& m) { m.pluginEnded(0, false, now); }, {count, exits + "0\"}"}},
      {[now](Metrics& m) { m.pluginEnded(4, false, now); }, {count, exits + "4\"}"}},
      {[now](Metrics& m) { m.pluginEnded(5, false, now); }, {count}},
      {[now](Metrics& m) { m.pluginEnded(-1, false, now); }, {count}},
      {[now](Metrics& m) { m.pluginEnded(3, true, now); }, {count, k + "plugin_timeouts_total"}},
      {[now](Metrics& m) { m.pluginFailed(now); }, {count, done + "plugin_failed\"}"}},
      {[](Metrics& m) { m.alertEnded(Metrics::kAlertOk); }, {alerts + "ok\"}"}},
      {[](Metrics& m) { m.alertEnded(Metrics::kAlertFailed); }, {alerts + "failed\"}"}},
      {[](Metrics& m) { m.alertEnded(Metrics::kAlertTimedOut); }, {alerts + "timed_out\"}"}},
      {[](Metrics& m) { m.spoolFileUndeletable(); }, {k + "spool_delete_errors_total"}},
      {[](Metrics& m) { m.trapLogWriteFailed(); }, {k + "trap_log_write_errors_total"}},
      {[](Metrics& m) { m.databaseStatementRefused(); }, {k + "database_statement_errors_total"}},
      {[](Metrics& m) { m.databaseLost(); }, {k + "database_outages_total"}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    Metrics metrics;
    cases[i].first(metrics);
    std::vector<std::string> counted;  // in the map's order, as each case names them
    for (const auto& [key, value] : parseMetricsText(metrics.text())) {
      if (value == 0 || !std::regex_search(key, std::regex("_total|_count"))) continue;
      counted.push_back(key + (value == 1 ? "" : " " + std::to_string(value)));
    }
    EXPECT_EQ(counted, cases[i].second) << "case " << i;
  }
}

TEST(Metrics, GaugesFollowWorkersSpoolDatabaseAndTheOldestTrapInMemory) {
  Metrics metrics;
  {
    CountedWorker first(metrics), second(metrics);
    BusyWorker busy(metrics);
    EXPECT_EQ(values(metrics, {"workers", "workers_busy"}), "2 1 ");
  }
  EXPECT_EQ(values(metrics, {"workers", "workers_busy"}), "0 0 ");
  metrics.spoolPassed(12, 3);
  metrics.servicesLoaded(7);
  EXPECT_EQ(values(metrics, {"spool_files", "spool_entries_skipped", "services"}), "12 3 7 ");
  const std::vector<std::string> trapGauges = {"spool_oldest_file_timestamp_seconds",
                                               "traps_in_memory", "traps_taken_total"};
  for (auto [file, at] : {std::pair("b", 1000), {"a", 900}, {"c", 800}, {"c", 1000}})
    metrics.trapTaken(file, at);
  EXPECT_EQ(values(metrics, trapGauges), "900 3 4 ");
  for (const char* file : {"a", "never-taken", "b"}) metrics.trapReleased(file);
  EXPECT_EQ(values(metrics, trapGauges), "1000 1 4 ") << "c has the same time";
  metrics.trapReleased("c");
  EXPECT_EQ(values(metrics, trapGauges), "0 0 4 ") << "none left";
  std::string ups;
  for (const auto& step : std::vector<std::function<void()>>{
           [&] { metrics.databaseProbed(true); }, [&] { metrics.databaseProbed(false); },
           [&] { metrics.databaseProbed(true); }, [&] { metrics.databaseLost(); },
           [&] { metrics.databaseProbed(true); }, [&] { metrics.databaseBack(); },
           [&] { metrics.databaseProbed(false); }, [&] { metrics.databaseBack(); }}) {
    step();
    ups += values(metrics, {"database_up"});
  }
  EXPECT_EQ(ups, "1 0 1 0 0 1 0 1 ");
}

}  // namespace kivo
