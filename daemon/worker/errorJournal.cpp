#include "daemon/worker/errorJournal.h"

#include "daemon/base/daemonGlobals.h"
#include "daemon/base/systemLog.h"
#include "daemon/worker/workerParts.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/connectionPool.h"
#include "support/errorRepeats.h"
#include "support/pgSafeThread.h"
#include "support/utf8Text.h"

using kivo::JournalStatement;
using kivo::PgResult;
using kivo::textForEncoding;

namespace {

const char* const kUpdateState = "UpdateState";
const char* const kInsertErrorHappen = "InsertErrorHappen";
const char* const kAcquitteErrorHappen = "AcquitteErrorHappen";
const char* const kCheckErrorHappen = "CheckErrorHappen";

// "CheckErrorHappen" names the newest open record: the alerting program of a
// trap gets the record that this trap has just opened, and the server reads
// one row of the partial index on open records instead of all of them.
const std::vector<JournalStatement> kStatements = {
    {kUpdateState,
     "UPDATE kivo_services SET service_previous_state=$1::int, "
     "service_last_exec_time=now(),service_last_stdout=$2 WHERE service_id=$3::int;",
     3},
    {kInsertErrorHappen,
     "INSERT INTO kivo_error_happen(happen_id,happen_error_id, "
     "happen_device_id,happen_service_id, happen_timestamp,happen_message, "
     "happen_acquitte, happen_value)VALUES (DEFAULT,$1::int, $2::int, "
     "$3::int,now(),$4::varchar, 0,0);",
     4},
    {kAcquitteErrorHappen,
     "UPDATE kivo_error_happen SET happen_acquitte=1, happen_time_acquitte=now() "
     "WHERE happen_id=$1::int",
     1},
    {kCheckErrorHappen,
     "SELECT happen_id FROM kivo_error_happen WHERE happen_device_id=$1::int AND "
     "happen_service_id=$2::int AND happen_acquitte=0 ORDER BY happen_id DESC LIMIT 1",
     2},
};

// The connection of the trap at hand: the one its worker leased, or pgSQL.
pgSafeThread& db() { return kivo::currentConnection(*pgSQL); }

// The journal's failures that last are told once per statement and kind,
// by the workers' tracker; with no parts in use every failure is told.
kivo::ErrorRepeats* journalRepeats() {
  const kivo::WorkerParts* parts = kivo::workerParts();
  return parts != nullptr ? &parts->journalRepeats : nullptr;
}

// A failed statement: its line (the caller's text) the first time, then
// counts.
void reportFailure(const char* statement, const std::string& line,
                   const PostgresqlException& e) {
  kivo::ErrorRepeats* repeats = journalRepeats();
  if (repeats == nullptr) {
    write_log("ERR", line);
    return;
  }
  kivo::ErrorRepeats::Verdict verdict =
      repeats->failed(statement, e.sqlState.empty() ? e.what() : e.sqlState);
  if (verdict.tell) write_log("ERR", line);
  if (verdict.countLine) write_log("ERR", *verdict.countLine);
}

void reportSuccess(const char* statement) {
  kivo::ErrorRepeats* repeats = journalRepeats();
  if (repeats == nullptr) return;
  std::optional<std::string> counted = repeats->succeeded(statement);
  if (counted) write_log("INFO", *counted + ", then succeeded");
}

// Open records of the service: at most one row, the newest.
PgResult checkErrorHappen(service const& s) {
  return PgResult(db().executePrepareRequest(
      kCheckErrorHappen, {intToString(s.GetDevice_id()), intToString(s.GetService_id())}));
}

// A plug-in's output as the server takes it: a stray byte must not cost the
// run its state or its record.
std::string storedOutput(service const& s) {
  return textForEncoding(s.GetStdout(), db().getClientEncoding());
}

}  // namespace

const std::vector<JournalStatement>& kivo::journalStatements() { return kStatements; }

