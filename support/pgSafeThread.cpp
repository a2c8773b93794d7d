#include "support/pgSafeThread.h"

#include <ctype.h>

#include <utility>

#include "support/exceptions.h"
#include "support/metrics.h"
#include "support/standardOutput.h"

namespace {

const char* const kExecuteFailed = "execute failed:  ";
const char* const kExecuteParamFailed = "Execute failed:  ";
const char* const kPrepareFailed = "prepare failed:  ";
const char* const kExecutePreparedFailed = "Exec prepareRequest failed:  ";
const char* const kMaskedPassword = "********";

DatabaseUnavailableException abandoned() {
  return DatabaseUnavailableException(
      "statement abandoned: the database is unreachable and the daemon is stopping");
}

bool succeeded(const PGresult* result) {
  ExecStatusType status = PQresultStatus(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
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

// The count line and one line per parameter, each after prefix.
void writeParameterLines(const std::string& prefix, const std::vector<std::string>& params) {
  writeStandardOutputLine(prefix + "nbr param: " + std::to_string(params.size()));
  for (size_t i = 0; i < params.size(); ++i) {
    writeStandardOutputLine(prefix + "param " + std::to_string(i) + " : " + params[i]);
  }
}

bool isBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

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

pgSafeThread::pgSafeThread(std::string conninfo) : conninfo_(std::move(conninfo)) { connect(); }

pgSafeThread::pgSafeThread(std::string host, int port, std::string dbname, std::string user,
                           std::string password)
    : conninfo_(pgConnectionString(host, std::to_string(port), dbname, user, password)) {
  connect();
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
  outage_.setPolicy(policy);
}

bool pgSafeThread::waitUntilConnected() { return outage_.waitUntilUp(); }

void pgSafeThread::interruptWaits() { outage_.interrupt(); }

void pgSafeThread::report(const std::string& level, const std::string& line) {
  if (line.empty()) return;
  if (report_) {
    report_(level, line);
  } else {
    writeStandardOutputLine(level + " " + line);
  }
}

PgResult pgSafeThread::run(std::unique_lock<std::mutex>& hold, const Statement& statement) {
  for (;;) {
    hold.lock();
    if (connectedOrReconnected()) {
      PgResult result(statement(connection_.get()));
      if (!succeeded(result.get()) && PQstatus(connection_.get()) == CONNECTION_OK) {
        kivo::metrics().databaseStatementRefused();
      }
      if (succeeded(result.get()) || PQstatus(connection_.get()) == CONNECTION_OK) return result;
      report("ERR", outage_.lost(PQerrorMessage(connection_.get())));
      kivo::metrics().databaseLost();
    }
    hold.unlock();
    if (!outage_.waitForAttempt()) throw abandoned();
  }
}

bool pgSafeThread::connectedOrReconnected() {
  if (!outage_.down()) return true;
  // After the stop began nobody waits for an attempt any more.
  if (outage_.interrupted() || !outage_.attemptDue()) return false;
  PgConnection fresh(PQconnectdb(conninfo_.c_str()));
  std::string failure = PQstatus(fresh.get()) == CONNECTION_OK ? prepareAgain(fresh.get())
                                                                : PQerrorMessage(fresh.get());
  if (!failure.empty()) {
    report("ERR", outage_.attemptFailed(failure));
    return false;
  }
  connection_ = std::move(fresh);
  encoding_ = pg_encoding_to_char(PQclientEncoding(connection_.get()));
  report("INFO", outage_.restored());
  kivo::metrics().databaseBack();
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
  PgResult result = run(hold, [&sql](PGconn* c) { return PQexec(c, sql.c_str()); });
  writeStandardOutputLine("\t[PG EXEC] status: " + statusName(result.get()));
  if (succeeded(result.get())) return result.release();
  std::string error = PQerrorMessage(connection_.get());
  hold.unlock();
  result.reset();
  throw PostgresqlException(kExecuteFailed + error);
}

PGresult* pgSafeThread::executeParamRequest(const std::string& sql,
                                            const std::vector<std::string>& params) {
  std::vector<const char*> values = parameterValues(params);
  writeStandardOutputLine("\t[PG EXEC PARAM] request: " + sql);
  writeParameterLines("\t[PG EXEC PARAM] ", params);
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, [&sql, &values](PGconn* c) {
    return PQexecParams(c, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                        nullptr, nullptr, 0);
  });
  if (succeeded(result.get())) return result.release();
  writeStandardOutputLine("\t[PG EXEC PARAM] status: " + statusName(result.get()));
  std::string error = PQresultErrorMessage(result.get());
  hold.unlock();
  result.reset();
  throw PostgresqlException(kExecuteParamFailed + error);
}

void pgSafeThread::prepareRequest(const std::string& name, const std::string& sql, int nParams) {
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, [&name, &sql, nParams](PGconn* c) {
    return PQprepare(c, name.c_str(), sql.c_str(), nParams, nullptr);
  });
  if (succeeded(result.get())) {
    prepared_.push_back({name, sql, nParams});
    return;
  }
  std::string error = PQerrorMessage(connection_.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG PREPAREREQUEST] status: " + statusName(result.get()));
  result.reset();
  throw PostgresqlException(kPrepareFailed + error);
}

void pgSafeThread::prepareRequest(const std::string& name, const std::string& sql) {
  prepareRequest(name, sql, 0);
}

PGresult* pgSafeThread::executePrepareRequest(const std::string& name,
                                              const std::vector<std::string>& params) {
  std::vector<const char*> values = parameterValues(params);
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] request name : " + name);
  writeParameterLines("\t[PG EXEC PREPARERESQUEST] ", params);
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, [&name, &values](PGconn* c) {
    return PQexecPrepared(c, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                          nullptr, 0);
  });
  if (succeeded(result.get())) return result.release();
  std::string error = PQresultErrorMessage(result.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] status: " + statusName(result.get()) + ":" +
                          error);
  result.reset();
  throw PostgresqlException(kExecutePreparedFailed + error);
}

PGresult* pgSafeThread::executePrepareRequest(const std::string& name) {
  std::unique_lock<std::mutex> hold(mutex_, std::defer_lock);
  PgResult result = run(hold, [&name](PGconn* c) {
    return PQexecPrepared(c, name.c_str(), 0, nullptr, nullptr, nullptr, 0);
  });
  if (succeeded(result.get())) return result.release();
  std::string error = PQresultErrorMessage(result.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] status: " + statusName(result.get()));
  result.reset();
  throw PostgresqlException(kExecutePreparedFailed + error);
}

std::string pgSafeThread::getClientEncoding() {
  std::lock_guard<std::mutex> hold(mutex_);
  // A broken connection no longer knows its encoding; the last one seen
  // is the one the next connection will have.
  if (PQstatus(connection_.get()) != CONNECTION_OK) return encoding_;
  return pg_encoding_to_char(PQclientEncoding(connection_.get()));
}
