// The main thread's loop over the spool directory: passes until the stop,
// and the pauses between them.
//
// A pass looks at the whole directory when it must: the first one, when
// the directory was not watched or events were lost, after the ledger was
// full, after a file could not be read for lack of resources, and once a
// minute should anything have escaped the watch. Otherwise it looks only at
// the names that the spool watch reported, so that entries left alone in
// the spool cost nothing per arriving trap. The pause after a pass lasts at
// most sleep seconds and ends early when a file arrives, when the spool
// directory went away or came back, when the workers make room, when a file
// waiting to settle is due, or at the stop. Owned and run by the main
// thread.
#ifndef KIVO_DAEMON_INTAKE_INTAKELOOP_H
#define KIVO_DAEMON_INTAKE_INTAKELOOP_H

#include <atomic>
#include <chrono>
#include <string>

#include "daemon/intake/spoolIntake.h"
#include "daemon/intake/spoolWatch.h"

namespace kivo {

class IntakeWakeup;

class IntakeLoop {
 public:
  struct Settings {
    int sleepSeconds = 0;
    SpoolIntake::Settings intake;
  };

  IntakeLoop(std::string directory, const Settings& settings, ServiceGate& gate,
             SpoolLedger& ledger, SpoolLock& lock, IntakeWakeup& wakeup,
             const std::atomic<int>& stop, Metrics& metrics);
  IntakeLoop(const IntakeLoop&) = delete;
  IntakeLoop& operator=(const IntakeLoop&) = delete;

  // Runs passes until the stop. False when another daemon turned out to
  // hold the spool directory.
  bool run();

 private:
  using Clock = std::chrono::steady_clock;

  void reportReplacement(bool replaced, SpoolWatch::Watch watched);
  void pauseAfter(SpoolIntake::PassResult result, bool watched);

  std::string directory_;
  Settings settings_;
  SpoolIntake intake_;
  IntakeWakeup& wakeup_;
  const std::atomic<int>& stop_;
  bool replacementReported_ = false;
};

}  // namespace kivo

#endif
