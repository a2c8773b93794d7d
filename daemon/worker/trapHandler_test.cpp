// The worker's steps for one trap, with fake programs and a fake journal:
// which records open, which are acknowledged, which alerts run with which
// ids, what a failure costs, which spool files go.
#include "daemon/worker/trapHandler.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <future>
#include <set>

#include "daemon/base/daemonGlobals.h"
#include "daemon/worker/foldWindows.h"
#include "daemon/worker/serviceStates.h"
#include "support/exceptions.h"
#include "support/metrics.h"
#include "check/metricsText.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"
#include "testing/workerContext.h"

namespace kivo {

namespace {

using Steps = std::vector<std::string>;

// "Plug-ins" that exit with their trap's first value and print it (2 for a
// word), and a journal of what the handler asked for. Some words fail: a
// plug-in "broken" or "stopped", "short" ones twice short of resources, the
// store of "boom" and "refused", the record of "norecord", its
// lookup for "nolookup", the alert of "slow" and "halt".
class FakeActions : public TrapActions {
 public:
  int runPlugin(service& s) override {
    const std::string value = s.getVectorParam().at(0);
    if (value.rfind("short", 0) == 0 && shortages++ < 2) throw ResourceShortageException("none");
    if (value == "broken") throw serviceException("broken");
    if (value == "stopped") throw StopException("stopped");
    const int code = std::isdigit(value[0]) ? std::stoi(value) : 2;
    s.SetResult(code, value);
    steps.push_back("run " + std::to_string(code));
    return code;
  }
  service::AlertingEnd runAlerting(service& s, double errorId) override {
    steps.push_back("alert " + std::to_string(static_cast<int>(errorId)));
    if (s.GetStdout() == "halt") throw StopException("alert stopped");
    return s.GetStdout() == "slow" ? service::kAlertingTimedOut : service::kAlertingEnded;
  }
  // The service's row, locked: its state, and the traps stored before;
  // then the run stored into it.
  Begun beginTrap(const service& s, const std::string& file) override {
    if (!storedFiles.insert(file).second) return Begun{true, 0, false};
    current = file;
    if (s.GetStdout() == "boom") throw std::runtime_error("boom");
    if (s.GetStdout() == "refused") throw PostgresqlException("refused");
    if (s.GetStdout() == "retry" && shortages++ == 0) throw TransactionInterrupted("lost");
    steps.push_back("store " + std::to_string(s.GetReturnCode()));
    const int previous = stored;
    stored = s.GetReturnCode();
    return Begun{false, previous, true};
  }
  void rollbackTrap() override {
    steps.push_back("rollback");
    storedFiles.erase(current);
  }
  void acknowledge(const service&, int previous) override {
    if (previous == 0 || open.empty()) return;
    steps.push_back("acknowledge " + std::to_string(open.back()));
    open.pop_back();
  }
  bool openRecord(const service& s, int code) override {
    if (s.GetStdout() == "norecord") return false;
    open.push_back(++lastId);
    steps.push_back("record " + std::to_string(lastId) + " for " + std::to_string(code));
    return true;
  }
  double openRecordId(const service& s) override {
    return open.empty() || s.GetStdout() == "nolookup" ? -1 : open.back();
  }

  Steps steps;
  int stored = 0;
  std::set<std::string> storedFiles;
  std::string current;
  std::vector<int> open;
  int lastId = 0, shortages = 0;
};

class TrapHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map_error = {{"default_warning_error", "1"}, {"default_critical_error", "2"},
                 {"default_unknow_error", "3"}};
    service s;
    s.SetService_id(5);
    s.Setname("power");
    s.Setpath("/plugin");
    s.SetOID(".1.2.3");
    s.Setparameter("$1");
    s.SetAlertingSoftware("/alert");
    s.SetAlertingCritical(true);
    s.SetAlertingUnknown(true);
    map_service_trap.addTrapService("192.0.2.7", s);
    log_enable = 0;
  }
  void TearDown() override {
    map_service_trap.clear();
    map_error.clear();
  }

  // A trap from 192.0.2.7 with value as its first variable, read from a
  // spool file of its own.
  snmpTrap spooled(const std::string& value, const std::string& oid = ".1.2.3") {
    const std::string name = "trap-" + std::to_string(++files);
    writeFile(dir.file(name), "");
    struct stat status;
    EXPECT_EQ(::stat(dir.file(name).c_str(), &status), 0);
    snmpTrap trap;
    trap.readText("host\nUDP: [192.0.2.7]:161\n.1.3.6.1.6.3.1.1.4.1.0 " + oid + "\n.1.9 " + value +
                  "\n");
    trap.setOrigin(SpoolOrigin{name, dir.file(name), status.st_dev, status.st_ino});
    return trap;
  }
  int logged(const std::string& message) const {
    std::vector<std::string> lines = logMessages(output.text());
    return static_cast<int>(std::count(lines.begin(), lines.end(), message));
  }
  double done(const std::string& outcome) {
    MetricSamples samples = parseMetricsText(context.metrics.text());
    return samples["kivotrapd_traps_done_total{outcome=\"" + outcome + "\"}"];
  }

  CapturedOutput output;
  TempDir dir;
  int files = 0;
  WorkerContext context;
  FakeActions actions;
  ServiceStates& states = context.states;
  TrapHandler handler{actions, context.parts()};
};

