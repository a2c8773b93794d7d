// The service state and the error journal on real rows.
#include "daemon/errorJournal.h"

#include <sys/stat.h>

#include <regex>

#include "testing/daemonDatabaseTest.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

const char* const kSeed =
    "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (7, 167838211);"
    "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
    "  VALUES (3, '/bin/true', 'trap', '.1.3.6.1.4.1.99.0.1');"
    "INSERT INTO kivo_services(service_id, service_name, service_plugin_id, service_device_id)"
    "  VALUES (12, 'link', 3, 7), (13, 'disk', 3, 7);";

// Open records of service 12, newest first.
const char* const kOpenRecords =
    "SELECT happen_id FROM kivo_error_happen"
    " WHERE happen_service_id=12 AND happen_acquitte=0 ORDER BY happen_id DESC";

class JournalTest : public DaemonDatabaseTest {
 protected:
  void SetUp() override {
    DaemonDatabaseTest::SetUp();
    database.execute(kSeed);
    prepareJournalStatements(*pgSQL);
    loadErrorKinds(*pgSQL);
  }

  // Service 12 of device 7 after a run of a plug-in that printed output and
  // ended with code.
  service ran(int code, const std::string& printed) {
    std::string plugin = dir.file("plugin");
    writeFile(plugin, "#!/bin/sh\ncat \"$1\"\nexit \"$2\"\n");
    ::chmod(plugin.c_str(), 0755);
    writeFile(dir.file("output"), printed);
    service s;
    s.SetService_id(12);
    s.SetDevice_id(7);
    s.Setpath(plugin);
    s.Setparameter(dir.file("output") + " " + std::to_string(code));
    EXPECT_EQ(s.execute(), code);
    EXPECT_EQ(s.GetStdout(), printed);
    return s;
  }

  // Opens a record of service 12 directly, with the given id.
  void openRecord(int id, int service = 12, int acquitte = 0) {
    database.execute("INSERT INTO kivo_error_happen(happen_id, happen_error_id, happen_device_id,"
                     " happen_service_id, happen_acquitte) VALUES (" +
                     std::to_string(id) + ", 1, 7, " + std::to_string(service) + ", " +
                     std::to_string(acquitte) + ")");
  }

  std::string errorId(const std::string& name) {
    return database.value("SELECT error_id FROM kivo_errors WHERE error_name='" + name + "'");
  }

  TempDir dir;
};

TEST_F(JournalTest, UpdateServiceStoresStateTimeAndOutputUnchanged) {
  const std::string printed = "it's \"down\"\nline 2; DROP TABLE kivo_services;--\n";
  updateService(ran(2, printed));
  EXPECT_EQ(database.rows("SELECT service_id, service_previous_state, service_last_stdout,"
                          " service_last_exec_time > now() - interval '1 minute'"
                          " FROM kivo_services ORDER BY service_id"),
            (std::vector<std::vector<std::string>>{{"12", "2", printed, "t"},
                                                   {"13", "<NULL>", "<NULL>", "<NULL>"}}));
}

TEST_F(JournalTest, UpdateServiceOfAnUnknownServiceChangesNothing) {
  service s = ran(1, "x");
  s.SetService_id(99);
  updateService(s);
  EXPECT_EQ(database.value("SELECT count(*) FROM kivo_services WHERE service_previous_state"
                           " IS NOT NULL"),
            "0");
  EXPECT_TRUE(errors().empty());
}

TEST_F(JournalTest, UpdateServiceFailureReachesTheCaller) {
  updateService(ran(1, "first"));
  database.execute("ALTER TABLE kivo_services ADD CONSTRAINT no_refused"
                   " CHECK (service_last_stdout <> 'refused')");
  service s = ran(2, "refused");
  try {
    updateService(s);
    ADD_FAILURE() << "updateService must throw";
  } catch (const PostgresqlException& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "Exec prepareRequest failed:  ERROR:  new row for relation \"kivo_services\" "
                  "violates check constraint \"no_refused\"\n",
                  0),
              0u)
        << e.what();
  }
  EXPECT_EQ(database.value("SELECT service_previous_state || ' ' || service_last_stdout"
                           " FROM kivo_services WHERE service_id=12"),
            "1 first");
  EXPECT_TRUE(errors().empty());
}

