#include "support/pgSafeThread.h"

#include <ctype.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

#include <utility>

#include "support/exceptions.h"
#include "support/standardOutput.h"
#include "support/stopNotice.h"

using kivo::ConnectionOutage;
using kivo::DatabaseUnavailableException;
using kivo::PgConnection;
using kivo::PgResult;
using kivo::StopNotice;
using kivo::errorTextOnOneLine;
using kivo::maskConnectionPassword;
using kivo::maskPasswordWords;
using kivo::pgConnectionString;
using kivo::writeStandardOutput;
using kivo::writeStandardOutputLine;

namespace {

const char* const kExecuteFailed = "execute failed:  ";
const char* const kExecuteParamFailed = "Execute failed:  ";
const char* const kPrepareFailed = "prepare failed:  ";
const char* const kExecutePreparedFailed = "Exec prepareRequest failed:  ";
const char* const kMaskedPassword = "********";

// The first pause before a statement that failed for a passing reason runs
// again; the pauses double up to the reconnection's longest delay.
const std::chrono::milliseconds kFirstPassingPause{100};
// How long the server has to answer a cancel request at the stop.
const std::chrono::seconds kCancelPatience{3};

using Clock = std::chrono::steady_clock;

std::string secondsText(Clock::duration length) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(length).count());
}

// poll's timeout until deadline: -1 for none, never negative, rounded up.
int millisecondsUntil(Clock::time_point deadline, Clock::time_point now) {
  if (deadline == Clock::time_point::max()) return -1;
  if (deadline <= now) return 0;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<long long>(left, 24 * 3600 * 1000));
}

std::string sqlStateOf(const PGresult* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return state != nullptr ? state : "";
}

// A statement sent as plain SQL is named in the log by its beginning.
std::string statementLabel(const std::string& sql) {
  const size_t kLongest = 60;
  std::string label = sql.substr(0, sql.find('\n'));
  if (label.size() > kLongest) label = label.substr(0, kLongest) + "...";
  return "\"" + label + "\"";
}

DatabaseUnavailableException abandoned() {
  return DatabaseUnavailableException(
      "statement abandoned: the database is unreachable and the daemon is stopping");
}

DatabaseUnavailableException unreachable(const std::string& error) {
  return DatabaseUnavailableException("the database is unreachable: " + errorTextOnOneLine(error));
}

