#include "daemon/kivoTrapd.h"

#include <signal.h>
#include <stdlib.h>

#include "daemon/base/daemonGlobals.h"
#include "daemon/base/daemonSettings.h"
#include "daemon/database/databaseStartup.h"
#include "daemon/worker/foldWindows.h"
#include "daemon/intake/intakeLoop.h"
#include "daemon/intake/intakeWakeup.h"
#include "daemon/metrics/metricsPublisher.h"
#include "daemon/database/priorityFile.h"
#include "daemon/base/runSettings.h"
#include "daemon/intake/serviceGate.h"
#include "daemon/database/serviceLoader.h"
#include "daemon/database/serviceReload.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/intake/spoolIntake.h"
#include "daemon/intake/spoolLedger.h"
#include "daemon/intake/spoolLock.h"
#include "daemon/base/systemLog.h"
#include "daemon/termSignal.h"
#include "daemon/worker/trapWorker.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/connectionPool.h"
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

namespace kivo {

IntakeWakeup intake_wakeup{die_kivo};
SpoolLedger spool_ledger{intake_wakeup, 1000};
ServiceGate service_gate{fifo_trap};
std::unique_ptr<FoldWindows> fold_windows;
ConnectionPool connection_pool;

namespace {

const char* const kDefaultConfiguration = "/etc/kivo/kivo.conf";

using StartupSettings = DaemonSettings;

// The settings into the daemon's globals.
StartupSettings readSettings(SettingsReader& reader) {
  StartupSettings settings = readDaemonSettings(reader);
  log_enable = settings.logEnable;
  spoolDirectory = settings.spoolDirectory;
  temps.tv_sec = settings.sleep;
  temps.tv_nsec = 0;
  trap_pqueue_file = settings.trapPqueueFile;
  run_settings = settings.run;
  return settings;
}

void writeFindings(const std::vector<std::string>& findings) {
  for (const std::string& finding : findings) write_log("ERR", finding);
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
  writeFindings(settings.findings);
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
  SettingsReader reader(config);
  int threadNumber = static_cast<int>(reader.number("KIVO", "thread_number"));
  writeFindings(reader.findings());
  return threadNumber;
}

// Services first: they are complete before the first worker exists, and so
// are their last states and their fold windows.
void startServicesAndWorkers(int threadNumber, const StartupSettings& settings) {
  LoadTrapService(trapServiceQuery());
  metrics().servicesLoaded(map_service_trap.size());
  map_service_trap.show();
  write_log("INFO", "load Trap service ");
  service_states.load(*pgSQL);
  fold_windows.reset(new FoldWindows(
      settings.fold, [](const snmpTrap& close) { service_gate.offer(close); }));
  startWorkers(workerCount(threadNumber));
}

// Runs passes until the stop. False when another daemon turned out to hold
// the spool directory.
bool runIntakeLoop(const StartupSettings& settings, SpoolLock& lock) {
  IntakeLoop::Settings loopSettings;
  loopSettings.sleepSeconds = static_cast<int>(temps.tv_sec);
  loopSettings.intake.maxFileSize = settings.spoolFileMax;
  loopSettings.intake.settleSeconds = settings.spoolSettle;
  IntakeLoop loop(spoolDirectory, loopSettings, service_gate, spool_ledger, lock,
                        intake_wakeup, die_kivo);
  return loop.run();
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

void stopDaemon(TermSignal& termSignal, ServiceReload& serviceReload) {
  // Traps still queued need nothing: their files are still in the spool.
  stopWorkers(termSignal);
  // A reload under way ends before the connection and the fold windows go.
  serviceReload.finish();
  fold_windows.reset();
  write_log("INFO", " kivoTrapD is stopping ... SIGTERM");
  connection_pool.clear();
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
  // Every worker's plug-in holds descriptors while it runs; the soft limit
  // is often far below what the system allows the daemon.
  unsigned long fileLimit = 0;
  int fileLimitError = raiseOpenFileLimit(&fileLimit);
  // Declared first: the signal thread, which may reopen the log, is joined
  // before the log goes.
  SystemLog systemLog;
  // SIGHUP's reload of the services: asked for by the signal thread, so it
  // outlives that thread.
  ServiceReload serviceReload(reloadServices);
  TermSignal termSignal;
  SpoolLock spoolLock;
  // Its last metrics file is written when it goes, after the workers.
  MetricsPublisher metricsPublisher;
  // A stop caused by a failure ends with 1, so that a service manager
  // restarts the daemon.
  int status = 0;
  try {
    iniConfig config(configurationPath());
    SettingsReader reader(config);
    StartupSettings settings = readSettings(reader);
    // Before the system log, which a second daemon of the same settings
    // would move aside. A directory missing now is claimed by the intake
    // later.
    if (spoolLock.acquire(spoolDirectory) == SpoolLock::kTaken) {
      reportSpoolTaken(spoolDirectory);
      return 1;
    }
    systemLog.open(settings.systemLog);
    writeStartupLines(settings, systemLog);
    if (fileLimitError != 0) {
      write_log("ERR", "can't raise the limit on open files above " + std::to_string(fileLimit) +
                           ": " + errnoText(fileLimitError));
    }
    int threadNumber = startLogAndDatabase(config, settings);
    CreatePriorityTrap();
    if (!termSignal.install([&systemLog, &serviceReload] {
          reopenSystemLog(systemLog);
          serviceReload.request();
        })) {
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
    startServicesAndWorkers(threadNumber, settings);
    metricsPublisher.start(settings.metrics, config);
    // Only now: a reload must not race the first load.
    serviceReload.start();
    if (!runIntakeLoop(settings, spoolLock)) status = 1;
  } catch (const FileException& e) {
    writeStandardOutputLine("File error" + std::string(e.what()));
    status = 1;
  } catch (const DatabaseFailure& e) {
    // Also the stop that came while a start-up query waited for the server.
    writeStandardOutputLine("POSTGRESQL EXCEPTION" + std::string(e.what()));
    status = 1;
  }
  stopDaemon(termSignal, serviceReload);
  return status;
}

}  // namespace kivo
