// The start-up's database work on a real server: the connection from the
// settings, the journal's statements, the error kinds, the trap services
// and the priority file.
#include "daemon/databaseStartup.h"

#include "daemon/errorJournal.h"
#include "daemon/priorityFile.h"
#include "daemon/serviceLoader.h"
#include "support/iniConfig.h"
#include "testing/daemonDatabaseTest.h"

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

TEST_F(DatabaseStartupTest, ConnectionStringFromTheSettings) {
  for (std::string options : {"", "sslmode=require connect_timeout=5"}) {
    writeFile(dir.file("kivo.conf"), "[POSTGRESQL]\nPGSQL_host=db1\nPGSQL_port=55x\nPGSQL_db=mon\n"
                                     "PGSQL_username=kv\nPGSQL_pwd=two words\nPGSQL_options=" +
                                         options + "\n");
    iniConfig config(dir.file("kivo.conf"));
    EXPECT_EQ(databaseConnectionString(config),
              "host=db1 port=55x dbname=mon user=kv " + options + (options.empty() ? "" : " ") +
                  "password=two words");
  }
}

// The connection (or pgSQL left null), the journal's statements on it and the kinds.
TEST_F(DatabaseStartupTest, StartDatabaseConnectsPreparesAndLoadsTheKinds) {
  pgSQL.reset();
  std::string settings = "[POSTGRESQL]\nPGSQL_host=" + TestDatabase::host() + "\nPGSQL_port=" +
                         TestDatabase::port() + "\nPGSQL_username=postgres\nPGSQL_pwd=s3cret\n";
  writeFile(dir.file("kivo.conf"), settings + "PGSQL_db=kivo_no_such_db\n");
  iniConfig missing(dir.file("kivo.conf"));
  try {
    startDatabase(missing);
    ADD_FAILURE() << "startDatabase must throw";
  } catch (const PostgresqlException& e) {
    EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
  }
  EXPECT_EQ(pgSQL, nullptr);
  EXPECT_TRUE(map_error.empty());
  writeFile(dir.file("kivo.conf"), settings + "PGSQL_db=" + database.name() + "\n");
  iniConfig config(dir.file("kivo.conf"));
  output.clear();
  startDatabase(config);
  ASSERT_NE(pgSQL, nullptr);
  EXPECT_EQ(logged("INFO#Connection database...."), 1);
  EXPECT_EQ(logged("INFO#Connection database sucessful. Encoding: UTF8"), 1);
  EXPECT_EQ(map_error.size(), 3u);
  PgResult prepared(pgSQL->executeRequest("SELECT count(*) FROM pg_prepared_statements"));
  EXPECT_STREQ(PQgetvalue(prepared.get(), 0, 0), "4");
}

TEST_F(DatabaseStartupTest, PreparationAndKindLoadingStopAtTheFirstFailure) {
  pgSQL->prepareRequest("InsertErrorHappen", "SELECT 1", 0);
  EXPECT_THROW(prepareJournalStatements(*pgSQL), PostgresqlException);
  PgResult prepared(pgSQL->executeRequest(
      "SELECT string_agg(name, ' ' ORDER BY name) FROM pg_prepared_statements"));
  EXPECT_STREQ(PQgetvalue(prepared.get(), 0, 0), "InsertErrorHappen UpdateState");
  database.execute("ALTER TABLE kivo_errors RENAME TO kivo_error_kinds");
  EXPECT_THROW(loadErrorKinds(*pgSQL), PostgresqlException);
  EXPECT_TRUE(map_error.empty());
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
  map_service_trap.clear();
  LoadTrapService(trapServiceQuery() + " ORDER BY service_id DESC");
  EXPECT_EQ(map_service_trap.getServiceByPosition("10.1.2.3", 0).GetService_id(), 101)
      << "in row order";

  database.execute("DROP TABLE kivo_service_response_program, kivo_program");
  map_service_trap.clear();
  EXPECT_THROW(LoadTrapService(trapServiceQuery()), PostgresqlException);
  EXPECT_EQ(map_service_trap.size(), 0u);
}

TEST(DeviceAddressKey, TheLow32BitsOrZero) {
  struct Case {
    const char *text, *key;
  } cases[] = {{"167838211", "10.1.2.3"},        {"4294967295", "255.255.255.255"},
               {"4294967296", "0.0.0.0"},        {"", "0.0.0.0"},
               {"abc", "0.0.0.0"},               {"3221225991xyz", "192.0.2.7"}};
  for (const Case& c : cases) EXPECT_EQ(deviceAddressKey(c.text), c.key) << c.text;
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

}  // namespace

}  // namespace kivo
