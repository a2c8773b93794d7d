// The worker's steps for one trap, with fake programs and a fake journal:
// which records open, which are acknowledged, and which alerts run with
// which ids, by the service's own previous state.
#include "daemon/trapHandler.h"

#include <gtest/gtest.h>

#include "daemon/daemonGlobals.h"
#include "daemon/serviceStates.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

namespace {

// Runs "plug-ins" that exit with their trap's first value, and keeps a
// journal of what the handler asked for.
class FakeActions : public kivo::TrapActions {
 public:
  int runPlugin(service& s) override {
    int code = std::stoi(s.getVectorParam().at(0));
    s.SetResult(code, "state " + std::to_string(code));
    steps.push_back("run " + std::to_string(code));
    return code;
  }
  service::AlertingEnd runAlerting(service&, double errorId) override {
    steps.push_back("alert " + std::to_string(static_cast<int>(errorId)));
    return service::kAlertingEnded;
  }
  bool storeRun(const service& s) override {
    steps.push_back("store " + std::to_string(s.GetReturnCode()));
    return true;
  }
  void acknowledge(const service&, int previous) override {
    if (previous != 0 && !open.empty()) {
      steps.push_back("acknowledge " + std::to_string(open.back()));
      open.pop_back();
    }
  }
  bool openRecord(const service&, int code) override {
    if (!recordsWork) return false;
    open.push_back(++lastId);
    steps.push_back("record " + std::to_string(lastId) + " for " + std::to_string(code));
    return true;
  }
  double openRecordId(const service&) override {
    return open.empty() || !lookupsWork ? -1 : open.back();
  }

  std::vector<std::string> steps;
  std::vector<int> open;
  int lastId = 0;
  bool recordsWork = true;
  bool lookupsWork = true;
};

class TrapHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map_error = {{"default_warning_error", "1"}, {"default_critical_error", "2"},
                 {"default_unknow_error", "3"}};
    service s;
    s.SetService_id(5);
    s.Setname("power");
    s.SetOID(".1.2.3");
    s.Setparameter("$1");
    s.SetAlertingCritical(true);
    map_service_trap.addTrapService("192.0.2.7", s);
    log_enable = 0;
  }
  void TearDown() override {
    map_service_trap.clear();
    map_error.clear();
  }

  void handle(const std::vector<int>& codes) {
    for (int code : codes) {
      snmpTrap trap;
      trap.readText("host\nUDP: [192.0.2.7]:161\n.1.3.6.1.6.3.1.1.4.1.0 .1.2.3\n.1.9 " +
                    std::to_string(code) + "\n");
      handler.handle(trap);
    }
  }

  CapturedOutput output;
  FakeActions actions;
  kivo::ServiceStates states;
  kivo::TrapHandler handler{actions, states, nullptr};
};

TEST_F(TrapHandlerTest, ARecoveryAcknowledgesAndARepeatOpensNothing) {
  handle({2, 0, 2, 2});
  EXPECT_EQ(actions.steps, (std::vector<std::string>{
                               "run 2", "store 2", "record 1 for 2", "alert 1",
                               "run 0", "store 0", "acknowledge 1",
                               "run 2", "store 2", "record 2 for 2", "alert 2",
                               "run 2", "store 2"}));
  EXPECT_EQ(states.previous(5), 2);
}

TEST_F(TrapHandlerTest, TheStoredStateIsThePreviousOneOfTheFirstRun) {
  states.ran(5, 2);  // as read from the service's row at the start
  actions.open = {9};
  handle({0});
  EXPECT_EQ(actions.steps, (std::vector<std::string>{"run 0", "store 0", "acknowledge 9"}));
}

TEST_F(TrapHandlerTest, NoAlertNamesARecordThatIsNotThere) {
  struct Case {
    bool recordsWork;
    bool lookupsWork;
    std::string line;
  } cases[] = {
      {false, true, "ERR#alerting program of service power not run: its error record could not "
                    "be written"},
      {true, false, "ERR#alerting program of service power not run: no open error record of the "
                    "service was found"},
  };
  for (const Case& c : cases) {
    actions.steps.clear();
    actions.recordsWork = c.recordsWork;
    actions.lookupsWork = c.lookupsWork;
    states.ran(5, 0);
    output.clear();
    handle({2});
    for (const std::string& step : actions.steps) EXPECT_NE(step.rfind("alert", 0), 0u) << step;
    std::vector<std::string> lines = logMessages(output.text());
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << c.line;
  }
}

}  // namespace

}  // namespace kivo
