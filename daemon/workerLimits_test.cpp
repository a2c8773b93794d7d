// The daemon binary with programs that hang, write without end or outlive
// the stop, and with workers short of descriptors. Every limit is small.
#include <gtest/gtest.h>

#include "testing/daemonHarness.h"

namespace kivo {

namespace {

const char* const kCheckDummy = "/usr/lib/nagios/plugins/check_dummy";

std::string oid(int service) { return ".1.3.6.1.4.1.99.0." + std::to_string(service); }

std::string trapFor(int service, const std::string& first, const std::string& second) {
  return DaemonHarness::trapText("127.0.0.1", oid(service),
                                 {{".1.3.6.1.4.1.99.1", "\"" + first + "\""},
                                  {".1.3.6.1.4.1.99.2", "\"" + second + "\""}});
}

// True once the process whose id the file holds is gone or a zombie.
bool processGone(const std::string& pidFile) {
  std::string pid = readFile(pidFile);
  if (pid.empty()) return false;
  std::string stat = readFile("/proc/" + pid.substr(0, pid.find('\n')) + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

// The limits reach the runs from the settings; what each limit does is
// shown by the programs' runner and the trap's handling.
TEST(WorkerLimitsTest, TimeoutsAndTheOutputCapComeFromTheSettings) {
  DaemonHarness h;
  h.set("KIVO",
        {{"plugin_timeout", "1"}, {"alerting_timeout", "1"}, {"plugin_output_max", "1000"}});
  h.addDevice(1, "127.0.0.1");
  h.addService(1, 1, oid(1), "/bin/sleep", "30");
  h.addService(2, 1, oid(2), DaemonHarness::testdata("print_bytes.sh"), "$1 $2");
  h.addService(3, 1, oid(3), kCheckDummy, "$1 \"$2\"");
  h.addAlerting(3, "/bin/sh", "-c \"sleep 30\" $ERROR", true, true, true);
  h.spool("trap-1", trapFor(1, "", ""));
  h.spool("trap-2", trapFor(2, "100000000", "2"));
  h.spool("trap-3", trapFor(3, "2", "disk full"));
  h.start(1);
  ASSERT_TRUE(h.waitForLog("ERR#alerting program of service service 3 timed out after 1 s: "))
      << h.log();
  EXPECT_EQ(h.stop(), 0);
  EXPECT_EQ(h.rows("SELECT happen_message FROM kivo_error_happen ORDER BY happen_service_id"),
            (std::vector<std::vector<std::string>>{{"plug-in timed out after 1 s"},
                                                   {std::string(1000, 'x')},
                                                   {"CRITICAL: disk full\n"}}));
}

TEST(WorkerLimitsThreadTest, StopKillsHungPluginsAndTheirTrapsWaitForTheNextStart) {
  DaemonHarness h;
  const std::string plugin = DaemonHarness::testdata("hang_once.sh");
  h.set("KIVO", {{"plugin_timeout", "0"}, {"stop_grace", "1"}});
  h.addDevice(1, "127.0.0.1");
  // Two services, as the traps of one service run one at a time.
  const std::vector<std::string> marks = {h.dir.file("mark-1"), h.dir.file("mark-2")};
  for (int i = 0; i < 2; ++i) {
    h.addService(i + 1, 1, oid(i + 1), plugin, "$1 \"$2\"");
    h.spool("trap-" + std::to_string(i), trapFor(i + 1, marks[i], "x"));
  }
  h.start(2);
  ASSERT_TRUE(waitFor([&] { return fileExists(marks[0]) && fileExists(marks[1]); }))
      << "both plug-ins hang, one per worker";
  EXPECT_EQ(h.stop(std::chrono::seconds(10)), 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(h.count("ERR#plug-in of service service " + std::to_string(i + 1) +
                      " cut short by the stop: " + plugin + " " + marks[i]), 1) << h.log();
    EXPECT_TRUE(waitFor([&] { return processGone(marks[i]); })) << marks[i];
  }
  EXPECT_EQ(h.count("EXEC#RETURN"), 0);
  EXPECT_EQ(h.spoolFiles(), (std::vector<std::string>{"trap-0", "trap-1"}));

  // Their marks exist now, so the next start handles both at once.
  h.start(2);
  ASSERT_TRUE(waitFor([&] { return h.spoolFiles().empty(); })) << h.log();
  EXPECT_EQ(h.stop(), 0);
  EXPECT_EQ(h.count("EXEC#RETURN exec 0"), 2);
}

TEST(WorkerLimitsThreadTest, WorkersShortOfDescriptorsLoseNoTrap) {
  DaemonHarness h;
  const std::string records = h.dir.file("records");
  // 32 services, since the traps of one service run one at a time.
  const int kServices = 32, kTraps = 100;
  h.addDevice(1, "127.0.0.1");
  for (int id = 1; id <= kServices; ++id) {
    h.addService(id, 1, oid(id), DaemonHarness::testdata("slow_record.sh"), records + " $1");
  }
  for (int i = 0; i < kTraps; ++i) {
    h.spool("trap-" + std::to_string(10000 + i), trapFor(1 + i % kServices, std::to_string(i), ""));
  }
  DaemonProcess::Options options;
  options.fileLimit = 64;  // far too few for 32 workers each running a plug-in
  h.start(kServices, options);
  ASSERT_TRUE(waitFor([&] { return h.spoolFiles().empty(); }, std::chrono::seconds(60)))
      << h.log();
  EXPECT_EQ(h.stop(), 0);
  EXPECT_EQ(DaemonHarness::lines(records), static_cast<size_t>(kTraps)) << "each once";
  EXPECT_EQ(h.count("ERR#ServiceException"), 0);
  EXPECT_EQ(h.count("ERR#kivo can't start the plug-in of service "), 1)
      << "the shortage is told once: " << h.log();
}

}  // namespace

}  // namespace kivo
