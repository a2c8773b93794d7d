#include "daemon/base/settings.h"

#include <ctype.h>

#include <sstream>

#include "support/convertTo.h"
#include "support/iniConfig.h"
#include "support/logText.h"
#include "support/pgSafeThread.h"

namespace kivo {

namespace {

const long kDefaultMetricsSeconds = 10;
const long kLongestSeconds = 365L * 24 * 3600;  // keeps deadlines far from overflow

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Blanks around an integer are harmless; anything else after it is not.
bool wholeNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  size_t digits = i;
  while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits) return false;
  while (i < text.size() && isBlank(text[i])) ++i;
  return i == text.size();
}

// Whether the number conversions find a number in text: after leading
// white space, a digit, or a sign and a digit.
bool holdsNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  return i < text.size() && isdigit(static_cast<unsigned char>(text[i]));
}

// One section's keys, each read once, the findings noted in *notNumbers.
class SectionReader {
 public:
  SectionReader(iniConfig& config, const char* section, std::vector<std::string>* notNumbers)
      : config_(config), section_(section), notNumbers_(notNumbers) {}

  std::string text(const char* key) { return config_.getKey(section_, key); }

  // 0 when the value holds no number, missing included.
  long number(const char* key) {
    std::string value = text(key);
    long used = stringToLong(value);
    check(key, value, used);
    return used;
  }

  // fallback when the value is missing, empty or holds no number; 0 for a
  // value below 0.
  long count(const char* key, long fallback) {
    std::string value = text(key);
    long used = holdsNumber(value) ? stringToLong(value) : fallback;
    if (used < 0) used = 0;
    check(key, value, used);
    return used;
  }

  // A count that must be at least 1: 0 gives the fallback too.
  long positive(const char* key, long fallback) {
    long used = count(key, fallback);
    return used > 0 ? used : fallback;
  }

  // A count of seconds, at most a year.
  int seconds(const char* key, int fallback) {
    long used = count(key, fallback);
    return static_cast<int>(used > kLongestSeconds ? kLongestSeconds : used);
  }

 private:
  void check(const char* key, const std::string& value, long used) {
    if (value.empty() || wholeNumber(value)) return;
    notNumbers_->push_back("[" + std::string(section_) + "] " + key + "=" + escapeControls(value) +
                           " is not a number: using " + longToString(used));
  }

  iniConfig& config_;
  const char* section_;
  std::vector<std::string>* notNumbers_;
};

LogSettings readLog(SectionReader& reader) {
  LogSettings log;
  log.systemLog = reader.text("log_trapd_file");
  log.trapReceive = reader.text("log_trap_receive");
  log.trapUnknown = reader.text("log_trap_unknown");
  log.maxSize = reader.number("max_size_file_log");
  log.logEnable = static_cast<int>(reader.number("log_enable"));
  return log;
}

FoldSettings readFold(SectionReader& reader) {
  FoldSettings fold;
  fold.windowSeconds = static_cast<int>(reader.count("fold_window", 0));
  std::istringstream ignored(reader.text("fold_ignore"));
  for (std::string oid; ignored >> oid;) fold.ignoredOids.insert(oid);
  return fold;
}

MetricsSettings readMetrics(SectionReader& reader) {
  MetricsSettings metrics;
  metrics.listen = reader.text("metrics_listen");
  metrics.file = reader.text("metrics_file");
  metrics.informsDroppedFile = reader.text("informs_dropped_file");
  metrics.interval = std::chrono::seconds(reader.positive("metrics_interval",
                                                          kDefaultMetricsSeconds));
  return metrics;
}

// Where the in-process spool handler counts the INFORM copies it drops when
// no staging directory is named: "informs-dropped" in the hidden sibling
// ".NAME.staging" of the spool directory PARENT/NAME, the handler's rule.
std::string defaultInformsDroppedFile(std::string directory) {
  if (directory.empty()) return "";
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  size_t slash = directory.rfind('/');
  std::string name = directory.substr(slash == std::string::npos ? 0 : slash + 1);
  std::string parent = directory.substr(0, slash == std::string::npos ? 0 : slash);
  while (!parent.empty() && parent.back() == '/') parent.pop_back();
  if (parent.empty()) parent = ".";
  return parent + "/." + name + ".staging/informs-dropped";
}