TEST_F(JournalTest, ConstraintErrorIsReportedOnceAndNotRetried) {
  database.execute("ALTER TABLE kivo_error_happen ADD CONSTRAINT no_refused"
                   " CHECK (happen_message <> 'refused')");
  InsertError(ran(2, "refused"), 2);
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          "ERR#insert error failed:  Exec prepareRequest failed:  ERROR:  new row "
                          "for relation \"kivo_error_happen\" violates check constraint "
                          "\"no_refused\""}));
  int runs = 0;
  for (const std::string& line : lines()) {
    runs += line == "\t[PG EXEC PREPARERESQUEST] request name : InsertErrorHappen" ? 1 : 0;
  }
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(database.value("SELECT count(*) FROM kivo_error_happen"), "0");
}

// Bytes that the server would refuse never cost a run its state or record.
TEST_F(JournalTest, OutputIsStoredAsValidTextInRowAndRecord) {
  struct Case {
    std::string printed;
    std::string stored;
  } cases[] = {
      {"bad \xff byte\n", "bad \xEF\xBF\xBD byte\n"},
      {std::string("nul\0inside", 10), "nulinside"},
      {"caf\xc3\xa9 \xc3", "caf\xc3\xa9 \xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    database.execute("DELETE FROM kivo_error_happen");
    service s = ran(2, c.printed);
    updateService(s);
    InsertError(s, 2);
    EXPECT_EQ(database.value("SELECT service_last_stdout FROM kivo_services WHERE service_id=12"),
              c.stored)
        << c.stored;
    EXPECT_EQ(database.value("SELECT happen_message FROM kivo_error_happen"), c.stored) << c.stored;
  }
  EXPECT_TRUE(errors().empty()) << output.text();
}

TEST_F(JournalTest, InsertErrorOpensARecordOfTheCodesKind) {
  struct Case {
    int code;
    const char* kind;
  } cases[] = {
      {1, "default_warning_error"}, {2, "default_critical_error"}, {3, "default_unknow_error"}};
  const std::string printed = "quote ' and \"double\"\nsecond line\n";
  for (const Case& c : cases) {
    database.execute("DELETE FROM kivo_error_happen");
    InsertError(ran(c.code, printed), c.code);
    EXPECT_EQ(database.rows("SELECT happen_error_id, happen_device_id, happen_service_id,"
                            " happen_message, happen_acquitte, happen_value,"
                            " happen_timestamp > now() - interval '1 minute',"
                            " happen_time_acquitte IS NULL FROM kivo_error_happen"),
              (std::vector<std::vector<std::string>>{
                  {errorId(c.kind), "7", "12", printed, "0", "0", "t", "t"}}))
        << c.kind;
  }
  EXPECT_TRUE(errors().empty());
}

TEST_F(JournalTest, InsertErrorWithoutAKindLogsTheServersTextOnce) {
  struct Case {
    const char* what;
    int code;
    bool dropKinds;
  } cases[] = {{"code 4", 4, false}, {"code 0", 0, false}, {"kind not loaded", 2, true}};
  bool first = true;
  for (const Case& c : cases) {
    if (c.dropKinds) map_error.clear();
    CapturedOutput log;
    InsertError(ran(c.code, "out"), c.code);
    std::vector<std::string> lines = logMessages(log.text());
    // The same error again is counted, not written again.
    if (!first) lines.insert(lines.end(), {"ERR#insert error failed:  Exec prepareRequest failed:  ERROR:  invalid input "
                  "syntax for type integer: \"\"",
                  "CONTEXT:  unnamed portal parameter $1 = ''",
                  ""});
    first = false;
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "\t[PG EXEC PREPARERESQUEST] request name : InsertErrorHappen",
                  "\t[PG EXEC PREPARERESQUEST] nbr param: 4",
                  "\t[PG EXEC PREPARERESQUEST] param 0 : ",
                  "\t[PG EXEC PREPARERESQUEST] param 1 : 7",
                  "\t[PG EXEC PREPARERESQUEST] param 2 : 12",
                  "\t[PG EXEC PREPARERESQUEST] param 3 : out",
                  "\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR:ERROR:  invalid input "
                  "syntax for type integer: \"\"",
                  "CONTEXT:  unnamed portal parameter $1 = ''",
                  "",
                  "ERR#insert error failed:  Exec prepareRequest failed:  ERROR:  invalid input "
                  "syntax for type integer: \"\"",
                  "CONTEXT:  unnamed portal parameter $1 = ''",
                  ""}))
        << c.what;
  }
  EXPECT_EQ(database.value("SELECT count(*) FROM kivo_error_happen"), "0");
}

