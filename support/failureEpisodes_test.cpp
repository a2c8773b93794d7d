#include "support/failureEpisodes.h"

#include <gtest/gtest.h>

namespace kivo {

TEST(FailureEpisodes, AStatementStillFailingIsToldWithItsAgeAndWhatFailurePasses) {
  FailureEpisodes episodes;
  const FailureEpisodes::Clock::time_point t0 = FailureEpisodes::Clock::now();
  episodes.failed("Check", "ERROR:  canceling\n", t0);
  EXPECT_EQ(episodes.failed("Check", "ERROR:  canceling\n", t0 + std::chrono::seconds(31)),
            "database statement Check still failing after 31 s: ERROR:  canceling");
  std::string passing;
  for (const char* state : {"40001", "53300", "57P01", "55P03", "42501", "55000", "5700", "570014"})
    passing += passingFailure(state) ? "1" : "0";
  EXPECT_EQ(passing, "11110000");
}

}  // namespace kivo
