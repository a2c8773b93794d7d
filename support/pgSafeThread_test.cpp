// The one place that asserts the connection's statements and trace lines.
#include "support/pgSafeThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <tuple>

#include "support/exceptions.h"
#include "support/standardOutput.h"
#include "testing/capturedOutput.h"
#include "testing/ownCluster.h"
#include "testing/testDatabase.h"

namespace kivo {

static std::string onlyValue(PGresult* raw) {
  PgResult result(raw);
  EXPECT_EQ(PQntuples(result.get()), 1);
  return PQntuples(result.get()) == 1 ? PQgetvalue(result.get(), 0, 0) : "";
}

static bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

TEST(PgConnectionString, BuiltInOrderAndPasswordMaskedAlsoInAFailedConnectionsMessage) {
  EXPECT_EQ(pgConnectionString("db 1", "55", "mon", "kv", "s3cret"),
            "host=db 1 port=55 dbname=mon user=kv password=s3cret");
  const char* const cases[][2] = {
      {"password=two words host=h", "password=********"},
      {"host=h password=  ", "host=h password=  "},
      {"host=h password= user=u", "host=h password=********"},
      {"password = 'a b\\' c' user=u", "password =********"},
      {"passwords=x user=password", "passwords=x user=password"},
      {"user=password=x", "user=password=********"},
  };
  for (const auto& c : cases) EXPECT_EQ(maskConnectionPassword(c[0]), c[1]) << c[0];
  EXPECT_EQ(maskPasswordWords("after \"second\" in x\n", "host=h password=first second"),
            "after \"********\" in x\n");
  EXPECT_EQ(maskPasswordWords("x x\n", "host=h password="), "x x\n");
  CapturedOutput output;
  const std::string conninfo = "host=/tmp/kivo-no-such-socket password=";
  std::string message =
      failureOf<PostgresqlException>([&] { pgSafeThread db(conninfo + "s3cret"); });
  EXPECT_EQ(message.substr(message.rfind('\n')), "\n" + conninfo + "********");
  EXPECT_EQ(message.find("s3cret"), std::string::npos);
  EXPECT_EQ(output.text(), "\t[PG CONSTRUCT] connexion\n\t[PG CONSTRUCT]fin de connexion\n");
}

// The outage lines, from any thread, go beside the trace lines.
static void report(const std::string& level, const std::string& message) {
  writeStandardOutputLine(level + "#" + message);
}

static std::vector<std::string> linesOf(const CapturedOutput& output, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(output.text()))
    if (startsWith(line, prefix)) found.push_back(line);
  return found;
}

const char* const kStill = "ERR#database still unreachable after ";
const char* const kBack = "INFO#connection to the database back after ";

class PgSafeThreadTest : public ::testing::Test {
 protected:
  CapturedOutput output;
  TestDatabase database;
};

