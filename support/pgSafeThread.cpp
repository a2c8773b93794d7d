#include "support/pgSafeThread.h"

#include <ctype.h>

#include <utility>

#include "support/exceptions.h"
#include "support/standardOutput.h"

namespace {

const char* const kExecuteFailed = "execute failed:  ";
const char* const kExecuteParamFailed = "Execute failed:  ";
const char* const kPrepareFailed = "prepare failed:  ";
const char* const kExecutePreparedFailed = "Exec prepareRequest failed:  ";
const char* const kMaskedPassword = "********";

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
  std::string masked;
  size_t copied = 0;  // conninfo[0, copied) is in masked
  size_t i = 0;
  const size_t n = conninfo.size();
  while (i < n) {
    while (i < n && isBlank(conninfo[i])) ++i;
    if (i == n) break;
    size_t keyStart = i;
    while (i < n && !isBlank(conninfo[i]) && conninfo[i] != '=') ++i;
    std::string key = conninfo.substr(keyStart, i - keyStart);
    while (i < n && isBlank(conninfo[i])) ++i;
    // Not a pair: libpq rejects the string, and the rest stays as it is.
    if (i == n || conninfo[i] != '=') break;
    ++i;
    while (i < n && isBlank(conninfo[i])) ++i;
    size_t valueStart = i;
    bool quoted = i < n && conninfo[i] == '\'';
    if (quoted) {
      ++i;
      while (i < n && conninfo[i] != '\'') i += (conninfo[i] == '\\' && i + 1 < n) ? 2 : 1;
      if (i < n) ++i;
    } else {
      while (i < n && !isBlank(conninfo[i])) i += (conninfo[i] == '\\' && i + 1 < n) ? 2 : 1;
    }
    size_t valueLength = i - valueStart;
    bool empty = valueLength == 0 || (quoted && valueLength == 2);
    if (key == "password" && !empty) {
      masked.append(conninfo, copied, valueStart - copied);
      masked += kMaskedPassword;
      copied = i;
    }
  }
  masked.append(conninfo, copied, std::string::npos);
  return masked;
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
  if (PQstatus(connection_.get()) == CONNECTION_OK) return;
  // The password stays out of the message, which ends up in the system log.
  std::string message = std::string(PQerrorMessage(connection_.get())) + "\n" +
                        maskConnectionPassword(conninfo_);
  writeStandardOutputLine("\t[PG CONSTRUCT]fin de connexion");
  connection_.reset();
  throw PostgresqlException(message);
}

pgSafeThread::~pgSafeThread() {
  connection_.reset();
  writeStandardOutputLine("\t[PG DESCONSTRUCT]fin de connexion");
}

PGresult* pgSafeThread::executeRequest(const std::string& sql) {
  std::unique_lock<std::mutex> hold(mutex_);
  PgResult result(PQexec(connection_.get(), sql.c_str()));
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
  std::unique_lock<std::mutex> hold(mutex_);
  PgResult result(PQexecParams(connection_.get(), sql.c_str(), static_cast<int>(values.size()),
                               nullptr, values.data(), nullptr, nullptr, 0));
  if (succeeded(result.get())) return result.release();
  writeStandardOutputLine("\t[PG EXEC PARAM] status: " + statusName(result.get()));
  std::string error = PQresultErrorMessage(result.get());
  hold.unlock();
  result.reset();
  throw PostgresqlException(kExecuteParamFailed + error);
}

void pgSafeThread::prepareRequest(const std::string& name, const std::string& sql, int nParams) {
  std::unique_lock<std::mutex> hold(mutex_);
  PgResult result(PQprepare(connection_.get(), name.c_str(), sql.c_str(), nParams, nullptr));
  if (succeeded(result.get())) return;
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
  std::unique_lock<std::mutex> hold(mutex_);
  PgResult result(PQexecPrepared(connection_.get(), name.c_str(), static_cast<int>(values.size()),
                                 values.data(), nullptr, nullptr, 0));
  if (succeeded(result.get())) return result.release();
  std::string error = PQresultErrorMessage(result.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] status: " + statusName(result.get()) + ":" +
                          error);
  result.reset();
  throw PostgresqlException(kExecutePreparedFailed + error);
}

PGresult* pgSafeThread::executePrepareRequest(const std::string& name) {
  std::unique_lock<std::mutex> hold(mutex_);
  PgResult result(PQexecPrepared(connection_.get(), name.c_str(), 0, nullptr, nullptr, nullptr, 0));
  if (succeeded(result.get())) return result.release();
  std::string error = PQresultErrorMessage(result.get());
  hold.unlock();
  writeStandardOutputLine("\t[PG EXEC PREPARERESQUEST] status: " + statusName(result.get()));
  result.reset();
  throw PostgresqlException(kExecutePreparedFailed + error);
}

std::string pgSafeThread::getClientEncoding() {
  std::lock_guard<std::mutex> hold(mutex_);
  return pg_encoding_to_char(PQclientEncoding(connection_.get()));
}
