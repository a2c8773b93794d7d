#include "daemon/daemon.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "daemon/base/runSettings.h"
#include "daemon/base/systemLog.h"
#include "daemon/database/databaseStartup.h"
#include "daemon/database/priorityFile.h"
#include "daemon/database/serviceListener.h"
#include "daemon/database/serviceLoader.h"
#include "daemon/database/serviceReload.h"
#include "daemon/intake/intakeLoop.h"
#include "daemon/intake/spoolLock.h"
#include "daemon/kivoTrapd.h"
#include "daemon/metrics/metricsPublisher.h"
#include "daemon/termSignal.h"
#include "daemon/worker/trapWorker.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/iniConfig.h"
#include "support/pgSafeThread.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

namespace kivo {

namespace {

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

size_t runningWorkers() {
  std::lock_guard<std::mutex> hold(mutex_vec_thread);
  return vec_thread.size();
}

}  // namespace

Daemon::Daemon() {
  // Under fifo_trap's mutex: the main thread clears pgSQL only after its own
  // stop, which cannot return before these ran.
  stop_.onStop([] {
    if (pgSQL != nullptr) pgSQL->interruptWaits();
  });
  stop_.onStop([this] { wakeup_.wakeForStop(); });
}

void Daemon::readSettings(iniConfig& config) {
  settings_ = kivo::readSettings(config);
  log_enable = settings_.log.logEnable;
  spoolDirectory = settings_.kivo.spoolDirectory;
  temps.tv_sec = settings_.kivo.sleep;
  temps.tv_nsec = 0;
  trap_pqueue_file = settings_.kivo.trapPqueueFile;
  stop_.setGrace(std::chrono::seconds(settings_.kivo.run.stopGrace));
}

namespace {

// The name that tells this daemon's traps and due alerts from the others':
// the host's name and the spool directory, which no other running daemon
// takes, so that two daemons on one host never run each other's due alerts.
std::string receiverName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return std::string(name) + ":" + spoolDirectory;
}

}  // namespace

// The five lines of the log settings, then what is wrong.
void Daemon::writeStartupLines(const SystemLog& systemLog) {
  write_log("INFO", "Log file system: " + settings_.log.systemLog);
  write_log("INFO", "Log trap enable (0=no and 1=yes): " + intToString(log_enable));
  write_log("INFO", "Log file receive trap: " + settings_.log.trapReceive);
  write_log("INFO", "Log file unknown trap: " + settings_.log.trapUnknown);
  write_log("INFO", "Log file max size: " + longToString(settings_.log.maxSize));
  if (systemLog.keepPreviousError() != 0) {
    write_log("ERR", "can't keep the previous system log as " + systemLog.previousPath() + ": " +
                         errnoText(systemLog.keepPreviousError()));
  }
  for (const Finding& finding : settings_.validate()) write_log("ERR", finding.text);
}

// Failures go to run's handlers.
void Daemon::startLogAndDatabase() {
  flog_trap_receive.reset(new logFile(settings_.log.trapReceive));
  pgSafeThread::Events events;
  events.lost = [this] { metrics_.databaseLost(); };
  events.back = [this] {
    metrics_.databaseBack();
    dueAlerts_.wanted();
  };
  events.refused = [this] { metrics_.databaseStatementRefused(); };
  // Before the services load: the schema's upgrade adds the triggers that
  // announce their changes.
  schema_ = startDatabase(settings_.database, stop_.notice(), events, pool_);
}

// The counts go on a leased connection, one statement at a time, so that
// the workers keep the others.
void Daemon::startUnknownTraps() {
  unknown_.reset(new UnknownTraps(settings_.log.trapUnknown, [this](const UnknownPairs& pairs) {
    std::unique_ptr<ConnectionPool::Lease> lease = pool_.lease();
    storeUnknownPairs(currentConnection(*pgSQL), pairs);
  }));
  unknownFlush_.reset(new PeriodicThread("kivo-unknown",
                                         std::chrono::seconds(settings_.kivo.unknownFlush),
                                         [this] { unknown_->flush(); }));
}

// Services first: they are complete before the first worker exists, and so
// are their last states and their fold windows.
void Daemon::startServicesAndWorkers() {
  LoadTrapService(trapServiceQuery());
  metrics_.servicesLoaded(map_service_trap.size());
  map_service_trap.show();
  write_log("INFO", "load Trap service ");
  states_.load(*pgSQL);
  windows_.reset(new FoldWindows(settings_.kivo.fold,
                                 [this](const snmpTrap& close) { gate_.offer(close); }));
  startUnknownTraps();
  WorkerParts parts{settings_.kivo.run, stop_.notice(), metrics_, states_, windows_.get(),
                    shortage_, journalRepeats_, ledger_, gate_, pool_,
                    unknown_.get(), schema_, receiverName(), &dueAlerts_};
  workerParts_.emplace(parts);
  dueAlerts_.start(parts, settings_.kivo.trapRetentionDays);
  startWorkers(workerCount(settings_.kivo.threadNumber));
}

