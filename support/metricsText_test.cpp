#include "support/metricsText.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kivo {

TEST(MetricsText, SamplesAreFoundUnderTheirSeries) {
  const std::pair<const char*, const char*> cases[] = {
      // the line, its key or nullptr
      {"  x\t4 1700000000000", "x"},
      {"x{ b=\"2\", a=\"1\", } 4", "x{a=\"1\",b=\"2\"}"},
      {"x{v=\"a \\\" }\"} 4", "x{v=\"a \\\" }\"}"},
      {"x{} 4", "x"},
      {"x 4\r", "x"},
      {"# HELP x a help line 1", nullptr},
      {"x", nullptr},
      {"x{a=\"1\" 1", nullptr},
      {"x{a=1} 1", nullptr},
      {"x 1one", nullptr},
  };
  for (const auto& c : cases) {
    MetricSamples samples = parseMetricsText(c.first);
    ASSERT_EQ(samples.size(), c.second ? 1u : 0u) << c.first;
    if (c.second) {
      EXPECT_EQ(samples.begin()->first + " " + std::to_string(samples.begin()->second),
                std::string(c.second) + " 4.000000")
          << c.first;
    }
  }
  MetricSamples samples =
      parseMetricsText("# TYPE a gauge\na 1.7e+09\nbroken line\nb{x=\"y\"} NaN\nb{x=\"z\"} +Inf");
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples["a"], 1.7e9);
  EXPECT_TRUE(std::isnan(samples["b{x=\"y\"}"]));
  EXPECT_EQ(samples["b{x=\"z\"}"], HUGE_VAL) << "the last line needs no line feed";
}

}  // namespace kivo
