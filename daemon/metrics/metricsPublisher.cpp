#include "daemon/metrics/metricsPublisher.h"

#include <CivetServer.h>
#include <prometheus/exposer.h>

#include <algorithm>

#include "daemon/metrics/databaseProbe.h"
#include "daemon/metrics/informsDroppedFile.h"
#include "daemon/base/systemLog.h"
#include "support/metrics.h"
#include "support/metricsFile.h"
#include "support/periodicThread.h"
#include "support/posixIo.h"

namespace kivo {

namespace {

// The longest a probe may take on a host that does not answer.
const int kLongestProbeSeconds = 10;

// The listener's server takes each connection on one of its threads, in the
// order they came, and holds the thread until a whole request has come or
// request_timeout_ms has passed; an idle or half-sent connection holds one
// that long. So a scrape behind N such connections waits about
// N / num_threads * request_timeout_ms: with these, 0.8 s behind 500. A
// scraper sends its request together with the connection's last handshake
// packet, so 200 ms is ample even across a slow network. The queue and the
// kernel's backlog are deep enough that behind 500 a scrape's connection is
// neither refused nor its SYN dropped (which would cost the 1 s of a
// retransmission). Idle threads cost little memory and no time.
const char* const kListenerThreads = "128";
const char* const kRequestTimeoutMs = "200";
const char* const kConnectionQueue = "1024";
const char* const kListenBacklog = "1024";

// The listener's own messages while it is being set up on this thread; it
// says there why it cannot listen. Its later messages (a client gone
// mid-request) are dropped: they come on its threads, where this is null.
thread_local std::string* listenerMessages = nullptr;

int keepListenerMessage(const struct mg_connection*, const char* message) {
  if (listenerMessages != nullptr && listenerMessages->empty()) *listenerMessages = message;
  return 1;
}

// HOST:PORT with the port the listener got, for a setting with port 0.
std::string boundAddress(const std::string& listen, int port) {
  size_t colon = listen.rfind(':');
  std::string host = colon == std::string::npos ? "" : listen.substr(0, colon + 1);
  return host + std::to_string(port);
}

}  // namespace

MetricsPublisher::MetricsPublisher() = default;

MetricsPublisher::~MetricsPublisher() {
  prober_.reset();
  writer_.reset();
  // The last file holds everything the workers did before they ended.
  if (file_) writeFile();
  exposer_.reset();
}

void MetricsPublisher::start(const MetricsSettings& settings, const std::string& conninfo,
                             Metrics& metrics) {
  if (settings.listen.empty() && settings.file.empty()) return;
  metrics_ = &metrics;
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(settings.interval).count();
  probe_.reset(new DatabaseProbe(
      conninfo, static_cast<int>(std::min<long>(std::max<long>(seconds, 1), kLongestProbeSeconds))));
  if (!settings.informsDroppedFile.empty()) {
    informsDropped_.reset(new InformsDroppedFile(settings.informsDroppedFile));
  }
  // Before the first file and the first request, so that neither shows the
  // database down for want of a probe, nor the dropped copies at 0.
  probe();
  prober_.reset(new PeriodicThread("kivo-db-probe", settings.interval, [this] { probe(); }));
  if (!settings.listen.empty()) serve(settings.listen);
  if (!settings.file.empty()) {
    file_.reset(new MetricsFile(settings.file));
    // Before the first write, whose failure it would otherwise contradict.
    write_log("INFO", "metrics file " + settings.file + " written every " +
                          std::to_string(seconds) + " s");
    writeFile();
    writer_.reset(new PeriodicThread("kivo-metrics", settings.interval, [this] { writeFile(); }));
  }
}

void MetricsPublisher::serve(const std::string& listen) {
  CivetCallbacks callbacks;
  callbacks.log_message = keepListenerMessage;
  std::string reason;
  listenerMessages = &reason;
  try {
    exposer_.reset(new prometheus::Exposer(
        std::vector<std::string>{"listening_ports", listen, "num_threads", kListenerThreads,
                                 "request_timeout_ms", kRequestTimeoutMs, "connection_queue",
                                 kConnectionQueue, "listen_backlog", kListenBacklog},
        &callbacks));
  } catch (const std::exception& e) {
    if (reason.empty()) reason = e.what();
  }
  listenerMessages = nullptr;
  if (!exposer_) {
    write_log("ERR", "can't serve metrics on " + listen + ": " + reason);
    return;
  }
  exposer_->RegisterCollectable(metrics_->collectable());
  std::vector<int> ports = exposer_->GetListeningPorts();
  port_ = ports.empty() ? 0 : ports.front();
  write_log("INFO", "metrics served on http://" + boundAddress(listen, port_) + "/metrics");
}

void MetricsPublisher::writeFile() {
  int error = file_->replace(metrics_->text());
  if (error != 0 && fileFailure_.failed().kind == Episode::Line::kBegins) {
    write_log("ERR", "can't write metrics file " + file_->path() + ": " + errnoText(error));
  } else if (error == 0 && fileFailure_.succeeded().kind == Episode::Line::kEnds) {
    write_log("INFO", "metrics file " + file_->path() + " written again");
  }
}

void MetricsPublisher::probe() {
  // The file first: a probe may wait on a host that does not answer.
  if (informsDropped_) informsDropped_->refresh(*metrics_);
  metrics_->databaseProbed(probe_->answers());
}

}  // namespace kivo
