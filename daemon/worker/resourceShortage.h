// Programs that cannot be started for lack of resources (descriptors,
// memory, processes): the episode is told once, and every start waits a
// moment and tries again.
//
// A trap whose plug-in or alerting program cannot be started for such a
// reason is not done: its worker keeps it and tries again after a pause, so
// no trap ends as a failure of a program that never ran. The daemon has one
// ResourceShortage; every worker may call it at any time. The lines follow
// kivo::Episode's rule, repeats untold.
#ifndef KIVO_DAEMON_WORKER_RESOURCESHORTAGE_H
#define KIVO_DAEMON_WORKER_RESOURCESHORTAGE_H

#include <chrono>
#include <mutex>
#include <string>

#include "support/episode.h"

namespace kivo {

class StopNotice;

class ResourceShortage {
 public:
  explicit ResourceShortage(std::chrono::milliseconds pause = std::chrono::milliseconds(100))
      : pause_(pause) {}
  ResourceShortage(const ResourceShortage&) = delete;
  ResourceShortage& operator=(const ResourceShortage&) = delete;

  // A start of what failed for why: writes the ERR line when this begins an
  // episode.
  void failed(const std::string& what, const std::string& why);
  // A start succeeded: an episode that was on ends, with an INFO line, once
  // no start has failed for a few seconds (while workers contend for what
  // is short, starts fail and succeed by turns: that is one episode).
  void succeeded();
  // Waits before the next try. False when the stop began: the trap is then
  // left for the next start.
  bool pause(const StopNotice& stop);

 private:
  const std::chrono::milliseconds pause_;
  std::mutex mutex_;
  Episode episode_{Episode::Pace{Episode::kNever, Episode::kNever, std::chrono::seconds(5)}};
};

}  // namespace kivo

#endif
