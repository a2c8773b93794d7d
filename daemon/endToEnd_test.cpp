// The whole chain as it runs on a machine: snmptrap sends to a real
// snmptrapd on loopback, its spool handler writes the spool, the daemon
// binary runs a real plug-in and alerting program and writes a real
// database; and a storm of traps that outlives a stop and a SIGKILL.
#include <signal.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <map>

#include "testing/daemonHarness.h"
#include "testing/snmpTrapReceiver.h"

namespace kivo {

namespace {

const char* const kOid = ".1.3.6.1.4.1.99.0.1";
const char* const kStateOid = ".1.3.6.1.4.1.99.1";
const char* const kTextOid = ".1.3.6.1.4.1.99.2";
const char* const kCheckDummy = "/usr/lib/nagios/plugins/check_dummy";

TEST(EndToEndTest, TrapThroughSnmptrapdRunsThePluginStoresTheRecordAndAlerts) {
  DaemonHarness h;
  SnmpTrapReceiver receiver(h.dir, h.config.spool);
  const std::string alerts = h.dir.file("alerts");
  h.addDevice(1, "127.0.0.1");
  h.addService(1, 1, kOid, kCheckDummy, "$1 \"$2\"");
  h.addAlerting(1, DaemonHarness::testdata("append_arguments.sh"), alerts + " --error $ERROR",
                true, true, true);
  h.start(1);
  auto send = [&](const char* state, const char* text) {
    return sendTrap(receiver.address(), kOid, {kStateOid, "i", state, kTextOid, "s", text});
  };
  ASSERT_EQ(send("2", "disk full"), 0);
  ASSERT_TRUE(waitFor([&] { return DaemonHarness::lines(alerts) == 1; })) << h.log();
  ASSERT_EQ(send("0", "disk fine"), 0);
  ASSERT_TRUE(h.waitForLog("EXEC#RETURN exec ", 2)) << h.log();
  EXPECT_EQ(h.stop(), 0);

  EXPECT_EQ(h.count(std::string("EXEC#") + kCheckDummy + " 2 \"disk full\""), 1);
  EXPECT_EQ(h.count("INFO#Execute alerting software"), 1);
  const std::string id = h.value("SELECT happen_id FROM kivo_error_happen");
  EXPECT_EQ(h.rows("SELECT error_name, happen_acquitte, happen_message FROM kivo_error_happen "
                   "JOIN kivo_errors ON error_id = happen_error_id"),
            (std::vector<std::vector<std::string>>{
                {"default_critical_error", "1", "CRITICAL: disk full\n"}}))
      << "opened by the critical run, acknowledged by the OK one";
  EXPECT_EQ(readFile(alerts), "--error " + id + "\n");
  EXPECT_EQ(h.rows("SELECT service_previous_state, service_last_stdout FROM kivo_services"),
            (std::vector<std::vector<std::string>>{{"0", "OK: disk fine\n"}}));
  EXPECT_EQ(DaemonHarness::lines(h.config.trapLog), 2u);
  EXPECT_NE(readFile(h.config.trapLog).find("#.1.3.6.1.4.1.99.0.1#localhost#127.0.0.1#"),
            std::string::npos);
}

// The spool is the record of every trap not yet done. Also run with the
// daemon built under ThreadSanitizer.
TEST(EndToEndThreadTest, StormOutlivesAStopAndASigkillWithoutLosingATrap) {
  DaemonHarness h;
  const int kTraps = 20;
  const std::string records = h.dir.file("records");
  h.addDevice(1, "192.0.2.7");
  h.addService(1, 1, kOid, DaemonHarness::testdata("slow_record.sh"), records + " $1");
  for (int i = 0; i < kTraps; ++i) {
    char name[32];
    snprintf(name, sizeof name, "trap-%04d", i);
    h.spool(name, DaemonHarness::trapText("192.0.2.7", kOid, {{kStateOid, std::to_string(i)}}));
  }
  auto runs = [&] {
    std::map<int, int> counts;
    for (const std::string& line : splitLines(readFile(records))) ++counts[std::stoi(line)];
    return counts;
  };
  const std::string metrics = h.dir.file("kivotrapd.prom");
  h.config.entries["KIVO"]["metrics_file"] = metrics;
  h.config.entries["KIVO"]["metrics_interval"] = "1";
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
