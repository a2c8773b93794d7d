#include "check/checkKivotrapd.h"

#include <getopt.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ostream>

#include "check/metricsSource.h"
#include "support/childProcess.h"

namespace kivo {

namespace {

const char kProgram[] = "check_kivotrapd";
const char kUsage[] =
    "Usage:\n"
    " check_kivotrapd -f FILE | -H HOST [-p PORT] [-w SECONDS] [-c SECONDS] [-s SECONDS]\n"
    "                 [-t SECONDS]\n";
const char kHelp[] =
    "Checks kivoTrapD, the SNMP-trap daemon, through its metrics: the age of the\n"
    "oldest trap waiting in its spool, its database connection, its workers, and\n"
    "whether it still writes its metrics file.\n"
    "\n"
    "Options:\n"
    " -f, --file=FILE       read the daemon's metrics file (metrics_file)\n"
    " -H, --hostname=HOST   or ask the daemon's listener (metrics_listen) on HOST\n"
    " -p, --port=PORT       the listener's port (default 9641)\n"
    " -w, --warning=SECONDS WARNING when the oldest waiting trap is older (default 60)\n"
    " -c, --critical=SECONDS CRITICAL when it is older (default 300)\n"
    " -s, --stale=SECONDS   CRITICAL when the metrics file is older: the daemon is\n"
    "                       gone or stuck (default 60)\n"
    " -t, --timeout=SECONDS how long to wait for the listener (default 10)\n"
    " -h, --help            this text\n"
    " -V, --version         the version\n"
    "\n"
    "CRITICAL also when the database is down or no worker runs; UNKNOWN when the\n"
    "metrics cannot be read.\n";

const char kWaiting[] = "kivotrapd_spool_files";
const char kOldest[] = "kivotrapd_spool_oldest_file_timestamp_seconds";
const char kDatabaseUp[] = "kivotrapd_database_up";
const char kWorkers[] = "kivotrapd_workers";

// Series that only go into the performance data, when present.
const std::pair<const char*, const char*> kExtraSeries[] = {
    {"busy", "kivotrapd_workers_busy"},
    {"in_memory", "kivotrapd_traps_in_memory"},
    {"skipped", "kivotrapd_spool_entries_skipped"},
    {"taken", "kivotrapd_traps_taken_total"},
    {"run", "kivotrapd_traps_done_total{outcome=\"run\"}"},
    {"no_service", "kivotrapd_traps_done_total{outcome=\"no_service\"}"},
    {"folded", "kivotrapd_traps_done_total{outcome=\"folded\"}"},
    {"plugin_failed", "kivotrapd_traps_done_total{outcome=\"plugin_failed\"}"},
    {"timeouts", "kivotrapd_plugin_timeouts_total"},
    {"outages", "kivotrapd_database_outages_total"},
};

const char* const kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// A whole number of seconds or a count, as the output shows it.
std::string whole(double value) {
  if (!std::isfinite(value)) return "0";
  return std::to_string(static_cast<long long>(std::floor(value)));
}

std::string counted(double value, const char* one, const char* many) {
  return whole(value) + " " + (whole(value) == "1" ? one : many);
}

// A count of seconds: digits only, and not too large.
bool readSeconds(const std::string& text, long& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::stol(text);
  return true;
}

CheckArguments usageError(const std::string& problem) {
  CheckArguments parsed;
  parsed.action = CheckArguments::kUsageError;
  parsed.problem = problem;
  return parsed;
}

// Stores value as the option named by letter; the problem, or "".
std::string setOption(char letter, const std::string& value, CheckOptions& options) {
  long number = 0;
  switch (letter) {
    case 'f':
      options.file = value;
      return "";
    case 'H':
      options.host = value;
      return "";
    case 'p':
      if (!readSeconds(value, number) || number < 1 || number > 65535) {
        return "-p needs a port from 1 to 65535";
      }
      options.port = static_cast<int>(number);
      return "";
    case 'w':
    case 'c':
    case 's':
    case 't':
      if (!readSeconds(value, number)) return std::string("-") + letter + " needs whole seconds";
      (letter == 'w' ? options.warning
                     : letter == 'c' ? options.critical
                                     : letter == 's' ? options.stale : options.timeout) = number;
      return "";
    default:
      return std::string("unknown option -") + letter;
  }
}

std::string checkOptions(const CheckOptions& options) {
  if (options.file.empty() == options.host.empty()) return "give either -f FILE or -H HOST";
  if (options.warning > options.critical) return "-w must not be above -c";
  if (options.stale < 1 || options.timeout < 1) return "-s and -t need at least 1 second";
  return "";
}

std::string sourceName(const CheckOptions& options) {
  return options.file.empty() ? metricsUrl(options.host, options.port)
                              : "metrics file " + options.file;
}

double wallClock() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

CheckResult unknown(const std::string& message) {
  return {kCheckUnknown, "KIVOTRAPD UNKNOWN - " + message};
}

}  // namespace

CheckArguments parseCheckArguments(const std::vector<std::string>& arguments) {
  static const option kLong[] = {
      {"file", required_argument, nullptr, 'f'},    {"hostname", required_argument, nullptr, 'H'},
      {"port", required_argument, nullptr, 'p'},    {"warning", required_argument, nullptr, 'w'},
      {"critical", required_argument, nullptr, 'c'}, {"stale", required_argument, nullptr, 's'},
      {"timeout", required_argument, nullptr, 't'}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0},
  };
  ArgumentVector vector(kProgram, arguments);
  CheckArguments parsed;
  opterr = 0;  // problems are told in the plug-in's own words
  optind = 0;  // from the start, also when parsed again in one process
  // "+": the options end at the first word that is no option, as they are
  // read in order.
  for (int letter; (letter = getopt_long(vector.argc(), vector.argv(), "+:f:H:p:w:c:s:t:hV", kLong,
                                         nullptr)) != -1;) {
    if (letter == 'h') parsed.action = CheckArguments::kHelp;
    if (letter == 'V') parsed.action = CheckArguments::kVersion;
    if (parsed.action != CheckArguments::kCheck) return parsed;
    if (letter == ':') return usageError(std::string(vector.argv()[optind - 1]) + " needs a value");
    if (letter == '?') {
      return usageError("unknown option " + (optopt != 0 ? std::string("-") + char(optopt)
                                                         : std::string(vector.argv()[optind - 1])));
    }
    std::string problem = setOption(static_cast<char>(letter), optarg, parsed.options);
    if (!problem.empty()) return usageError(problem);
  }
  if (optind < vector.argc()) return usageError(std::string("unexpected argument ") +
                                                vector.argv()[optind]);
  std::string problem = checkOptions(parsed.options);
  return problem.empty() ? parsed : usageError(problem);
}

