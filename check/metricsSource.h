// Where the check plug-in reads the daemon's metrics from: the metrics file,
// or the daemon's listener over HTTP (with libcurl).
//
// Plain functions without shared state; any thread may call them.
#ifndef KIVO_CHECK_METRICSSOURCE_H
#define KIVO_CHECK_METRICSSOURCE_H

#include <string>

namespace kivo {

struct MetricsRead {
  bool ok = false;
  std::string text;   // when ok
  std::string error;  // why not, when not ok
  double age = -1;    // seconds since the file was written; -1 from the listener
};

// The whole file and its age at now (seconds since the epoch).
MetricsRead readMetricsFile(const std::string& path, double now);

// "http://" host ":" port "/metrics", an IPv6 host in brackets.
std::string metricsUrl(const std::string& host, int port);

// GET of url, within timeoutSeconds; any answer but 200 is an error.
MetricsRead fetchMetrics(const std::string& url, long timeoutSeconds);

}  // namespace kivo

#endif
