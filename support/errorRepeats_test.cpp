// The two ways repeated database failures are told: lasting errors once
// and then counted (ErrorRepeats), passing ones once per episode
// (FailureEpisodes).
#include "support/errorRepeats.h"

#include <gtest/gtest.h>

#include "support/failureEpisodes.h"

namespace kivo {

namespace {

using std::chrono::seconds;

TEST(ErrorRepeats, FirstOfAKindIsToldThenCountedEveryMinuteAndAtTheEnd) {
  kivo::ErrorRepeats repeats;
  const kivo::ErrorRepeats::Clock::time_point t0 = kivo::ErrorRepeats::Clock::now();
  EXPECT_TRUE(repeats.failed("InsertErrorHappen", "42501", t0).tell);
  EXPECT_TRUE(repeats.failed("InsertErrorHappen", "42703", t0).tell) << "another kind";
  EXPECT_TRUE(repeats.failed("UpdateState", "42501", t0).tell) << "another statement";
  for (int i = 1; i <= 3; ++i) {
    kivo::ErrorRepeats::Verdict verdict = repeats.failed("InsertErrorHappen", "42501", t0 + seconds(i));
    EXPECT_FALSE(verdict.tell);
    EXPECT_EQ(verdict.countLine, "");
  }
  EXPECT_EQ(repeats.failed("InsertErrorHappen", "42501", t0 + seconds(60)).countLine,
            "database statement InsertErrorHappen failed 4 more times with the same error (42501)");
  repeats.failed("InsertErrorHappen", "42501", t0 + seconds(61));
  EXPECT_EQ(repeats.succeeded("InsertErrorHappen"),
            "database statement InsertErrorHappen failed 1 more times with the same error (42501)");
  EXPECT_EQ(repeats.succeeded("InsertErrorHappen"), "") << "nothing left to tell";
  EXPECT_TRUE(repeats.failed("InsertErrorHappen", "42501", t0 + seconds(62)).tell)
      << "after a success, a failure is news again";
}

TEST(FailureEpisodes, OneLineToBeginOneAtMostEveryPeriodOneToEnd) {
  kivo::FailureEpisodes episodes;
  const kivo::FailureEpisodes::Clock::time_point t0 = kivo::FailureEpisodes::Clock::now();
  const std::string error = "ERROR:  canceling statement due to statement timeout\n";
  EXPECT_EQ(episodes.failed("CheckErrorHappen", error, t0),
            "database statement CheckErrorHappen failed, running it again: ERROR:  canceling "
            "statement due to statement timeout");
  EXPECT_EQ(episodes.failed("CheckErrorHappen", error, t0 + seconds(29)), "");
  EXPECT_EQ(episodes.failed("CheckErrorHappen", error, t0 + seconds(31)),
            "database statement CheckErrorHappen still failing after 31 s: ERROR:  canceling "
            "statement due to statement timeout");
  EXPECT_EQ(episodes.succeeded("UpdateState", t0 + seconds(32)), "") << "had no episode";
  EXPECT_EQ(episodes.succeeded("CheckErrorHappen", t0 + seconds(40)),
            "database statement CheckErrorHappen ran again after 40 s");
  EXPECT_EQ(episodes.succeeded("CheckErrorHappen", t0 + seconds(41)), "");
}

TEST(FailureEpisodes, PassingFailuresAreTheWaitingKinds) {
  for (const char* state : {"40001", "40P01", "53300", "53100", "57014", "57P01", "55P03"}) {
    EXPECT_TRUE(kivo::passingFailure(state)) << state;
  }
  for (const char* state : {"42501", "42703", "23505", "22P02", "55000", "", "57"}) {
    EXPECT_FALSE(kivo::passingFailure(state)) << state;
  }
}

}  // namespace

}  // namespace kivo
