#include "support/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace kivo {

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;
using prometheus::Registry;

// From a few milliseconds (a plug-in that answers at once) to the default
// plugin_timeout.
const std::vector<double> kDurationBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                              1,     2.5,  5,     10,   30,  60};

prometheus::Counter* counter(Registry& registry, const char* name, const char* help) {
  return &BuildCounter().Name(name).Help(help).Register(registry).Add({});
}

prometheus::Gauge* gauge(Registry& registry, const char* name, const char* help) {
  return &BuildGauge().Name(name).Help(help).Register(registry).Add({});
}

// One series per label value, at the positions of values.
template <size_t N>
void labelledCounters(Registry& registry, const char* name, const char* help, const char* label,
                      const char* const (&values)[N], prometheus::Counter* (&series)[N]) {
  auto& family = BuildCounter().Name(name).Help(help).Register(registry);
  for (size_t i = 0; i < N; ++i) series[i] = &family.Add({{label, values[i]}});
}

double seconds(Metrics::Clock::duration length) {
  return std::chrono::duration<double>(length).count();
}

}  // namespace

Metrics::Metrics() : registry_(std::make_shared<Registry>()) {
  Registry& r = *registry_;
  trapsTaken_ = counter(r, "kivotrapd_traps_taken_total",
                        "Traps taken from the spool directory into memory.");
  static const char* const kOutcomes[] = {"run", "no_service", "folded", "plugin_failed"};
  labelledCounters(r, "kivotrapd_traps_done_total",
                   "Traps done, by outcome: run (the plug-in ran and its result was stored, "
                   "timed-out runs included), no_service (no trap service for the device and "
                   "OID), folded (a repeat that was not run), plugin_failed (the plug-in could "
                   "not be run, was killed or exited above 4).",
                   "outcome", kOutcomes, trapsDone_);
  static const char* const kCodes[] = {"0", "1", "2", "3", "4"};
  labelledCounters(r, "kivotrapd_plugin_exits_total",
                   "Plug-in runs that exited with a status from 0 (OK) to 4.", "code", kCodes,
                   pluginExits_);
  pluginTimeouts_ = counter(r, "kivotrapd_plugin_timeouts_total",
                            "Plug-in runs killed at plugin_timeout; each is stored as unknown.");
  pluginDuration_ = &BuildHistogram()
                         .Name("kivotrapd_plugin_duration_seconds")
                         .Help("Time from a plug-in's start to its end, failed and timed-out "
                               "runs included.")
                         .Register(r)
                         .Add({}, kDurationBuckets);
  static const char* const kAlertResults[] = {"ok", "failed", "timed_out"};
  labelledCounters(r, "kivotrapd_alerts_total",
                   "Alerting program runs: ok (it ended), failed (it could not be started), "
                   "timed_out (killed at alerting_timeout).",
                   "result", kAlertResults, alerts_);
  spoolFiles_ = gauge(r, "kivotrapd_spool_files",
                      "Trap files in the spool directory at the last pass, waiting or in hand.");
  spoolOldest_ = gauge(r, "kivotrapd_spool_oldest_file_timestamp_seconds",
                       "Modification time of the oldest spool file whose trap is not done, in "
                       "seconds since the epoch; 0 when there is none.");
  spoolSkipped_ = gauge(r, "kivotrapd_spool_entries_skipped",
                        "Spool entries left alone at the last pass: FIFOs, sockets, devices, "
                        "links, directories, unreadable and oversized files.");
  spoolUndeletable_ = counter(r, "kivotrapd_spool_delete_errors_total",
                              "Spool files whose trap was done but which could not be removed.");
  trapsInMemory_ = gauge(r, "kivotrapd_traps_in_memory", "Traps queued or being handled.");
  workers_ = gauge(r, "kivotrapd_workers", "Worker threads running.");
  workersBusy_ = gauge(r, "kivotrapd_workers_busy", "Worker threads handling a trap.");
  trapLogErrors_ = counter(r, "kivotrapd_trap_log_write_errors_total",
                           "Trap log lines that could not be written.");
  databaseUp_ = gauge(r, "kivotrapd_database_up",
                      "1 when the database server answers and the daemon's connection works, "
                      "else 0.");
  databaseOutages_ = counter(r, "kivotrapd_database_outages_total",
                             "Times the daemon's database connection broke.");
  databaseRefused_ = counter(r, "kivotrapd_database_statement_errors_total",
                             "Statements that the database server refused on a working "
                             "connection.");
  services_ = gauge(r, "kivotrapd_services", "Trap services loaded, at start-up or by the last reload.");
  informsDropped_ = counter(r, "kivotrapd_informs_dropped_total",
                            "Retransmitted INFORM copies that the in-process spool handler "
                            "dropped, as it counts them in its informs-dropped file.");
  gauge(r, "kivotrapd_start_time_seconds", "Start time of the daemon in seconds since the epoch.")
      ->SetToCurrentTime();
  BuildGauge()
      .Name("kivotrapd_build_info")
      .Help("The daemon's version, as the label of a series that is always 1.")
      .Register(r)
      .Add({{"version", KIVO_VERSION}})
      .Set(1);
}

