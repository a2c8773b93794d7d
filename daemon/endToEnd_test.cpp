// The whole chain as it runs on a machine: snmptrap sends to a real
// snmptrapd on loopback, its spool handler writes the spool, the daemon
// binary runs a real plug-in and alerting program and writes a real
// database.
#include <gtest/gtest.h>

#include "testing/daemonHarness.h"
#include "testing/snmpTrapReceiver.h"

namespace kivo {

namespace {

TEST(EndToEndTest, TrapThroughSnmptrapdRunsThePluginStoresTheRecordAndAlerts) {
  DaemonHarness h;
  SnmpTrapReceiver receiver{h.dir,
                            SnmpTrapReceiverSetup{compiledHandlerLines(h.config.spool), false, {}}};
  const std::string alerts = h.dir.file("alerts");
  h.addDevice(1, "127.0.0.1");
  h.addService(1, 1, DaemonHarness::oid(1), "/usr/lib/nagios/plugins/check_dummy", "$1 \"$2\"");
  h.addAlerting(1, DaemonHarness::testdata("append_arguments.sh"), alerts + " --error $ERROR");
  h.start(1);
  ASSERT_EQ(sendTrap(receiver.address(), DaemonHarness::oid(1),
                     {".1.3.6.1.4.1.99.1", "i", "2", ".1.3.6.1.4.1.99.2", "s", "disk full"}),
            0);
  ASSERT_TRUE(waitFor([&] { return DaemonHarness::lines(alerts) == 1; })) << h.log();
  EXPECT_EQ(h.value("SELECT happen_message FROM kivo_error_happen"), "CRITICAL: disk full\n");
  EXPECT_EQ(readFile(alerts),
            "--error " + h.value("SELECT happen_id FROM kivo_error_happen") + "\n");
}

}  // namespace

}  // namespace kivo
