// The samples of a Prometheus text exposition (format 0.0.4), as the check
// plug-in reads them.
//
// Each sample is found under its series key: the metric name, and when it
// has labels, the labels in braces as name="value" pairs sorted by name and
// separated by commas, with no blanks: kivotrapd_alerts_total{result="ok"}.
// Label values are kept as written, escapes included. Comments, blank lines
// and lines that are no sample are passed over; a timestamp after the value
// is ignored. Plain values, no state: any thread may call.
#ifndef KIVO_CHECK_METRICSTEXT_H
#define KIVO_CHECK_METRICSTEXT_H

#include <map>
#include <string>

namespace kivo {

using MetricSamples = std::map<std::string, double>;

MetricSamples parseMetricsText(const std::string& text);

}  // namespace kivo

#endif
