// How the daemon's metrics (kivo::Metrics) leave the process: an HTTP
// listener that serves GET /metrics, a file replaced every interval and at
// the stop, the probe of the database server that keeps
// kivotrapd_database_up true while no trap flows, and the reading of the
// spool handler's count of dropped INFORM copies, done with the probe.
//
// main owns the one publisher for the daemon's whole life. start() runs
// once, on the main thread, once the services are loaded and the workers
// run; the destructor, after the workers have ended, stops the probe and the
// file's thread, writes the file a last time and closes the listener. In
// between the publisher's own threads do the work: the listener's, one that
// writes the file and one that reads the count and probes the database. A
// listener or file that cannot be set up costs one ERR line; the daemon
// goes on without it.
#ifndef KIVO_DAEMON_METRICS_METRICSPUBLISHER_H
#define KIVO_DAEMON_METRICS_METRICSPUBLISHER_H

#include <chrono>
#include <memory>
#include <string>

#include "daemon/base/settings.h"
#include "support/episode.h"

namespace prometheus {
class Exposer;
}

namespace kivo {

class DatabaseProbe;
class InformsDroppedFile;
class Metrics;
class MetricsFile;
class PeriodicThread;

class MetricsPublisher {
 public:
  MetricsPublisher();
  ~MetricsPublisher();
  MetricsPublisher(const MetricsPublisher&) = delete;
  MetricsPublisher& operator=(const MetricsPublisher&) = delete;

  // Publishes metrics as settings say, probing the server of conninfo. Does
  // nothing when settings ask for neither listener nor file.
  void start(const MetricsSettings& settings, const std::string& conninfo, Metrics& metrics);

  // The listener's port (useful with port 0); 0 when there is none.
  int listeningPort() const { return port_; }

 private:
  void serve(const std::string& listen);
  void writeFile();
  void probe();

  Metrics* metrics_ = nullptr;
  std::unique_ptr<prometheus::Exposer> exposer_;
  int port_ = 0;
  std::unique_ptr<MetricsFile> file_;
  Episode fileFailure_;  // used by one thread at a time
  std::unique_ptr<DatabaseProbe> probe_;
  std::unique_ptr<InformsDroppedFile> informsDropped_;  // none without a path
  std::unique_ptr<PeriodicThread> writer_;
  std::unique_ptr<PeriodicThread> prober_;
};

}  // namespace kivo

#endif
