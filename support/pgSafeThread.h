// The one connection to the PostgreSQL server, shared by every thread of the
// daemon.
//
// The object owns the libpq connection from construction (connected, or
// the constructor throws) to destruction; it never reconnects. Every
// operation holds the object's mutex for the libpq calls on the connection
// and the reading of their error text, so statements of different threads
// run one after the other and each reads its own error. The mutex is not
// recursive and no operation calls another while holding it. The destructor
// takes no lock: it must run once no other thread uses the object.
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

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct PgConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct PgResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};

using PgConnection = std::unique_ptr<PGconn, PgConnectionCloser>;
// Owner of a result: callers wrap the PGresult* that an operation returns.
using PgResult = std::unique_ptr<PGresult, PgResultClearer>;

class pgSafeThread {
 public:
  // Connects with a libpq connection string. On failure writes both
  // constructor trace lines and throws PostgresqlException: libpq's text, a
  // line feed, and the connection string with its password masked.
  explicit pgSafeThread(std::string conninfo);
  // Connects with "host=H port=P dbname=D user=U password=W", the values
  // inserted as they are.
  pgSafeThread(std::string host, int port, std::string dbname, std::string user,
               std::string password);
  virtual ~pgSafeThread();

  pgSafeThread(const pgSafeThread&) = delete;
  pgSafeThread& operator=(const pgSafeThread&) = delete;

  // Runs sql. The result belongs to the caller.
  PGresult* executeRequest(const std::string& sql);
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
  // The name of the connection's client encoding, for instance "UTF8".
  std::string getClientEncoding();

  const std::string& connectionString() const { return conninfo_; }

 private:
  void connect();

  PgConnection connection_;
  const std::string conninfo_;
  std::mutex mutex_;
};

// The connection string of the five-argument constructor: the pairs in that
// order, one blank between them, the values unquoted.
std::string pgConnectionString(const std::string& host, const std::string& port,
                               const std::string& dbname, const std::string& user,
                               const std::string& password);

// conninfo with the value of every non-empty "password" pair replaced by
// "********". Pairs are read as libpq reads them: blanks between pairs,
// blanks allowed around "=", a value either unquoted (up to the next blank,
// a backslash taking the next character as it is) or between apostrophes.
std::string maskConnectionPassword(const std::string& conninfo);

#endif
