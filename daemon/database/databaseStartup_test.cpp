// The daemon's database work on a real server: at the start a failed
// preparation, the trap services and the priority file;
// then the service state and the error journal on real rows. The binary's
// tests show the connection, the statements and the kinds at work.
#include "daemon/database/databaseStartup.h"

#include "daemon/worker/errorJournal.h"
#include "daemon/database/priorityFile.h"
#include "daemon/database/serviceLoader.h"
#include "daemon/worker/serviceStates.h"
#include "testing/daemonDatabaseTest.h"
#include "testing/workerContext.h"

namespace kivo {

namespace {

// Device 1 is 10.1.2.3, device 2 192.0.2.7 plus 2^32, device 3 has no
// address. Service 100 has no alerting program, 101 one, 102 two; 104's
// plug-in is no trap plug-in.
const char* const kRows =
    "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES"
    "  (1, 167838211), (2, 7516193287), (3, NULL);"
    "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid,"
    "  plugin_priority) VALUES"
    "  (10, '/p/a', 'trap', '.1.9.1', 2), (11, '/p/b', 'trap', '.1.9.2', NULL),"
    "  (12, '/p/c', 'active', '.1.9.3', 1), (13, '/p/d', 'trap', NULL, 3);"
    "INSERT INTO kivo_program(program_id, program_path) VALUES (20, '/mail'), (21, '/sms');"
    "INSERT INTO kivo_services(service_id, service_name, service_parameter,"
    "  service_plugin_id, service_device_id) VALUES"
    "  (100, 'link', '-H 10.1.2.3  -w \"5 s\"', 10, 1), (101, 'fan', '', 11, 1),"
    "  (102, 'power', '-p $1', 10, 2), (103, 'orphan', '', 10, 3), (104, 'ping', '', 12, 1);"
    "INSERT INTO kivo_service_response_program(response_service_id, response_program_id,"
    "  response_unknown, response_warning, response_critical, response_parameter) VALUES"
    "  (101, 20, false, true, false, '-i $ERROR -x'), (102, 20, true, false, true, 'x'),"
    "  (102, 21, false, false, true, '$ERROR');";

class DatabaseStartupTest : public DaemonDatabaseTest {
 protected:
  // The service id, path, parameters, alerting program, its flags and arguments.
  static std::string shown(const service& s) {
    std::string text = std::to_string(s.GetService_id()) + " " + s.Getname() + " " +
                       s.Getpath() + " " + std::to_string(s.GetDevice_id()) + " " + s.GetOID() +
                       " [" + s.Getparameter() + "] " + s.GetAlertingSoftware() +
                       (s.GetAlertingUnknown() ? " u" : "") + (s.GetAlertingWarning() ? " w" : "") +
                       (s.GetAlertingCritical() ? " c" : "");
    for (const std::string& argument : s.getVectorAlertingParam()) text += " <" + argument + ">";
    return text;
  }
  // How many lines start with text, or are it when whole.
  int logged(const std::string& text, bool whole = true) const {
    int n = 0;
    for (const std::string& line : lines()) n += whole ? line == text : line.rfind(text, 0) == 0;
    return n;
  }
  std::vector<std::string> loaded(const std::string& key) {
    std::vector<std::string> services;
    for (int i = 0; map_service_trap.getServiceByPosition(key, i).GetService_id() != 0; ++i) {
      services.push_back(shown(map_service_trap.getServiceByPosition(key, i)));
    }
    return services;
  }

  TempDir dir;
};

TEST_F(DatabaseStartupTest, PreparationStopsAtTheFirstFailure) {
  pgSQL->prepareRequest("InsertErrorHappen", "SELECT 1", 0);
  EXPECT_THROW(prepareJournalStatements(*pgSQL), PostgresqlException);
  PgResult prepared(pgSQL->executeRequest(
      "SELECT string_agg(name, ' ' ORDER BY name) FROM pg_prepared_statements"));
  EXPECT_STREQ(PQgetvalue(prepared.get(), 0, 0), "InsertErrorHappen UpdateState");
}

TEST_F(DatabaseStartupTest, OneServicePerAlertingProgramUnderItsDevicesAddress) {
  database.execute(kRows);
  LoadTrapService(trapServiceQuery() + " ORDER BY service_id, program_path");
  using Texts = std::vector<std::string>;
  EXPECT_EQ(loaded("10.1.2.3"), (Texts{"100 link /p/a 1 .1.9.1 [-H 10.1.2.3  -w \"5 s\"] ",
                                       "101 fan /p/b 1 .1.9.2 [] /mail w <-i> <$ERROR> <-x>"}))
      << "no alerting program, and one";
  EXPECT_EQ(loaded("192.0.2.7"), (Texts{"102 power /p/a 2 .1.9.1 [-p $1] /mail u c <x>",
                                        "102 power /p/a 2 .1.9.1 [-p $1] /sms c <$ERROR>"}));
  EXPECT_EQ(loaded("0.0.0.0"), Texts{"103 orphan /p/a 3 .1.9.1 [] "});
  EXPECT_EQ(map_service_trap.size(), 5u) << "never the active plug-in's service";
}

TEST_F(DatabaseStartupTest, ThePriorityFileHasOneLinePerTrapPluginWithAnOid) {
  trap_pqueue_file = dir.file("trap.pqueue");
  writeFile(trap_pqueue_file, "[TRAP]\n.9=9\n");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(trap_pqueue_file), "[TRAP]\n") << "no plug-in";
  database.execute(kRows);
  CreatePriorityTrap();
  const std::string written = readFile(trap_pqueue_file);
  EXPECT_TRUE(written == "[TRAP]\n.1.9.1=2\n.1.9.2=\n" || written == "[TRAP]\n.1.9.2=\n.1.9.1=2\n")
      << written;
  EXPECT_EQ(logged("INFO#.1.9.1 priority 2") + logged("INFO#.1.9.2 priority "), 2);
  trap_pqueue_file = dir.file("missing/trap.pqueue");
  CreatePriorityTrap();
  EXPECT_EQ(logged("error to open kivo.conf in /etc/kivo/kivo.conf"), 1);
  trap_pqueue_file = dir.file("trap.pqueue");
  database.execute("ALTER TABLE kivo_plugins RENAME COLUMN plugin_priority TO priority");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(trap_pqueue_file), written) << "a failed query keeps the earlier file";
  EXPECT_EQ(logged("POSTGRESQL EXECPETION", false), 1);
  trap_pqueue_file.clear();
}