RunSettings readRun(SectionReader& reader) {
  RunSettings run;
  run.pluginTimeout = reader.seconds("plugin_timeout", run.pluginTimeout);
  run.alertingTimeout = reader.seconds("alerting_timeout", run.alertingTimeout);
  run.pluginOutputMax = static_cast<size_t>(
      reader.count("plugin_output_max", static_cast<long>(run.pluginOutputMax)));
  run.stopGrace = reader.seconds("stop_grace", run.stopGrace);
  return run;
}

// All of [KIVO] but thread_number, which is read after [POSTGRESQL].
KivoSettings readKivo(SectionReader& reader) {
  KivoSettings kivo;
  kivo.spoolDirectory = reader.text("spool_directory");
  kivo.sleep = static_cast<int>(reader.number("sleep"));
  kivo.trapPqueueFile = reader.text("trap_pqueue_file");
  // A file's path is the directory and its name run together, so the
  // directory needs its final "/".
  if (!kivo.spoolDirectory.empty() && kivo.spoolDirectory.back() != '/') {
    kivo.spoolDirectory += '/';
    kivo.spoolSlashAdded = true;
  }
  kivo.spoolFileMax = static_cast<size_t>(
      reader.positive("spool_file_max", static_cast<long>(kivo.spoolFileMax)));
  kivo.queueMax = static_cast<size_t>(
      reader.positive("queue_max", static_cast<long>(kivo.queueMax)));
  kivo.spoolSettle = static_cast<int>(reader.count("spool_settle", kivo.spoolSettle));
  kivo.unknownFlush = static_cast<int>(reader.positive("unknown_flush", kivo.unknownFlush));
  kivo.trapRetentionDays =
      static_cast<int>(reader.count("trap_retention_days", kivo.trapRetentionDays));
  kivo.fold = readFold(reader);
  kivo.metrics = readMetrics(reader);
  if (kivo.metrics.informsDroppedFile.empty()) {
    kivo.metrics.informsDroppedFile = defaultInformsDroppedFile(kivo.spoolDirectory);
  }
  kivo.run = readRun(reader);
  return kivo;
}

DatabaseSettings readDatabase(SectionReader& reader) {
  DatabaseSettings database;
  database.host = reader.text("PGSQL_host");
  database.port = reader.text("PGSQL_port");
  database.dbname = reader.text("PGSQL_db");
  database.user = reader.text("PGSQL_username");
  database.password = reader.text("PGSQL_pwd");
  database.options = reader.text("PGSQL_options");
  database.slowStatementSeconds = reader.count("PGSQL_slow_statement",
                                               database.slowStatementSeconds);
  long connections = reader.positive("PGSQL_connections", database.connections);
  database.connections =
      connections > kMostConnections ? kMostConnections : static_cast<int>(connections);
  return database;
}

void timeLimit(const char* key, int seconds, const char* what, Findings* findings) {
  if (seconds != 0) return;
  findings->push_back({Finding::kWarning, std::string("[KIVO] ") + key + " is 0: " + what +
                                              " may run without a time limit"});
}

}  // namespace

std::string Finding::line() const {
  return (level == kError ? "error: " : "warning: ") + text;
}

std::string DatabaseSettings::connectionString() const {
  // Further parameters go before the password, whose value may hold
  // anything, so that the string still ends with it.
  return pgConnectionString(host, port, dbname, options.empty() ? user : user + " " + options,
                            password);
}

Settings readSettings(iniConfig& config) {
  Settings settings;
  SectionReader log(config, "LOG", &settings.notNumbers);
  SectionReader kivo(config, "KIVO", &settings.notNumbers);
  SectionReader database(config, "POSTGRESQL", &settings.notNumbers);
  settings.log = readLog(log);
  settings.kivo = readKivo(kivo);
  settings.database = readDatabase(database);
  settings.kivo.threadNumber = static_cast<int>(kivo.number("thread_number"));
  return settings;
}

Findings Settings::validate() const {
  Findings findings;
  for (const std::string& text : notNumbers) findings.push_back({Finding::kError, text});
  const std::string threads = "thread_number " + intToString(kivo.threadNumber);
  if (kivo.threadNumber <= 0) {
    findings.push_back(
        {Finding::kError, threads + ": no worker thread starts, no trap will be handled"});
  } else if (kivo.threadNumber > kMostWorkers) {
    const std::string most = intToString(kMostWorkers);
    findings.push_back(
        {Finding::kWarning, threads + " is above " + most + ": " + most + " worker threads start"});
  }
  timeLimit("plugin_timeout", kivo.run.pluginTimeout, "a plug-in", &findings);
  timeLimit("alerting_timeout", kivo.run.alertingTimeout, "an alerting program", &findings);
  return findings;
}

}  // namespace kivo
