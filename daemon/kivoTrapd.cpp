#include "daemon/kivoTrapd.h"

#include <signal.h>
#include <stdlib.h>

#include "daemon/databaseStartup.h"
#include "daemon/intakeWakeup.h"
#include "daemon/metricsPublisher.h"
#include "daemon/priorityFile.h"
#include "daemon/runSettings.h"
#include "daemon/serviceLoader.h"
#include "daemon/spoolIntake.h"
#include "daemon/spoolLedger.h"
#include "daemon/spoolLock.h"
#include "daemon/spoolWatch.h"
#include "daemon/systemLog.h"
#include "daemon/termSignal.h"
#include "daemon/trapWorker.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/iniConfig.h"
#include "support/metrics.h"
#include "support/pgSafeThread.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

std::atomic<int> die_kivo{0};
timespec temps = {0, 0};
std::string spoolDirectory;
std::string trap_pqueue_file;
int log_enable = 1;
std::unique_ptr<pgSafeThread> pgSQL;
std::map<std::string, std::string> map_error;
std::unique_ptr<logFile> flog_trap_receive;
std::mutex mutex_log_trap;
MapTrapService map_service_trap;
std::vector<thread_kivo> vec_thread;
std::mutex mutex_vec_thread;
ExecuteQueue<snmpTrap> fifo_trap;
IntakeWakeup intake_wakeup{die_kivo};
SpoolLedger spool_ledger{intake_wakeup, 1000};

namespace {

const char* const kDefaultConfiguration = "/etc/kivo/kivo.conf";
const size_t kDefaultSpoolFileMax = 1024 * 1024;
const size_t kDefaultQueueMax = 1000;

// The "LOG" settings that are only reported, the paths of the logs, and the
// bounds of the intake.
struct StartupSettings {
  std::string systemLog;
  std::string trapReceive;
  std::string trapUnknown;
  long maxSize = 0;
  bool spoolSlashAdded = false;
  size_t spoolFileMax = kDefaultSpoolFileMax;
  size_t queueMax = kDefaultQueueMax;
};

// A size setting: missing, zero, negative or no number gives the default.
size_t sizeSetting(iniConfig& config, const char* key, size_t fallback) {
  long value = readKivoCount(config, key, static_cast<long>(fallback));
  return value > 0 ? static_cast<size_t>(value) : fallback;
}

StartupSettings readSettings(iniConfig& config) {
  StartupSettings settings;
  settings.systemLog = config.getKey("LOG", "log_trapd_file");
  settings.trapReceive = config.getKey("LOG", "log_trap_receive");
  settings.trapUnknown = config.getKey("LOG", "log_trap_unknown");
  settings.maxSize = static_cast<long>(stringToLongInt(config.getKey("LOG", "max_size_file_log")));
  log_enable = stringToInt(config.getKey("LOG", "log_enable"));
  spoolDirectory = config.getKey("KIVO", "spool_directory");
  temps.tv_sec = stringToInt(config.getKey("KIVO", "sleep"));
  temps.tv_nsec = 0;
  trap_pqueue_file = config.getKey("KIVO", "trap_pqueue_file");
  // A file's path is the directory and its name run together, so the
  // directory needs its final "/".
  if (!spoolDirectory.empty() && spoolDirectory.back() != '/') {
    spoolDirectory += '/';
    settings.spoolSlashAdded = true;
  }
  settings.spoolFileMax = sizeSetting(config, "spool_file_max", kDefaultSpoolFileMax);
  settings.queueMax = sizeSetting(config, "queue_max", kDefaultQueueMax);
  run_settings = readRunSettings(config);
  return settings;
}

void writeStartupLines(const StartupSettings& settings, const SystemLog& systemLog) {
  write_log("INFO", "Log file system: " + settings.systemLog);
  write_log("INFO", "Log trap enable (0=no and 1=yes): " + intToString(log_enable));
  write_log("INFO", "Log file receive trap: " + settings.trapReceive);
  write_log("INFO", "Log file unknown trap: " + settings.trapUnknown);
  write_log("INFO", "Log file max size: " + longToString(settings.maxSize));
  if (systemLog.keepPreviousError() != 0) {
    write_log("ERR", "can't keep the previous system log as " + systemLog.previousPath() + ": " +
                         errnoText(systemLog.keepPreviousError()));
  }
}

// SIGHUP: the system log is opened again at its path, so that a file moved
// away by hand is replaced; the line goes into the new file.
void reopenSystemLog(SystemLog& systemLog) {
  int error = systemLog.reopen();
  if (error == 0) {
    write_log("INFO", "SIGHUP: system log reopened " + systemLog.path());
  } else {
    write_log("ERR", "SIGHUP: can't reopen system log " + systemLog.path() + ": " + errnoText(error));
  }
}

// The trap log, the connection with its statements and error kinds, and the
// number of workers to start. Failures go to main's handlers.
int startLogAndDatabase(iniConfig& config, const StartupSettings& settings) {
  flog_trap_receive.reset(new logFile(settings.trapReceive));
  startDatabase(config);
  return stringToInt(config.getKey("KIVO", "thread_number"));
}

// Services first: they are complete before the first worker exists.
void startServicesAndWorkers(int threadNumber) {
  LoadTrapService(trapServiceQuery());
  kivo::metrics().servicesLoaded(map_service_trap.size());
  map_service_trap.show();
  write_log("INFO", "load Trap service ");
  startWorkers(workerCount(threadNumber));
}

// The pause after a pass. A watched spool directory wakes the intake as soon
// as a file arrives, so sleep is then only the longest pause, and 0 waits
// for the next arrival. Unwatched, the passes are timed; there 0 would spin,
// so it pauses briefly.
void pauseAfterPass(SpoolIntake::PassResult result, bool watched) {
  const timespec brief = {0, 50 * 1000 * 1000};
  // With the ledger full the next pass waits for room, not for the clock.
  if (result == SpoolIntake::kFull) {
    intake_wakeup.pause(IntakeWakeup::kRoom, nullptr);
  } else if (temps.tv_sec > 0) {
    intake_wakeup.pause(IntakeWakeup::kAny, &temps);
  } else {
    intake_wakeup.pause(IntakeWakeup::kAny, watched ? nullptr : &brief);
  }
}

// Runs passes until the stop. False when another daemon turned out to hold
// the spool directory.
bool runIntakeLoop(const StartupSettings& settings, SpoolLock& lock) {
  SpoolIntake intake(spoolDirectory, settings.spoolFileMax, fifo_trap, spool_ledger, lock);
  SpoolWatch watch(intake_wakeup, spoolDirectory);
  while (die_kivo.load() == 0) {
    // Watched before the listing, so no file arrives unseen in between.
    bool watched = watch.watch();
    SpoolIntake::PassResult result = intake.runPass();
    if (result == SpoolIntake::kLockedOut) return false;
    pauseAfterPass(result, watched);
  }
  return true;
}

size_t runningWorkers() {
  std::lock_guard<std::mutex> hold(mutex_vec_thread);
  return vec_thread.size();
}

// Ends the workers: each finishes the trap at hand. After a stop caused by
// an exception rather than SIGTERM the workers first empty the queue, unless
// SIGTERM comes in the meantime.
void stopWorkers(TermSignal& termSignal) {
  const timespec second = {1, 0};
  while (runningWorkers() > 0 && die_kivo.load() == 0 && !fifo_trap.empty()) {
    termSignal.pause(second);
  }
  joinWorkers();
}

void stopDaemon(TermSignal& termSignal) {
  // Traps still queued need nothing: their files are still in the spool.
  stopWorkers(termSignal);
  write_log("INFO", " kivoTrapD is stopping ... SIGTERM");
  pgSQL.reset();
  flog_trap_receive.reset();
}

}  // namespace