using Rows = std::vector<std::vector<std::string>>;

// Open records of service 12, newest first.
const char* const kOpen =
    "SELECT happen_id FROM kivo_error_happen WHERE happen_service_id=12 AND happen_acquitte=0"
    " ORDER BY happen_id DESC";

class JournalTest : public DatabaseStartupTest {
 protected:
  void SetUp() override {
    DatabaseStartupTest::SetUp();
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

// Quotes, SQL, bytes the server would refuse: never cost a run its state or record.
TEST_F(JournalTest, TheRunIsStoredInTheRowAndRecordAsValidText) {
  struct Case {
    std::string printed, stored;
  } cases[] = {
      {"it's \"down\"\nDROP TABLE x;--\n", "it's \"down\"\nDROP TABLE x;--\n"},
      {std::string("caf\xc3\xa9 \xff\0", 8), "caf\xc3\xa9 \xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    database.execute("DELETE FROM kivo_error_happen");
    service s = ran(2, c.printed);
    EXPECT_TRUE(storeRun(s));
    EXPECT_TRUE(insertErrorRecord(s, 2));
    EXPECT_EQ(database.rows("SELECT service_id, service_previous_state, service_last_stdout,"
                            " service_last_exec_time > now() - interval '1 minute'"
                            " FROM kivo_services ORDER BY service_id"),
              (Rows{{"12", "2", c.stored, "t"}, {"13", "<NULL>", "<NULL>", "<NULL>"}})) << c.stored;
    EXPECT_EQ(database.value("SELECT happen_message FROM kivo_error_happen"), c.stored);
  }
  EXPECT_TRUE(errors().empty()) << output.text();
  // What the next start reads back as each service's previous state.
  ServiceStates states;
  states.load(*pgSQL);
  EXPECT_EQ(states.previous(12), 2);
  EXPECT_EQ(states.previous(13), 0);
}

TEST_F(JournalTest, ARecordOpensOnlyForAKnownKindAndAFailureIsToldOnce) {
  struct Case {
    int code;
    const char* kind;  // nullptr: no record
  } cases[] = {{1, "default_warning_error"}, {2, "default_critical_error"},
               {3, "default_unknow_error"},  {0, nullptr}, {4, nullptr}, {-1, nullptr}};
  for (const Case& c : cases) {
    database.execute("DELETE FROM kivo_error_happen");
    EXPECT_EQ(insertErrorRecord(ran(c.code, "out"), c.code), c.kind != nullptr) << c.code;
    EXPECT_EQ(getErrorId(c.code), c.kind ? errorId(c.kind) : "") << c.code;
    EXPECT_EQ(database.rows("SELECT happen_error_id, happen_device_id, happen_service_id,"
                            " happen_message, happen_acquitte, happen_time_acquitte IS NULL"
                            " FROM kivo_error_happen"),
              (c.kind ? Rows{{errorId(c.kind), "7", "12", "out", "0", "t"}} : Rows{})) << c.code;
  }
  map_error.erase("default_critical_error");
  EXPECT_FALSE(insertErrorRecord(ran(2, "out"), 2)) << "a kind missing from the map";
  EXPECT_EQ(logged("ERR#insert error failed:  ", false), 1) << output.text();
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
  EXPECT_TRUE(errors().empty()) << output.text();
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
  openRecord(8);
  EXPECT_EQ(getHappenError(ran(2, "")), 8.0);
  database.execute("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS"
                   " $$BEGIN RAISE EXCEPTION 'acknowledgement refused'; END$$;"
                   "CREATE TRIGGER refuse BEFORE UPDATE ON kivo_error_happen"
                   " FOR EACH ROW EXECUTE FUNCTION refuse();");
  AcquitteError(ran(0, ""), 2);
  const std::string acknowledge = "ERR#EXEC AcquitteErrorHappen failed in function AcquitteError: ";
  EXPECT_EQ(logged(acknowledge, false), 1) << "the update fails";
  // On a new connection the statements were never prepared: the lookup fails.
  pgSQL.reset(new pgSafeThread(database.connectionString()));
  EXPECT_EQ(getHappenError(ran(2, "")), -1.0);
  EXPECT_EQ(logged("ERR#EXEC CheckErrorHappen failed in function getHappenError: ", false), 1)
      << output.text();
  AcquitteError(ran(0, ""), 2);
  EXPECT_EQ(database.rows(kOpen), (Rows{{"8"}}));
}

}  // namespace

}  // namespace kivo
