#include "support/errorRepeats.h"

#include <gtest/gtest.h>

#include "support/failureEpisodes.h"

namespace kivo {

using std::chrono::seconds;

// When lines are due is Episode's rule (episode_test.cpp); here their texts
// and what makes an episode of its own.
TEST(ErrorRepeats, OneEpisodePerStatementAndKind) {
  ErrorRepeats repeats;
  const ErrorRepeats::Clock::time_point t0 = ErrorRepeats::Clock::now();
  const std::string counted = "database statement Insert failed ";
  for (const char* kind : {"42501", "42703"}) EXPECT_TRUE(repeats.failed("Insert", kind, t0).tell);
  EXPECT_TRUE(repeats.failed("Update", "42501", t0).tell) << "another statement";
  for (const char* kind : {"42501", "42703"}) repeats.failed("Insert", kind, t0 + seconds(30));
  EXPECT_EQ(repeats.failed("Insert", "42501", t0 + seconds(60)).countLine,
            counted + "2 more times with the same error (42501)");
  repeats.failed("Insert", "42501", t0 + seconds(61));
  EXPECT_EQ(repeats.succeeded("Insert"), counted + "1 more times with the same error (42501); " +
                                             counted + "1 more times with the same error (42703)");
  EXPECT_TRUE(repeats.failed("Insert", "42501", t0 + seconds(62)).tell) << "news again";
}

TEST(FailureEpisodes, LinesOfAStatementRunAgain) {
  FailureEpisodes episodes;
  const FailureEpisodes::Clock::time_point t0 = FailureEpisodes::Clock::now();
  const std::string error = "ERROR:  canceling\n", statement = "database statement Check ";
  EXPECT_EQ(episodes.failed("Check", error, t0),
            statement + "failed, running it again: ERROR:  canceling");
  EXPECT_EQ(episodes.failed("Check", error, t0 + seconds(31)),
            statement + "still failing after 31 s: ERROR:  canceling");
  EXPECT_EQ(episodes.succeeded("UpdateState", t0 + seconds(32)), "") << "had no episode";
  EXPECT_EQ(episodes.succeeded("Check", t0 + seconds(40)), statement + "ran again after 40 s");
  std::string passing;
  for (const char* state : {"40001", "53300", "57P01", "55P03", "42501", "55000", "5700", "570014"})
    passing += passingFailure(state) ? "1" : "0";
  EXPECT_EQ(passing, "11110000");
}

}  // namespace kivo
