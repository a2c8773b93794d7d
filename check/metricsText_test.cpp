#include "check/metricsText.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kivo {

TEST(MetricsText, SamplesAreFoundUnderTheirSeries) {
  const std::pair<const char*, std::string> cases[] = {
      // the line, its key or "" when it has no sample
      {"  az_AZ:09\t4 1700000000000", "az_AZ:09"},
      {"x{ b=\"2\", a=\"1\", } 4", "x{a=\"1\",b=\"2\"}"},
      {"x{v=\"a \\\" }\"} 4", "x{v=\"a \\\" }\"}"},
      {"x{} 4", "x"},
      {"x 4\r", "x"},
      {"# HELP x a help line 1", ""},
      {"x", ""},
      {"x{a=\"1\" 1", ""},
      {"x{a=1} 1", ""},
      {"x 1one", ""},
  };
  for (const auto& [line, key] : cases) {
    std::string found;
    for (const auto& [name, value] : parseMetricsText(line))
      found += name + " " + std::to_string(value) + ";";
    EXPECT_EQ(found, key.empty() ? "" : key + " 4.000000;") << line;
  }
  MetricSamples samples =
      parseMetricsText("# TYPE a gauge\na 1.7e+09\nbroken line\nb{x=\"y\"} NaN\nb{x=\"z\"} +Inf");
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples["a"], 1.7e9);
  EXPECT_TRUE(std::isnan(samples["b{x=\"y\"}"]));
  EXPECT_EQ(samples["b{x=\"z\"}"], HUGE_VAL) << "the last line needs no line feed";
}

}  // namespace kivo
