// SIGHUP's reload of the services in the daemon binary: a changed database
// takes effect for the next trap while the trap in hand finishes with the
// service it found, and a reload that cannot read the database changes
// nothing.
#include <signal.h>

#include <gtest/gtest.h>

#include "testing/daemonHarness.h"
#include "testing/ownCluster.h"

namespace kivo {

namespace {

const char* const kOid = ".1.3.6.1.4.1.99.0.1";
const char* const kNewOid = ".1.3.6.1.4.1.99.0.2";
const char* const kDevice = "192.0.2.7";
const char* const kReloaded = "INFO#services reloaded: ";
const char* const kNotReloaded = "ERR#services not reloaded, the old ones stay: ";
const char* const kReturn = "EXEC#RETURN exec 0";

std::string gated() { return std::string(KIVO_SOURCE_DIR) + "/services/testdata/gated.sh"; }

TEST(ServiceReloadDaemonThreadTest, NewServicesServeTheNextTrapsWhileTheTrapInHandFinishes) {
  DaemonHarness harness;
  const std::string started = harness.dir.file("started");
  const std::string gate = harness.dir.file("gate");
  const std::string echo = DaemonHarness::testdata("echo_arguments.sh");
  harness.addDevice(1, kDevice);
  harness.addService(1, 1, kOid, gated(), started + " " + gate + " old");
  harness.start(1);
  harness.spool("trap-1", DaemonHarness::trapText(kDevice, kOid, {}));
  ASSERT_TRUE(waitFor([&] { return fileExists(started); })) << "the plug-in holds the trap";

  harness.database.execute("UPDATE kivo_services SET service_parameter = " +
                           sqlQuoted(started + "-2 " + gate + " new") + " WHERE service_id = 1");
  harness.addService(2, 1, kNewOid, echo, "$1");
  std::string output;
  EXPECT_EQ(harness.runCommand({"--check"}, &output), 0) << "beside the daemon\n" << output;
  harness.daemon->signal(SIGHUP);
  ASSERT_TRUE(harness.waitForLog(std::string(kReloaded) + "2 services"))
      << readFile(harness.config.systemLog);
  writeFile(gate, "");
  ASSERT_TRUE(harness.waitForLog(kReturn, 1));
  EXPECT_EQ(harness.database.value("SELECT service_last_stdout FROM kivo_services"
                                   " WHERE service_id = 1"),
            "old\n")
      << "the trap in hand ran with the service it found";

  harness.spool("trap-2", DaemonHarness::trapText(kDevice, kNewOid, {{".1.3.6.1.4.1.99.1", "x"}}));
  harness.spool("trap-3", DaemonHarness::trapText(kDevice, kOid, {}));
  ASSERT_TRUE(harness.waitForLog(kReturn, 3)) << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.count("EXEC#" + echo + " x"), 1) << "the added service ran";
  EXPECT_EQ(harness.count("EXEC#" + gated() + " " + started + "-2 " + gate + " new"), 1)
      << "the changed one too";
  EXPECT_EQ(harness.count("INFO#SIGHUP: system log reopened "), 1);
  EXPECT_EQ(harness.stop(), 0);
}

TEST(ServiceReloadDaemonThreadTest, UnreachableDatabaseKeepsTheOldServicesWithOneErrLine) {
  DaemonHarness harness;
  OwnCluster cluster(harness.dir, "pg");
  cluster.createDatabase("kivo");
  const std::string echo = DaemonHarness::testdata("echo_arguments.sh");
  auto service = [&](int id, const char* oid) {
    const std::string key = std::to_string(id);
    return "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
           " VALUES (" + key + ", " + sqlQuoted(echo) + ", 'trap', " + sqlQuoted(oid) + ");"
           "INSERT INTO kivo_services(service_id, service_name, service_parameter,"
           " service_plugin_id, service_device_id) VALUES (" + key + ", 's', '$1', " + key +
           ", 1);";
  };
  cluster.execute("kivo", "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, " +
                              addressNumber(kDevice) + ");" + service(1, kOid));
  harness.config.entries["POSTGRESQL"] = {{"PGSQL_host", cluster.socket()},
                                          {"PGSQL_port", cluster.port()},
                                          {"PGSQL_db", "kivo"},
                                          {"PGSQL_username", "postgres"},
                                          {"PGSQL_pwd", ""}};
  DaemonProcess::Options options;
  options.environment = {"KIVO_TEST_RECONNECT_MAX_MS=200"};
  harness.start(1, options);
  // A trap done: the start-up's statements are behind it.
  harness.spool("trap-1", DaemonHarness::trapText(kDevice, kOid, {{".1.3.6.1.4.1.99.1", "a"}}));
  ASSERT_TRUE(harness.waitForLog(kReturn, 1)) << readFile(harness.config.systemLog);

  cluster.execute("kivo", service(2, kNewOid));
  cluster.halt();
  harness.daemon->signal(SIGHUP);
  ASSERT_TRUE(harness.waitForLog(kNotReloaded)) << readFile(harness.config.systemLog);
  cluster.resume();
  harness.spool("trap-2", DaemonHarness::trapText(kDevice, kOid, {{".1.3.6.1.4.1.99.1", "b"}}));
  ASSERT_TRUE(harness.waitForLog(kReturn, 2)) << "the old services go on\n"
                                              << readFile(harness.config.systemLog);
  harness.spool("trap-3", DaemonHarness::trapText(kDevice, kNewOid, {}));
  ASSERT_TRUE(harness.waitForLog(std::string("INFO#there isn't passive service for OID") +
                                 kNewOid))
      << "nothing reloaded meanwhile";
  EXPECT_EQ(harness.count(kNotReloaded), 1);
  EXPECT_EQ(harness.count(kReloaded), 0);

  harness.daemon->signal(SIGHUP);
  ASSERT_TRUE(harness.waitForLog(std::string(kReloaded) + "2 services"))
      << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.stop(), 0);
}

}  // namespace

}  // namespace kivo
