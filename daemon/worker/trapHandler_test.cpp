// The worker's steps for one trap, with fake programs and a fake journal:
// which records open, which are acknowledged, which alerts run with which
// ids, what a failure costs, which spool files go; the fold windows'
// decisions, with the clock given by the test; and a service's arguments
// filled from a trap, with the dry run's view of the trap.
#include "daemon/worker/trapHandler.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <future>
#include <set>

#include "daemon/base/daemonGlobals.h"
#include "daemon/worker/foldWindows.h"
#include "daemon/base/runSettings.h"
#include "daemon/worker/serviceStates.h"
#include "daemon/worker/trapParameters.h"
#include "daemon/commands/trapReplay.h"
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
// store of "down" and "boom", the record of "norecord", its lookup for
// "nolookup", the alert of "slow" and "halt".
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
  // The service's row, locked: its state, and the traps stored before.
  std::optional<int> beginTrap(const service&, const std::string& file) override {
    if (!storedFiles.insert(file).second) return std::nullopt;
    current = file;
    return stored;
  }
  void rollbackTrap() override {
    steps.push_back("rollback");
    storedFiles.erase(current);
    current.clear();
  }
  bool storeRun(const service& s) override {
    if (s.GetStdout() == "down") throw DatabaseUnavailableException("down");
    if (s.GetStdout() == "boom") throw std::runtime_error("boom");
    if (s.GetStdout() == "retry" && shortages++ == 0) throw TransactionInterrupted("lost");
    steps.push_back("store " + std::to_string(s.GetReturnCode()));
    stored = s.GetReturnCode();
    return true;
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
  EXPECT_EQ(actions.stored, 0);
  EXPECT_EQ(logged("EXEC#/plugin 2"), 3);
  EXPECT_EQ(logged("EXEC#RETURN exec 4"), 1);
  EXPECT_EQ(logged("INFO#Execute alerting software"), 2);
  EXPECT_EQ(logged("INFO#Execute alerting software "), 1) << "the unknown state's line";
}

