// The service state and the error journal: what a trap's plug-in run leaves
// in the database, through the four statements that start-up prepares on
// pgSQL, and the error-kind map map_error that start-up fills.
//
// The journal functions run on every worker thread at once, each on the
// connection its worker leased for the trap at hand (kivo::ConnectionPool),
// or on pgSQL. Each statement is serialized by the connection's own mutex. map_error is read without a
// lock: start-up fills it before the first worker starts. All of them need
// pgSQL connected, with the statements prepared.
#ifndef KIVO_DAEMON_WORKER_ERRORJOURNAL_H
#define KIVO_DAEMON_WORKER_ERRORJOURNAL_H

#include <string>
#include <vector>

#include "services/service.h"
#include "support/pgSafeThread.h"

namespace kivo {

// One statement of the journal, prepared once per connection.
struct JournalStatement {
  const char* name;
  const char* sql;
  int nParams;
};

// "UpdateState", "InsertErrorHappen", "AcquitteErrorHappen" and
// "CheckErrorHappen", in the order of their preparation.
const std::vector<JournalStatement>& journalStatements();

// Prepares the journal statements on db, in order. The first failure's
// PostgresqlException ("prepare failed:  " ...) goes to the caller, and the
// statements after it are not prepared.
void prepareJournalStatements(pgSafeThread& db);

// The query of the three error kinds that the daemon uses, as
// "error_id,error_name" rows.
std::string errorKindQuery();

// Runs errorKindQuery() on db and stores each row's name with its id in
// map_error, a later row replacing an earlier one of the same name. A failed
// query's PostgresqlException ("execute failed:  " ...) goes to the caller,
// map_error unchanged.
void loadErrorKinds(pgSafeThread& db);

}  // namespace kivo

// Stores the run's return code, the time and the run's output in the
// service's row. PostgresqlException goes to the caller. Here and in
// InsertError the output is sent without NUL bytes and, on a UTF8
// connection, with each invalid byte replaced by U+FFFD.
void updateService(service const& s);

// Opens an error record of the error kind of code for the service, with the
// run's output as its message. A failure is written to the system log (ERR
// "insert error failed:  " ...) and not passed on.
void InsertError(service const& s, int code);

namespace kivo {

// updateService, with a failure written to the system log (ERR "UpdateState
// failed for service ID: " ...) rather than passed on. False on failure.
bool storeRun(service const& s);
// updateService as a step of a pipeline, and storeRun's report of its
// result: one round trip fewer for a trap's transaction.
pgSafeThread::PipelineStep storeRunStep(service const& s);
bool storedRun(service const& s, const PGresult* result);

// InsertError, telling whether the record was written.
bool insertErrorRecord(service const& s, int code);

}  // namespace kivo

// Failures of the journal's statements that last (a missing privilege, a
// missing column) are written once per statement and error kind, then
// counted: an ERR line with the count at most every minute while they go on,
// and an INFO line with the rest once the statement succeeds again.

// Acknowledges the newest open record of the service, unless previous is 0,
// in which case no statement runs. A failure is written to the system log
// (ERR "EXEC AcquitteErrorHappen failed in function AcquitteError: " ...)
// and not passed on; the record stays open.
void AcquitteError(service const& s, int previous);

// The happen_id of the newest open record of the service, or -1 when it has
// none or the lookup fails (written to the system log as ERR "EXEC
// CheckErrorHappen failed in function getHappenError: " ...).
double getHappenError(service const& s);

// The error_id text of the error kind of a return code (1 warning,
// 2 critical, 3 unknown) from map_error; "" for any other code or a kind
// missing from the map.
std::string getErrorId(int code);

#endif