bool succeeded(const PGresult* result) {
  ExecStatusType status = PQresultStatus(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// The answer that speaks for a round trip: its first failed result, else
// its last; a pipeline's later steps are only aborted by that failure.
const PGresult* verdict(const std::vector<PgResult>& answers) {
  for (const PgResult& answer : answers) {
    if (!succeeded(answer.get())) return answer.get();
  }
  return answers.empty() ? nullptr : answers.back().get();
}

// PQresStatus of the result's status; PQresultStatus reads a missing result
// as PGRES_FATAL_ERROR.
std::string statusName(const PGresult* result) { return PQresStatus(PQresultStatus(result)); }

// Pointers into params, which must outlive the array; no text is copied.
std::vector<const char*> parameterValues(const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& value : params) values.push_back(value.c_str());
  return values;
}

// The first line, the count line and one line per parameter, each after
// prefix, in one write: lines of other threads may come before or after
// them, never between.
void writeRequestLines(const std::string& prefix, const std::string& first,
                       const std::vector<std::string>& params) {
  std::string lines = prefix + first + "\n";
  lines += prefix + "nbr param: " + std::to_string(params.size()) + "\n";
  for (size_t i = 0; i < params.size(); ++i) {
    lines += prefix + "param " + std::to_string(i) + " : " + params[i] + "\n";
  }
  writeStandardOutput(lines);
}

bool isBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

namespace kivo {

std::string pgConnectionString(const std::string& host, const std::string& port,
                               const std::string& dbname, const std::string& user,
                               const std::string& password) {
  return "host=" + host + " port=" + port + " dbname=" + dbname + " user=" + user +
         " password=" + password;
}

std::string maskConnectionPassword(const std::string& conninfo) {
  for (size_t key = conninfo.find("password"); key != std::string::npos;
       key = conninfo.find("password", key + 1)) {
    size_t i = key + 8;
    while (i < conninfo.size() && isBlank(conninfo[i])) ++i;
    if (i == conninfo.size() || conninfo[i] != '=') continue;
    size_t value = i + 1;
    bool blankOnly = true;
    for (size_t j = value; j < conninfo.size(); ++j) blankOnly = blankOnly && isBlank(conninfo[j]);
    if (blankOnly) return conninfo;
    return conninfo.substr(0, value) + kMaskedPassword;
  }
  return conninfo;
}

std::string maskPasswordWords(const std::string& text, const std::string& conninfo) {
  std::string masked = maskConnectionPassword(conninfo);
  if (masked == conninfo) return text;
  // What the mask hid, word by word: libpq quotes a word it cannot read.
  std::string hidden = conninfo.substr(masked.size() - std::string(kMaskedPassword).size());
  std::string result = text;
  size_t i = 0;
  while (i < hidden.size()) {
    while (i < hidden.size() && isBlank(hidden[i])) ++i;
    size_t start = i;
    while (i < hidden.size() && !isBlank(hidden[i])) ++i;
    std::string word = hidden.substr(start, i - start);
    if (word.empty()) continue;
    for (size_t at = result.find(word); at != std::string::npos;
         at = result.find(word, at + std::string(kMaskedPassword).size())) {
      result.replace(at, word.size(), kMaskedPassword);
    }
  }
  return result;
}

}  // namespace kivo

pgSafeThread::pgSafeThread(std::string conninfo)
    : conninfo_(std::move(conninfo)),
      outage_(std::make_shared<ConnectionOutage>()),
      failures_(std::make_shared<kivo::FailureEpisodes>()) {
  connect();
}

pgSafeThread::pgSafeThread(std::string host, int port, std::string dbname, std::string user,
                           std::string password)
    : pgSafeThread(pgConnectionString(host, std::to_string(port), dbname, user, password)) {}

pgSafeThread::pgSafeThread(const pgSafeThread& first, SharingOutage)
    : conninfo_(first.conninfo_),
      outage_(first.outage_),
      failures_(first.failures_),
      report_(first.report_),
      slowAfter_(first.slowAfter_),
      stop_(first.stop_),
      events_(first.events_) {
  epoch_ = outage_->epoch();
  connect();
  for (const PreparedStatement& statement : first.prepared_) {
    prepareRequest(statement.name, statement.sql, statement.nParams);
  }
}

void pgSafeThread::connect() {
  connection_.reset(PQconnectdb(conninfo_.c_str()));
  writeStandardOutputLine("\t[PG CONSTRUCT] connexion");
  if (PQstatus(connection_.get()) == CONNECTION_OK) {
    encoding_ = pg_encoding_to_char(PQclientEncoding(connection_.get()));
    return;
  }
  // The password stays out of the message, which ends up in the system log.
  std::string message = maskPasswordWords(PQerrorMessage(connection_.get()), conninfo_) + "\n" +
                        maskConnectionPassword(conninfo_);
  writeStandardOutputLine("\t[PG CONSTRUCT]fin de connexion");
  connection_.reset();
  throw PostgresqlException(message);
}

pgSafeThread::~pgSafeThread() {
  connection_.reset();
  writeStandardOutputLine("\t[PG DESCONSTRUCT]fin de connexion");
}

void pgSafeThread::setOutageReport(OutageReport report) { report_ = std::move(report); }

void pgSafeThread::setReconnectPolicy(const ConnectionOutage::Policy& policy) {
  outage_->setPolicy(policy);
}

void pgSafeThread::setSlowStatementReport(std::chrono::milliseconds slowAfter) {
  slowAfter_ = slowAfter;
}

void pgSafeThread::setStopNotice(const StopNotice* stop) { stop_ = stop; }

void pgSafeThread::setEvents(Events events) { events_ = std::move(events); }

bool pgSafeThread::waitUntilConnected() { return outage_->waitUntilUp(); }

void pgSafeThread::interruptWaits() { outage_->interrupt(); }

void pgSafeThread::reportLost(const std::optional<std::string>& line) {
  if (!line) return;
  if (events_.lost) events_.lost();
  report("ERR", *line);
}

void pgSafeThread::reportRestored(const std::optional<std::string>& line) {
  if (!line) return;
  if (events_.back) events_.back();
  report("INFO", *line);
}

void pgSafeThread::report(const std::string& level, const std::string& line) {
  if (line.empty()) return;
  if (report_) {
    report_(level, line);
  } else {
    writeStandardOutputLine(level + " " + line);
  }
}

PgResult pgSafeThread::run(std::unique_lock<std::mutex>& hold, const std::string& name,
                           const Statement& statement) {
  return std::move(run(hold, name, statement, 0).back());
}

pgSafeThread::Answers pgSafeThread::run(std::unique_lock<std::mutex>& hold,
                                        const std::string& name, const Statement& statement,
                                        size_t steps) {
  std::chrono::milliseconds pause = kFirstPassingPause;
  for (;;) {
    hold.lock();
    // After the stop's deadline nothing new goes to the server.
    if (pastStopDeadline()) throw abandoned();
    if (connectedOrReconnected()) {
      const bool wasInTransaction = PQtransactionStatus(connection_.get()) != PQTRANS_IDLE;
      Answers answers = execute(name, statement, steps);
      const PGresult* result = verdict(answers);
      if (succeeded(result)) {
        if (auto ended = failures_->succeeded(name)) report("INFO", *ended);
        return answers;
      }
      if (PQstatus(connection_.get()) != CONNECTION_OK) {
        broken_ = true;
        reportLost(outage_->lost(PQerrorMessage(connection_.get())));
        // The transaction went with the connection: only its owner can run
        // it again, whole.
        if (wasInTransaction) throw interrupted(hold, PQerrorMessage(connection_.get()));
      } else if (!kivo::passingFailure(sqlStateOf(result))) {
        if (events_.refused) events_.refused();
        return answers;
      } else {
        if (events_.refused) events_.refused();
        if (auto line = failures_->failed(name, PQresultErrorMessage(result))) {
          report("ERR", *line);
        }
        // A failed statement spoils its transaction, and the pause would
        // keep its locks: the owner rolls back first, then tries again.
        if (wasInTransaction || PQtransactionStatus(connection_.get()) != PQTRANS_IDLE) {
          throw interrupted(hold, PQresultErrorMessage(result));
        }
        hold.unlock();
        if (!outage_->sleepFor(pause)) throw abandoned();
        pause = std::min(pause * 2, outage_->policy().maxDelay);
        continue;
      }
    }
    hold.unlock();
    if (!outage_->waitForAttempt()) throw abandoned();
  }
}

kivo::TransactionInterrupted pgSafeThread::interrupted(std::unique_lock<std::mutex>& hold,
                                                       const std::string& why) {
  kivo::TransactionInterrupted e("transaction interrupted: " + why);
  hold.unlock();
  return e;
}

bool pgSafeThread::transactionFailed() {
  std::lock_guard<std::mutex> hold(mutex_);
  return PQtransactionStatus(connection_.get()) == PQTRANS_INERROR;
}

bool pgSafeThread::pauseBeforeAttempt(int attempt) {
  std::chrono::milliseconds pause = kFirstPassingPause;
  for (int i = 0; i < attempt && pause < outage_->policy().maxDelay; ++i) pause *= 2;
  return outage_->sleepFor(std::min(pause, outage_->policy().maxDelay));
}

PgResult pgSafeThread::execute(const std::string& name, const Statement& statement) {
  return std::move(execute(name, statement, 0).back());
}

pgSafeThread::Answers pgSafeThread::execute(const std::string& name, const Statement& statement,
                                            size_t steps) {
  PGconn* connection = connection_.get();
  Answers answers;
  // Not sent: the connection failed, and PQerrorMessage says why.
  if (statement(connection) == 0) {
    endPipeline(steps);
    answers.resize(std::max<size_t>(steps, 1));
    return answers;
  }
  const Clock::time_point start = Clock::now();
  bool reported = false;
  bool cancelled = false;
  PgResult last;
  for (;;) {
    if (!awaitAnswer(name, start, &reported, &cancelled)) break;
    PGresult* next = PQgetResult(connection);
    if (next == nullptr) {
      // In a pipeline a null ends one step's results; the sync ends all.
      if (steps == 0 || PQstatus(connection) == CONNECTION_BAD) break;
      answers.push_back(std::move(last));
      continue;
    }
    ExecStatusType status = PQresultStatus(next);
    if (status == PGRES_PIPELINE_SYNC) {
      PQclear(next);
      break;
    }
    last.reset(next);
    if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH ||
        PQstatus(connection) == CONNECTION_BAD) {
      break;
    }
  }
  if (last != nullptr || steps == 0) answers.push_back(std::move(last));
  endPipeline(steps);
  // Steps never answered (the connection failed) have no result.
  answers.resize(std::max<size_t>(steps, 1));
  if (reported) {
    report("INFO", "database statement " + name + " ended after " +
                       secondsText(Clock::now() - start) + " s");
  }
  // A statement cancelled for the stop has not failed: its trap is not done.
  if (cancelled && !succeeded(verdict(answers))) throw abandoned();
  return answers;
}