TEST_F(PgSafeThreadTest, EntryPointsReturnRowsAndTraceTheirParameters) {
  std::optional<pgSafeThread> db(std::in_place, TestDatabase::host(),
                                 std::stoi(TestDatabase::port()), database.name(), "postgres", "");
  EXPECT_EQ(db->getClientEncoding(), "UTF8");
  EXPECT_EQ(output.text(), "\t[PG CONSTRUCT] connexion\n");
  db->prepareRequest("sum", "SELECT $1::int + $2::int", 2);
  db->prepareRequest("isNull", "SELECT $1::text IS NULL");
  db->prepareRequest("constant", "SELECT 'c'::text");
  output.clear();
  EXPECT_EQ(onlyValue(db->executeRequest("SELECT count(*) FROM kivo_errors")), "3");
  PgResult(db->executeRequest("UPDATE kivo_errors SET error_name='x' WHERE error_id=99"));
  EXPECT_EQ(onlyValue(db->executeParamRequest("SELECT $1::text IS NULL", {""})), "f");
  EXPECT_EQ(onlyValue(db->executePrepareRequest("sum", {"2", "40"})), "42");
  EXPECT_EQ(onlyValue(db->executePrepareRequest("isNull", {""})), "f");
  EXPECT_EQ(onlyValue(db->executePrepareRequest("constant", {})), "c");
  EXPECT_EQ(onlyValue(db->executePrepareRequest("constant")), "c");
  EXPECT_EQ(output.text(),
            "\t[PG EXEC] status: PGRES_TUPLES_OK\n\t[PG EXEC] status: PGRES_COMMAND_OK\n"
            "\t[PG EXEC PARAM] request: SELECT $1::text IS NULL\n"
            "\t[PG EXEC PARAM] nbr param: 1\n\t[PG EXEC PARAM] param 0 : \n"
            "\t[PG EXEC PREPARERESQUEST] request name : sum\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 2\n\t[PG EXEC PREPARERESQUEST] param 0 : 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 1 : 40\n"
            "\t[PG EXEC PREPARERESQUEST] request name : isNull\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 1\n\t[PG EXEC PREPARERESQUEST] param 0 : \n"
            "\t[PG EXEC PREPARERESQUEST] request name : constant\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 0\n");
  PgResult(db->executeRequest("SET client_encoding TO 'LATIN1'"));
  EXPECT_EQ(db->getClientEncoding(), "LATIN1") << "the connection's, not the one it began with";
  output.clear();
  db.reset();
  EXPECT_EQ(output.text(), "\t[PG DESCONSTRUCT]fin de connexion\n");
}

TEST_F(PgSafeThreadTest, RefusedStatementsFailOnceOverEveryEntryPointAndAbortAPipeline) {
  pgSafeThread db(database.connectionString());
  db.setOutageReport(report);
  database.execute("CREATE SEQUENCE attempts");
  db.prepareRequest("fails", "SELECT nextval('attempts') / $1::int", 1);
  db.prepareRequest("twice", "SELECT 'first'::text", 0);
  // The call, the message's beginning, the trace's failure line.
  const std::tuple<std::function<void()>, const char*, const char*> cases[] = {
      {[&] { db.executeRequest("SELECT nextval('attempts') / 0"); },
       "execute failed:  ", "\t[PG EXEC] status: PGRES_FATAL_ERROR\n"},
      {[&] { db.executeParamRequest("SELECT nextval('attempts') / $1::int", {"0"}); },
       "Execute failed:  ", "\n\t[PG EXEC PARAM] status: PGRES_FATAL_ERROR\n"},
      {[&] { db.executePrepareRequest("fails", {"0"}); }, "Exec prepareRequest failed:  ",
       "param 0 : 0\n\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR:"},
      {[&] { db.executePrepareRequest("nosuch"); },
       "Exec prepareRequest failed:  ", "\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR\n"},
      {[&] { db.prepareRequest("twice", "SELECT 'second'::text", 0); },
       "prepare failed:  ", "\t[PG PREPAREREQUEST] status: PGRES_FATAL_ERROR\n"},
  };
  for (const auto& [call, message, trace] : cases) {
    output.clear();
    EXPECT_TRUE(startsWith(failureOf<PostgresqlException>(call), message)) << trace;
    EXPECT_NE(output.text().find(trace), std::string::npos) << output.text();
    EXPECT_EQ(output.text().find("ERR#"), std::string::npos) << trace;
  }
  EXPECT_EQ(onlyValue(db.executeRequest("SELECT nextval('attempts')")), "4")
      << "each failed statement ran once";
  EXPECT_EQ(onlyValue(db.executePrepareRequest("twice")), "first");
  // A pipeline answers each step, and its first failure aborts the rest.
  db.prepareRequest("sum", "SELECT $1::int + $2::int", 2);
  output.clear();
  const std::vector<pgSafeThread::PipelineStep> steps = {{"", "BEGIN", {}},
                                                         {"sum", "", {"2", "40"}},
                                                         {"", "SELECT 1 / $1::int", {"0"}},
                                                         {"sum", "", {"1", "1"}}};
  std::vector<PgResult> answers = db.executePipeline(steps);
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(PQresultStatus(answers[0].get()), PGRES_COMMAND_OK);
  EXPECT_EQ(std::string(PQgetvalue(answers[1].get(), 0, 0)), "42");
  EXPECT_EQ(PQresultStatus(answers[3].get()), PGRES_PIPELINE_ABORTED) << "after the failure";
  auto failure = [&](size_t step) {
    return failureOf<PostgresqlException>(
        [&] { pgSafeThread::throwIfFailed(steps[step], answers[step].get()); });
  };
  EXPECT_TRUE(startsWith(failure(2), "Execute failed:  ERROR:  division by zero"));
  EXPECT_TRUE(startsWith(failure(3), "Exec prepareRequest failed:  "));
  EXPECT_TRUE(startsWith(output.text(),
                         "\t[PG EXEC PARAM] request: BEGIN\n\t[PG EXEC PARAM] nbr param: 0\n"
                         "\t[PG EXEC PREPARERESQUEST] request name : sum\n"))
      << output.text();
  // Out of the pipeline, the spoiled transaction rolled back, the
  // connection goes on.
  PgResult(db.executeRequest("ROLLBACK"));
  EXPECT_EQ(onlyValue(db.executeRequest("SELECT 7")), "7");
}

