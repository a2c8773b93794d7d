// The spool as the record of every trap not yet done: the daemon binary is
// killed with SIGKILL at several points of a burst and started again, and
// every trap's plug-in must have run at least once.
#include <signal.h>

#include <gtest/gtest.h>

#include <iostream>
#include <map>

#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

namespace {

const int kTraps = 30;

std::string trapFile(int number) {
  return "host\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
         ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n"
         "date 2026-12-07 10:00:00\n"
         ".1.3.6.1.4.1.99.1 " + std::to_string(number) + "\n";
}

class SpoolRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // 192.0.2.7 is 3221225991; its one service records each run.
    database.execute(
        "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, 3221225991);"
        "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid) VALUES "
        "(1, '" + std::string(KIVO_SOURCE_DIR) + "/daemon/testdata/slow_record.sh', 'trap', "
        "'.1.3.6.1.4.1.99.0.1');"
        "INSERT INTO kivo_services(service_id, service_name, service_parameter, "
        "service_plugin_id, service_device_id) VALUES (1, 'record', '" + records + " $1', 1, 1)");
    config.entries["KIVO"]["thread_number"] = "2";
    config.useDatabase(database);
    config.write();
    char name[32];
    for (int i = 0; i < kTraps; ++i) {
      snprintf(name, sizeof name, "trap-%04d", i);
      writeFile(config.spool + name, trapFile(i));
    }
  }

  void start() {
    daemon.reset(new DaemonProcess(config.path, dir.file("console")));
  }

  // How often each trap's plug-in ran so far.
  std::map<int, int> runs() const {
    std::map<int, int> counts;
    for (const std::string& line : splitLines(readFile(records))) ++counts[std::stoi(line)];
    return counts;
  }
  size_t recorded() const { return splitLines(readFile(records)).size(); }

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  std::string records = dir.file("records");
  std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(SpoolRecoveryTest, SigkillAtAnyPointLosesNoTrap) {
  // Killed before the first run, after a few runs and late in the burst.
  for (size_t killAfter : {0, 6, 20}) {
    start();
    ASSERT_TRUE(waitFor([&] { return recorded() >= killAfter; })) << killAfter;
    daemon->signal(SIGKILL);
    ASSERT_TRUE(daemon->waitExit()) << killAfter;
    EXPECT_FALSE(listDirectory(config.spool).empty()) << "killed during the burst: " << killAfter;
  }
  start();
  ASSERT_TRUE(waitFor([&] { return listDirectory(config.spool).empty(); }))
      << readFile(config.systemLog);
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_EQ(daemon->exitStatus(), 0);

  std::map<int, int> counts = runs();
  int twice = 0;
  for (int i = 0; i < kTraps; ++i) {
    EXPECT_GE(counts[i], 1) << "trap " << i << " ran";
    twice += counts[i] > 1 ? 1 : 0;
  }
  // At least once: a plug-in that ran when the process died runs again.
  std::cout << "traps run more than once after three kills: " << twice << "\n";
  EXPECT_LE(twice, 3 * 2) << "only the traps in hand at a kill run twice";
}

}  // namespace

}  // namespace kivo
