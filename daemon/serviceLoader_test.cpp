// Loading the trap services from real rows.
#include "daemon/serviceLoader.h"

#include <set>

#include "testing/daemonDatabaseTest.h"

namespace kivo {

namespace {

const char* const kMailAlert = "/usr/local/bin/mail-alert";
const char* const kSmsAlert = "/usr/local/bin/sms-alert";
const char* const kOidA = ".1.3.6.1.4.1.99.0.1";
const char* const kOidB = ".1.3.6.1.4.1.99.0.2";

// Device 1 is 10.1.2.3; device 2 is 192.0.2.7 plus 2^32; device 3 has no
// address. Service 100 has no alerting program, 101 one, 102 two; 104 has a
// plug-in that is not a trap plug-in.
const char* const kRows =
    "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES"
    "  (1, 167838211), (2, 7516193287), (3, NULL);"
    "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid) VALUES"
    "  (10, '/usr/lib/kivo/check_a', 'trap', '.1.3.6.1.4.1.99.0.1'),"
    "  (11, '/usr/lib/kivo/check_b', 'trap', '.1.3.6.1.4.1.99.0.2'),"
    "  (12, '/usr/lib/kivo/check_ping', 'active', '.1.3.6.1.4.1.99.0.9');"
    "INSERT INTO kivo_program(program_id, program_path) VALUES"
    "  (20, '/usr/local/bin/mail-alert'), (21, '/usr/local/bin/sms-alert');"
    "INSERT INTO kivo_services(service_id, service_name, service_parameter,"
    "  service_plugin_id, service_device_id) VALUES"
    "  (100, 'link', '-H 10.1.2.3  -w \"5 s\"', 10, 1),"
    "  (101, 'fan', '', 11, 1),"
    "  (102, 'power', '-p $1', 10, 2),"
    "  (103, 'orphan', '', 10, 3),"
    "  (104, 'ping', '-H 10.1.2.3', 12, 1);"
    "INSERT INTO kivo_service_response_program(response_service_id, response_program_id,"
    "  response_unknown, response_warning, response_critical, response_parameter) VALUES"
    "  (101, 20, false, true, false, '-id $ERROR -to ops'),"
    "  (102, 20, true, false, true, '-id $ERROR'),"
    "  (102, 21, false, false, true, '$ERROR');";

class ServiceLoaderTest : public DaemonDatabaseTest {
 protected:
  // The service answering oid under key; fails the test when there is none.
  service found(const std::string& key, const std::string& oid) {
    int position = map_service_trap.searchServiceByOID(key, oid);
    EXPECT_GE(position, 0) << key << " " << oid;
    return map_service_trap.getServiceByPosition(key, position);
  }
};

TEST_F(ServiceLoaderTest, OneEntryPerServiceAndAlertingProgram) {
  database.execute(kRows);
  LoadTrapService(trapServiceQuery());
  // 100, 101, 102 twice, 103; never 104.
  EXPECT_EQ(map_service_trap.size(), 5u);
  EXPECT_EQ(map_service_trap.searchServiceByOID("10.1.2.3", ".1.3.6.1.4.1.99.0.9"), -1);
  EXPECT_EQ(lines(), (std::vector<std::string>{"\t[PG CONSTRUCT] connexion",
                                               "\t[PG EXEC] status: PGRES_TUPLES_OK"}));
}

TEST_F(ServiceLoaderTest, ServiceWithoutAlertingProgram) {
  database.execute(kRows);
  LoadTrapService(trapServiceQuery());
  service s = found("10.1.2.3", kOidA);
  EXPECT_EQ(s.GetPlugin_id(), 10);
  EXPECT_EQ(s.Getname(), "link");
  EXPECT_EQ(s.Getpath(), "/usr/lib/kivo/check_a");
  EXPECT_EQ(s.Getparameter(), "-H 10.1.2.3  -w \"5 s\"");
  EXPECT_EQ(s.getVectorParam(), (std::vector<std::string>{"-H", "10.1.2.3", "-w", "5 s"}));
  EXPECT_EQ(s.GetDevice_id(), 1);
  EXPECT_EQ(s.GetService_id(), 100);
  EXPECT_EQ(s.GetOID(), kOidA);
  EXPECT_EQ(s.GetAlertingSoftware(), "");
  EXPECT_FALSE(s.GetAlertingUnknown());
  EXPECT_FALSE(s.GetAlertingWarning());
  EXPECT_FALSE(s.GetAlertingCritical());
  EXPECT_TRUE(s.getVectorAlertingParam().empty());
}

TEST_F(ServiceLoaderTest, ServiceWithOneAlertingProgram) {
  database.execute(kRows);
  LoadTrapService(trapServiceQuery());
  service s = found("10.1.2.3", kOidB);
  EXPECT_EQ(s.GetService_id(), 101);
  EXPECT_EQ(s.GetAlertingSoftware(), kMailAlert);
  EXPECT_FALSE(s.GetAlertingUnknown());
  EXPECT_TRUE(s.GetAlertingWarning());
  EXPECT_FALSE(s.GetAlertingCritical());
  EXPECT_EQ(s.getVectorAlertingParam(), (std::vector<std::string>{"-id", "$ERROR", "-to", "ops"}));
  EXPECT_TRUE(s.getVectorParam().empty());
}

TEST_F(ServiceLoaderTest, ServiceWithTwoAlertingProgramsIsLoadedTwice) {
  database.execute(kRows);
  LoadTrapService(trapServiceQuery());
  // The rows come in the server's order; compare the two entries as a set.
  std::set<std::string> entries;
  for (int position = 0; position < 2; ++position) {
    service s = map_service_trap.getServiceByPosition("192.0.2.7", position);
    EXPECT_EQ(s.GetService_id(), 102) << "position " << position;
    std::string alerting = s.GetAlertingSoftware() + (s.GetAlertingUnknown() ? " u" : "") +
                           (s.GetAlertingWarning() ? " w" : "") +
                           (s.GetAlertingCritical() ? " c" : "");
    for (const std::string& argument : s.getVectorAlertingParam()) alerting += " " + argument;
    entries.insert(alerting);
  }
  EXPECT_EQ(entries, (std::set<std::string>{std::string(kMailAlert) + " u c -id $ERROR",
                                           std::string(kSmsAlert) + " c $ERROR"}));
  EXPECT_EQ(map_service_trap.getServiceByPosition("192.0.2.7", 2).GetService_id(), 0);
}

TEST_F(ServiceLoaderTest, AddressKeyFromTheDeviceNumber) {
  database.execute(kRows);
  LoadTrapService(trapServiceQuery());
  struct Case {
    const char* key;
    const char* oid;
    int service;
  } cases[] = {
      {"10.1.2.3", kOidA, 100},   // 167838211
      {"192.0.2.7", kOidA, 102},  // 7516193287: only the low 32 bits count
      {"0.0.0.0", kOidA, 103},    // NULL
  };
  for (const Case& c : cases) EXPECT_EQ(found(c.key, c.oid).GetService_id(), c.service) << c.key;
}

// Services of one device stay in the order of the rows; the query has no
// order of its own, so this one is given one.
TEST_F(ServiceLoaderTest, ServicesOfADeviceKeepTheRowOrder) {
  database.execute(kRows);
  LoadTrapService(trapServiceQuery() + " ORDER BY service_id DESC");
  EXPECT_EQ(map_service_trap.getServiceByPosition("10.1.2.3", 0).GetService_id(), 101);
  EXPECT_EQ(map_service_trap.getServiceByPosition("10.1.2.3", 1).GetService_id(), 100);
  EXPECT_EQ(map_service_trap.searchServiceByOID("10.1.2.3", kOidA), 1);
}

TEST(DeviceAddressKey, TextsWithoutAUsableNumber) {
  struct Case {
    const char* text;
    const char* key;
  } cases[] = {
      {"4294967295", "255.255.255.255"}, {"4294967296", "0.0.0.0"}, {"", "0.0.0.0"},
      {"abc", "0.0.0.0"},                {"3221225991xyz", "192.0.2.7"},
  };
  for (const Case& c : cases) EXPECT_EQ(deviceAddressKey(c.text), c.key) << c.text;
}

TEST_F(ServiceLoaderTest, NoTrapServiceLeavesTheMapEmpty) {
  LoadTrapService(trapServiceQuery());
  EXPECT_EQ(map_service_trap.size(), 0u);
}

TEST_F(ServiceLoaderTest, FailedQueryReachesTheCaller) {
  database.execute(kRows);
  database.execute("DROP TABLE kivo_service_response_program, kivo_program");
  try {
    LoadTrapService(trapServiceQuery());
    ADD_FAILURE() << "LoadTrapService must throw";
  } catch (const PostgresqlException& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "execute failed:  ERROR:  relation \"kivo_service_response_program\" does not "
                  "exist\n",
                  0),
              0u)
        << e.what();
  }
  EXPECT_EQ(map_service_trap.size(), 0u);
  EXPECT_EQ(lines().at(1), "\t[PG EXEC] status: PGRES_FATAL_ERROR");
}

