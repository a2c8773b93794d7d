#include "testing/testDatabase.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "testing/tempDir.h"

namespace kivo {

static const char* const kHowToStart =
    "run the tests through ctest, which starts a cluster, or run `testing/pgcluster.sh start "
    "/tmp/kivo-pg` and set KIVO_TEST_PGDIR=/tmp/kivo-pg";

static std::string clusterDirectory() {
  const char* value = ::getenv("KIVO_TEST_PGDIR");
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string("KIVO_TEST_PGDIR is not set; ") + kHowToStart);
  }
  return value;
}

static std::string connectionStringFor(const std::string& dbname) {
  return pgConnectionString(TestDatabase::host(), TestDatabase::port(), dbname, "postgres", "");
}

static std::atomic<int> databasesMade{0};

std::string TestDatabase::host() { return clusterDirectory() + "/socket"; }

std::string TestDatabase::port() {
  std::string text = readFile(clusterDirectory() + "/port");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) throw std::runtime_error("no port file in " + clusterDirectory());
  return text;
}

// The name is unique across the processes of a parallel test run.
TestDatabase::TestDatabase()
    : name_("kivo_test_" + std::to_string(::getpid()) + "_" + std::to_string(databasesMade++)) {
  PgConnection admin = connectTest(connectionStringFor("postgres"), kHowToStart);
  runTestSql(admin.get(), "CREATE DATABASE " + name_ + " TEMPLATE kivo_template");
  connection_ = connectTest(connectionString());
}

TestDatabase::~TestDatabase() {
  connection_.reset();
  try {
    PgConnection admin = connectTest(connectionStringFor("postgres"));
    // FORCE: a test that failed may have left a connection open.
    runTestSql(admin.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (const std::runtime_error&) {
    // The cluster is removed at the end of the run anyway.
  }
}

std::string TestDatabase::connectionString() const { return connectionStringFor(name_); }

PgConnection connectTest(const std::string& conninfo, const std::string& hint) {
  PgConnection connection(PQconnectdb(conninfo.c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error("no server at " + conninfo + ": " + PQerrorMessage(connection.get()) +
                             hint);
  }
  return connection;
}

PgResult runTestSql(PGconn* connection, const std::string& sql) {
  PgResult result(PQexec(connection, sql.c_str()));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error("test SQL failed: " + sql + ": " + PQerrorMessage(connection));
  }
  return result;
}

std::vector<std::vector<std::string>> resultRows(const PGresult* result) {
  std::vector<std::vector<std::string>> table(PQntuples(result));
  for (int row = 0; row < PQntuples(result); ++row) {
    for (int column = 0; column < PQnfields(result); ++column) {
      table[row].push_back(PQgetisnull(result, row, column) ? "<NULL>"
                                                            : PQgetvalue(result, row, column));
    }
  }
  return table;
}

std::string sqlQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

}  // namespace kivo