void pgSafeThread::endPipeline(size_t steps) {
  if (steps == 0 || PQpipelineStatus(connection_.get()) == PQ_PIPELINE_OFF) return;
  // A connection left in pipeline mode cannot run a plain statement: it is
  // made again before its next one.
  if (PQexitPipelineMode(connection_.get()) == 0) broken_ = true;
}

bool pgSafeThread::awaitAnswer(const std::string& name, Clock::time_point start, bool* reported,
                               bool* cancelled) {
  PGconn* connection = connection_.get();
  Clock::time_point cancelledAt;
  while (PQisBusy(connection)) {
    Clock::time_point now = Clock::now();
    if (!*reported && slowAfter_.count() > 0 && now - start >= slowAfter_) {
      *reported = true;
      report("ERR", "database statement " + name + " waiting for " + secondsText(now - start) +
                        " s");
    }
    if (!*cancelled && pastStopDeadline()) {
      cancelRunning(name);
      *cancelled = true;
      cancelledAt = now;
    }
    if (*cancelled && now - cancelledAt >= kCancelPatience) {
      // The server does not answer even the cancel: the connection is given
      // up, and the stop goes on.
      broken_ = true;
      reportLost(outage_->lost("statement " + name + " abandoned at the stop"));
      connection_.reset();
      throw abandoned();
    }
    Clock::time_point wake = Clock::time_point::max();
    if (!*reported && slowAfter_.count() > 0) wake = std::min(wake, start + slowAfter_);
    bool stopBegun = stop_ != nullptr && stop_->begun();
    if (!*cancelled && stopBegun) wake = std::min(wake, stop_->deadline());
    if (*cancelled) wake = std::min(wake, cancelledAt + kCancelPatience);
    pollfd watched[2] = {{PQsocket(connection), POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    if (stop_ != nullptr && !stopBegun && stop_->fd() >= 0) {
      watched[1].fd = stop_->fd();
      count = 2;
    }
    int ready = ::poll(watched, count, millisecondsUntil(wake, now));
    // A failed read means a failed connection; the next result says why.
    if (ready > 0 && watched[0].revents != 0 && PQconsumeInput(connection) == 0) return true;
  }
  return true;
}

bool pgSafeThread::pastStopDeadline() const {
  return stop_ != nullptr && stop_->begun() && Clock::now() >= stop_->deadline();
}

void pgSafeThread::cancelRunning(const std::string& name) {
  report("ERR", "database statement " + name + " still running at the stop's deadline: cancelled");
  PGcancel* cancel = PQgetCancel(connection_.get());
  if (cancel == nullptr) return;
  char error[256];
  (void)PQcancel(cancel, error, sizeof error);
  PQfreeCancel(cancel);
}

bool pgSafeThread::connectedOrReconnected() {
  bool down = outage_->down();
  // A connection made before the latest outage began may be broken too;
  // it is made again quietly, unless the outage still lasts.
  if (!down && !broken_ && epoch_ == outage_->epoch()) return true;
  // After the stop began nobody waits for an attempt any more.
  if (down && (outage_->interrupted() || !outage_->attemptDue())) return false;
  unsigned long epoch = outage_->epoch();
  PgConnection fresh(PQconnectdb(conninfo_.c_str()));
  std::string failure = PQstatus(fresh.get()) == CONNECTION_OK ? prepareAgain(fresh.get())
                                                                : PQerrorMessage(fresh.get());
  if (!failure.empty()) {
    broken_ = true;
    // Found gone by a connection that had not failed itself: the outage
    // begins here.
    reportLost(outage_->lost(failure));
    if (auto still = outage_->attemptFailed(failure)) report("ERR", *still);
    return false;
  }
  connection_ = std::move(fresh);
  broken_ = false;
  epoch_ = epoch;
  encoding_ = pg_encoding_to_char(PQclientEncoding(connection_.get()));
  reportRestored(outage_->restored());
  return true;
}

std::string pgSafeThread::prepareAgain(PGconn* fresh) {
  for (const PreparedStatement& statement : prepared_) {
    PgResult result(PQprepare(fresh, statement.name.c_str(), statement.sql.c_str(),
                              statement.nParams, nullptr));
    if (succeeded(result.get())) continue;
    if (PQstatus(fresh) != CONNECTION_OK) return PQerrorMessage(fresh);
    // The server refuses what it took before (a schema changed behind a
    // failover): the statement's own runs will report it.
    report("ERR", "statement " + statement.name + " not prepared again: " +
                      errorTextOnOneLine(PQerrorMessage(fresh)));
  }
  return "";
}

PGresult* pgSafeThread::executeRequest(const std::string& sql) {
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result =
      run(hold, statementLabel(sql), [&sql](PGconn* c) { return PQsendQuery(c, sql.c_str()); });
  return executeRequestEnd(hold, std::move(result));
}

PGresult* pgSafeThread::executeRequestEnd(std::unique_lock<std::mutex>& hold, PgResult result) {
  writeStandardOutputLine("\t[PG EXEC] status: " + statusName(result.get()));
  if (succeeded(result.get())) return result.release();
  std::string error = PQerrorMessage(connection_.get());
  std::string state = sqlStateOf(result.get());
  hold.unlock();
  result.reset();
  throw PostgresqlException(kExecuteFailed + error, state);
}

PGresult* pgSafeThread::executeRequestWithoutWaiting(const std::string& sql) {
  const std::string name = statementLabel(sql);
  std::unique_lock<std::mutex> hold(mutex_);
  if (pastStopDeadline()) throw abandoned();
  if (outage_->down()) throw unreachable("the connection is down, waiting for the server");
  bool reconnected = false;
  for (;;) {
    // As connectedOrReconnected sees it, but with one attempt and no outage.
    if (broken_ || epoch_ != outage_->epoch() || PQstatus(connection_.get()) != CONNECTION_OK) {
      if (reconnected) throw unreachable(PQerrorMessage(connection_.get()));
      reconnectOnce();
      reconnected = true;
    }
    PgResult result = execute(name, [&sql](PGconn* c) { return PQsendQuery(c, sql.c_str()); });
    if (PQstatus(connection_.get()) != CONNECTION_OK) {
      broken_ = true;
      continue;
    }
    return executeRequestEnd(hold, std::move(result));
  }
}

void pgSafeThread::reconnectOnce() {
  unsigned long epoch = outage_->epoch();
  PgConnection fresh(PQconnectdb(conninfo_.c_str()));
  std::string failure = PQstatus(fresh.get()) == CONNECTION_OK ? prepareAgain(fresh.get())
                                                                : PQerrorMessage(fresh.get());
  if (!failure.empty()) {
    broken_ = true;
    throw unreachable(maskPasswordWords(failure, conninfo_));
  }
  connection_ = std::move(fresh);
  broken_ = false;
  epoch_ = epoch;
  encoding_ = pg_encoding_to_char(PQclientEncoding(connection_.get()));
}

PGresult* pgSafeThread::executeParamRequest(const std::string& sql,
                                            const std::vector<std::string>& params) {
  std::vector<const char*> values = parameterValues(params);
  writeRequestLines("\t[PG EXEC PARAM] ", "request: " + sql, params);
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, statementLabel(sql), [&sql, &values](PGconn* c) {
    return PQsendQueryParams(c, sql.c_str(), static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0);
  });
  if (succeeded(result.get())) return result.release();
  writeStandardOutputLine("\t[PG EXEC PARAM] status: " + statusName(result.get()));
  std::string error = PQresultErrorMessage(result.get());
  std::string state = sqlStateOf(result.get());
  hold.unlock();
  result.reset();
  throw PostgresqlException(kExecuteParamFailed + error, state);
}

std::vector<PgResult> pgSafeThread::executePipeline(const std::vector<PipelineStep>& steps) {
  std::vector<std::vector<const char*>> values;
  for (const PipelineStep& step : steps) {
    values.push_back(parameterValues(step.params));
    if (step.prepared.empty()) {
      writeRequestLines("\t[PG EXEC PARAM] ", "request: " + step.sql, step.params);
    } else {
      writeRequestLines("\t[PG EXEC PREPARERESQUEST] ", "request name : " + step.prepared,
                        step.params);
    }
  }
  // Named in the log by its steps' names, in order.
  std::string name;
  for (const PipelineStep& step : steps) {
    name += (name.empty() ? "" : ", ") +
            (step.prepared.empty() ? statementLabel(step.sql) : step.prepared);
  }
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  Answers answers = run(
      hold, name,
      [&steps, &values](PGconn* c) {
        if (PQenterPipelineMode(c) == 0) return 0;
        for (size_t i = 0; i < steps.size(); ++i) {
          const int count = static_cast<int>(values[i].size());
          const int sent =
              steps[i].prepared.empty()
                  ? PQsendQueryParams(c, steps[i].sql.c_str(), count, nullptr, values[i].data(),
                                      nullptr, nullptr, 0)
                  : PQsendQueryPrepared(c, steps[i].prepared.c_str(), count, values[i].data(),
                                        nullptr, nullptr, 0);
          if (sent == 0) return 0;
        }
        return PQpipelineSync(c);
      },
      steps.size());
  return answers;
}

void pgSafeThread::throwIfFailed(const PipelineStep& step, const PGresult* result) {
  if (succeeded(result)) return;
  const std::string error = result != nullptr ? PQresultErrorMessage(result) : "";
  if (step.prepared.empty()) {
    writeStandardOutputLine("\t[PG EXEC PARAM] status: " + statusName(result));
    throw PostgresqlException(kExecuteParamFailed + error, sqlStateOf(result));
  }
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] status: " + statusName(result) + ":" +
                          error);
  throw PostgresqlException(kExecutePreparedFailed + error, sqlStateOf(result));
}

