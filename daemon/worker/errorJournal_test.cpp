// The service state and the error journal on a real server's rows.
#include "daemon/worker/errorJournal.h"

#include "daemon/worker/serviceStates.h"
#include "testing/daemonDatabaseTest.h"
#include "testing/workerContext.h"

namespace kivo {

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Open records of service 12, newest first.
const char* const kOpen =
    "SELECT happen_id FROM kivo_error_happen WHERE happen_service_id=12 AND happen_acquitte=0"
    " ORDER BY happen_id DESC";

class JournalTest : public DaemonDatabaseTest {
 protected:
  void SetUp() override {
    DaemonDatabaseTest::SetUp();
    database.execute(
        "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (7, 167838211);"
        "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
        "  VALUES (3, '/bin/true', 'trap', '.1.3.6.1.4.1.99.0.1');"
        "INSERT INTO kivo_services(service_id, service_name, service_plugin_id,"
        "  service_device_id) VALUES (12, 'link', 3, 7), (13, 'disk', 3, 7);");
    prepareJournalStatements(*pgSQL);
    loadErrorKinds(*pgSQL);
  }

  // The journal's failures are told once, as a worker's are.
  WorkerContext context;
  WorkerPartsInUse parts{context.parts()};

  // Service 12 of device 7 after a run that ended with code and printed output.
  static service ran(int code, const std::string& output) {
    service s;
    s.SetService_id(12);
    s.SetDevice_id(7);
    s.SetResult(code, output);
    return s;
  }
  void openRecord(int id, int service = 12, int acquitte = 0) {
    database.execute("INSERT INTO kivo_error_happen(happen_id, happen_error_id, happen_device_id,"
                     " happen_service_id, happen_acquitte) VALUES (" + std::to_string(id) +
                     ", 1, 7, " + std::to_string(service) + ", " + std::to_string(acquitte) + ")");
  }
  std::string errorId(const std::string& name) {
    return database.value("SELECT error_id FROM kivo_errors WHERE error_name='" + name + "'");
  }
};

using JournalPreparationTest = DaemonDatabaseTest;

TEST_F(JournalPreparationTest, PreparationStopsAtTheFirstFailureAndEachFailureIsTold) {
  pgSQL->prepareRequest("InsertErrorHappen", "SELECT 1", 0);
  EXPECT_THROW(prepareJournalStatements(*pgSQL), PostgresqlException);
  PgResult prepared(pgSQL->executeRequest(
      "SELECT string_agg(name, ' ' ORDER BY name) FROM pg_prepared_statements"));
  EXPECT_STREQ(PQgetvalue(prepared.get(), 0, 0), "InsertErrorHappen UpdateState");
  // The lookup was never prepared: it fails, and with no worker parts in use every
  // failure is told, and a success ends nothing.
  service s;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(getHappenError(s), -1.0) << i;
  EXPECT_TRUE(storeRun(s));
  EXPECT_EQ(logged("ERR#EXEC CheckErrorHappen failed in function getHappenError: ", false), 2)
      << output.text();
}

// Quotes, SQL, bytes the server would refuse: never cost a run its state or
// record. A record opens only for a known kind, and a failure is told once.
TEST_F(JournalTest, TheRunIsStoredAsValidTextAndARecordOpensOnlyForAKnownKind) {
  const std::string sql = "it's \"down\"\nDROP TABLE x;--\n";
  struct Case {
    int code;
    const char* kind;  // nullptr: no record
    std::string printed, stored;
  } cases[] = {{1, "default_warning_error", "out", "out"}, {3, "default_unknow_error", "", ""},
               {2, "default_critical_error", sql, sql},
               {2, "default_critical_error", std::string("caf\xc3\xa9 \xff\0", 8),
                "caf\xc3\xa9 \xEF\xBF\xBD"},
               {0, nullptr, "", ""}, {-1, nullptr, "", ""}, {4, nullptr, "", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " " + c.stored);
    database.execute("DELETE FROM kivo_error_happen");
    EXPECT_TRUE(storeRun(ran(c.code, c.printed)));
    EXPECT_EQ(insertErrorRecord(ran(c.code, c.printed), c.code), c.kind != nullptr);
    EXPECT_EQ(database.rows("SELECT service_id, service_previous_state, service_last_stdout,"
                            " service_last_exec_time > now() - interval '1 minute'"
                            " FROM kivo_services ORDER BY service_id"),
              (Rows{{"12", std::to_string(c.code), c.stored, "t"},
                    {"13", "<NULL>", "<NULL>", "<NULL>"}}));
    EXPECT_EQ(database.rows("SELECT happen_error_id, happen_device_id, happen_service_id,"
                            " happen_message, happen_acquitte, happen_time_acquitte IS NULL"
                            " FROM kivo_error_happen"),
              (c.kind ? Rows{{errorId(c.kind), "7", "12", c.stored, "0", "t"}} : Rows{}));
  }
  // What the next start reads back as each service's previous state.
  ServiceStates states;
  states.load(*pgSQL);
  EXPECT_EQ(states.previous(12), 4);
  EXPECT_EQ(states.previous(13), 0);
  map_error.erase("default_critical_error");
  EXPECT_FALSE(insertErrorRecord(ran(2, "out"), 2)) << "a kind missing from the map";
  EXPECT_EQ(logged("ERR#", false), 1) << output.text();
  EXPECT_EQ(logged("ERR#insert error failed:  ", false), 1);
}

TEST_F(JournalTest, AcknowledgementClosesTheNewestOpenRecordAfterAnErrorState) {
  openRecord(1);
  openRecord(2);
  openRecord(3, 12, 1);
  openRecord(1000, 13);
  AcquitteError(ran(0, "ok"), 0);
  EXPECT_EQ(database.rows(kOpen), (Rows{{"2"}, {"1"}})) << "previous state OK: nothing runs";
  EXPECT_EQ(getHappenError(ran(2, "")), 2.0);
  AcquitteError(ran(0, "ok"), 2);
  EXPECT_EQ(database.rows(kOpen), (Rows{{"1"}}));
  EXPECT_EQ(database.value("SELECT (happen_time_acquitte > now() - interval '1 minute') || ' ' ||"
                           " (SELECT happen_acquitte FROM kivo_error_happen WHERE happen_id=1000)"
                           " FROM kivo_error_happen WHERE happen_id=2"),
            "true 0");
  AcquitteError(ran(0, "ok"), 3);
  AcquitteError(ran(0, "ok"), 3);
  EXPECT_EQ(database.rows(kOpen), Rows{}) << "no open record: nothing to close";
  EXPECT_EQ(getHappenError(ran(2, "")), -1.0);
  EXPECT_EQ(logged("ERR#", false), 0) << output.text();
}

TEST_F(JournalTest, FailuresAreReportedAndLeaveTheRowAndTheRecordAsTheyWere) {
  storeRun(ran(1, "first"));
  database.execute("ALTER TABLE kivo_services ADD CONSTRAINT no_refused"
                   " CHECK (service_last_stdout <> 'refused')");
  EXPECT_THROW(updateService(ran(2, "refused")), PostgresqlException);
  EXPECT_FALSE(storeRun(ran(2, "refused")));
  EXPECT_EQ(logged("ERR#UpdateState failed for service 12: ", false), 1) << output.text();
  EXPECT_EQ(database.value("SELECT service_previous_state || ' ' || service_last_stdout"
                           " FROM kivo_services WHERE service_id=12"),
            "1 first");
  EXPECT_FALSE(storeRun(ran(2, "refused")));
  EXPECT_TRUE(storeRun(ran(1, "first")));
  EXPECT_EQ(logged("INFO#database statement UpdateState failed 1 more times with the same error "
                   "(23514), then succeeded"),
            1)
      << output.text();
  openRecord(8);
  database.execute("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS"
                   " $$BEGIN RAISE EXCEPTION 'acknowledgement refused'; END$$;"
                   "CREATE TRIGGER refuse BEFORE UPDATE ON kivo_error_happen"
                   " FOR EACH ROW EXECUTE FUNCTION refuse();");
  AcquitteError(ran(0, ""), 2);
  const std::string acknowledge = "ERR#EXEC AcquitteErrorHappen failed in function AcquitteError: ";
  EXPECT_EQ(logged(acknowledge, false), 1) << output.text();
  EXPECT_EQ(database.rows(kOpen), (Rows{{"8"}})) << "the update fails";
}

}  // namespace

}  // namespace kivo
