// The one connection to the PostgreSQL server, shared by every thread of the
// daemon.
//
// The object owns the libpq connection from construction (connected, or
// the constructor throws) to destruction. Every operation holds the
// object's mutex for the libpq calls on the connection and the reading of
// their error text, so statements of different threads run one after the
// other and each reads its own error. The mutex is not recursive and no
// operation calls another while holding it. The destructor takes no lock:
// it must run once no other thread uses the object.
//
// A statement that fails on a broken connection (PQstatus no longer
// CONNECTION_OK) is not a failure of the statement: the object connects
// again on the same connection string, prepares again every statement that
// had been prepared, and runs the statement again, for as long as it takes.
// While the server stays unreachable the statement blocks, the attempts
// back off (ConnectionOutage) and the outage's lines go to the outage
// report. Other threads wait for the connection in their own statements, or
// before taking new work in waitUntilConnected(). After interruptWaits(),
// for the stop, a statement that would wait for the server throws
// DatabaseUnavailableException instead. A statement may thus reach the
// server twice when the connection broke before its answer came back. An
// attempt to connect holds the mutex, as a statement does; libpq's
// connect_timeout bounds it.
//
// A statement that fails for a passing reason on a working connection (a
// lock not available, a deadlock, statement_timeout, the server short of
// connections: kivo::passingFailure) is run again in the same way, after a
// pause that backs off as reconnection attempts do, the mutex free in
// between; its lines go to the outage report (kivo::FailureEpisodes). Every
// other failure goes to the caller at once.
//
// Statements are sent and their answers awaited without blocking in libpq,
// so that the wait sees the clock and the stop: a statement still waiting
// after the slow-statement time gives one ERR line ("database statement
// NAME waiting for N s") and, when it ends, one INFO line; once the stop's
// deadline (StopNotice) has passed, a statement still running is cancelled
// (libpq's cancel request) and no new one starts: both throw
// DatabaseUnavailableException, so the stop is never held up by the server.
//
// Statements run in autocommit. Parameters go to the server as text without
// type identifiers (the statements carry casts such as $1::int); an empty
// string is an empty text, never NULL. Results come back in text format. A
// statement succeeds when its status is PGRES_COMMAND_OK or PGRES_TUPLES_OK;
// any other status, a missing result included, raises PostgresqlException
// with the operation's prefix and libpq's error text, after the failed
// result has been released.
//
// Trace lines (each starting with a tab) go to standard output, which the
// daemon has sent into its system log; they do not take the daemon's log
// mutex, so they may interleave with other threads' lines, never inside one.
#ifndef KIVO_SUPPORT_PGSAFETHREAD_H
#define KIVO_SUPPORT_PGSAFETHREAD_H

#include <libpq-fe.h>

#include "support/connectionOutage.h"
#include "support/exceptions.h"
#include "support/failureEpisodes.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kivo {

struct PgConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct PgResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};

using PgConnection = std::unique_ptr<PGconn, PgConnectionCloser>;
// Owner of a result: callers wrap the PGresult* that an operation returns.
using PgResult = std::unique_ptr<PGresult, PgResultClearer>;

class StopNotice;

}  // namespace kivo

class pgSafeThread {
 public:
  // Receives each line of an outage: level "ERR" or "INFO", and the message.
  using OutageReport = std::function<void(const std::string& level, const std::string& message)>;

  // Connects with a libpq connection string. On failure writes both
  // constructor trace lines and throws PostgresqlException: libpq's text, a
  // line feed, and the connection string with its password masked.
  explicit pgSafeThread(std::string conninfo);
  // Another connection on first's connection string, with the statements
  // prepared on first prepared on it too, sharing first's outage (it is told
  // once for both, and a connection made before an outage is made again
  // before its next statement), its reports and its settings. Throws like
  // the constructor above, or PostgresqlException "prepare failed:  "...
  enum SharingOutage { kSharingOutage };
  pgSafeThread(const pgSafeThread& first, SharingOutage);
  // Connects with "host=H port=P dbname=D user=U password=W", the values
  // inserted as they are.
  pgSafeThread(std::string host, int port, std::string dbname, std::string user,
               std::string password);
  virtual ~pgSafeThread();

  pgSafeThread(const pgSafeThread&) = delete;
  pgSafeThread& operator=(const pgSafeThread&) = delete;