void kivo::prepareJournalStatements(pgSafeThread& db) {
  for (const JournalStatement& statement : kStatements) {
    db.prepareRequest(statement.name, statement.sql, statement.nParams);
  }
}

std::string kivo::errorKindQuery() {
  return std::string("SELECT error_id,error_name") + " FROM kivo_errors" +
         " WHERE error_name='default_critical_error' OR error_name='default_warning_error' OR "
         "error_name='default_unknow_error';";
}

void kivo::loadErrorKinds(pgSafeThread& db) {
  PgResult result(db.executeRequest(errorKindQuery()));
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    map_error[PQgetvalue(result.get(), row, 1)] = PQgetvalue(result.get(), row, 0);
  }
}

pgSafeThread::PipelineStep kivo::storeRunStep(service const& s) {
  return {kUpdateState, "",
          {intToString(s.GetReturnCode()), storedOutput(s), intToString(s.GetService_id())}};
}

void updateService(service const& s) {
  const pgSafeThread::PipelineStep step = kivo::storeRunStep(s);
  PgResult result(db().executePrepareRequest(step.prepared, step.params));
}

namespace {

template <class Update>
bool reportRun(service const& s, Update update) {
  try {
    update();
    reportSuccess(kUpdateState);
    return true;
  } catch (const PostgresqlException& e) {
    reportFailure(kUpdateState,
                  "UpdateState failed for service " + intToString(s.GetService_id()) + ": " +
                      e.what(),
                  e);
    return false;
  }
}

}  // namespace

bool kivo::storeRun(service const& s) {
  return reportRun(s, [&s] { updateService(s); });
}

bool kivo::storedRun(service const& s, const PGresult* result) {
  return reportRun(s, [result] { pgSafeThread::throwIfFailed({kUpdateState, "", {}}, result); });
}

bool kivo::insertErrorRecord(service const& s, int code) {
  try {
    PgResult result(db().executePrepareRequest(
        kInsertErrorHappen, {getErrorId(code), intToString(s.GetDevice_id()),
                             intToString(s.GetService_id()), storedOutput(s)}));
    reportSuccess(kInsertErrorHappen);
    return true;
  } catch (const PostgresqlException& e) {
    reportFailure(kInsertErrorHappen, "insert error failed:  " + std::string(e.what()), e);
    return false;
  }
}

void InsertError(service const& s, int code) { (void)kivo::insertErrorRecord(s, code); }

void AcquitteError(service const& s, int previous) {
  if (previous == 0) return;
  const char* statement = kCheckErrorHappen;
  try {
    PgResult open = checkErrorHappen(s);
    if (PQntuples(open.get()) > 0) {
      statement = kAcquitteErrorHappen;
      PgResult acknowledged(
          db().executePrepareRequest(kAcquitteErrorHappen, {PQgetvalue(open.get(), 0, 0)}));
    }
    reportSuccess(statement);
  } catch (const PostgresqlException& e) {
    reportFailure(statement,
                  "EXEC AcquitteErrorHappen failed in function AcquitteError: " +
                      std::string(e.what()),
                  e);
  }
}

double getHappenError(service const& s) {
  try {
    PgResult open = checkErrorHappen(s);
    reportSuccess(kCheckErrorHappen);
    if (PQntuples(open.get()) == 0) return -1;
    return stringToDouble(PQgetvalue(open.get(), 0, 0));
  } catch (const PostgresqlException& e) {
    reportFailure(kCheckErrorHappen,
                  "EXEC CheckErrorHappen failed in function getHappenError: " +
                      std::string(e.what()),
                  e);
    return -1;
  }
}

std::string getErrorId(int code) {
  const char* kind = nullptr;
  switch (code) {
    case 1: kind = "default_warning_error"; break;
    case 2: kind = "default_critical_error"; break;
    case 3: kind = "default_unknow_error"; break;
    default: return "";
  }
  auto found = map_error.find(kind);
  return found == map_error.end() ? "" : found->second;
}
