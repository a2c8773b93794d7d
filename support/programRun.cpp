#include "support/programRun.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>

#include "support/posixIo.h"
#include "support/stopNotice.h"

namespace kivo {

namespace {

// poll's timeout for a deadline: -1 for none, never negative, rounded up so
// that the wake-up is not a millisecond early.
int millisecondsUntil(std::chrono::steady_clock::time_point deadline,
                      std::chrono::steady_clock::time_point now) {
  if (deadline == std::chrono::steady_clock::time_point::max()) return -1;
  if (deadline <= now) return 0;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<long long>(left, INT_MAX));
}

}  // namespace

int ProgramRun::captureOutput() { return pipe_.open(); }

ChildProcess::SpawnResult ProgramRun::start(const ArgumentVector& arguments, int* error) {
  return child_.spawn(arguments, pipe_.writeEnd().get(), error);
}

ProgramRun::End ProgramRun::wait() {
  // Only the child may hold the write end, or the end of file never comes.
  pipe_.writeEnd().reset();
  Clock::time_point now = Clock::now();
  if (limits_.timeout > 0) runDeadline_ = now + std::chrono::seconds(limits_.timeout);
  noteStop();
  for (;;) {
    if (killNow_) break;
    if (programEnded_ && !pipe_.readEnd().valid()) break;
    if (terminating_) {
      if (now >= killDeadline_) break;
    } else if (now >= nextDeadline()) {
      noteDeadline(now);
      continue;
    }
    pollOnce(now);
    now = Clock::now();
  }
  // Members of the group that ignored SIGTERM, or a stopped program.
  if (terminating_ || killNow_) child_.signalGroup(SIGKILL);
  pipe_.readEnd().reset();
  int status = 0;
  error_ = child_.wait(&status, 0);
  if (error_ != 0) return kWaitFailed;
  status_ = status;
  return end_;
}

ProgramRun::Clock::time_point ProgramRun::nextDeadline() const {
  Clock::time_point own = programEnded_ ? outputDeadline_ : runDeadline_;
  return std::min(own, stopDeadline_);
}

void ProgramRun::noteStop() {
  if (stopKnown_ || limits_.stop == nullptr || !limits_.stop->begun()) return;
  stopKnown_ = true;
  stopDeadline_ = limits_.stop->deadline();
}

void ProgramRun::noteDeadline(Clock::time_point now) {
  if (programEnded_) {
    // Only others hold the output now; the run itself is over.
    terminate(kEnded, now);
  } else if (now >= stopDeadline_) {
    terminate(kStopped, now);
  } else if (child_.stopped()) {
    // A stopped program ends as one killed by a signal, as it always has.
    killNow_ = true;
  } else {
    terminate(kTimedOut, now);
  }
}

void ProgramRun::terminate(End why, Clock::time_point now) {
  end_ = why;
  terminating_ = true;
  killDeadline_ = now + limits_.killGrace;
  child_.signalGroup(SIGTERM);
}

void ProgramRun::pollOnce(Clock::time_point now) {
  pollfd watched[3];
  nfds_t count = 0;
  int output = -1, end = -1, stop = -1;
  if (pipe_.readEnd().valid()) {
    watched[count] = {pipe_.readEnd().get(), POLLIN, 0};
    output = static_cast<int>(count++);
  }
  // Without a descriptor for the child's end, its end is looked for often.
  const int kWithoutEndDescriptor = 10;
  bool endWatched = child_.endDescriptor() >= 0;
  if (!programEnded_ && endWatched) {
    watched[count] = {child_.endDescriptor(), POLLIN, 0};
    end = static_cast<int>(count++);
  }
  // Once known, the stop is not watched: its descriptor stays readable.
  if (!terminating_ && !stopKnown_ && limits_.stop != nullptr && limits_.stop->fd() >= 0) {
    watched[count] = {limits_.stop->fd(), POLLIN, 0};
    stop = static_cast<int>(count++);
  }
  Clock::time_point deadline = terminating_ ? killDeadline_ : nextDeadline();
  int timeout = millisecondsUntil(deadline, now);
  if (!programEnded_ && !endWatched && (timeout < 0 || timeout > kWithoutEndDescriptor)) {
    timeout = kWithoutEndDescriptor;
  }
  int ready = ::poll(watched, count, timeout);
  if (!programEnded_ && !endWatched && child_.ended()) noteProgramEnd(Clock::now());
  // EINTR or the deadline: the caller looks at the clock again.
  if (ready <= 0) return;
  if (stop >= 0 && watched[stop].revents != 0) noteStop();
  if (output >= 0 && watched[output].revents != 0) readOutput();
  if (end >= 0 && watched[end].revents != 0) noteProgramEnd(Clock::now());
}

void ProgramRun::readOutput() {
  char buffer[65536];
  ssize_t got = readRetry(pipe_.readEnd().get(), buffer, sizeof buffer);
  if (got <= 0) {
    // The end of the output, or an error, which ends it where it stands.
    pipe_.readEnd().reset();
    // A program that closes its output and then stops itself is caught
    // here, or at the latest at its deadline.
    if (!programEnded_ && !terminating_ && child_.stopped()) killNow_ = true;
    return;
  }
  size_t room = limits_.outputMax - std::min(limits_.outputMax, output_.size());
  output_.append(buffer, std::min(room, static_cast<size_t>(got)));
}

void ProgramRun::noteProgramEnd(Clock::time_point now) {
  programEnded_ = true;
  outputDeadline_ = now + limits_.outputGrace;
}

}  // namespace kivo
