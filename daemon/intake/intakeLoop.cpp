#include "daemon/intake/intakeLoop.h"

#include <time.h>

#include <algorithm>

#include "daemon/base/systemLog.h"
#include "daemon/intake/intakeWakeup.h"
#include "daemon/intake/spoolWatch.h"

namespace kivo {

namespace {

// Unwatched, a sleep of 0 would make the loop spin: it pauses this long.
const std::chrono::milliseconds kUnwatchedPause{50};
// A file that could not be read for lack of resources is tried again after
// this long.
const std::chrono::seconds kRetryPause{1};
// A watched directory is still listed whole this often, should anything
// have escaped the watch. Listing costs some microseconds per entry, so not
// more often: entries left alone in the spool would cost a steady share of
// the processor.
const std::chrono::seconds kWholeListingEvery{60};

timespec asTimespec(std::chrono::nanoseconds length) {
  if (length.count() < 0) length = std::chrono::nanoseconds(0);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(length);
  timespec result;
  result.tv_sec = static_cast<time_t>(seconds.count());
  result.tv_nsec = static_cast<long>((length - seconds).count());
  return result;
}

}  // namespace

IntakeLoop::IntakeLoop(std::string directory, const Settings& settings,
                       ServiceGate& gate, SpoolLedger& ledger, SpoolLock& lock,
                       IntakeWakeup& wakeup, const std::atomic<int>& stop, Metrics& metrics)
    : directory_(directory),
      settings_(settings),
      intake_(std::move(directory), settings.intake, gate, ledger, lock, metrics),
      wakeup_(wakeup),
      stop_(stop) {}

bool IntakeLoop::run() {
  SpoolWatch watch(wakeup_, directory_);
  bool whole = true;
  Clock::time_point lastWhole = Clock::now();
  while (stop_.load() == 0) {
    // Watched before the listing, so no file arrives unseen in between.
    SpoolWatch::Watch watched = watch.watch();
    SpoolWatch::Changes changes = watch.takeChanges();
    reportReplacement(changes.replaced, watched);
    Clock::time_point now = Clock::now();
    if (watched != SpoolWatch::kWatched || changes.lost) whole = true;
    if (now - lastWhole >= kWholeListingEvery) whole = true;
    SpoolIntake::PassResult result = whole ? intake_.runPass() : intake_.runPass(changes.names);
    if (result == SpoolIntake::kLockedOut) return false;
    if (whole) lastWhole = now;
    whole = result != SpoolIntake::kDone;
    pauseAfter(result, watched != SpoolWatch::kUnwatched);
  }
  return true;
}

// A directory that went away is reported by the listing; one replaced at
// once by another is not, so it is reported here, once per replacement.
void IntakeLoop::reportReplacement(bool replaced, SpoolWatch::Watch watched) {
  if (replaced && !replacementReported_) {
    write_log("ERR", "spool dir replaced by another directory: " + directory_);
    replacementReported_ = true;
  }
  if (replacementReported_ && watched != SpoolWatch::kUnwatched) {
    write_log("INFO", "spool dir watched again: " + directory_);
    replacementReported_ = false;
  }
}

void IntakeLoop::pauseAfter(SpoolIntake::PassResult result, bool watched) {
  // With the ledger full the next pass waits for room, not for the clock.
  if (result == SpoolIntake::kFull) {
    wakeup_.pause(IntakeWakeup::kRoom, nullptr);
    return;
  }
  bool timed = false;
  std::chrono::nanoseconds length = std::chrono::hours(24);
  if (settings_.sleepSeconds > 0) {
    length = std::chrono::seconds(settings_.sleepSeconds);
    timed = true;
  } else if (!watched) {
    length = kUnwatchedPause;
    timed = true;
  }
  if (result == SpoolIntake::kIncomplete) {
    length = std::min<std::chrono::nanoseconds>(length, kRetryPause);
    timed = true;
  }
  if (intake_.nextSettleDue() != SpoolIntake::Clock::time_point()) {
    // Just after it, so that the file is due then.
    auto untilDue = intake_.nextSettleDue() - SpoolIntake::Clock::now() +
                    std::chrono::milliseconds(10);
    length = std::min<std::chrono::nanoseconds>(length, untilDue);
    timed = true;
  }
  if (!timed) {
    wakeup_.pause(IntakeWakeup::kAny, nullptr);
    return;
  }
  timespec pause = asTimespec(length);
  // A pause of zero returns at once; the next pass is due now.
  if (pause.tv_sec == 0 && pause.tv_nsec == 0) pause.tv_nsec = 1;
  wakeup_.pause(IntakeWakeup::kAny, &pause);
}

}  // namespace kivo