void pgSafeThread::prepareRequest(const std::string& name, const std::string& sql, int nParams) {
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, name, [&name, &sql, nParams](PGconn* c) {
    return PQsendPrepare(c, name.c_str(), sql.c_str(), nParams, nullptr);
  });
  if (succeeded(result.get())) {
    prepared_.push_back({name, sql, nParams});
    return;
  }
  std::string error = PQerrorMessage(connection_.get());
  std::string state = sqlStateOf(result.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG PREPAREREQUEST] status: " + statusName(result.get()));
  result.reset();
  throw PostgresqlException(kPrepareFailed + error, state);
}

void pgSafeThread::prepareRequest(const std::string& name, const std::string& sql) {
  prepareRequest(name, sql, 0);
}

PGresult* pgSafeThread::executePrepareRequest(const std::string& name,
                                              const std::vector<std::string>& params) {
  std::vector<const char*> values = parameterValues(params);
  writeRequestLines("\t[PG EXEC PREPARERESQUEST] ", "request name : " + name, params);
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, name, [&name, &values](PGconn* c) {
    return PQsendQueryPrepared(c, name.c_str(), static_cast<int>(values.size()), values.data(),
                               nullptr, nullptr, 0);
  });
  if (succeeded(result.get())) return result.release();
  std::string error = PQresultErrorMessage(result.get());
  std::string state = sqlStateOf(result.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] status: " + statusName(result.get()) + ":" +
                          error);
  result.reset();
  throw PostgresqlException(kExecutePreparedFailed + error, state);
}

PGresult* pgSafeThread::executePrepareRequest(const std::string& name) {
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, name, [&name](PGconn* c) {
    return PQsendQueryPrepared(c, name.c_str(), 0, nullptr, nullptr, nullptr, 0);
  });
  if (succeeded(result.get())) return result.release();
  std::string error = PQresultErrorMessage(result.get());
  std::string state = sqlStateOf(result.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] status: " + statusName(result.get()));
  result.reset();
  throw PostgresqlException(kExecutePreparedFailed + error, state);
}

std::string pgSafeThread::getClientEncoding() {
  std::lock_guard<std::mutex> hold(mutex_);
  // A broken connection no longer knows its encoding; the last one seen
  // is the one the next connection will have.
  if (PQstatus(connection_.get()) != CONNECTION_OK) return encoding_;
  return pg_encoding_to_char(PQclientEncoding(connection_.get()));
}