// What each failure costs: the steps that still ran, the line that tells
// it, how the trap counts ("": not done) and whether its file stays for the
// next start.
TEST_F(TrapHandlerTest, FailuresAreToldAndOnlyTheStopOrAnOutageKeepsTheTrap) {
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
      {"down", {"run 2"}, "ERR#trap from 192.0.2.7 left for the next start: down", "", true},
      {"boom", {"run 2"}, "ERR#trap from 192.0.2.7 failed: boom", "", false},
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
    const double before = c.outcome.empty() ? 0 : done(c.outcome);
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
    if (!c.outcome.empty()) {
      EXPECT_EQ(done(c.outcome), before + 1);
    }
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

using std::chrono::seconds;
using Clock = FoldWindows::Clock;

snmpTrap trap(const std::string& value, const std::string& stamp = "1") {
  snmpTrap t;
  t.readText("host\nUDP: [192.0.2.7]:161\n.1.3.6.1.2.1.1.3.0 " + stamp +
             "\n.1.3.6.1.6.3.1.1.4.1.0 .1.2.3\n.1.9 " + value + "\n.1.8 " + stamp + "\n");
  return t;
}

void ignore(const snmpTrap&) {}

// The decisions for values arriving a second apart: "run", "fold" or
// "hold", with "+drop" when a held trap was dropped.
std::vector<std::string> decide(FoldWindows& windows, const std::vector<std::string>& values,
                                Clock::time_point t0) {
  static const char* const kNames[] = {"run", "fold", "hold"};
  std::vector<std::string> decisions;
  for (size_t i = 0; i < values.size(); ++i) {
    FoldWindows::Verdict v = windows.arrive(7, "link", trap(values[i]), t0 + seconds(i));
    decisions.push_back(std::string(kNames[v.decision]) + (v.dropped ? "+drop" : ""));
  }
  return decisions;
}

TEST(FoldWindows, RepeatsInTheWindowAreFoldedOrHeldSoTheStateEndsWithTheLastTrap) {
  struct Case {
    std::vector<std::string> values, decisions;
    size_t held;
  } cases[] = {
      {{"A", "A", "A"}, {"run", "fold", "fold"}, 0},
      {{"A", "B", "A", "B", "A"}, {"run", "run", "hold", "fold+drop", "hold"}, 1},
      {{"A", "B", "A", "C"}, {"run", "run", "hold", "run+drop"}, 0},
      {{"A", "B", "A", "A"}, {"run", "run", "hold", "hold+drop"}, 1},
  };
  for (const Case& c : cases) {
    FoldWindows windows({60, {}}, ignore);
    EXPECT_EQ(decide(windows, c.values, Clock::now()), c.decisions) << c.values.size();
    EXPECT_EQ(windows.held(), c.held);
  }
  FoldWindows off({0, {}}, ignore);
  EXPECT_FALSE(off.enabled());
  EXPECT_EQ(decide(off, {"A", "A"}, Clock::now()), (std::vector<std::string>{"run", "run"}));
  FoldWindows ignoring({60, {".1.8"}}, ignore);
  EXPECT_EQ(ignoring.signature(trap("A", "1")), ignoring.signature(trap("A", "2")))
      << "the uptime and an ignored OID's value do not count";
  EXPECT_NE(ignoring.signature(trap("A")), ignoring.signature(trap("B")));
}

TEST(FoldWindows, TheCloseRunsTheHeldTrapOpensTheNextWindowAndTellsTheFolds) {
  FoldWindows windows({60, {}}, ignore);
  const Clock::time_point t0 = Clock::now();
  decide(windows, {"A", "B", "A", "B", "A"}, t0);
  EXPECT_FALSE(windows.close(7, t0 + seconds(59)).runFirst) << "not due yet";
  FoldWindows::Verdict closed = windows.close(7, t0 + seconds(60));
  ASSERT_TRUE(closed.runFirst);
  EXPECT_EQ(closed.runFirst->getValue(0), "A");
  EXPECT_EQ(windows.arrive(7, "link", trap("A"), t0 + seconds(61)).decision, FoldWindows::kFold)
      << "the held trap opened the next window";
  windows.arrive(7, "link", trap("B"), t0 + seconds(62));
  windows.arrive(7, "link", trap("A"), t0 + seconds(63));
  FoldWindows::Verdict late = windows.arrive(7, "link", trap("A"), t0 + seconds(200));
  ASSERT_TRUE(late.runFirst) << "after the window's end its held A runs first";
  EXPECT_EQ(late.decision, FoldWindows::kFold) << "then this A repeats it";
}

snmpTrap exampleTrap() {
  snmpTrap trap;
  trap.readText("host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.9\n"
                ".1.2 up\n.1.3 \"a b\"\n.1.4 \"msg\\\" --evil \\\"x\"\n.1.5 tab\there\n");
  return trap;
}

service exampleService(const std::string& parameter = "") {
  service s;
  s.SetService_id(17);
  s.Setname("link");
  s.SetDevice_id(3);
  s.Setpath("/plugins/check disk");
  s.SetOID(".1.9");
  s.Setparameter(parameter);
  return s;
}

TEST(TrapParameters, ReferencesAreFilledOnceAndValuesNeverAddArguments) {
  struct Case {
    const char *parameterTemplate, *text;
    std::vector<std::string> arguments;  // empty: not looked at
  } cases[] = {
      {"-H $IP -n $r -s $SERID -v $1", "-H 192.0.2.7 -n host1 -s 17 -v up", {}},
      {"-x $+2 $12 $6", "-x .1.3:a b up2 $6", {}},
      {"$r and $r $IP$IP", "host1 and $r 192.0.2.7$IP", {}},
      {"$0 $ $+ $+9 $x ends with $", "$0 $ $+ $+9 $x ends with $", {}},
      {"-m $2 \"$2\" '$2'", "-m a b \"a b\" 'a b'", {"-m", "a", "b", "a b", "a b"}},
      {"$1 \"$3\"", "up \"msg\\\" --evil \\\"x\"", {"up", "msg\\\" --evil \\\"x"}},
      {"-a $*", "-a .1.2:up .1.3:a b .1.4:msg\\\" --evil \\\"x .1.5:tab\there ",
       {"-a", ".1.2:up", ".1.3:a", "b", ".1.4:msg\\\"", "--evil", "\\\"x", ".1.5:tab\there"}},
  };
  CapturedOutput output;
  for (const Case& c : cases) {
    EXPECT_EQ(buildParameters(c.parameterTemplate, exampleTrap(), exampleService()), c.text);
    if (c.arguments.empty()) continue;
    service s = exampleService(c.parameterTemplate);
    fillServiceParameters(s, exampleTrap());
    EXPECT_EQ(s.getVectorParam(), c.arguments) << c.parameterTemplate;
  }
}

TEST(TrapParameters, ReplacedAndUnresolvedReferencesAreReportedAndValuesNotExpandedAgain) {
  CapturedOutput output;
  buildParameters("-x $+2", exampleTrap(), exampleService());
  buildParameters("-v $6", exampleTrap(), exampleService());
  buildParameters("$+x", exampleTrap(), exampleService());
  EXPECT_EQ(logMessages(output.text()),
            (std::vector<std::string>{
                "REP#.1.3:a b",
                "Variable no found:No entries value for variable number: #6#link#-v $6",
                "Variable no found:No entries value for variable number: #+#link#$+x"}));
  output.clear();
  snmpTrap costly;
  costly.readText("h\nt\n.1.2 cost $1 and $r\n");
  EXPECT_EQ(buildParameters("-m $1", costly, exampleService()), "-m cost $1 and $r");
  EXPECT_EQ(buildParameters("-a $*", snmpTrap(), exampleService()), "-a ");
  EXPECT_EQ(output.text(), "");
}

TEST(TrapReplay, TheTrapIsShownWithEveryValueWhole) {
  EXPECT_EQ(describeTrap(exampleTrap()),
            "host: <host1>\naddress: <192.0.2.7>\nOID: <.1.9>\n$1: .1.2 = <up>\n"
            "$2: .1.3 = <a b>\n$3: .1.4 = <msg\\\" --evil \\\"x>\n$4: .1.5 = <tab\\there>\n");
}

}  // namespace

}  // namespace kivo
