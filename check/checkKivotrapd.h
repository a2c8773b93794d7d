// check_kivotrapd, the monitoring plug-in that watches the daemon through its
// metrics: its arguments, its verdict and its one line of output. main() only
// calls runCheck, so that everything is tested in-process.
//
// The verdict: CRITICAL when the metrics file is older than the staleness
// limit (the daemon is gone or stuck), the database is down, no worker runs
// or the oldest waiting trap is older than the critical limit; WARNING when
// that trap is older than the warning limit; UNKNOWN when the metrics cannot
// be read or lack a series the verdict needs; else OK.
//
// Plain functions without shared state.
#ifndef KIVO_CHECK_CHECKKIVOTRAPD_H
#define KIVO_CHECK_CHECKKIVOTRAPD_H

#include <iosfwd>
#include <string>
#include <vector>

#include "check/metricsText.h"

namespace kivo {

// The plug-in states, which are also its exit statuses.
enum CheckState { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

struct CheckOptions {
  std::string file;  // -f: read this metrics file
  std::string host;  // -H: or ask the listener on this host
  int port = 9641;   // -p
  long warning = 60;     // -w: seconds of the oldest waiting trap
  long critical = 300;   // -c
  long stale = 60;       // -s: seconds of the metrics file
  long timeout = 10;     // -t: seconds for the listener's answer
};

struct CheckArguments {
  enum Action { kCheck, kHelp, kVersion, kUsageError };
  Action action = kCheck;
  CheckOptions options;
  std::string problem;  // with kUsageError
};

// The arguments after the program's name.
CheckArguments parseCheckArguments(const std::vector<std::string>& arguments);

struct CheckResult {
  CheckState state;
  std::string line;  // "KIVOTRAPD OK - ... | perfdata", without a line feed
};

// The verdict on samples read at now (seconds since the epoch) from the file
// of options, fileAge seconds old, or from its listener (fileAge < 0).
CheckResult judgeMetrics(const MetricSamples& samples, const CheckOptions& options, double now,
                         double fileAge);

// The whole plug-in: writes its output to out and returns its exit status.
int runCheck(const std::vector<std::string>& arguments, std::ostream& out);

}  // namespace kivo

#endif