Metrics::~Metrics() = default;

void Metrics::trapTaken(const std::string& file, time_t modified) {
  trapsTaken_->Increment();
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = inHand_.find(file);
  if (known != inHand_.end()) {
    inHandTimes_.erase(inHandTimes_.find(known->second));
    known->second = modified;
  } else {
    inHand_.emplace(file, modified);
  }
  inHandTimes_.insert(modified);
  publishSpool();
}

void Metrics::trapReleased(const std::string& file) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = inHand_.find(file);
  if (known == inHand_.end()) return;
  inHandTimes_.erase(inHandTimes_.find(known->second));
  inHand_.erase(known);
  publishSpool();
}

void Metrics::publishSpool() {
  trapsInMemory_->Set(static_cast<double>(inHand_.size()));
  spoolOldest_->Set(inHandTimes_.empty() ? 0.0 : static_cast<double>(*inHandTimes_.begin()));
}

void Metrics::spoolPassed(size_t files, size_t skipped) {
  spoolFiles_->Set(static_cast<double>(files));
  spoolSkipped_->Set(static_cast<double>(skipped));
}

void Metrics::spoolFileUndeletable() { spoolUndeletable_->Increment(); }

void Metrics::workerStarted() { workers_->Increment(); }
void Metrics::workerEnded() { workers_->Decrement(); }
void Metrics::workerBusy() { workersBusy_->Increment(); }
void Metrics::workerIdle() { workersBusy_->Decrement(); }

void Metrics::trapDone(Outcome outcome) { trapsDone_[outcome]->Increment(); }

void Metrics::pluginEnded(int code, bool timedOut, Clock::time_point started) {
  pluginDuration_->Observe(seconds(Clock::now() - started));
  if (timedOut) {
    pluginTimeouts_->Increment();
  } else if (code >= 0 && code <= 4) {
    pluginExits_[code]->Increment();
  }
}

void Metrics::pluginFailed(Clock::time_point started) {
  pluginDuration_->Observe(seconds(Clock::now() - started));
  trapDone(kPluginFailed);
}

void Metrics::alertEnded(AlertResult result) { alerts_[result]->Increment(); }

void Metrics::trapLogWriteFailed() { trapLogErrors_->Increment(); }

void Metrics::databaseLost() {
  databaseOutages_->Increment();
  std::lock_guard<std::mutex> hold(mutex_);
  connectionDown_ = true;
  publishDatabase();
}

void Metrics::databaseBack() {
  std::lock_guard<std::mutex> hold(mutex_);
  connectionDown_ = false;
  // The connection was just made: the server answers.
  probeAnswered_ = true;
  publishDatabase();
}

void Metrics::databaseProbed(bool answered) {
  std::lock_guard<std::mutex> hold(mutex_);
  probeAnswered_ = answered;
  publishDatabase();
}

void Metrics::publishDatabase() { databaseUp_->Set(probeAnswered_ && !connectionDown_ ? 1 : 0); }

void Metrics::databaseStatementRefused() { databaseRefused_->Increment(); }

void Metrics::servicesLoaded(size_t count) { services_->Set(static_cast<double>(count)); }

void Metrics::informsDroppedRead(unsigned long long count) {
  std::lock_guard<std::mutex> hold(mutex_);
  unsigned long long added = count >= informsDroppedLast_ ? count - informsDroppedLast_ : count;
  informsDropped_->Increment(static_cast<double>(added));
  informsDroppedLast_ = count;
}

std::shared_ptr<prometheus::Collectable> Metrics::collectable() const { return registry_; }

std::string Metrics::text() const {
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace kivo
