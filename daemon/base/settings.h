// Everything the daemon reads from its settings file, read once, in one go,
// by readSettings, into plain structs, one per section and per part that
// uses them; and validate(), which says what is wrong with them. The daemon
// writes validate()'s findings as ERR lines at start-up and "kivoTrapD
// --check" prints the same findings, so the two never disagree.
//
// The values are taken as the settings file's reader returns them,
// untrimmed; a missing key gives its default. Numbers are read the daemon's
// traditional way (leading blanks skipped, the longest beginning that forms
// a number, the rest ignored), but a value that is not wholly a number does
// not pass unseen: it costs the finding "[SECTION] key=value is not a
// number: using N". A Settings is a value; the daemon fills one on its main
// thread before any other thread starts, and only reads it afterwards.
#ifndef KIVO_DAEMON_BASE_SETTINGS_H
#define KIVO_DAEMON_BASE_SETTINGS_H

#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

class iniConfig;

namespace kivo {

// One thing wrong with the settings, the files or the services: an error
// for what breaks the daemon or a trap, a warning for what works otherwise
// than written.
struct Finding {
  enum Level { kWarning, kError };
  Level level;
  std::string text;

  // "warning: " or "error: ", then the text.
  std::string line() const;
};
using Findings = std::vector<Finding>;

// The most workers that start, whatever thread_number says: each may run a
// plug-in at any moment, and the machine's processes are not unlimited.
const int kMostWorkers = 256;

// The most connections that PGSQL_connections may ask for.
const int kMostConnections = 64;

// [LOG]
struct LogSettings {
  std::string systemLog;    // log_trapd_file
  std::string trapReceive;  // log_trap_receive
  std::string trapUnknown;  // log_trap_unknown: traps without a service; empty: none
  long maxSize = 0;         // max_size_file_log: only reported
  int logEnable = 0;        // log_enable: 1 writes the trap log
};

// The [KIVO] settings that bound what the workers run.
struct RunSettings {
  int pluginTimeout = 60;           // seconds; 0: no limit
  int alertingTimeout = 30;         // seconds; 0: no limit
  size_t pluginOutputMax = 1048576; // bytes of a plug-in's output kept
  int stopGrace = 10;               // seconds from the stop to the kill
};

// The [KIVO] settings of the fold windows.
struct FoldSettings {
  int windowSeconds = 0;              // fold_window; 0 folds nothing
  std::set<std::string> ignoredOids;  // fold_ignore: OIDs whose values do not count
};

// The [KIVO] settings of the metrics.
struct MetricsSettings {
  std::string listen;  // metrics_listen, HOST:PORT of the listener; empty: none
  std::string file;    // metrics_file; empty: none
  std::chrono::milliseconds interval{10000};  // metrics_interval: of the file and the probe
  // informs_dropped_file: the in-process spool handler's count of dropped
  // INFORM copies; written empty, its default beside spool_directory (empty
  // when that is).
  std::string informsDroppedFile;
};

// [KIVO]
struct KivoSettings {
  std::string spoolDirectory;  // with its final "/"
  bool spoolSlashAdded = false;
  int sleep = 0;
  std::string trapPqueueFile;
  size_t spoolFileMax = 1024 * 1024;  // below 1: the default
  size_t queueMax = 1000;             // below 1: the default
  int spoolSettle = 10;
  int threadNumber = 0;  // as written; workerCount says how many start
  int unknownFlush = 5;  // unknown_flush: seconds between counts into kivo_trap_unknown
  int trapRetentionDays = 7;  // trap_retention_days; 0 never prunes
  RunSettings run;
  FoldSettings fold;
  MetricsSettings metrics;
};

// [POSTGRESQL]
struct DatabaseSettings {
  std::string host, port, dbname, user, password;  // PGSQL_host ... PGSQL_pwd
  std::string options;           // PGSQL_options: further libpq parameters
  long slowStatementSeconds = 10;  // PGSQL_slow_statement
  int connections = 1;           // PGSQL_connections, 1 to kMostConnections

  // "host=" PGSQL_host " port=" PGSQL_port " dbname=" PGSQL_db " user="
  // PGSQL_username " password=" PGSQL_pwd, the values as written, the port
  // as text. A non-empty PGSQL_options comes with one blank before it right
  // before " password=".
  std::string connectionString() const;
};

struct Settings {
  LogSettings log;
  KivoSettings kivo;
  DatabaseSettings database;
  // "[SECTION] key=value is not a number: using N", one per such key.
  std::vector<std::string> notNumbers;

  // What is wrong, in the order of the keys: the values that are not
  // numbers (errors), a thread_number that starts no worker (error) or is
  // cut to kMostWorkers (warning), a time limit of 0 (warning).
  Findings validate() const;
};

// Every key of the sections LOG, KIVO and POSTGRESQL. FileException when
// the file cannot be read.
Settings readSettings(iniConfig& config);

}  // namespace kivo

#endif