  // Runs sql. The result belongs to the caller.
  PGresult* executeRequest(const std::string& sql);
  // Runs sql as executeRequest does, for a caller that would rather fail
  // than wait for an unreachable server (a reload, a check): when the
  // connection is broken, or breaks during the statement, it connects again
  // once and runs sql once more; when that fails too, or while an outage
  // that other statements wait on is under way, it throws
  // DatabaseUnavailableException ("the database is unreachable: " and
  // libpq's text) at once. It neither begins nor ends that outage and
  // writes no outage line: a connection it leaves broken is found by the
  // next statement, which waits as usual. For statements that may run
  // twice. The result belongs to the caller.
  PGresult* executeRequestWithoutWaiting(const std::string& sql);
  // Runs sql with params[0] as $1, params[1] as $2 and so on. The result
  // belongs to the caller.
  PGresult* executeParamRequest(const std::string& sql, const std::vector<std::string>& params);
  // Prepares sql under name with nParams parameters whose types the server
  // infers; the two-argument form lets the server count them.
  void prepareRequest(const std::string& name, const std::string& sql, int nParams);
  void prepareRequest(const std::string& name, const std::string& sql);
  // Runs the statement prepared under name. The result belongs to the caller.
  PGresult* executePrepareRequest(const std::string& name, const std::vector<std::string>& params);
  PGresult* executePrepareRequest(const std::string& name);
  // One statement of a pipeline: the one prepared under prepared, or else
  // sql; params are its $1, $2 and so on.
  struct PipelineStep {
    std::string prepared;
    std::string sql;
    std::vector<std::string> params;
  };
  // Runs steps (at least one) in one round trip: libpq's pipeline mode, one
  // sync after the last. One result per step, in order, each belonging to
  // the caller: a step the server refused has its error result, and the
  // steps after it PGRES_PIPELINE_ABORTED. Each step writes the request
  // lines of executePrepareRequest or executeParamRequest. The steps are
  // run again, waited for and interrupted together, as one statement named
  // in the log by the steps' names, comma-separated ("\"BEGIN\", Name"), is
  // (see Transactions below): a pipeline that begins a transaction runs
  // whole again after a lost connection. Outside a transaction the steps
  // before a failed one have run, and run again with it: such steps must be
  // ones that may run twice.
  std::vector<kivo::PgResult> executePipeline(const std::vector<PipelineStep>& steps);
  // For a step's result that failed, the status line and the
  // PostgresqlException that executePrepareRequest or executeParamRequest
  // would have given; nothing for one that succeeded.
  static void throwIfFailed(const PipelineStep& step, const PGresult* result);
  // The name of the connection's client encoding, for instance "UTF8".
  std::string getClientEncoding();

  const std::string& connectionString() const { return conninfo_; }

  // Where the outage's lines go; by default raw lines ("ERR message") on
  // standard output. Both setters are for before other threads use the
  // object.
  // These setters are for before other threads use the object, and before
  // other connections share it.
  void setOutageReport(OutageReport report);
  void setReconnectPolicy(const kivo::ConnectionOutage::Policy& policy);
  // A statement still waiting after slowAfter is reported; 0 never.
  void setSlowStatementReport(std::chrono::milliseconds slowAfter);
  // Statements still running at the stop's deadline are cancelled.
  void setStopNotice(const kivo::StopNotice* stop);

  // What the connection tells its owner besides its lines, for counting:
  // each member may be empty, and is called on the thread whose statement
  // saw the event; it must not use the connection.
  struct Events {
    std::function<void()> lost;     // an outage began
    std::function<void()> back;     // the outage ended
    std::function<void()> refused;  // the server refused a statement
  };
  void setEvents(Events events);

  // Transactions: a statement that fails inside a transaction (the
  // connection was in one when it was sent, or is in one after it) for a
  // passing reason or a lost connection is not run again here: it throws
  // kivo::TransactionInterrupted, and the transaction's owner rolls back,
  // pauses (pauseBeforeAttempt) and runs the whole transaction again. A lost
  // connection still begins the outage, which the owner's next statement
  // waits out.
  //
  // The transaction on the connection has failed: its COMMIT would roll it
  // back.
  bool transactionFailed();
  // The pause before attempt number attempt (0 first) of an interrupted
  // transaction, backing off as a passing failure's retries do. False when
  // the stop interrupted it.
  bool pauseBeforeAttempt(int attempt);

  // Returns at once while the connection works; blocks while it is down.
  // False when interruptWaits() was called while it is down.
  bool waitUntilConnected();
  // For the stop: every wait for the server ends now or as soon as it would
  // begin. Statements on a working connection go on as before.
  void interruptWaits();

