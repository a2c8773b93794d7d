// The whole chain as it runs on a machine: snmptrap sends to a real
// snmptrapd on loopback, its spool handler writes the spool, the daemon
// binary runs a real plug-in and alerting program and writes a real
// database; and a storm of traps that outlives a stop and a SIGKILL.
#include <signal.h>

#include <gtest/gtest.h>

#include <map>

#include "testing/daemonHarness.h"
#include "testing/snmpTrapReceiver.h"

namespace kivo {

namespace {

const char* const kOid = ".1.3.6.1.4.1.99.0.1";
const char* const kStateOid = ".1.3.6.1.4.1.99.1";

TEST(EndToEndTest, TrapThroughSnmptrapdRunsThePluginStoresTheRecordAndAlerts) {
  DaemonHarness h;
  SnmpTrapReceiver receiver{h.dir,
                            SnmpTrapReceiverSetup{compiledHandlerLines(h.config.spool), false, {}}};
  const std::string alerts = h.dir.file("alerts");
  h.addDevice(1, "127.0.0.1");
  h.addService(1, 1, kOid, "/usr/lib/nagios/plugins/check_dummy", "$1 \"$2\"");
  h.addAlerting(1, DaemonHarness::testdata("append_arguments.sh"), alerts + " --error $ERROR",
                true, true, true);
  h.start(1);
  ASSERT_EQ(sendTrap(receiver.address(), kOid,
                     {kStateOid, "i", "2", ".1.3.6.1.4.1.99.2", "s", "disk full"}),
            0);
  ASSERT_TRUE(waitFor([&] { return DaemonHarness::lines(alerts) == 1; })) << h.log();
  EXPECT_EQ(h.stop(), 0);

  EXPECT_EQ(h.rows("SELECT error_name, happen_message FROM kivo_error_happen "
                   "JOIN kivo_errors ON error_id = happen_error_id"),
            (std::vector<std::vector<std::string>>{
                {"default_critical_error", "CRITICAL: disk full\n"}}));
  EXPECT_EQ(readFile(alerts),
            "--error " + h.value("SELECT happen_id FROM kivo_error_happen") + "\n");
}

// The spool is the record of every trap not yet done.
TEST(EndToEndThreadTest, StormOutlivesAStopAndASigkillWithoutLosingATrap) {
  DaemonHarness h;
  const int kTraps = 20;
  const std::string records = h.dir.file("records");
  h.addDevice(1, "192.0.2.7");
  h.addService(1, 1, kOid, DaemonHarness::testdata("slow_record.sh"), records + " $1");
  for (int i = 0; i < kTraps; ++i) {
    h.spool("trap-" + std::to_string(10000 + i),
            DaemonHarness::trapText("192.0.2.7", kOid, {{kStateOid, std::to_string(i)}}));
  }
  auto runs = [&] {
    std::map<int, int> counts;
    for (const std::string& line : splitLines(readFile(records))) ++counts[std::stoi(line)];
    return counts;
  };
  const std::string metrics = h.dir.file("kivotrapd.prom");
  h.set("KIVO", {{"metrics_file", metrics}, {"metrics_interval", "1"}});
  h.start(2);
  ASSERT_TRUE(waitFor([&] { return DaemonHarness::lines(records) >= 3; })) << h.log();
  EXPECT_EQ(h.stop(), 0);
  const size_t done = DaemonHarness::lines(records);
  EXPECT_EQ(runs().size(), done) << "the stop runs no trap twice";
  EXPECT_EQ(done + h.spoolFiles().size(), static_cast<size_t>(kTraps)) << "the rest stay";

  h.start(2);
  ASSERT_TRUE(waitFor([&] { return DaemonHarness::lines(records) >= done + 3; })) << h.log();
  h.daemon->signal(SIGKILL);
  ASSERT_TRUE(h.daemon->waitExit());
  EXPECT_FALSE(h.spoolFiles().empty()) << "killed during the storm";
  // Its metrics file goes stale, and the installed check plug-in says so.
  const std::string check = std::string(KIVO_CHECK_BINARY) + " -f " + metrics + " -s 1 >/dev/null";
  EXPECT_TRUE(waitFor([&] { return runProgram({"sh", "-c", check}) == 2; }));
  h.start(2);
  ASSERT_TRUE(waitFor([&] { return h.spoolFiles().empty(); })) << h.log();
  EXPECT_EQ(h.stop(), 0);
  std::map<int, int> counts = runs();
  int twice = 0;
  for (int i = 0; i < kTraps; ++i) {
    EXPECT_GE(counts[i], 1) << "trap " << i;
    twice += counts[i] > 1;
  }
  EXPECT_LE(twice, 2) << "only a trap in hand at the kill runs again";
}

}  // namespace

}  // namespace kivo
