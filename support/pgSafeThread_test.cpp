// The shared connection against a real server: connection strings, trace
// lines, failures with the server's own texts, and two threads on one
// connection.
#include "support/pgSafeThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include "support/exceptions.h"
#include "testing/capturedOutput.h"
#include "testing/ownCluster.h"
#include "testing/testDatabase.h"

namespace kivo {

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
      // Everything after "password=" goes, whatever libpq makes of it.
      {"host=h password=two words", "host=h password=********"},
      {"password=secret host=h", "password=********"},
      {"host=h password=", "host=h password="},
      {"host=h password=  ", "host=h password=  "},
      {"host=h password= user=u", "host=h password=********"},
      {"host=h password=''", "host=h password=********"},
      {"password = 'a b\\' c' user=u", "password =********"},
      {"passwords=x user=password", "passwords=x user=password"},
      {"user=password=x", "user=password=********"},
      {"host=h nonsense password=x y", "host=h nonsense password=********"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(maskConnectionPassword(c.conninfo), c.masked) << c.conninfo;
  }
}

TEST(PgConnectionString, PasswordWordsLeaveLibpqsMessage) {
  struct Case {
    const char* message;
    const char* conninfo;
    const char* masked;
  } cases[] = {
      {"missing \"=\" after \"second\" in connection info string\n",
       "host=h password=first second", "missing \"=\" after \"********\" in connection info string\n"},
      {"no password here\n", "host=h password=", "no password here\n"},
      {"x x\n", "host=h", "x x\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(maskPasswordWords(c.message, c.conninfo), c.masked) << c.conninfo;
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

// The outage lines that a connection reports, for any thread to add to.
class Reports {
 public:
  pgSafeThread::OutageReport sink() {
    return [this](const std::string& level, const std::string& message) {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.push_back(level + "#" + message);
      times_.push_back(std::chrono::steady_clock::now());
    };
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  std::vector<std::chrono::steady_clock::time_point> times() {
    std::lock_guard<std::mutex> hold(mutex_);
    return times_;
  }
  int count(const std::string& prefix) {
    int n = 0;
    for (const std::string& line : lines()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::chrono::steady_clock::time_point> times_;
};

const char* const kLost = "ERR#connection to the database lost: ";
const char* const kStill = "ERR#database still unreachable after ";
const char* const kBack = "INFO#connection to the database back after ";

TEST_F(PgSafeThreadTest, EndedBackendIsReplacedAndTheStatementRunsAgain) {
  pgSafeThread& db = connect();
  Reports reports;
  db.setOutageReport(reports.sink());
  db.prepareRequest("sum", "SELECT $1::int + $2::int", 2);
  db.prepareRequest("constant", "SELECT 'c'::text");
  std::string pid = onlyValue(db.executeRequest("SELECT pg_backend_pid()"));
  database.execute("SELECT pg_terminate_backend(" + pid + ")");
  ASSERT_TRUE(waitFor([&] {
    return database.value("SELECT count(*) FROM pg_stat_activity WHERE pid=" + pid) == "0";
  }));
  CapturedOutput lines;
  EXPECT_EQ(onlyValue(db.executePrepareRequest("sum", {"2", "3"})), "5");
  EXPECT_EQ(onlyValue(db.executePrepareRequest("constant")), "c") << "prepared again too";
  EXPECT_NE(onlyValue(db.executeRequest("SELECT pg_backend_pid()")), pid);
  EXPECT_EQ(lines.text(),
            "\t[PG EXEC PREPARERESQUEST] request name : sum\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 0 : 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 1 : 3\n"
            "\t[PG EXEC] status: PGRES_TUPLES_OK\n")
      << "no failure line for the broken connection";
  std::vector<std::string> reported = reports.lines();
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0].rfind(kLost, 0), 0u) << reported[0];
  EXPECT_EQ(reported[1], std::string(kBack) + "0 s");
  EXPECT_EQ(db.getClientEncoding(), "UTF8");
}

TEST_F(PgSafeThreadTest, HealthyStatementErrorsAreNotRetried) {
  pgSafeThread& db = connect();
  Reports reports;
  db.setOutageReport(reports.sink());
  database.execute("CREATE SEQUENCE attempts");
  db.prepareRequest("fails", "SELECT nextval('attempts') / $1::int", 1);
  struct Case {
    std::function<void()> call;
    std::string message;
  } cases[] = {
      {[&] { db.executePrepareRequest("fails", {"0"}); },
       "Exec prepareRequest failed:  ERROR:  division by zero\n"},
      {[&] { db.executeRequest("SELECT nextval('attempts') / 0"); },
       "execute failed:  ERROR:  division by zero\n"},
      {[&] { db.executeParamRequest("SELECT nextval('attempts') / $1::int", {"0"}); },
       "Execute failed:  ERROR:  division by zero\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(failureOf(c.call), c.message);
  EXPECT_EQ(onlyValue(db.executeRequest("SELECT nextval('attempts')")), "4")
      << "each failed statement ran once";
  EXPECT_TRUE(reports.lines().empty());
}

// Servers of the test's own, which the test stops and starts again.
class PgSafeThreadOutageThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cluster.reset(new OwnCluster(dir, "pg"));
    cluster->createDatabase("kivo");
    db.reset(new pgSafeThread(pgConnectionString(cluster->socket(), cluster->port(), "kivo",
                                                 "postgres", "secret")));
    db->setOutageReport(reports.sink());
    db->setReconnectPolicy({std::chrono::milliseconds(20), std::chrono::milliseconds(50),
                            std::chrono::milliseconds(300)});
    db->prepareRequest("sum", "SELECT $1::int + $2::int", 2);
  }
  void TearDown() override {
    db.reset();
    cluster.reset();
  }

  CapturedOutput output;
  TempDir dir;
  std::unique_ptr<OwnCluster> cluster;
  Reports reports;
  std::unique_ptr<pgSafeThread> db;
};

TEST_F(PgSafeThreadOutageThreadTest, StatementsWaitUntilTheServerIsBack) {
  cluster->halt();
  std::atomic<int> gate{-1};
  std::string sum;
  std::thread statement([&] {
    try {
      sum = onlyValue(db->executePrepareRequest("sum", {"20", "22"}));
    } catch (const std::exception& e) {
      sum = e.what();
    }
  });
  ASSERT_TRUE(waitFor([&] { return reports.count(kLost) == 1; })) << "the statement noticed";
  std::thread worker([&] { gate = db->waitUntilConnected() ? 1 : 0; });
  // Two reminders prove the wait goes on; they come at most once per period.
  bool reminded = waitFor([&] { return reports.count(kStill) >= 2; });
  EXPECT_EQ(gate.load(), -1) << "no new work while the server is away";
  cluster->resume();
  ASSERT_TRUE(waitFor([&] { return gate.load() != -1 && reports.count(kBack) == 1; }));
  statement.join();
  worker.join();
  ASSERT_TRUE(reminded);
  EXPECT_EQ(sum, "42");
  EXPECT_EQ(gate.load(), 1);
  std::vector<std::string> lines = reports.lines();
  std::vector<std::chrono::steady_clock::time_point> times = reports.times();
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(kStill, 0), 0u) << lines[i];
    EXPECT_NE(lines[i].find("No such file or directory"), std::string::npos) << lines[i];
    // The first reminder tells the cause at once; the others are spaced.
    if (i > 1) {
      EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(300)) << lines[i];
    }
  }
  EXPECT_EQ(lines.back().rfind(kBack, 0), 0u) << lines.back();
  EXPECT_EQ(output.text().find("secret"), std::string::npos);
}

TEST_F(PgSafeThreadOutageThreadTest, TheStopEndsEveryWaitForTheServer) {
  cluster->halt();
  std::atomic<int> gate{-1};
  std::string failure;
  std::atomic<bool> ended{false};
  std::thread statement([&] {
    try {
      db->executePrepareRequest("sum", {"1", "2"});
    } catch (const DatabaseUnavailableException& e) {
      failure = e.what();
    }
    ended = true;
  });
  ASSERT_TRUE(waitFor([&] { return reports.count(kLost) == 1; }));
  std::thread worker([&] { gate = db->waitUntilConnected() ? 1 : 0; });
  db->interruptWaits();
  ASSERT_TRUE(waitFor([&] { return ended.load() && gate.load() != -1; }, std::chrono::seconds(5)))
      << "woken at once, not at the next attempt";
  statement.join();
  worker.join();
  EXPECT_EQ(failure, "statement abandoned: the database is unreachable and the daemon is stopping");
  EXPECT_EQ(gate.load(), 0);
  // Later statements give up at once, without an attempt.
  cluster->resume();
  EXPECT_THROW(db->executeRequest("SELECT 1"), DatabaseUnavailableException);
  EXPECT_EQ(reports.count(kBack), 0);
}

// A reload's statement: fails at once while the server is away, without
// an outage for the others to wait on, and connects again on its own later.
TEST_F(PgSafeThreadOutageThreadTest, WithoutWaitingFailsAtOnceAndConnectsAgainLater) {
  cluster->halt();
  try {
    PgResult(db->executeRequestWithoutWaiting("SELECT 1"));
    ADD_FAILURE() << "the server is away";
  } catch (const DatabaseUnavailableException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("the database is unreachable: ", 0), 0u) << e.what();
    EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
  }
  EXPECT_TRUE(db->waitUntilConnected()) << "no outage begun: workers go on taking traps";
  EXPECT_THROW(PgResult(db->executeRequestWithoutWaiting("SELECT 1")),
               DatabaseUnavailableException);
  cluster->resume();
  EXPECT_EQ(onlyValue(db->executeRequestWithoutWaiting("SELECT 6 * 7")), "42");
  EXPECT_EQ(onlyValue(db->executePrepareRequest("sum", {"1", "2"})), "3") << "prepared again";
  EXPECT_TRUE(reports.lines().empty()) << "no outage lines";
  EXPECT_EQ(output.text().find("secret"), std::string::npos);
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

}  // namespace kivo
