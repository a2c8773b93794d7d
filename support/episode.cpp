#include "support/episode.h"

namespace kivo {

Episode::Line Episode::failed(Clock::time_point now) {
  lastFailure_ = now;
  if (!on_) {
    on_ = true;
    repeatTold_ = false;
    untold_ = 0;
    since_ = now;
    return line(Line::kBegins, now);
  }
  ++untold_;
  Clock::duration wait = repeatTold_ ? pace_.repeatEvery : pace_.firstRepeat;
  if (wait == kNever || now - lastLine_ < wait) return Line();
  repeatTold_ = true;
  return line(Line::kRepeats, now);
}

Episode::Line Episode::succeeded(Clock::time_point now) {
  if (!on_) return Line();
  if (pace_.quiet > Clock::duration::zero() && now - lastFailure_ < pace_.quiet) return Line();
  on_ = false;
  return line(Line::kEnds, now);
}

Episode::Line Episode::line(Line::Kind kind, Clock::time_point now) {
  Line told;
  told.kind = kind;
  told.repeats = untold_;
  told.length = now - since_;
  untold_ = 0;
  lastLine_ = now;
  return told;
}

}  // namespace kivo
