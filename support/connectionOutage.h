// The outage of the database connection: whether it is down, when the next
// reconnection attempt is due, which lines the outage writes, and the waits
// of the threads that need the connection back.
//
// An outage begins with lost() and ends with restored(). In between the
// attempts back off: the first is due at once, the next after firstDelay,
// each later one after twice the last delay, at most maxDelay. An outage
// writes one line when it begins, one with the cause as soon as the first
// attempt to connect again has failed, one when it ends, and in between at
// most one line per reportEvery (kivo::Episode's rule); the methods return
// the line when one is due and the caller writes it, so no lock is held
// while writing.
//
// interrupt() is for the stop: from then on every wait that the connection
// being down would prolong returns false at once. It cannot be undone.
//
// Several connections to the same server may share one outage, so that it
// is told once for all of them.
//
// Thread-safe: every method takes the object's own mutex, never while
// calling out. The object owns no connection.
#ifndef KIVO_SUPPORT_CONNECTIONOUTAGE_H
#define KIVO_SUPPORT_CONNECTIONOUTAGE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "support/episode.h"

namespace kivo {

class ConnectionOutage {
 public:
  using Clock = Episode::Clock;

  struct Policy {
    std::chrono::milliseconds firstDelay{1000};
    std::chrono::milliseconds maxDelay{30000};
    std::chrono::milliseconds reportEvery{30000};
  };

  ConnectionOutage() = default;
  ConnectionOutage(const ConnectionOutage&) = delete;
  ConnectionOutage& operator=(const ConnectionOutage&) = delete;

  void setPolicy(const Policy& policy);
  Policy policy();

  // The connection broke with libpq's error text. The ERR line that begins
  // the outage; none when it is already down.
  std::optional<std::string> lost(const std::string& error, Clock::time_point now = Clock::now());
  // An attempt failed with error: schedules the next one. The ERR line to
  // write when reportEvery has passed since the last line.
  std::optional<std::string> attemptFailed(const std::string& error,
                                           Clock::time_point now = Clock::now());
  // The connection works again: ends the outage and wakes every waiter. The
  // INFO line that ends it; none when it was not down.
  std::optional<std::string> restored(Clock::time_point now = Clock::now());

  bool down();
  // Counts the outages so far: a connection made before the latest one
  // began may be broken without knowing it.
  unsigned long epoch();
  // True while down and an attempt is due.
  bool attemptDue(Clock::time_point now = Clock::now());
  Clock::time_point nextAttempt();

  // Wakes every waiter for good; see the class comment.
  void interrupt();
  bool interrupted();

  // Returns true once the connection is up or an attempt is due; false as
  // soon as interrupt() has been called.
  bool waitForAttempt();
  // Returns true once the connection is up; false when interrupt() has been
  // called while it is down.
  bool waitUntilUp();
  // Sleeps for length; false as soon as interrupt() has been called.
  bool sleepFor(std::chrono::milliseconds length);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Policy policy_;
  // On while down; made afresh, with the policy's pace, by each loss.
  Episode episode_;
  unsigned long epoch_ = 0;
  bool interrupted_ = false;
  Clock::time_point nextAttempt_;
  std::chrono::milliseconds delay_{0};
};

// libpq's error text as one line: each line feed, with the tab that may
// follow it, becomes one blank; blanks at the end go.
std::string errorTextOnOneLine(const std::string& text);

}  // namespace kivo

#endif