// A server of its own, stopped: a reload's statement fails at once without beginning
// an outage, and connects again on its own; the others wait for the server.
TEST(PgSafeThreadOutageThreadTest, StatementsWaitUntilTheServerIsBackButAReloadsFailsAtOnce) {
  CapturedOutput output;
  // The outage events, as the metrics count them; before db, which calls them.
  std::atomic<int> lost{0}, back{0};
  TempDir dir;
  OwnCluster cluster(dir, "pg");
  cluster.createDatabase("kivo");
  pgSafeThread db(
      pgConnectionString(cluster.socket(), cluster.port(), "kivo", "postgres", "secret"));
  db.setOutageReport(report);
  db.setEvents({[&] { ++lost; }, [&] { ++back; }, nullptr});
  db.setReconnectPolicy({std::chrono::milliseconds(20), std::chrono::milliseconds(50),
                         std::chrono::milliseconds(300)});
  db.prepareRequest("sum", "SELECT $1::int + $2::int", 2);
  cluster.halt();
  std::string failure = failureOf<DatabaseUnavailableException>(
      [&] { PgResult(db.executeRequestWithoutWaiting("SELECT 1")); });
  EXPECT_TRUE(startsWith(failure, "the database is unreachable: ")) << failure;
  EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
  EXPECT_TRUE(db.waitUntilConnected()) << "no outage begun: workers go on taking traps";
  cluster.resume();
  EXPECT_EQ(onlyValue(db.executeRequestWithoutWaiting("SELECT 6 * 7")), "42");
  EXPECT_EQ(onlyValue(db.executePrepareRequest("sum", {"1", "2"})), "3") << "prepared again";
  cluster.halt();
  auto statement = std::async(std::launch::async, [&] {
    std::string value;
    return failureOf<DatabaseUnavailableException>(
               [&] { value = onlyValue(db.executePrepareRequest("sum", {"20", "22"})); }) +
           value;
  });
  auto ended = [&] {
    return statement.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  };
  // No ASSERT while the statement runs: it is waited for below in every case.
  EXPECT_TRUE(waitFor([&] { return linesOf(output, kStill).size() >= 2; }));
  const std::vector<std::string> still = linesOf(output, kStill);
  EXPECT_TRUE(!still.empty() && still[0].find("No such file or directory") != std::string::npos);
  EXPECT_FALSE(ended()) << "the statement waits while the server is away";
  cluster.resume();
  EXPECT_TRUE(waitFor([&] { return ended() && linesOf(output, kBack).size() == 1; }));
  db.interruptWaits();
  EXPECT_EQ(statement.get(), "42");
  EXPECT_EQ(lost.load(), 1) << "one outage, and none for the reload's failure";
  EXPECT_EQ(back.load(), 1);
  EXPECT_EQ(output.text().find("secret"), std::string::npos);
}

}  // namespace kivo