 private:
  struct PreparedStatement {
    std::string name;
    std::string sql;
    int nParams;
  };
  // Sends a statement (a PQsend... call): 1 when sent.
  using Statement = std::function<int(PGconn*)>;

  void connect();
  // Takes the mutex into hold and runs statement until a working connection
  // has answered it, other than with a passing failure; returns that result,
  // hold locked. name names the statement in the log lines.
  kivo::PgResult run(std::unique_lock<std::mutex>& hold, const std::string& name,
                     const Statement& statement);
  // The answers of one round trip: one result per step of a pipeline, or
  // the last result of a plain statement.
  using Answers = std::vector<kivo::PgResult>;
  // run for statement sending steps statements in pipeline mode (0: a plain
  // statement); the round trip's first failure decides as a plain
  // statement's result does.
  Answers run(std::unique_lock<std::mutex>& hold, const std::string& name,
              const Statement& statement, size_t steps);
  // The end of executeRequest and its no-wait kin, with hold locked: the
  // status line, then result handed over, or the failure thrown with hold
  // released.
  PGresult* executeRequestEnd(std::unique_lock<std::mutex>& hold, kivo::PgResult result);
  // Releases hold and makes the failure of an interrupted transaction.
  kivo::TransactionInterrupted interrupted(std::unique_lock<std::mutex>& hold,
                                           const std::string& why);
  // With the mutex held: sends the statement and waits for its answer, as
  // the class comment says. The last result, as PQexec gives it.
  kivo::PgResult execute(const std::string& name, const Statement& statement);
  Answers execute(const std::string& name, const Statement& statement, size_t steps);
  // With the mutex held: leaves the pipeline mode that a statement of steps
  // steps entered; a connection that cannot leave it is made again.
  void endPipeline(size_t steps);
  // With the mutex held: waits until the connection's answer can be read
  // without blocking; false when the connection failed meanwhile.
  bool awaitAnswer(const std::string& name, std::chrono::steady_clock::time_point start,
                   bool* reported, bool* cancelled);
  // With the mutex held: the stop's deadline has passed.
  bool pastStopDeadline() const;
  // With the mutex held: cancels the statement running on the connection.
  void cancelRunning(const std::string& name);
  // With the mutex held: true when the connection works, if need be after an
  // attempt to connect again that was due now.
  bool connectedOrReconnected();
  // With the mutex held: one attempt to connect again, outside any outage.
  // DatabaseUnavailableException when it fails.
  void reconnectOnce();
  // Prepares the statements of prepared_ on fresh. libpq's text when the
  // connection broke meanwhile, else "".
  std::string prepareAgain(PGconn* fresh);
  void report(const std::string& level, const std::string& line);
  // The lines that begin and end an outage, which the metrics count too.
  void reportLost(const std::optional<std::string>& line);
  void reportRestored(const std::optional<std::string>& line);

  kivo::PgConnection connection_;
  const std::string conninfo_;
  std::mutex mutex_;
  // Guarded by mutex_: what prepareAgain needs, and the last encoding seen.
  std::vector<PreparedStatement> prepared_;
  std::string encoding_;
  // Shared with the other connections made from this one.
  std::shared_ptr<kivo::ConnectionOutage> outage_;
  std::shared_ptr<kivo::FailureEpisodes> failures_;
  // Guarded by mutex_: the connection failed, or was made before the
  // outage's latest epoch; either way it is made again before it is used.
  bool broken_ = false;
  unsigned long epoch_ = 0;
  OutageReport report_;
  std::chrono::milliseconds slowAfter_{10000};
  const kivo::StopNotice* stop_ = nullptr;
  Events events_;
};

namespace kivo {

// The connection string of the five-argument constructor: the pairs in that
// order, one blank between them, the values unquoted.
std::string pgConnectionString(const std::string& host, const std::string& port,
                               const std::string& dbname, const std::string& user,
                               const std::string& password);

// conninfo with everything after its first "password=" (blanks allowed
// before the "=") replaced by "********", up to the end of the text, so that
// no part of a password with blanks or quotes shows; unchanged when nothing
// but blanks follows.
std::string maskConnectionPassword(const std::string& conninfo);

// text (libpq's message about conninfo) with every blank-separated word of
// what maskConnectionPassword hides replaced by "********": libpq quotes the
// second word of a password with a blank as a parameter it cannot read.
std::string maskPasswordWords(const std::string& text, const std::string& conninfo);

}  // namespace kivo

#endif
