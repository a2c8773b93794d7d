#include "support/errorRepeats.h"

#include <gtest/gtest.h>

#include "support/failureEpisodes.h"

namespace kivo {

using std::chrono::seconds;

TEST(ErrorRepeats, FirstOfAKindIsToldThenCountedEveryMinuteAndAtTheEnd) {
  ErrorRepeats repeats;
  const ErrorRepeats::Clock::time_point t0 = ErrorRepeats::Clock::now();
  const std::string counted = "database statement Insert failed ";
  EXPECT_TRUE(repeats.failed("Insert", "42501", t0).tell);
  EXPECT_TRUE(repeats.failed("Insert", "42703", t0).tell) << "another kind";
  EXPECT_TRUE(repeats.failed("Update", "42501", t0).tell) << "another statement";
  ErrorRepeats::Verdict verdict = repeats.failed("Insert", "42501", t0 + seconds(59));
  EXPECT_FALSE(verdict.tell || !verdict.countLine.empty());
  EXPECT_EQ(repeats.failed("Insert", "42501", t0 + seconds(60)).countLine,
            counted + "2 more times with the same error (42501)");
  repeats.failed("Insert", "42501", t0 + seconds(61));
  EXPECT_EQ(repeats.succeeded("Insert"), counted + "1 more times with the same error (42501)");
  EXPECT_EQ(repeats.succeeded("Insert"), "") << "nothing left to tell";
  EXPECT_TRUE(repeats.failed("Insert", "42501", t0 + seconds(62)).tell) << "news again";
}

TEST(FailureEpisodes, OneLineToBeginOneAtMostEveryPeriodOneToEnd) {
  FailureEpisodes episodes;
  const FailureEpisodes::Clock::time_point t0 = FailureEpisodes::Clock::now();
  const std::string error = "ERROR:  canceling\n", statement = "database statement Check ";
  EXPECT_EQ(episodes.failed("Check", error, t0),
            statement + "failed, running it again: ERROR:  canceling");
  EXPECT_EQ(episodes.failed("Check", error, t0 + seconds(29)), "");
  EXPECT_EQ(episodes.failed("Check", error, t0 + seconds(31)),
            statement + "still failing after 31 s: ERROR:  canceling");
  EXPECT_EQ(episodes.succeeded("UpdateState", t0 + seconds(32)), "") << "had no episode";
  EXPECT_EQ(episodes.succeeded("Check", t0 + seconds(40)), statement + "ran again after 40 s");
  EXPECT_EQ(episodes.succeeded("Check", t0 + seconds(41)), "");
  std::string passing;
  for (const char* state : {"40001", "53300", "57P01", "55P03", "42501", "55000", "5700", "570014"})
    passing += passingFailure(state) ? "1" : "0";
  EXPECT_EQ(passing, "11110000");
}

}  // namespace kivo
