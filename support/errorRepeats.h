// Failures that last, told once rather than once per trap.
//
// A statement refused for a reason that lasts (no privilege, a missing
// column) fails for every trap until an administrator acts. The first
// failure of a statement with an error kind is told in full; its repeats are
// counted and the count told at most once per countEvery while they go on,
// and once more when the statement succeeds again (kivo::Episode's rule).
// The caller writes the lines.
//
// Thread-safe: every method takes the object's own mutex.
#ifndef KIVO_SUPPORT_ERRORREPEATS_H
#define KIVO_SUPPORT_ERRORREPEATS_H

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "support/episode.h"

namespace kivo {

class ErrorRepeats {
 public:
  using Clock = Episode::Clock;

  explicit ErrorRepeats(std::chrono::milliseconds countEvery = std::chrono::minutes(1))
      : pace_{countEvery, countEvery} {}
  ErrorRepeats(const ErrorRepeats&) = delete;
  ErrorRepeats& operator=(const ErrorRepeats&) = delete;

  struct Verdict {
    bool tell = false;      // the first of its kind: write its line
    std::optional<std::string> countLine;  // the repeats since the last line, when due
  };

  // statement failed with an error of kind (its SQLSTATE, or its text).
  Verdict failed(const std::string& statement, const std::string& kind,
                 Clock::time_point now = Clock::now());
  // statement succeeded: the count of repeats not yet told, if any.
  std::optional<std::string> succeeded(const std::string& statement);

 private:
  std::string countLine(const std::string& statement, const std::string& kind, long repeats);

  const Episode::Pace pace_;
  std::mutex mutex_;
  // By statement, then kind.
  std::map<std::string, std::map<std::string, Episode>> failing_;
};

}  // namespace kivo

#endif