CheckResult judgeMetrics(const MetricSamples& samples, const CheckOptions& options, double now,
                         double fileAge) {
  for (const char* name : {kWaiting, kOldest, kDatabaseUp, kWorkers}) {
    if (samples.count(name) == 0) return unknown(std::string(name) + " missing from " +
                                                 sourceName(options));
  }
  double waiting = samples.at(kWaiting);
  double oldestTime = samples.at(kOldest);
  double oldest = oldestTime > 0 && now > oldestTime ? now - oldestTime : 0;
  bool databaseUp = samples.at(kDatabaseUp) >= 1;
  double workers = samples.at(kWorkers);

  int state = kCheckOk;
  auto raise = [&state](int to) { state = std::max(state, to); };
  std::string message;
  if (fileAge >= 0 && fileAge > options.stale) {
    raise(kCheckCritical);
    message = "metrics file " + whole(fileAge) + " s old, the daemon is gone or stuck; ";
  }
  if (!databaseUp || workers < 1) raise(kCheckCritical);
  if (oldest > options.critical) raise(kCheckCritical);
  if (oldest > options.warning) raise(kCheckWarning);
  message += counted(waiting, "trap", "traps") + " waiting, oldest " + whole(oldest) +
             " s, database " + (databaseUp ? "up" : "down") + ", " +
             counted(workers, "worker", "workers");

  std::string performance = "waiting=" + whole(waiting) + " oldest=" + whole(oldest) + "s;" +
                            std::to_string(options.warning) + ";" +
                            std::to_string(options.critical) + " database_up=" +
                            (databaseUp ? "1" : "0") + ";;1: workers=" + whole(workers) + ";;1:";
  if (fileAge >= 0) performance += " age=" + whole(fileAge) + "s;;" + std::to_string(options.stale);
  for (const auto& extra : kExtraSeries) {
    auto found = samples.find(extra.second);
    if (found == samples.end()) continue;
    bool counter = std::string(extra.second).find("_total") != std::string::npos;
    performance += std::string(" ") + extra.first + "=" + whole(found->second) + (counter ? "c" : "");
  }
  return {static_cast<CheckState>(state),
          std::string("KIVOTRAPD ") + kStateNames[state] + " - " + message + " | " + performance};
}

int runCheck(const std::vector<std::string>& arguments, std::ostream& out) {
  CheckArguments parsed = parseCheckArguments(arguments);
  switch (parsed.action) {
    case CheckArguments::kHelp:
      out << kProgram << " v" << KIVO_VERSION << "\n\n" << kHelp << "\n" << kUsage;
      return kCheckUnknown;
    case CheckArguments::kVersion:
      out << kProgram << " v" << KIVO_VERSION << "\n";
      return kCheckUnknown;
    case CheckArguments::kUsageError:
      out << kProgram << ": " << parsed.problem << "\n" << kUsage;
      return kCheckUnknown;
    case CheckArguments::kCheck:
      break;
  }
  const CheckOptions& options = parsed.options;
  double now = wallClock();
  MetricsRead read = options.file.empty()
                         ? fetchMetrics(metricsUrl(options.host, options.port), options.timeout)
                         : readMetricsFile(options.file, now);
  CheckResult result = read.ok ? judgeMetrics(parseMetricsText(read.text), options, now, read.age)
                               : unknown("can't read " + sourceName(options) + ": " + read.error);
  out << result.line << "\n";
  return result.state;
}

}  // namespace kivo
