// The alerts this host's traps made due in the database (kivo_alert_due),
// run again when nobody ran them: after a crash, a stop that cut them short
// or a commit whose answer was lost. And the pruning of the rows that tell
// which traps were stored and which alerts ran, older than the retention.
//
// The daemon owns one. Its thread, started after the services are loaded,
// makes a pass over this host's due alerts at once, again each time
// wanted() is called (the connection came back), and prunes at the start
// and every hour. A due alert that a worker of this process is about to run
// is reserved, and no pass runs it. Any thread may call reserve(),
// release() and wanted(); start() and stop() are for the owner's thread.
#ifndef KIVO_DAEMON_WORKER_DUEALERTS_H
#define KIVO_DAEMON_WORKER_DUEALERTS_H

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "daemon/worker/workerParts.h"
#include "support/episode.h"

namespace kivo {

class DueAlerts {
 public:
  DueAlerts() = default;
  ~DueAlerts() { stop(); }
  DueAlerts(const DueAlerts&) = delete;
  DueAlerts& operator=(const DueAlerts&) = delete;

  void reserve(long long dueId);
  void release(long long dueId);
  // Asks for a pass soon.
  void wanted();

  // parts must outlive stop(). retentionDays 0 never prunes.
  void start(const WorkerParts& parts, int retentionDays);
  // Ends the thread, letting an alert it runs end with the daemon's stop.
  void stop();

 private:
  void run();
  void pass();
  // Whether the alert under dueId is still due, read afresh.
  bool stillDue(long long dueId);
  void prune();

  std::optional<WorkerParts> parts_;
  int retentionDays_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool wanted_ = true;
  bool stopping_ = false;
  std::set<long long> inFlight_;
  // The pass's and the prune's failures, told once each.
  Episode passFailures_, pruneFailures_;
  std::thread thread_;
};

}  // namespace kivo

#endif