// The query's joins go over keys: each of its tables is reached through an
// index, not read whole, once the tables hold enough rows to make that
// matter. Only the small plug-in table may be read whole.
TEST_F(ServiceLoaderTest, QueryJoinsUseIndexes) {
  database.execute(
      "INSERT INTO kivo_device(device_id, device_ip_addr)"
      "  SELECT i, i FROM generate_series(1, 20000) i;"
      "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
      "  SELECT i, '/p', CASE WHEN i = 1 THEN 'trap' ELSE 'active' END, '.1'"
      "  FROM generate_series(1, 200) i;"
      "INSERT INTO kivo_program(program_id, program_path) VALUES (1, '/a');"
      "INSERT INTO kivo_services(service_id, service_name, service_plugin_id, service_device_id)"
      "  SELECT i, 's', 2 + i % 199, i FROM generate_series(1, 20000) i;"
      "INSERT INTO kivo_services(service_id, service_name, service_plugin_id, service_device_id)"
      "  VALUES (20001, 't', 1, 5);"
      "INSERT INTO kivo_service_response_program(response_service_id, response_program_id)"
      "  SELECT i, 1 FROM generate_series(1, 20001) i;"
      "ANALYZE;");
  std::string plan;
  for (const auto& row : database.rows("EXPLAIN " + trapServiceQuery())) plan += row[0] + "\n";
  for (const char* table : {"kivo_services", "kivo_device", "kivo_service_response_program"}) {
    EXPECT_EQ(plan.find(std::string("Seq Scan on ") + table), std::string::npos)
        << table << "\n" << plan;
  }
}

}  // namespace

}  // namespace kivo