TEST_F(JournalTest, AcquitteErrorAfterAnOkRunDoesNothing) {
  openRecord(1);
  CapturedOutput log;
  AcquitteError(ran(0, "ok"), 0);
  EXPECT_EQ(log.text(), "");
  EXPECT_EQ(database.rows(kOpenRecords), (std::vector<std::vector<std::string>>{{"1"}}));
}

TEST_F(JournalTest, AcquitteErrorClosesTheNewestOfTwoOpenRecords) {
  service s = ran(2, "down");
  InsertError(s, 2);
  InsertError(s, 2);
  openRecord(1000, 13);  // another service's record stays open
  std::vector<std::vector<std::string>> open = database.rows(kOpenRecords);
  ASSERT_EQ(open.size(), 2u);
  AcquitteError(s, 2);
  EXPECT_EQ(database.rows(kOpenRecords), (std::vector<std::vector<std::string>>{open[1]}));
  EXPECT_EQ(database.value("SELECT happen_acquitte || ' ' ||"
                           " (happen_time_acquitte > now() - interval '1 minute')"
                           " FROM kivo_error_happen WHERE happen_id=" + open[0][0]),
            "1 true");
  EXPECT_EQ(database.value("SELECT happen_acquitte FROM kivo_error_happen WHERE happen_id=1000"),
            "0");
  EXPECT_TRUE(errors().empty());
}

TEST_F(JournalTest, AcquitteErrorWithoutOpenRecordRunsOnlyTheCheck) {
  openRecord(5, 12, 1);
  CapturedOutput log;
  AcquitteError(ran(1, "w"), 3);
  EXPECT_EQ(log.text(),
            "\t[PG EXEC PREPARERESQUEST] request name : CheckErrorHappen\n"
            "\t[PG EXEC PREPARERESQUEST] nbr param: 2\n"
            "\t[PG EXEC PREPARERESQUEST] param 0 : 7\n"
            "\t[PG EXEC PREPARERESQUEST] param 1 : 12\n");
}

// The trace lines of running "CheckErrorHappen" for service 12 of device 7.
const std::vector<std::string> kCheckLines = {
    "\t[PG EXEC PREPARERESQUEST] request name : CheckErrorHappen",
    "\t[PG EXEC PREPARERESQUEST] nbr param: 2",
    "\t[PG EXEC PREPARERESQUEST] param 0 : 7",
    "\t[PG EXEC PREPARERESQUEST] param 1 : 12",
};

std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST_F(JournalTest, AcquitteErrorFailuresAreLoggedAndLeaveTheRecordOpen) {
  openRecord(8);
  service s = ran(2, "down");
  const std::string prefix = "ERR#EXEC AcquitteErrorHappen failed in function AcquitteError: ";
  {
    // The acknowledgement is refused.
    database.execute(
        "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS"
        " $$BEGIN RAISE EXCEPTION 'acknowledgement refused'; END$$;"
        "CREATE TRIGGER refuse BEFORE UPDATE ON kivo_error_happen"
        " FOR EACH ROW EXECUTE FUNCTION refuse();");
    CapturedOutput log;
    AcquitteError(s, 2);
    const std::string context = "CONTEXT:  PL/pgSQL function refuse() line 1 at RAISE";
    EXPECT_EQ(logMessages(log.text()),
              joined(kCheckLines,
                     {"\t[PG EXEC PREPARERESQUEST] request name : AcquitteErrorHappen",
                      "\t[PG EXEC PREPARERESQUEST] nbr param: 1",
                      "\t[PG EXEC PREPARERESQUEST] param 0 : 8",
                      "\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR:ERROR:  "
                      "acknowledgement refused",
                      context, "",
                      prefix + "Exec prepareRequest failed:  ERROR:  acknowledgement refused",
                      context, ""}))
        << "the update fails";
    database.execute("DROP TRIGGER refuse ON kivo_error_happen");
  }
  {
    // The check itself fails: on this connection it was never prepared.
    pgSQL.reset(new pgSafeThread(database.connectionString()));
    CapturedOutput log;
    AcquitteError(s, 2);
    const std::string serverText = "ERROR:  prepared statement \"CheckErrorHappen\" does not exist";
    EXPECT_EQ(logMessages(log.text()),
              joined(kCheckLines,
                     {"\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR:" + serverText, "",
                      prefix + "Exec prepareRequest failed:  " + serverText, ""}))
        << "the check fails";
  }
  EXPECT_EQ(database.rows(kOpenRecords), (std::vector<std::vector<std::string>>{{"8"}}));
}

