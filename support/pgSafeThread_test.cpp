// The shared connection against a real server: connection strings, trace
// lines, failures with the server's own texts, and two threads on one
// connection.
#include "support/pgSafeThread.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <thread>

#include "support/exceptions.h"
#include "testing/capturedOutput.h"
#include "testing/testDatabase.h"

namespace {

std::string socketDirectory() { return TestDatabase::host(); }
std::string port() { return TestDatabase::port(); }
// What libpq says when it reaches the cluster's socket.
std::string socketPrefix() {
  return "connection to server on socket \"" + socketDirectory() + "/.s.PGSQL." + port() +
         "\" failed: ";
}

// The message of the PostgresqlException that call raises; "" when none.
template <class Call>
std::string failureOf(Call call) {
  try {
    call();
  } catch (const PostgresqlException& e) {
    return e.what();
  }
  return "";
}

std::string onlyValue(PGresult* raw) {
  PgResult result(raw);
  EXPECT_EQ(PQntuples(result.get()), 1);
  EXPECT_EQ(PQnfields(result.get()), 1);
  return PQntuples(result.get()) == 1 ? PQgetvalue(result.get(), 0, 0) : "";
}

TEST(PgConnectionString, PairsInOrderValuesUnchanged) {
  EXPECT_EQ(pgConnectionString("db1", "55", "mon", "kv", "s3cret"),
            "host=db1 port=55 dbname=mon user=kv password=s3cret");
  EXPECT_EQ(pgConnectionString("db 1", "", "mon", "kv", ""),
            "host=db 1 port= dbname=mon user=kv password=");
}

TEST(PgConnectionString, PasswordMasking) {
  struct Case {
    const char* conninfo;
    const char* masked;
  } cases[] = {
      {"host=h password=secret", "host=h password=********"},
      {"password=secret host=h", "password=******** host=h"},
      {"host=h password=", "host=h password="},
      // libpq skips the blanks after "=": the password is "user=u".
      {"host=h password= user=u", "host=h password= ********"},
      {"host=h password=''", "host=h password=''"},
      {"password = 'a b\\' c' user=u", "password = ******** user=u"},
      {"password=a\\ b user=u", "password=******** user=u"},
      {"password=x password=y", "password=******** password=********"},
      {"passwords=x user=password", "passwords=x user=password"},
      {"user=password=x", "user=password=x"},
      {"host=h nonsense password=x", "host=h nonsense password=x"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(maskConnectionPassword(c.conninfo), c.masked) << c.conninfo;
  }
}

class PgSafeThreadTest : public ::testing::Test {
 protected:
  // The connection, made after the output is captured.
  pgSafeThread& connect() {
    connection.reset(new pgSafeThread(database.connectionString()));
    return *connection;
  }

  CapturedOutput output;
  TestDatabase database;
  std::unique_ptr<pgSafeThread> connection;
};

TEST_F(PgSafeThreadTest, ConstructAndDestructLines) {
  connect();
  EXPECT_EQ(connection->connectionString(), database.connectionString());
  connection.reset();
  EXPECT_EQ(output.text(),
            "\t[PG CONSTRUCT] connexion\n"
            "\t[PG DESCONSTRUCT]fin de connexion\n");
}

TEST_F(PgSafeThreadTest, FiveArgumentConstructorBuildsTheString) {
  pgSafeThread db(socketDirectory(), std::stoi(port()), database.name(), "postgres", "");
  EXPECT_EQ(db.connectionString(), "host=" + socketDirectory() + " port=" + port() +
                                       " dbname=" + database.name() +
                                       " user=postgres password=");
  EXPECT_EQ(onlyValue(db.executeRequest("SELECT current_database()")), database.name());
}

TEST_F(PgSafeThreadTest, ClientEncodingIsTheDatabases) {
  EXPECT_EQ(connect().getClientEncoding(), "UTF8");
}

TEST_F(PgSafeThreadTest, FailedConnectionMasksThePassword) {
  std::string base = "host=" + socketDirectory() + " port=" + port() +
                     " dbname=kivo_no_such_db user=postgres password=";
  std::string refused = socketPrefix() + "FATAL:  database \"kivo_no_such_db\" does not exist\n";
  struct Case {
    std::string conninfo;
    std::string message;
  } cases[] = {
      {base + "s3cret", refused + "\n" + base + "********"},
      {base, refused + "\n" + base},
      {"host=/tmp/kivo-no-such-socket port=" + port() + " password=s3cret",
       "connection to server on socket \"/tmp/kivo-no-such-socket/.s.PGSQL." + port() +
           "\" failed: No such file or directory\n"
           "\tIs the server running locally and accepting connections on that socket?\n"
           "\nhost=/tmp/kivo-no-such-socket port=" + port() + " password=********"},
  };
  for (const Case& c : cases) {
    CapturedOutput lines;
    std::string message = failureOf([&] { pgSafeThread db(c.conninfo); });
    EXPECT_EQ(message, c.message) << c.conninfo;
    EXPECT_EQ(lines.text(), "\t[PG CONSTRUCT] connexion\n\t[PG CONSTRUCT]fin de connexion\n")
        << c.conninfo;
  }
}

TEST_F(PgSafeThreadTest, ExecuteRequestSucceedsWithOrWithoutRows) {
  pgSafeThread& db = connect();
  PgResult rows(db.executeRequest("SELECT error_name FROM kivo_errors ORDER BY error_id"));
  ASSERT_EQ(PQntuples(rows.get()), 3);
  EXPECT_STREQ(PQgetvalue(rows.get(), 2, 0), "default_unknow_error");
  PgResult none(db.executeRequest("SELECT error_id FROM kivo_errors WHERE error_id < 0"));
  EXPECT_EQ(PQntuples(none.get()), 0);
  PgResult update(db.executeRequest("UPDATE kivo_errors SET error_name='x' WHERE error_id=99"));
  EXPECT_STREQ(PQcmdTuples(update.get()), "0");
  EXPECT_EQ(splitLines(output.text()),
            (std::vector<std::string>{"\t[PG CONSTRUCT] connexion",
                                      "\t[PG EXEC] status: PGRES_TUPLES_OK",
                                      "\t[PG EXEC] status: PGRES_TUPLES_OK",
                                      "\t[PG EXEC] status: PGRES_COMMAND_OK"}));
}

TEST_F(PgSafeThreadTest, ExecuteRequestFailures) {
  pgSafeThread& db = connect();
  struct Case {
    const char* sql;
    const char* status;
    const char* message;
  } cases[] = {
      {"", "PGRES_EMPTY_QUERY", "execute failed:  "},
      {"SELEC 1", "PGRES_FATAL_ERROR",
       "execute failed:  ERROR:  syntax error at or near \"SELEC\"\n"
       "LINE 1: SELEC 1\n"
       "        ^\n"},
      {"INSERT INTO kivo_errors(error_name) VALUES ('default_warning_error')",
       "PGRES_FATAL_ERROR",
       "execute failed:  ERROR:  duplicate key value violates unique constraint "
       "\"kivo_errors_error_name_key\"\n"
       "DETAIL:  Key (error_name)=(default_warning_error) already exists.\n"},
  };
  for (const Case& c : cases) {
    CapturedOutput lines;
    EXPECT_EQ(failureOf([&] { db.executeRequest(c.sql); }), c.message) << c.sql;
    EXPECT_EQ(lines.text(), std::string("\t[PG EXEC] status: ") + c.status + "\n") << c.sql;
    // The connection is still usable.
    EXPECT_EQ(onlyValue(db.executeRequest("SELECT 7")), "7") << c.sql;
  }
}

TEST_F(PgSafeThreadTest, ExecuteParamRequestLinesAndResult) {
  pgSafeThread& db = connect();
  CapturedOutput lines;
  PgResult result(db.executeParamRequest("SELECT $1::int + $2::int, $3::text IS NULL, length($3)",
                                         {"2", "40", ""}));
  ASSERT_EQ(PQntuples(result.get()), 1);
  EXPECT_STREQ(PQgetvalue(result.get(), 0, 0), "42");
  // The empty string is an empty text, not NULL.
  EXPECT_STREQ(PQgetvalue(result.get(), 0, 1), "f");
  EXPECT_STREQ(PQgetvalue(result.get(), 0, 2), "0");
  EXPECT_EQ(lines.text(),
            "\t[PG EXEC PARAM] request: SELECT $1::int + $2::int, $3::text IS NULL, length($3)\n"
            "\t[PG EXEC PARAM] nbr param: 3\n"
            "\t[PG EXEC PARAM] param 0 : 2\n"
            "\t[PG EXEC PARAM] param 1 : 40\n"
            "\t[PG EXEC PARAM] param 2 : \n");
}

TEST_F(PgSafeThreadTest, ExecuteParamRequestFailure) {
  pgSafeThread& db = connect();
  CapturedOutput lines;
  EXPECT_EQ(failureOf([&] { db.executeParamRequest("SELECT $1::int", {"x"}); }),
            "Execute failed:  ERROR:  invalid input syntax for type integer: \"x\"\n"
            "CONTEXT:  unnamed portal parameter $1 = '...'\n");
  EXPECT_EQ(lines.text(),
            "\t[PG EXEC PARAM] request: SELECT $1::int\n"
            "\t[PG EXEC PARAM] nbr param: 1\n"
            "\t[PG EXEC PARAM] param 0 : x\n"
            "\t[PG EXEC PARAM] status: PGRES_FATAL_ERROR\n");
}

TEST_F(PgSafeThreadTest, PreparedStatementLinesAndResult) {
  pgSafeThread& db = connect();
  db.prepareRequest("sum", "SELECT $1::int + $2::int", 2);
  // Without a count the server counts the parameters itself.
  db.prepareRequest("product", "SELECT $1::int * $2::int");
  db.prepareRequest("constant", "SELECT 'c'::text");
  CapturedOutput lines;
  EXPECT_EQ(onlyValue(db.executePrepareRequest("sum", {"2", "3"})), "5");
  EXPECT_EQ(onlyValue(db.executePrepareRequest("product", {"2", "3"})), "6");
  EXPECT_EQ(onlyValue(db.executePrepareRequest("constant", {})), "c");
  EXPECT_EQ(onlyValue(db.executePrepareRequest("constant")), "c");
  EXPECT_EQ(lines.text(),
            "\t[PG EXEC PREPARERESQUEST] request name : sum\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 0 : 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 1 : 3\n"
            "\t[PG EXEC PREPARERESQUEST] request name : product\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 0 : 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 1 : 3\n"
            "\t[PG EXEC PREPARERESQUEST] request name : constant\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 0\n");
}

TEST_F(PgSafeThreadTest, PreparingANameTwiceKeepsTheFirst) {
  pgSafeThread& db = connect();
  db.prepareRequest("twice", "SELECT 'first'::text", 0);
  CapturedOutput lines;
  EXPECT_EQ(failureOf([&] { db.prepareRequest("twice", "SELECT 'second'::text", 0); }),
            "prepare failed:  ERROR:  prepared statement \"twice\" already exists\n");
  EXPECT_EQ(lines.text(), "\t[PG PREPAREREQUEST] status: PGRES_FATAL_ERROR\n");
  EXPECT_EQ(onlyValue(db.executePrepareRequest("twice")), "first");
}

TEST_F(PgSafeThreadTest, PreparingBadSqlFails) {
  pgSafeThread& db = connect();
  CapturedOutput lines;
  EXPECT_EQ(failureOf([&] { db.prepareRequest("bad", "SELECT nothing FROM kivo_errors"); }),
            "prepare failed:  ERROR:  column \"nothing\" does not exist\n"
            "LINE 1: SELECT nothing FROM kivo_errors\n"
            "               ^\n");
  EXPECT_EQ(lines.text(), "\t[PG PREPAREREQUEST] status: PGRES_FATAL_ERROR\n");
}

TEST_F(PgSafeThreadTest, UnknownPreparedName) {
  pgSafeThread& db = connect();
  const std::string serverText = "ERROR:  prepared statement \"nosuch\" does not exist\n";
  {
    CapturedOutput lines;
    EXPECT_EQ(failureOf([&] { db.executePrepareRequest("nosuch", {"1"}); }),
              "Exec prepareRequest failed:  " + serverText);
    EXPECT_EQ(lines.text(),
              "\t[PG EXEC PREPARERESQUEST] request name : nosuch\n"
              "\t[PG EXEC PREPARERESQUEST] nbr param: 1\n"
              "\t[PG EXEC PREPARERESQUEST] param 0 : 1\n"
              "\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR:" + serverText + "\n");
  }
  {
    CapturedOutput lines;
    EXPECT_EQ(failureOf([&] { db.executePrepareRequest("nosuch"); }),
              "Exec prepareRequest failed:  " + serverText);
    EXPECT_EQ(lines.text(), "\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR\n");
  }
  EXPECT_EQ(onlyValue(db.executeRequest("SELECT 1")), "1");
}

TEST_F(PgSafeThreadTest, EmptyParameterDoesNotCastToInt) {
  pgSafeThread& db = connect();
  db.prepareRequest("number", "SELECT $1::int", 1);
  EXPECT_EQ(failureOf([&] { db.executePrepareRequest("number", {""}); }),
            "Exec prepareRequest failed:  ERROR:  invalid input syntax for type integer: \"\"\n"
            "CONTEXT:  unnamed portal parameter $1 = ''\n");
  EXPECT_EQ(onlyValue(db.executePrepareRequest("number", {"12"})), "12");
}

TEST_F(PgSafeThreadTest, LostConnectionFailsEveryLaterStatement) {
  pgSafeThread& db = connect();
  std::string pid = onlyValue(db.executeRequest("SELECT pg_backend_pid()"));
  database.execute("SELECT pg_terminate_backend(" + pid + ")");
  // The server ends the backend asynchronously; libpq notices at the next
  // statement, or the one after when the first still got through.
  std::string first = failureOf([&] {
    for (int attempt = 0; attempt < 50; ++attempt) {
      PgResult result(db.executeRequest("SELECT 1"));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  EXPECT_EQ(first.rfind("execute failed:  ", 0), 0u) << first;
  std::string second = failureOf([&] { db.executeRequest("SELECT 1"); });
  EXPECT_EQ(second.rfind("execute failed:  ", 0), 0u) << second;
  EXPECT_EQ(failureOf([&] { db.executePrepareRequest("any", {}); }).rfind(
                "Exec prepareRequest failed:  ", 0),
            0u);
}

// Two threads on one connection, each with its own statements and results.
TEST(PgSafeThreadThreadTest, TwoThreadsShareTheConnection) {
  CapturedOutput output;
  TestDatabase database;
  pgSafeThread db(database.connectionString());
  db.prepareRequest("echo", "SELECT $1::int * 10", 1);
  const int kRounds = 200;
  auto work = [&db](int first, std::vector<std::string>* wrong) {
    for (int i = 0; i < kRounds; ++i) {
      std::string value = std::to_string(first + i);
      try {
        PgResult result(db.executePrepareRequest("echo", {value}));
        std::string got = PQntuples(result.get()) == 1 ? PQgetvalue(result.get(), 0, 0) : "";
        if (got != value + "0") wrong->push_back(value + " gave " + got);
      } catch (const PostgresqlException& e) {
        wrong->push_back(value + " failed: " + e.what());
      }
    }
  };
  std::vector<std::string> wrongA, wrongB;
  std::thread a(work, 1000, &wrongA);
  std::thread b(work, 5000, &wrongB);
  a.join();
  b.join();
  EXPECT_TRUE(wrongA.empty()) << wrongA.front();
  EXPECT_TRUE(wrongB.empty()) << wrongB.front();
  // Lines of the two threads interleave, but every line is whole.
  static const std::regex whole(
      "\t\\[PG CONSTRUCT\\] connexion|"
      "\t\\[PG EXEC PREPARERESQUEST\\] (request name : echo|nbr param: 1|param 0 : [0-9]+)");
  std::vector<std::string> lines = splitLines(output.text());
  EXPECT_EQ(lines.size(), 1u + 2 * 3 * kRounds);
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

}  // namespace
