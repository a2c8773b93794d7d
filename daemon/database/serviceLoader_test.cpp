// The trap services as the daemon loads and reloads them from a real server.
#include "daemon/database/serviceLoader.h"

#include "check/metricsText.h"
#include "daemon/database/serviceReload.h"
#include "daemon/worker/serviceStates.h"
#include "support/metrics.h"
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

// The services under key: each one's id, path, parameters, alerting
// program, its flags and arguments.
std::vector<std::string> loaded(const std::string& key) {
  std::vector<std::string> services;
  for (int i = 0; map_service_trap.getServiceByPosition(key, i).GetService_id() != 0; ++i) {
    const service& s = map_service_trap.getServiceByPosition(key, i);
    std::string text = std::to_string(s.GetService_id()) + " " + s.Getname() + " " +
                       s.Getpath() + " " + std::to_string(s.GetDevice_id()) + " " + s.GetOID() +
                       " [" + s.Getparameter() + "] " + s.GetAlertingSoftware() +
                       (s.GetAlertingUnknown() ? " u" : "") + (s.GetAlertingWarning() ? " w" : "") +
                       (s.GetAlertingCritical() ? " c" : "");
    for (const std::string& argument : s.getVectorAlertingParam()) text += " <" + argument + ">";
    services.push_back(text);
  }
  return services;
}

using ServiceLoaderTest = DaemonDatabaseTest;

TEST_F(ServiceLoaderTest, OneServicePerAlertingProgramUnderItsDevicesAddress) {
  database.execute(kRows);
  ServiceStates states;
  Metrics metrics;
  ASSERT_TRUE(reloadServices(states, nullptr, metrics));
  EXPECT_EQ(parseMetricsText(metrics.text())["kivotrapd_services"], 5)
      << "the reload's gauge: never the active plug-in's service";
  EXPECT_EQ(logged("INFO#services reloaded: 4 services"), 1) << output.text();
  map_service_trap.clear();
  LoadTrapService(trapServiceQuery() + " ORDER BY service_id, program_path");
  using Texts = std::vector<std::string>;
  EXPECT_EQ(loaded("10.1.2.3"), (Texts{"100 link /p/a 1 .1.9.1 [-H 10.1.2.3  -w \"5 s\"] ",
                                       "101 fan /p/b 1 .1.9.2 [] /mail w <-i> <$ERROR> <-x>"}))
      << "no alerting program, and one";
  EXPECT_EQ(loaded("192.0.2.7"), (Texts{"102 power /p/a 2 .1.9.1 [-p $1] /mail u c <x>",
                                        "102 power /p/a 2 .1.9.1 [-p $1] /sms c <$ERROR>"}));
  EXPECT_EQ(loaded("0.0.0.0"), Texts{"103 orphan /p/a 3 .1.9.1 [] "});
}

}  // namespace

}  // namespace kivo
