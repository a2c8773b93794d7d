// Trap services loaded from a real database into the service map.
#include "daemon/serviceLoader.h"

#include "testing/daemonDatabaseTest.h"

namespace {

typedef std::vector<std::string> Args;

class ServiceLoaderTest : public DaemonDatabaseTest {
 protected:
  void SetUp() override {
    DaemonDatabaseTest::SetUp();
    // Devices 10.1.2.3, a number above 32 bits (2^32 + 10.1.2.3) and NULL;
    // a trap plug-in and a plug-in of another type.
    database.execute(
        "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES"
        "  (1, 167838211), (2, 4462805507), (3, NULL);"
        "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid) VALUES"
        "  (5, '/plugins/check_trap', 'trap', '.1.3.6.1.4.1.99.0.1'),"
        "  (6, '/plugins/check_other', 'trap', '.1.3.6.1.4.1.99.0.2'),"
        "  (7, '/plugins/check_ping', 'active', '.1.3.6.1.4.1.99.0.1');"
        "INSERT INTO kivo_program(program_id, program_path) VALUES"
        "  (1, '/alert/mail'), (2, '/alert/sms');");
  }

  void addService(int id, int device, int plugin, const std::string& parameter) {
    database.execute("INSERT INTO kivo_services(service_id, service_name, service_parameter,"
                     " service_plugin_id, service_device_id) VALUES (" +
                     std::to_string(id) + ", 'service " + std::to_string(id) + "', '" +
                     parameter + "', " + std::to_string(plugin) + ", " +
                     std::to_string(device) + ")");
  }

  void linkProgram(int service, int program, const char* flags, const std::string& parameter) {
    database.execute("INSERT INTO kivo_service_response_program VALUES (" +
                     std::to_string(service) + ", " + std::to_string(program) + ", " + flags +
                     ", '" + parameter + "')");
  }
};

TEST_F(ServiceLoaderTest, AddressKeyKeepsTheLowThirtyTwoBits) {
  struct Case {
    const char* text;
    const char* key;
  } cases[] = {
      {"167838211", "10.1.2.3"},  {"3221225991", "192.0.2.7"}, {"4462805507", "10.1.2.3"},
      {"", "0.0.0.0"},            {"junk", "0.0.0.0"},         {"4294967295", "255.255.255.255"},
  };
  for (const Case& c : cases) EXPECT_EQ(deviceAddressKey(c.text), c.key) << c.text;
}

TEST_F(ServiceLoaderTest, RowsBecomeServicesUnderTheirDeviceAddress) {
  addService(11, 1, 5, "-H $IP -m \"link down\"");
  linkProgram(11, 1, "false, true, false", "--error $ERROR");
  LoadTrapService(trapServiceQuery());
  ASSERT_EQ(map_service_trap.size(), 1u);
  service s = map_service_trap.getServiceByPosition("10.1.2.3", 0);
  EXPECT_EQ(s.GetService_id(), 11);
  EXPECT_EQ(s.GetDevice_id(), 1);
  EXPECT_EQ(s.GetPlugin_id(), 5);
  EXPECT_EQ(s.Getname(), "service 11");
  EXPECT_EQ(s.Getpath(), "/plugins/check_trap");
  EXPECT_EQ(s.Getparameter(), "-H $IP -m \"link down\"");
  EXPECT_EQ(s.getVectorParam(), (Args{"-H", "$IP", "-m", "link down"}));
  EXPECT_EQ(s.GetOID(), ".1.3.6.1.4.1.99.0.1");
  EXPECT_EQ(s.GetAlertingSoftware(), "/alert/mail");
  EXPECT_FALSE(s.GetAlertingUnknown());
  EXPECT_TRUE(s.GetAlertingWarning()) << "only the warning flag is \"t\"";
  EXPECT_FALSE(s.GetAlertingCritical());
  EXPECT_EQ(s.getVectorAlertingParam(), (Args{"--error", "$ERROR"}));
  EXPECT_EQ(s.GetReturnCode(), 0);
}

TEST_F(ServiceLoaderTest, NoProgramLoadsTheServiceWithoutAlerting) {
  addService(11, 1, 5, "");
  LoadTrapService(trapServiceQuery());
  service s = map_service_trap.getServiceByPosition("10.1.2.3", 0);
  EXPECT_EQ(s.GetService_id(), 11);
  EXPECT_EQ(s.GetAlertingSoftware(), "");
  EXPECT_FALSE(s.GetAlertingUnknown() || s.GetAlertingWarning() || s.GetAlertingCritical());
  EXPECT_TRUE(s.getVectorAlertingParam().empty());
}

TEST_F(ServiceLoaderTest, TwoProgramsLoadTheServiceTwice) {
  addService(11, 1, 5, "");
  linkProgram(11, 1, "true, false, false", "a");
  linkProgram(11, 2, "false, false, true", "b");
  LoadTrapService(trapServiceQuery());
  ASSERT_EQ(map_service_trap.size(), 2u);
  std::vector<std::string> programs = {
      map_service_trap.getServiceByPosition("10.1.2.3", 0).GetAlertingSoftware(),
      map_service_trap.getServiceByPosition("10.1.2.3", 1).GetAlertingSoftware()};
  std::sort(programs.begin(), programs.end());
  EXPECT_EQ(programs, (Args{"/alert/mail", "/alert/sms"}));
  EXPECT_EQ(map_service_trap.searchServiceByOID("10.1.2.3", ".1.3.6.1.4.1.99.0.1"), 0)
      << "the first row's entry answers";
}

TEST_F(ServiceLoaderTest, KeysOtherTypesAndRowOrder) {
  addService(11, 1, 5, "");
  addService(12, 1, 6, "");
  addService(13, 2, 5, "");
  addService(14, 3, 5, "");
  addService(15, 1, 7, "");
  LoadTrapService(trapServiceQuery() + " ORDER BY service_id");
  EXPECT_EQ(map_service_trap.size(), 4u) << "the plug-in of another type is not loaded";
  EXPECT_EQ(map_service_trap.getServiceByPosition("10.1.2.3", 0).GetService_id(), 11);
  EXPECT_EQ(map_service_trap.getServiceByPosition("10.1.2.3", 1).GetService_id(), 12);
  EXPECT_EQ(map_service_trap.getServiceByPosition("10.1.2.3", 2).GetService_id(), 13)
      << "above 32 bits: the low bits make the key";
  EXPECT_EQ(map_service_trap.getServiceByPosition("0.0.0.0", 0).GetService_id(), 14)
      << "NULL address";
  EXPECT_EQ(map_service_trap.searchServiceByOID("10.1.2.3", ".1.3.6.1.4.1.99.0.2"), 1);
}

TEST_F(ServiceLoaderTest, FailedQueryRaisesAndLeavesTheMapEmpty) {
  database.execute("DROP TABLE kivo_service_response_program");
  try {
    LoadTrapService(trapServiceQuery());
    FAIL() << "the query must fail";
  } catch (const PostgresqlException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("execute failed:  ERROR:  relation "
                                          "\"kivo_service_response_program\" does not exist",
                                          0),
              0u)
        << e.what();
  }
  EXPECT_EQ(map_service_trap.size(), 0u);
  EXPECT_EQ(lines().back(), "\t[PG EXEC] status: PGRES_FATAL_ERROR");
}

}  // namespace
