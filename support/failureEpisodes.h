// Episodes of statements failing for a passing reason, told once per
// episode rather than once per failure.
//
// A statement that fails for a passing reason (a lock not available, a
// deadlock, a statement_timeout, the server short of connections) is run
// again until it succeeds; many statements of the same name may fail at
// once. An episode of a name begins with its first failure and ends with its
// next success: the first failure gives a line, further failures at most one
// line per reportEvery, and the success one line (kivo::Episode's rule). As
// with ConnectionOutage, the methods return the line to write when one is
// due and the caller writes it.
//
// Thread-safe: every method takes the object's own mutex.
#ifndef KIVO_SUPPORT_FAILUREEPISODES_H
#define KIVO_SUPPORT_FAILUREEPISODES_H

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "support/episode.h"

namespace kivo {

class FailureEpisodes {
 public:
  using Clock = Episode::Clock;

  explicit FailureEpisodes(std::chrono::milliseconds reportEvery = std::chrono::seconds(30))
      : pace_{reportEvery, reportEvery} {}
  FailureEpisodes(const FailureEpisodes&) = delete;
  FailureEpisodes& operator=(const FailureEpisodes&) = delete;

  // The statement failed with error (libpq's text) and will be run again.
  std::optional<std::string> failed(const std::string& statement, const std::string& error,
                     Clock::time_point now = Clock::now());
  // The statement succeeded: the INFO line that ends its episode, if any.
  std::optional<std::string> succeeded(const std::string& statement,
                                       Clock::time_point now = Clock::now());

 private:
  const Episode::Pace pace_;
  std::mutex mutex_;
  std::map<std::string, Episode> episodes_;
};

// Whether a failure with this SQLSTATE passes, so that the statement is run
// again: transaction rollback (class 40: serialization failure, deadlock),
// insufficient resources (53: too many connections, out of memory, disk
// full), operator intervention (57: a statement cancelled by
// statement_timeout, the server shutting down), and lock not available
// (55P03).
bool passingFailure(const std::string& sqlState);

}  // namespace kivo

#endif
