// A fresh database for one test, made from the schema-loaded template of
// the cluster that the test run starts (testing/pgcluster.sh) and dropped
// when the holder goes. CTest names the cluster's directory DIR in
// KIVO_TEST_PGDIR (socket DIR/socket, port in DIR/port); without one the
// constructor throws std::runtime_error saying how to start it, so that a
// database test fails instead of passing unseen.
//
// The holder keeps its own connection for setting up and inspecting rows;
// use it from one thread.
#ifndef KIVO_TESTING_TESTDATABASE_H
#define KIVO_TESTING_TESTDATABASE_H

#include <string>
#include <vector>

#include "support/pgSafeThread.h"

namespace kivo {

// A connection to conninfo; throws std::runtime_error with libpq's text
// and hint when there is none.
PgConnection connectTest(const std::string& conninfo, const std::string& hint = "");
// Runs sql on connection; throws std::runtime_error with the server's text
// when it fails.
PgResult runTestSql(PGconn* connection, const std::string& sql);
// The rows of a result as text; NULL is "<NULL>".
std::vector<std::vector<std::string>> resultRows(const PGresult* result);
// text as an SQL string literal, its apostrophes doubled.
std::string sqlQuoted(const std::string& text);

class TestDatabase {
 public:
  TestDatabase();
  ~TestDatabase();

  const std::string& name() const { return name_; }
  // "host=... port=... dbname=... user=postgres password=", the form that
  // the daemon builds from its settings.
  std::string connectionString() const;
  // The cluster's socket directory and port (as text).
  static std::string host();
  static std::string port();

  // Runs sql (several statements allowed), as runTestSql does.
  void execute(const std::string& sql) { runTestSql(connection_.get(), sql); }
  // The rows of a query as text; NULL is "<NULL>".
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    return resultRows(runTestSql(connection_.get(), sql).get());
  }
  // The first column of the first row; throws when there is no row.
  std::string value(const std::string& sql) { return rows(sql).at(0).at(0); }

 private:
  std::string name_;
  PgConnection connection_;
};

}  // namespace kivo

#endif