std::string configurationPath() {
  const char* path = ::getenv("KIVO_CONF");
  return path != nullptr && *path != '\0' ? path : kDefaultConfiguration;
}

int kivoTrapdMain() {
  // A hang-up during start-up must not end the daemon; from the handlers'
  // installation on it reopens the system log.
  ::signal(SIGHUP, SIG_IGN);
  // Declared first: the signal thread, which may reopen the log, is joined
  // before the log goes.
  SystemLog systemLog;
  TermSignal termSignal;
  SpoolLock spoolLock;
  // Its last metrics file is written when it goes, after the workers.
  kivo::MetricsPublisher metricsPublisher;
  // A stop caused by a failure ends with 1, so that a service manager
  // restarts the daemon.
  int status = 0;
  try {
    iniConfig config(configurationPath());
    StartupSettings settings = readSettings(config);
    // Before the system log, which a second daemon of the same settings
    // would move aside. A directory missing now is claimed by the intake
    // later.
    int error = 0;
    if (spoolLock.acquire(spoolDirectory, &error) == SpoolLock::kTaken) {
      reportSpoolTaken(spoolDirectory);
      return 1;
    }
    systemLog.open(settings.systemLog);
    writeStartupLines(settings, systemLog);
    int threadNumber = startLogAndDatabase(config, settings);
    CreatePriorityTrap();
    if (!termSignal.install([&systemLog] { reopenSystemLog(systemLog); })) {
      writeStandardOutputLine("error SIGTERM");
      redirectStandardOutput(-1);
      return 1;
    }
    write_log("INFO", "kivoTrapD starting...");
    write_log("INFO", "spool dir: " + spoolDirectory);
    if (settings.spoolSlashAdded) {
      write_log("INFO", "spool_directory has no final \"/\": using " + spoolDirectory);
    }
    spool_ledger.setLimit(settings.queueMax);
    startServicesAndWorkers(threadNumber);
    metricsPublisher.start(config);
    if (!runIntakeLoop(settings, spoolLock)) status = 1;
  } catch (const FileException& e) {
    writeStandardOutputLine("File error" + std::string(e.what()));
    status = 1;
  } catch (const PostgresqlException& e) {
    writeStandardOutputLine("POSTGRESQL EXCEPTION" + std::string(e.what()));
    status = 1;
  } catch (const DatabaseUnavailableException& e) {
    // The stop came while a start-up query waited for the server.
    writeStandardOutputLine("POSTGRESQL EXCEPTION" + std::string(e.what()));
    status = 1;
  }
  stopDaemon(termSignal);
  return status;
}
