// One episode of a failure that repeats, told once rather than once per
// failure.
//
// The rule of when a line is due, for every such episode in the daemon:
// - the first failure begins the episode: one line (an ERR line);
// - further failures are counted; a count is told (an ERR line) once
//   Pace::firstRepeat has passed since the first line, later counts once
//   Pace::repeatEvery has passed since the last line (never, by default);
// - the end gives one line (an INFO line) with what is still untold, but
//   only once no failure has come for Pace::quiet: failures and successes
//   taking turns are one episode.
// The texts are the caller's: the methods say which line is due and give
// its figures, and the caller words and writes it.
//
// Not thread-safe: its owner serialises the calls (a mutex of its own, or
// one thread). A plain value: owners keep one per statement, per kind.
#ifndef KIVO_SUPPORT_EPISODE_H
#define KIVO_SUPPORT_EPISODE_H

#include <chrono>

namespace kivo {

class Episode {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kNever = Clock::duration::max();

  struct Pace {
    Clock::duration firstRepeat = kNever;  // from the first line to a repeat's line
    Clock::duration repeatEvery = kNever;  // between later lines of repeats
    Clock::duration quiet = Clock::duration::zero();  // without failure before an end
  };

  struct Line {
    enum Kind { kNone, kBegins, kRepeats, kEnds } kind = kNone;
    long repeats = 0;           // failures after the first not told before
    Clock::duration length{};   // since the first failure
  };

  Episode() = default;  // repeats untold, the end told at once
  explicit Episode(Pace pace) : pace_(pace) {}

  Line failed(Clock::time_point now = Clock::now());
  // A success: ends an episode that is on, when it has been quiet long
  // enough.
  Line succeeded(Clock::time_point now = Clock::now());
  bool on() const { return on_; }

 private:
  Line line(Line::Kind kind, Clock::time_point now);

  Pace pace_;
  bool on_ = false;
  bool repeatTold_ = false;
  long untold_ = 0;
  Clock::time_point since_;
  Clock::time_point lastLine_;
  Clock::time_point lastFailure_;
};

}  // namespace kivo

#endif