TEST_F(TrapHandlerTest, TheJournalFollowsTheStateOfTheLockedRow) {
  actions.stored = 2;  // as another host left it
  actions.open = {9};
  actions.lastId = 9;
  for (const char* value : {"0", "2", "0", "2", "2", "1", "3", "4", "0"}) {
    handler.handle(spooled(value));
  }
  EXPECT_EQ(actions.steps,
            (Steps{"run 0", "store 0", "acknowledge 9",                                // OK
                   "run 2", "store 2", "record 10 for 2", "alert 10",                  // critical
                   "run 0", "store 0", "acknowledge 10",                               // OK
                   "run 2", "store 2", "record 11 for 2", "alert 11",                  // critical
                   "run 2", "store 2",                                                 // repeat
                   "run 1", "store 1", "acknowledge 11", "record 12 for 1",            // no alert
                   "run 3", "store 3", "acknowledge 12", "record 13 for 3", "alert 13",  // unknown
                   "run 4", "store 4",                                                 // no kind
                   "run 0", "store 0"}));
  EXPECT_EQ(logged("INFO#Execute alerting software "), 1) << "the unknown state's line";
}

// What each failure costs: the steps that still ran, the line that tells
// it, how the trap counts ("": not done) and whether its file stays for the
// next start. An outage, which keeps it too, is shown by the binary's tests.
TEST_F(TrapHandlerTest, FailuresAreToldAndOnlyTheStopKeepsTheTrap) {
  const Steps all = {"run 2", "store 2", "record 1 for 2", "alert 1"};
  struct Case {
    std::string value;
    Steps steps;
    std::string line, outcome;
    bool kept;
  } cases[] = {
      {"nothing", {}, "INFO#there isn't passive service for OID.1.2.4 on this host host(192.0.2.7)",
       "no_service", false},
      {"broken", {}, "ERR#ServiceException .1.2.3 192.0.2.7broken", "plugin_failed", false},
      {"stopped", {}, "ERR#stopped", "", true},
      {"short", all, "EXEC#RETURN exec 2", "run", false},
      {"shortstop", {}, "ERR#the plug-in of service power not started: the daemon is stopping",
       "", true},
      {"boom", {"run 2"}, "ERR#trap from 192.0.2.7 failed: boom", "", false},
      {"refused", {"run 2", "rollback"}, "ERR#trap from 192.0.2.7 failed: refused", "", false},
      {"retry", {"run 2", "rollback", "store 2", "record 1 for 2", "alert 1"},
       "ERR#trap from 192.0.2.7: its transaction runs again: lost", "run", false},
      {"again", {"run 2", "rollback"}, "INFO#trap trap-N was stored before: not stored again",
       "", false},
      {"slow", all, "ERR#alerting program of service power timed out after 30 s: /alert", "run",
       false},
      {"halt", all, "ERR#alert stopped", "run", true},
      {"norecord", {"run 2", "store 2"},
       "ERR#alerting program of service power not run: its error record could not be written",
       "run", false},
      {"nolookup", {"run 2", "store 2", "record 1 for 2"},
       "ERR#alerting program of service power not run: no open error record of the service was "
       "found",
       "run", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    FakeActions fake;
    ServiceStates fresh;
    TrapHandler failing(fake, context.parts(&fresh));
    context.stop.notice().reset();
    if (c.value == "shortstop") context.stop.notice().begin(std::chrono::seconds(10));
    const double before = done(c.outcome);  // "": no such series, always 0
    output.clear();
    snmpTrap trap = spooled(c.value, c.value == "nothing" ? ".1.2.4" : ".1.2.3");
    std::string line = c.line;
    if (c.value == "again") {  // a rerun after a crash: no record, no alert
      fake.storedFiles.insert(trap.origin().name);
      line.replace(line.find("trap-N"), 6, trap.origin().name);
    }
    failing.handle(trap);
    EXPECT_EQ(fake.steps, c.steps);
    EXPECT_EQ(logged(line), 1) << output.text();
    EXPECT_EQ(fileExists(trap.origin().path), c.kept);
    EXPECT_EQ(done(c.outcome), before + (c.outcome.empty() ? 0 : 1));
    ::unlink(trap.origin().path.c_str());
  }
}

// The windows' own thread hands the close over.
class TrapHandlerThreadTest : public TrapHandlerTest {};

TEST_F(TrapHandlerThreadTest, RepeatsFoldAndAHeldTrapRunsWhenItsWindowCloses) {
  std::promise<snmpTrap> closed;  // handed to the gate when the window has something to do
  FoldWindows windows({3600, {}}, [&](const snmpTrap& marker) { closed.set_value(marker); });
  TrapHandler folding(actions, context.parts(nullptr, &windows));
  const double folded = done("folded");
  snmpTrap held = spooled("2");
  for (const char* value : {"2", "2", "0"}) folding.handle(spooled(value));
  folding.handle(held);
  EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"trap-1"}) << "only the held one";
  EXPECT_EQ(actions.steps, (Steps{"run 2", "store 2", "record 1 for 2", "alert 1", "run 0",
                                  "store 0", "acknowledge 1"}));
  EXPECT_EQ(done("folded"), folded + 1);
  windows.closeNow({5, 6});  // 6 has no window
  std::future<snmpTrap> marker = closed.get_future();
  ASSERT_EQ(marker.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  snmpTrap close = marker.get();
  EXPECT_EQ(std::to_string(close.windowServiceId()) + " " + close.getHostAddr() + " " +
                close.getOid(),
            "5 192.0.2.7 .1.2.3")
      << "the service's key, for the gate";
  folding.handle(close);
  EXPECT_EQ(actions.steps.back(), "alert 2") << "the held trap ran";
  EXPECT_TRUE(listDirectory(dir.path()).empty());
  EXPECT_EQ(logged("INFO#service power (5): 1 repeated traps folded in 3600 s"), 1)
      << output.text();
}

}  // namespace

}  // namespace kivo
