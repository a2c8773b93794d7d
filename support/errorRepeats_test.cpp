#include "support/errorRepeats.h"

#include <gtest/gtest.h>

#include "support/failureEpisodes.h"

namespace kivo {

using std::chrono::seconds;

// When lines are due is Episode's rule (episode_test.cpp); here what makes an
// episode of its own, the texts, and which failures pass.
TEST(ErrorRepeats, OneEpisodePerStatementAndKindAndWhatFailurePasses) {
  ErrorRepeats repeats;
  for (const char* kind : {"42501", "42703", "42501", "42703"}) repeats.failed("Insert", kind);
  EXPECT_TRUE(repeats.failed("Update", "42501").tell) << "another statement";
  const std::string counted = "database statement Insert failed 1 more times with the same error (";
  EXPECT_EQ(repeats.succeeded("Insert"), counted + "42501); " + counted + "42703)");
  FailureEpisodes episodes;
  const FailureEpisodes::Clock::time_point t0 = FailureEpisodes::Clock::now();
  episodes.failed("Check", "ERROR:  canceling\n", t0);
  EXPECT_EQ(episodes.failed("Check", "ERROR:  canceling\n", t0 + seconds(31)),
            "database statement Check still failing after 31 s: ERROR:  canceling");
  std::string passing;
  for (const char* state : {"40001", "53300", "57P01", "55P03", "42501", "55000", "5700", "570014"})
    passing += passingFailure(state) ? "1" : "0";
  EXPECT_EQ(passing, "11110000");
}

}  // namespace kivo
