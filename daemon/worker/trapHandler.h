// What a worker does with each record it takes off the queue: a trap from
// the spool, from its trap-log line to its alerting program, or the close of
// a service's fold window.
//
// For a trap: the trap-log line, the service of the sending device for the
// trap's OID, the fold decision, the parameters filled from the trap, the
// plug-in's run; then, in one transaction on one connection, the service's
// row locked and its stored state read, the trap's identity, the run, the
// error journal by that state and the alert made due; after the commit, the
// alerting program with the id of the record its own run opened. A trap
// stored before (a rerun after a crash) stores nothing and alerts no one. Every trap the record concerns is then finished in the
// spool ledger: removed when done, left for the next start when the stop cut
// it short. Nothing a trap does escapes: it is reported in the system log.
//
// The programs and the database go through TrapActions, so that tests can
// give fakes; the daemon gives DaemonActions. A worker owns its handler; the
// parts it is given (WorkerParts) are shared by all workers, and the caller
// guarantees (ServiceGate) that no two handlers work on records of the same
// service at once.
#ifndef KIVO_DAEMON_WORKER_TRAPHANDLER_H
#define KIVO_DAEMON_WORKER_TRAPHANDLER_H

#include <memory>
#include <optional>
#include <string>

#include "daemon/worker/workerParts.h"
#include "support/pgSafeThread.h"
#include "services/service.h"
#include "trap/snmpTrap.h"

namespace kivo {

class TrapActions {
 public:
  virtual ~TrapActions() = default;
  // service::execute: the return code, or serviceException, StopException,
  // ResourceShortageException.
  virtual int runPlugin(service& s) = 0;
  // service::executeAlertingSoftware.
  virtual service::AlertingEnd runAlerting(service& s, double errorId) = 0;
  // AcquitteError.
  virtual void acknowledge(const service& s, int previous) = 0;
  // InsertError; false when no record was written (reported).
  virtual bool openRecord(const service& s, int code) = 0;
  // getHappenError: the newest open record's id, or -1.
  virtual double openRecordId(const service& s) = 0;
  // Holds one database connection for the statements of one trap until the
  // returned object goes; null when there is nothing to hold.
  virtual std::shared_ptr<void> holdDatabase() { return nullptr; }

  // The transaction of one trap's statements, on the held connection. Any
  // of them may throw TransactionInterrupted: the handler rolls back and
  // runs the transaction again.
  //
  // Begins it, locks the service's row, reads its stored state and stores
  // the run into the row. With spoolFile (empty for a record without a
  // file), also records the trap's identity first.
  struct Begun {
    // The identity was recorded before: an earlier run stored the trap, and
    // this one stores nothing.
    bool storedBefore = false;
    // The state stored before this run; a service never run has 0.
    int previous = 0;
    // False when the run's store failed (reported): the transaction is
    // spoiled.
    bool runStored = false;
  };
  virtual Begun beginTrap(const service& s, const std::string& spoolFile) = 0;
  // Records that the alert of the record errorId is due; its id, 0 when
  // not recorded.
  virtual long long alertDue(const service&, double, int) { return 0; }
  // Commits; false when a failed statement spoiled the transaction, which
  // is then rolled back.
  virtual bool commitTrap() { return true; }
  virtual void rollbackTrap() {}
  // Waits before attempt number attempt of an interrupted transaction;
  // false when the stop came first.
  virtual bool pauseBeforeAttempt(int) { return true; }
  // The alert due under dueId has run, one way or another.
  virtual void alertDone(long long) {}
};

// The daemon's actions: the real programs, within the run settings' limits,
// and the error journal's statements on pgSQL and the pool's connections.
class DaemonActions : public TrapActions {
 public:
  explicit DaemonActions(const WorkerParts& parts) : parts_(parts) {}

  int runPlugin(service& s) override;
  service::AlertingEnd runAlerting(service& s, double errorId) override;
  void acknowledge(const service& s, int previous) override;
  bool openRecord(const service& s, int code) override;
  double openRecordId(const service& s) override;
  std::shared_ptr<void> holdDatabase() override;
  Begun beginTrap(const service& s, const std::string& spoolFile) override;
  long long alertDue(const service& s, double errorId, int code) override;
  bool commitTrap() override;
  void rollbackTrap() override;
  bool pauseBeforeAttempt(int attempt) override;
  void alertDone(long long dueId) override;

 private:
  const WorkerParts parts_;
};

class TrapHandler {
 public:
  TrapHandler(TrapActions& actions, const WorkerParts& parts) : actions_(actions), parts_(parts) {}
  TrapHandler(const TrapHandler&) = delete;
  TrapHandler& operator=(const TrapHandler&) = delete;

  void handle(const snmpTrap& record);

  // An alerting program to run once the journal is written.
  struct Alert {
    double errorId;
    const char* message;
    int code;
    long long dueId;
  };

  // Runs the alert recorded as due under dueId for a run that ended with
  // code, then marks it done; StopException leaves it due.
  void runDueAlert(service& s, double errorId, int code, long long dueId);

  // The error journal's part after a run that ended with code, the service
  // having had previous before it: the alert to run, when one is wanted and
  // its record is there.
  std::optional<Alert> recordStateChange(service& s, int previous, int code);

 private:
  // The service of the device that sent the trap for its OID; false, with
  // the line that says so, when there is none.
  bool findService(const snmpTrap& trap, service& s);
  // Its spool file goes only once the trap is done.
  void finish(const snmpTrap& trap, bool done);
  void arrive(const snmpTrap& trap);
  void closeWindow(const snmpTrap& marker);
  // Runs a held trap whose window closed, with the service it has now.
  void runReleased(const snmpTrap& trap);
  // The plug-in's run and everything after it. False when the stop cut the
  // trap short.
  bool run(const snmpTrap& trap, service& s);
  // What a trap's transaction did: nothing when the trap had been stored
  // before; else the alert to run after it, if any.
  struct Stored {
    bool before = false;
    std::optional<Alert> alert;
  };
  // The trap's transaction, run again while it is interrupted.
  Stored store(const snmpTrap& trap, service& s, int code);
  // One try of it; TransactionInterrupted when it must run again.
  Stored storeOnce(const snmpTrap& trap, service& s, int code);
  std::optional<Alert> openRecord(service& s, int previous, int code, bool wanted,
                                  const char* message);
  // The due alert under dueId (0: none) is no longer this process's.
  void forgetDue(long long dueId);
  // Throws StopException when the stop cut the program short.
  void alert(service& s, const Alert& alert);
  // Runs start, trying again while programs cannot be started for lack of
  // resources; StopException when the stop comes first.
  template <class Start>
  auto startWhenPossible(const std::string& what, Start start) -> decltype(start());

  TrapActions& actions_;
  const WorkerParts parts_;
};

// Prepares on db the statements that lock a service's row for a trap's
// transaction; the one that records the trap's identity only when schema
// has its table. Throws PostgresqlException.
void prepareTrapStatements(pgSafeThread& db, const SchemaFeatures& schema);

}  // namespace kivo

#endif
