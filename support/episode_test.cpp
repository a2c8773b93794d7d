#include "support/episode.h"

#include <gtest/gtest.h>

#include <vector>

namespace kivo {

using std::chrono::seconds;
using L = Episode::Line;

// At a second, a failure ('f') or a success ('s'), and the line due: its
// repeats and the episode's length in seconds.
struct Step {
  int at;
  char event;
  L::Kind due;
  long repeats = 0;
  int length = 0;
};

TEST(Episode, ToldOnceRepeatsCountedAtThePaceEndToldWhenQuiet) {
  const Episode::Pace minute{seconds(60), seconds(60)}, causeAtOnce{seconds(0), seconds(30)},
      quiet{Episode::kNever, Episode::kNever, seconds(5)};
  const std::pair<Episode::Pace, std::vector<Step>> cases[] = {
      {minute, {{0, 'f', L::kBegins}, {59, 'f', L::kNone}, {60, 'f', L::kRepeats, 2, 60},
                {119, 'f', L::kNone}, {120, 'f', L::kRepeats, 2, 120}, {121, 'f', L::kNone},
                {130, 's', L::kEnds, 1, 130}, {131, 's', L::kNone}, {132, 'f', L::kBegins}}},
      {causeAtOnce, {{0, 'f', L::kBegins}, {1, 'f', L::kRepeats, 1, 1}, {30, 'f', L::kNone},
                     {31, 'f', L::kRepeats, 2, 31}}},
      {quiet, {{0, 'f', L::kBegins}, {4, 's', L::kNone}, {6, 'f', L::kNone}, {10, 's', L::kNone},
               {11, 's', L::kEnds, 1, 11}}},
  };
  for (const auto& [pace, steps] : cases) {
    Episode episode(pace);
    const Episode::Clock::time_point t0 = Episode::Clock::now();
    for (const Step& step : steps) {
      Episode::Clock::time_point now = t0 + seconds(step.at);
      L line = step.event == 'f' ? episode.failed(now) : episode.succeeded(now);
      EXPECT_EQ(line.kind, step.due) << step.at;
      if (line.kind == L::kNone) continue;
      EXPECT_EQ(line.repeats, step.repeats) << step.at;
      EXPECT_EQ(line.length, seconds(step.length)) << step.at;
    }
  }
}

}  // namespace kivo
