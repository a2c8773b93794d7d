// Repeats of a service's traps, folded within a time window.
//
// A device that flaps sends the same trap again and again; each would run
// the plug-in, open a record and page the people on call. With a window of
// W seconds, the first trap of a service that runs while no window is open
// opens one, which closes W seconds later (repeats do not extend it). A
// repeat is a trap whose variables (OIDs and values in order, the values of
// the ignored OIDs left out; the uptime and the date are no variables)
// equal those of a trap that ran in the open window:
// - a repeat of the last trap run is folded: it runs nothing;
// - a repeat of an earlier one is held, replacing any trap held before, so
//   that the service's state still ends with the result of its last trap:
//   the held trap runs when the window closes, which opens the next one;
// - a trap that is no repeat runs, and a trap held before it is folded.
// When a window closes with traps folded, one INFO line tells how many.
//
// Windows live in memory only: after a restart the first trap of each
// service runs, and so do held traps, whose files are still in the spool.
// The caller handles a service's traps one at a time (ServiceGate); the
// windows of all services are guarded by one mutex, and a thread owned by
// the object hands a close to the gate when a window with a held trap or
// folded traps is due (through the tick given to the constructor), so that
// the close, too, comes in the service's order. Any thread may call any
// member.
#ifndef KIVO_DAEMON_WORKER_FOLDWINDOWS_H
#define KIVO_DAEMON_WORKER_FOLDWINDOWS_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <queue>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon/base/settings.h"
#include "trap/snmpTrap.h"

namespace kivo {

class FoldWindows {
 public:
  using Clock = std::chrono::steady_clock;

  using Settings = FoldSettings;

  enum Decision {
    kRun,   // run the trap
    kFold,  // a repeat: the trap is done without a run
    kHold,  // a repeat held until the window closes: its file stays
  };

  struct Verdict {
    Decision decision = kRun;
    // A trap held before, now never to run: its file goes.
    std::optional<snmpTrap> dropped;
    // A trap held by a window that has closed: it runs first.
    std::optional<snmpTrap> runFirst;
    // The INFO line of a window that closed with traps folded.
    std::string closedLine;
  };

  // tick receives a trap that stands for the close of a window: it has the
  // service's device address and trap OID, and windowClose() set.
  FoldWindows(const Settings& settings, std::function<void(const snmpTrap&)> tick);
  // Stops and joins the thread.
  ~FoldWindows();
  FoldWindows(const FoldWindows&) = delete;
  FoldWindows& operator=(const FoldWindows&) = delete;

  bool enabled() const { return settings_.windowSeconds > 0; }

  // A trap of the service arrived; a trap to run is counted as run.
  Verdict arrive(int serviceId, const std::string& serviceName, const snmpTrap& trap,
                 Clock::time_point now = Clock::now());
  // The close of the service's window came: its held trap (counted as run,
  // opening the next window) and its line, if it is due.
  Verdict close(int serviceId, Clock::time_point now = Clock::now());
  // The windows of these services close now (their services changed).
  void closeNow(const std::vector<int>& serviceIds);
  // Traps held now.
  size_t held();

  // The variables that make a trap a repeat of another, as one text.
  std::string signature(const snmpTrap& trap) const;

 private:
  struct Window {
    Clock::time_point closes;
    std::set<std::string> ran;
    std::string last;
    std::optional<snmpTrap> held;
    long folded = 0;
    std::string name;
    std::string address;
    std::string oid;
  };

  // With mutex_ held.
  // Closes the service's window if it is due: its held trap and line go
  // into verdict, its service's name into *name.
  void closeExpired(int serviceId, Clock::time_point now, Verdict& verdict, std::string* name);
  void recordRun(int serviceId, const std::string& name, const snmpTrap& trap,
                 Clock::time_point now);
  void run();

  const Settings settings_;
  const std::function<void(const snmpTrap&)> tick_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, Window> windows_;
  // When each window is due to close, earliest first.
  std::priority_queue<std::pair<Clock::time_point, int>,
                      std::vector<std::pair<Clock::time_point, int>>,
                      std::greater<std::pair<Clock::time_point, int>>>
      due_;
  size_t held_ = 0;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace kivo

#endif