bool Daemon::runIntakeLoop(SpoolLock& lock) {
  IntakeLoop::Settings loopSettings;
  loopSettings.sleepSeconds = static_cast<int>(temps.tv_sec);
  loopSettings.intake.maxFileSize = settings_.kivo.spoolFileMax;
  loopSettings.intake.settleSeconds = settings_.kivo.spoolSettle;
  IntakeLoop loop(spoolDirectory, loopSettings, gate_, ledger_, lock, wakeup_, die_kivo, metrics_);
  return loop.run();
}

// Ends the workers: each finishes the trap at hand. After a stop caused by
// an exception rather than SIGTERM the workers first empty the queue, unless
// SIGTERM comes in the meantime.
void Daemon::stopWorkers() {
  while (runningWorkers() > 0 && !stop_.stopped() && !fifo_trap.empty()) {
    stop_.pause(std::chrono::seconds(1));
  }
  stop_.stop();
  joinWorkers();
  dueAlerts_.stop();
  workerParts_.reset();
}

void Daemon::stopDaemon(ServiceReload& serviceReload, ServiceListener& serviceListener) {
  // Traps still queued need nothing: their files are still in the spool.
  stopWorkers();
  serviceListener.finish();
  // The last counts, once no worker adds to them.
  unknownFlush_.reset();
  if (unknown_) unknown_->flush();
  // A reload under way ends before the connection and the fold windows go.
  serviceReload.finish();
  windows_.reset();
  write_log("INFO", " kivoTrapD is stopping ... SIGTERM");
  pool_.clear();
  pgSQL.reset();
  flog_trap_receive.reset();
}

int Daemon::run() {
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
  ServiceReload serviceReload([this] { reloadServices(states_, windows_.get(), metrics_); });
  // The services changed in the database by anyone: the same reload. Started
  // even without the triggers, so that an upgrade made later by the
  // database's owner is heard without a restart.
  ServiceListener serviceListener(stop_.notice(),
                                  [&serviceReload] { serviceReload.request(); });
  TermSignal termSignal;
  SpoolLock spoolLock;
  // Its last metrics file is written when it goes, after the workers.
  MetricsPublisher metricsPublisher;
  // A stop caused by a failure ends with 1, so that a service manager
  // restarts the daemon.
  int status = 0;
  try {
    iniConfig config(configurationPath());
    readSettings(config);
    // Before the system log, which a second daemon of the same settings
    // would move aside. A directory missing now is claimed by the intake
    // later.
    if (spoolLock.acquire(spoolDirectory) == SpoolLock::kTaken) {
      reportSpoolTaken(spoolDirectory);
      return 1;
    }
    systemLog.open(settings_.log.systemLog);
    writeStartupLines(systemLog);
    if (fileLimitError != 0) {
      write_log("ERR", "can't raise the limit on open files above " + std::to_string(fileLimit) +
                           ": " + errnoText(fileLimitError));
    }
    startLogAndDatabase();
    CreatePriorityTrap();
    if (!termSignal.install([this] { stop_.stop(); },
                            [&systemLog, &serviceReload] {
                              reopenSystemLog(systemLog);
                              serviceReload.request();
                            })) {
      writeStandardOutputLine("error SIGTERM");
      redirectStandardOutput(-1);
      return 1;
    }
    write_log("INFO", "kivoTrapD starting...");
    write_log("INFO", "spool dir: " + spoolDirectory);
    if (settings_.kivo.spoolSlashAdded) {
      write_log("INFO", "spool_directory has no final \"/\": using " + spoolDirectory);
    }
    ledger_.setLimit(settings_.kivo.queueMax);
    // Listening before the services load, so that no change after it is
    // missed; the requests it makes meanwhile wait for the reload thread.
    serviceListener.start(settings_.database.connectionString());
    startServicesAndWorkers();
    metricsPublisher.start(settings_.kivo.metrics, settings_.database.connectionString(), metrics_);
    // Only now: a reload must not race the first load.
    serviceReload.start();
    if (!runIntakeLoop(spoolLock)) status = 1;
  } catch (const FileException& e) {
    writeStandardOutputLine("File error" + std::string(e.what()));
    status = 1;
  } catch (const DatabaseFailure& e) {
    // Also the stop that came while a start-up query waited for the server.
    writeStandardOutputLine("POSTGRESQL EXCEPTION" + std::string(e.what()));
    status = 1;
  }
  stopDaemon(serviceReload, serviceListener);
  return status;
}

}  // namespace kivo
