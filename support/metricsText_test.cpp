#include "support/metricsText.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kivo {

namespace {

TEST(MetricsText, SamplesAreFoundUnderTheirSeries) {
  struct Case {
    const char* line;
    const char* key;  // nullptr: no sample
    double value;
  };
  const Case cases[] = {
      {"kivotrapd_workers 4", "kivotrapd_workers", 4},
      {"kivotrapd_workers 4 1700000000000", "kivotrapd_workers", 4},
      {"  kivotrapd_workers\t2", "kivotrapd_workers", 2},
      {"kivotrapd_start_time_seconds 1.7e+09", "kivotrapd_start_time_seconds", 1.7e9},
      {"x{outcome=\"run\"} 3", "x{outcome=\"run\"}", 3},
      {"x{ b=\"2\", a=\"1\", } 5", "x{a=\"1\",b=\"2\"}", 5},
      {"x{v=\"a \\\"quoted\\\" }\"} 1", "x{v=\"a \\\"quoted\\\" }\"}", 1},
      {"x{le=\"+Inf\"} 7", "x{le=\"+Inf\"}", 7},
      {"x +Inf", "x", HUGE_VAL},
      {"x{} 6", "x", 6},
      {"x 1\r", "x", 1},
      {"# HELP x a help line 1", nullptr, 0},
      {"# TYPE x counter", nullptr, 0},
      {"", nullptr, 0},
      {"x", nullptr, 0},
      {"x{a=\"1\" 1", nullptr, 0},
      {"x{a=1} 1", nullptr, 0},
      {"x one", nullptr, 0},
      {"x 1one", nullptr, 0},
  };
  for (const Case& c : cases) {
    kivo::MetricSamples samples = kivo::parseMetricsText(c.line);
    if (c.key == nullptr) {
      EXPECT_TRUE(samples.empty()) << c.line;
      continue;
    }
    ASSERT_EQ(samples.size(), 1u) << c.line;
    EXPECT_EQ(samples.begin()->first, c.key) << c.line;
    EXPECT_EQ(samples.begin()->second, c.value) << c.line;
  }
}

TEST(MetricsText, EveryLineOfATextCounts) {
  kivo::MetricSamples samples = kivo::parseMetricsText(
      "# HELP a first\n# TYPE a gauge\na 1\nbroken line\nb{x=\"y\"} NaN\nb{x=\"z\"} 2");
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples["a"], 1);
  EXPECT_TRUE(std::isnan(samples["b{x=\"y\"}"]));
  EXPECT_EQ(samples["b{x=\"z\"}"], 2) << "the last line needs no line feed";
}

}  // namespace

}  // namespace kivo
