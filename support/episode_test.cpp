#include "support/episode.h"

#include <gtest/gtest.h>

#include <vector>

namespace kivo {

using std::chrono::seconds;
using Line = Episode::Line;

// A failure or a success at a second, and the line due: its repeats and
// the episode's length in seconds.
struct Step {
  int at;
  bool fails;
  Line::Kind due;
  long repeats;
  int length;
};

TEST(Episode, ToldOnceRepeatsCountedAtThePaceEndToldWhenQuiet) {
  const Episode::Pace untold, everyMinute{seconds(60), seconds(60)},
      causeAtOnce{seconds(0), seconds(30)},
      endWhenQuiet{Episode::kNever, Episode::kNever, seconds(5)};
  const bool kFails = true, kSucceeds = false;
  const std::pair<Episode::Pace, std::vector<Step>> cases[] = {
      {untold, {{0, kFails, Line::kBegins, 0, 0}, {9, kFails, Line::kNone, 0, 0},
                {20, kSucceeds, Line::kEnds, 1, 20}, {21, kSucceeds, Line::kNone, 0, 0},
                {22, kFails, Line::kBegins, 0, 0}, {23, kSucceeds, Line::kEnds, 0, 1}}},
      {everyMinute, {{0, kFails, Line::kBegins, 0, 0}, {59, kFails, Line::kNone, 0, 0},
                     {60, kFails, Line::kRepeats, 2, 60}, {119, kFails, Line::kNone, 0, 0},
                     {120, kFails, Line::kRepeats, 2, 120}, {130, kSucceeds, Line::kEnds, 0, 130}}},
      {causeAtOnce, {{0, kFails, Line::kBegins, 0, 0}, {1, kFails, Line::kRepeats, 1, 1},
                     {30, kFails, Line::kNone, 0, 0}, {31, kFails, Line::kRepeats, 2, 31}}},
      {endWhenQuiet, {{0, kFails, Line::kBegins, 0, 0}, {4, kSucceeds, Line::kNone, 0, 0},
                      {6, kFails, Line::kNone, 0, 0}, {10, kSucceeds, Line::kNone, 0, 0},
                      {11, kSucceeds, Line::kEnds, 1, 11}}},
  };
  for (const auto& [pace, steps] : cases) {
    Episode episode(pace);
    const Episode::Clock::time_point t0 = Episode::Clock::now();
    for (const Step& step : steps) {
      Episode::Clock::time_point now = t0 + seconds(step.at);
      Line line = step.fails ? episode.failed(now) : episode.succeeded(now);
      EXPECT_EQ(line.kind, step.due) << step.at;
      if (line.kind == Line::kNone) continue;
      EXPECT_EQ(line.repeats, step.repeats) << step.at;
      EXPECT_EQ(line.length, seconds(step.length)) << step.at;
    }
  }
}

}  // namespace kivo
