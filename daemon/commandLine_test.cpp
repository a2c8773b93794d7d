#include "daemon/commandLine.h"

#include <gtest/gtest.h>

namespace kivo {

TEST(CommandLine, ActionsTheirArgumentsAndBadUsage) {
  using A = CommandLine::Action;
  struct Case {
    std::vector<std::string> arguments;
    A action;
    std::string fileOrProblem;
    bool run;
  } cases[] = {
      {{}, A::kRunDaemon, "", false},          {{"--check"}, A::kCheck, "", false},
      {{"--version"}, A::kVersion, "", false}, {{"--help"}, A::kHelp, "", false},
      {{"--run", "--replay", "/a b"}, A::kReplay, "/a b", true},
      {{"start"}, A::kBadUsage, "unexpected argument start", false},
      {{"--check", "--version"}, A::kBadUsage, "unexpected argument --version", false},
      {{"--check", "--run"}, A::kBadUsage, "unexpected argument --check", false},
      {{"--run"}, A::kBadUsage, "--run goes with --replay FILE", false},
      {{"--replay", "--run"}, A::kBadUsage, "--replay needs a file", false},
      {{"--replay", "a", "--run", "--run"}, A::kBadUsage, "unexpected argument --run", false},
      {{"--replay", "a", "--replay", "b"}, A::kBadUsage, "unexpected argument --replay", false},
  };
  for (const Case& c : cases) {
    CommandLine line = parseCommandLine(c.arguments);
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0] + " " + c.fileOrProblem);
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(c.action == A::kBadUsage ? line.problem : line.replayFile, c.fileOrProblem);
    EXPECT_EQ(line.run, c.run);
  }
}

}  // namespace kivo