TEST_F(JournalTest, GetHappenErrorGivesTheNewestOpenRecord) {
  openRecord(41);
  openRecord(42);
  openRecord(50, 12, 1);
  openRecord(60, 13);
  service s = ran(2, "down");
  EXPECT_EQ(getHappenError(s), 42.0);
  database.execute("UPDATE kivo_error_happen SET happen_acquitte=1 WHERE happen_service_id=12");
  CapturedOutput log;
  EXPECT_EQ(getHappenError(s), -1.0);
  EXPECT_EQ(logMessages(log.text()), kCheckLines) << "no open record: nothing logged";
}

TEST_F(JournalTest, GetHappenErrorFailureGivesMinusOne) {
  openRecord(42);
  service s = ran(2, "down");
  pgSQL.reset(new pgSafeThread(database.connectionString()));
  CapturedOutput log;
  EXPECT_EQ(getHappenError(s), -1.0);
  const std::string serverText = "ERROR:  prepared statement \"CheckErrorHappen\" does not exist";
  EXPECT_EQ(logMessages(log.text()),
            joined(kCheckLines,
                   {"\t[PG EXEC PREPARERESQUEST] status: PGRES_FATAL_ERROR:" + serverText, "",
                    "ERR#EXEC CheckErrorHappen failed in function getHappenError: Exec "
                    "prepareRequest failed:  " + serverText, ""}));
}

// The lookup of the newest open record is one probe into the index of open
// records, whichever plan the server uses for the prepared statement, also
// when every record of a big journal is open (this daemon acknowledges
// few).
TEST_F(JournalTest, CheckErrorHappenReadsOneIndexEntry) {
  database.execute(
      "INSERT INTO kivo_services(service_id, service_name, service_plugin_id, service_device_id)"
      "  SELECT i, 's', 3, 7 FROM generate_series(100, 299) i;"
      "INSERT INTO kivo_error_happen(happen_error_id, happen_device_id, happen_service_id,"
      "  happen_acquitte) SELECT 1, 7, 100 + i % 200, i % 2 FROM generate_series(1, 40000) i;"
      "ANALYZE kivo_error_happen;");
  for (const char* mode : {"force_custom_plan", "force_generic_plan"}) {
    PgResult set(pgSQL->executeRequest(std::string("SET plan_cache_mode = ") + mode));
    PgResult plan(pgSQL->executeRequest("EXPLAIN EXECUTE \"CheckErrorHappen\"('7', '150')"));
    std::string text;
    for (int row = 0; row < PQntuples(plan.get()); ++row) {
      text += std::string(PQgetvalue(plan.get(), row, 0)) + "\n";
    }
    EXPECT_NE(text.find("Limit"), std::string::npos) << mode << "\n" << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("Index (Only )?Scan Backward using "
                                                   "kivo_error_happen_open")))
        << mode << "\n" << text;
    EXPECT_EQ(text.find("Sort"), std::string::npos) << mode << "\n" << text;
  }
}

TEST_F(JournalTest, GetErrorIdFromTheLoadedKinds) {
  struct Case {
    int code;
    std::string id;
  } cases[] = {
      {1, errorId("default_warning_error")}, {2, errorId("default_critical_error")},
      {3, errorId("default_unknow_error")},  {0, ""}, {4, ""}, {-1, ""}, {5, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(getErrorId(c.code), c.id) << "code " << c.code;
  EXPECT_EQ(map_error.size(), 3u);
}

TEST_F(JournalTest, OnlyTheThreeKindsAreLoadedAndMissingOnesStayMissing) {
  map_error.clear();
  database.execute("DELETE FROM kivo_errors WHERE error_name <> 'default_warning_error';"
                   "INSERT INTO kivo_errors(error_id, error_name) VALUES (90, 'custom_error')");
  loadErrorKinds(*pgSQL);
  EXPECT_EQ(map_error, (std::map<std::string, std::string>{
                           {"default_warning_error", errorId("default_warning_error")}}));
  EXPECT_EQ(getErrorId(2), "");
}

}  // namespace

}  // namespace kivo
