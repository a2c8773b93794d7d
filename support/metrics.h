// The daemon's counters and gauges, kept in the process and read in the
// Prometheus text format: by the metrics listener on every request, by the
// metrics file at every interval.
//
// The object owns a prometheus-cpp registry, every family in it and every
// series of every family, all made by the constructor, so that each series
// shows from the start (at 0) and no call below ever looks a series up.
// Counters and gauges are atomic: the calls on a worker's path cost an
// atomic add. The files in hand (for the oldest file's time) and the state
// of the database sit behind the object's own mutex, which no call holds
// while calling out.
//
// Thread-safe: any thread may call any member at any time. The daemon owns
// one instance for its run; tests make their own.
#ifndef KIVO_SUPPORT_METRICS_H
#define KIVO_SUPPORT_METRICS_H

#include <time.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace prometheus {
class Collectable;
class Counter;
class Gauge;
class Histogram;
class Registry;
}  // namespace prometheus

namespace kivo {

class Metrics {
 public:
  using Clock = std::chrono::steady_clock;

  // How a trap ended, for kivotrapd_traps_done_total{outcome}.
  enum Outcome { kRun, kNoService, kFolded, kPluginFailed };
  // How an alerting program ended, for kivotrapd_alerts_total{result}.
  enum AlertResult { kAlertOk, kAlertFailed, kAlertTimedOut };

  Metrics();
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // The intake took the trap of a spool file into memory; modified is the
  // file's modification time. Called before the trap is queued.
  void trapTaken(const std::string& file, time_t modified);
  // The trap of the file is no longer in memory: done, or left for the next
  // start. A name not taken is ignored.
  void trapReleased(const std::string& file);
  // A pass over the spool saw files trap files (waiting or in hand) and left
  // skipped hostile entries alone.
  void spoolPassed(size_t files, size_t skipped);
  // A spool file whose trap is done could not be removed.
  void spoolFileUndeletable();

  void workerStarted();
  void workerEnded();
  void workerBusy();
  void workerIdle();

  void trapDone(Outcome outcome);
  // A plug-in run started at started ended with code (0 to 4), or ran out of
  // time. Neither counts the trap: trapDone does once the result is stored.
  void pluginEnded(int code, bool timedOut, Clock::time_point started);
  // A plug-in run started at started could not be carried out (the
  // ServiceException cases); its trap is done.
  void pluginFailed(Clock::time_point started);
  void alertEnded(AlertResult result);
  void trapLogWriteFailed();

  // The daemon's connection broke, or works again.
  void databaseLost();
  void databaseBack();
  // Whether the server answered the last probe.
  void databaseProbed(bool answered);
  // The server refused a statement on a working connection.
  void databaseStatementRefused();
  void servicesLoaded(size_t count);
  // The in-process spool handler's count of dropped INFORM copies, as read
  // from its file. The counter follows the count while it rises; a count
  // that fell (the file removed or begun anew) adds its whole value, so
  // that the counter never goes back.
  void informsDroppedRead(unsigned long long count);

  // The registry, for the listener.
  std::shared_ptr<prometheus::Collectable> collectable() const;
  // Every series in the Prometheus text format (version 0.0.4).
  std::string text() const;

 private:
  void publishSpool();      // with mutex_ held
  void publishDatabase();   // with mutex_ held

  std::shared_ptr<prometheus::Registry> registry_;

  prometheus::Counter* trapsTaken_;
  prometheus::Counter* trapsDone_[4];
  prometheus::Counter* pluginExits_[5];
  prometheus::Counter* pluginTimeouts_;
  prometheus::Histogram* pluginDuration_;
  prometheus::Counter* alerts_[3];
  prometheus::Counter* spoolUndeletable_;
  prometheus::Counter* trapLogErrors_;
  prometheus::Gauge* spoolFiles_;
  prometheus::Gauge* spoolOldest_;
  prometheus::Gauge* spoolSkipped_;
  prometheus::Gauge* trapsInMemory_;
  prometheus::Gauge* workers_;
  prometheus::Gauge* workersBusy_;
  prometheus::Gauge* databaseUp_;
  prometheus::Counter* databaseOutages_;
  prometheus::Counter* databaseRefused_;
  prometheus::Gauge* services_;
  prometheus::Counter* informsDropped_;

  std::mutex mutex_;
  // Files whose traps are in memory, with their modification times.
  std::map<std::string, time_t> inHand_;
  std::multiset<time_t> inHandTimes_;
  bool connectionDown_ = false;
  bool probeAnswered_ = false;
  unsigned long long informsDroppedLast_ = 0;  // the count read last
};

// A worker thread, counted in kivotrapd_workers for the holder's life.
class CountedWorker {
 public:
  explicit CountedWorker(Metrics& metrics) : metrics_(metrics) { metrics_.workerStarted(); }
  ~CountedWorker() { metrics_.workerEnded(); }
  CountedWorker(const CountedWorker&) = delete;
  CountedWorker& operator=(const CountedWorker&) = delete;

 private:
  Metrics& metrics_;
};

// A worker at work on a trap, counted in kivotrapd_workers_busy for the
// holder's life.
class BusyWorker {
 public:
  explicit BusyWorker(Metrics& metrics) : metrics_(metrics) { metrics_.workerBusy(); }
  ~BusyWorker() { metrics_.workerIdle(); }
  BusyWorker(const BusyWorker&) = delete;
  BusyWorker& operator=(const BusyWorker&) = delete;

 private:
  Metrics& metrics_;
};

}  // namespace kivo

#endif
