// Worker threads in the process: four of them on one queue, one connection
// and the logs, with a real plug-in and alerting program and a real
// database. The steps for each trap are shown in trapHandler_test.
#include "daemon/worker/trapWorker.h"
#include "daemon/worker/trapHandler.h"

#include "daemon/worker/dueAlerts.h"
#include "daemon/worker/errorJournal.h"
#include "daemon/database/serviceLoader.h"
#include "testing/daemonDatabaseTest.h"
#include "testing/workerContext.h"

namespace kivo {

namespace {

class TrapWorkerThreadTest : public DaemonDatabaseTest {
 protected:
  void TearDown() override {
    context.stop.stop();
    joinWorkers();
    while (!fifo_trap.empty()) fifo_trap.pop();
    context.stop.reset();
    flog_trap_receive.reset();
    DaemonDatabaseTest::TearDown();
  }

  TempDir dir;
  WorkerContext context;
  WorkerPartsInUse parts{context.parts()};
};

TEST_F(TrapWorkerThreadTest, FourWorkersRunEachTrapOnceAndAServicesTrapsInOrder) {
  const std::string alerts = dir.file("alerts");
  database.execute(
      "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, 2130706433);"
      "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
      "  VALUES (1, '/usr/lib/nagios/plugins/check_dummy', 'trap', '.1.3.6.1.4.1.99.0.1');"
      "INSERT INTO kivo_services(service_id, service_name, service_parameter, service_plugin_id,"
      "  service_device_id) VALUES (1, 'link', '$1 \"$2\"', 1, 1);"
      "INSERT INTO kivo_program(program_id, program_path) VALUES (1, '" KIVO_SOURCE_DIR
      "/daemon/testdata/append_arguments.sh');"
      "INSERT INTO kivo_service_response_program(response_service_id, response_program_id,"
      "  response_unknown, response_warning, response_critical, response_parameter)"
      "  VALUES (1, 1, true, true, true, '" + alerts + " $ERROR')");
  prepareJournalStatements(*pgSQL);
  prepareTrapStatements(*pgSQL, context.parts().schema);
  loadErrorKinds(*pgSQL);
  LoadTrapService(trapServiceQuery());
  flog_trap_receive.reset(new logFile(dir.file("traps")));
  log_enable = 1;

  const int kTraps = 30;
  ASSERT_EQ(startWorkers(4), 4);
  // Through the gate, as the intake sends them: one service, in order.
  for (int i = 0; i < kTraps; ++i) {
    snmpTrap trap;
    trap.readText("localhost\nUDP: [127.0.0.1]:40000\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n"
                  ".1.3.6.1.4.1.99.1 " + std::to_string(i % 3) + "\n.1.3.6.1.4.1.99.2 \"trap " +
                  std::to_string(i) + "\"\n");
    context.gate.offer(trap);
  }
  // The last alerts may still be running when the last record is written.
  ASSERT_TRUE(waitFor([&] { return splitLines(readFile(alerts)).size() == 2 * kTraps / 3; }))
      << output.text();
  context.stop.stop();
  joinWorkers();

  // What each record holds is shown by the outage tests of the binary.
  std::vector<std::string> ids;
  for (const auto& row : database.rows("SELECT happen_id FROM kivo_error_happen ORDER BY 1"))
    ids.push_back(row[0]);
  EXPECT_EQ(splitLines(readFile(alerts)), ids) << "one record per error run, each alert its own";
  EXPECT_EQ(splitLines(readFile(dir.file("traps"))).size(), static_cast<size_t>(kTraps));
  EXPECT_EQ(logged("ERR#", false), 0) << output.text();
}

// A pass that is wanted (the connection came back) starts at once, not at
// the next hourly prune.
TEST_F(TrapWorkerThreadTest, AWantedPassOverTheDueAlertsStartsAtOnce) {
  database.execute(
      "INSERT INTO kivo_device(device_id) VALUES (1);"
      "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type) VALUES (1, '/p', 'trap');"
      "INSERT INTO kivo_services(service_id, service_name, service_plugin_id, service_device_id)"
      "  VALUES (9, 'gone', 1, 1);");
  const std::string due =
      "INSERT INTO kivo_alert_due(due_host, due_service_id, due_happen_id, due_state)"
      " VALUES ('h', 9, 1, 2)";
  const std::string done = "SELECT count(due_done_time) FROM kivo_alert_due";
  WorkerParts hosted = context.parts();
  hosted.host = "h";
  DueAlerts alerts;
  database.execute(due);
  alerts.start(hosted, 0);
  ASSERT_TRUE(waitFor([&] { return database.value(done) == "1"; }, std::chrono::seconds(5)));
  database.execute(due);
  alerts.wanted();
  EXPECT_TRUE(waitFor([&] { return database.value(done) == "2"; }, std::chrono::seconds(5)));
  alerts.stop();
  EXPECT_EQ(logged("INFO#due alert 2 of service 9 not run: the service is gone"), 1)
      << output.text();
}

}  // namespace

}  // namespace kivo
