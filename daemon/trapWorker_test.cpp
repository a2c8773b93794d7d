// Worker threads in the process: several of them on one queue, one
// connection and the logs, with a real plug-in and a real database.
#include "daemon/trapWorker.h"

#include <regex>
#include <set>

#include "daemon/errorJournal.h"
#include "daemon/runSettings.h"
#include "daemon/serviceGate.h"
#include "daemon/serviceLoader.h"
#include "testing/daemonDatabaseTest.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

const char* const kSeed =
    "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, 2130706433);"
    "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
    "  VALUES (1, '/usr/lib/nagios/plugins/check_dummy', 'trap', '.1.3.6.1.4.1.99.0.1');"
    "INSERT INTO kivo_services(service_id, service_name, service_parameter, service_plugin_id,"
    "  service_device_id) VALUES (1, 'link', '$1 \"$2\"', 1, 1);";

class TrapWorkerThreadTest : public DaemonDatabaseTest {
 protected:
  void SetUp() override {
    DaemonDatabaseTest::SetUp();
    database.execute(kSeed);
    std::string alerting = std::string(KIVO_SOURCE_DIR) + "/daemon/testdata/append_arguments.sh";
    database.execute("INSERT INTO kivo_program(program_id, program_path) VALUES (1, '" + alerting +
                     "');"
                     "INSERT INTO kivo_service_response_program(response_service_id,"
                     "  response_program_id, response_unknown, response_warning,"
                     "  response_critical, response_parameter)"
                     "  VALUES (1, 1, true, true, true, '" + alertFile + " $ERROR')");
    prepareJournalStatements(*pgSQL);
    loadErrorKinds(*pgSQL);
    LoadTrapService(trapServiceQuery());
    flog_trap_receive.reset(new logFile(trapLog));
    log_enable = 1;
  }

  void TearDown() override {
    joinWorkers();
    while (!fifo_trap.empty()) fifo_trap.pop();
    die_kivo.store(0);
    stop_notice.reset();
    flog_trap_receive.reset();
    DaemonDatabaseTest::TearDown();
  }

  // A trap from 127.0.0.1 whose variables make check_dummy end with state
  // and print text.
  snmpTrap trap(int state, const std::string& text) {
    writeFile(dir.file("spool"), "localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n"
                                 ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n"
                                 "date 2026-12-07 10:00:00\n"
                                 ".1.3.6.1.4.1.99.1 " + std::to_string(state) + "\n"
                                 ".1.3.6.1.4.1.99.2 \"" + text + "\"\n");
    snmpTrap t;
    t.read(dir.file("spool"));
    return t;
  }

  int runs() const {
    int n = 0;
    for (const std::string& line : lines()) n += line.rfind("EXEC#RETURN exec ", 0) == 0 ? 1 : 0;
    return n;
  }

  TempDir dir;
  std::string trapLog = dir.file("traps");
  std::string alertFile = dir.file("alerts");
};

TEST_F(TrapWorkerThreadTest, FourWorkersHandleEveryTrapOnce) {
  const int kTraps = 60;
  ASSERT_EQ(startWorkers(4), 4);
  // Through the gate, as the intake sends them: one service, in order.
  for (int i = 0; i < kTraps; ++i) service_gate.offer(trap(i % 3, "trap " + std::to_string(i)));
  ASSERT_TRUE(waitFor([&] { return runs() == kTraps; })) << output.text();
  // The last alerts may still be running.
  ASSERT_TRUE(waitFor([&] { return splitLines(readFile(alertFile)).size() == 2 * kTraps / 3; }));
  joinWorkers();

  std::set<std::string> expected;
  for (int i = 0; i < kTraps; ++i) {
    if (i % 3 == 1) expected.insert("WARNING: trap " + std::to_string(i) + "\n");
    if (i % 3 == 2) expected.insert("CRITICAL: trap " + std::to_string(i) + "\n");
  }
  std::set<std::string> stored;
  std::vector<std::string> ids;
  for (const auto& row : database.rows("SELECT happen_id, happen_message FROM kivo_error_happen "
                                       "ORDER BY happen_id")) {
    ids.push_back(row[0]);
    stored.insert(row[1]);
  }
  EXPECT_EQ(stored, expected) << "one record per error run";
  // The service's traps ran one at a time in order: each alert names the
  // record its own run opened.
  EXPECT_EQ(splitLines(readFile(alertFile)), ids);
  std::set<std::string> logged;
  const std::regex whole("2026-12-07 10:00:00#\\.1\\.3\\.6\\.1\\.4\\.1\\.99\\.0\\.1#localhost#127\\.0\\.0\\.1#"
                         "\\.1\\.3\\.6\\.1\\.4\\.1\\.99\\.1:[0-2]#\\.1\\.3\\.6\\.1\\.4\\.1\\.99\\.2:(trap [0-9]+)#");
  for (const std::string& line : splitLines(readFile(trapLog))) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
    logged.insert(match[1].str());
  }
  EXPECT_EQ(logged.size(), static_cast<size_t>(kTraps));
  EXPECT_TRUE(errors().empty()) << output.text();
}

}  // namespace

}  // namespace kivo
