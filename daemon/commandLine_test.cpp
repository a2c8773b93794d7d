// Which action a command line asks for.
#include "daemon/commandLine.h"

#include <gtest/gtest.h>

namespace kivo {

namespace {

using Action = kivo::CommandLine::Action;

TEST(CommandLine, ActionsAndTheirArguments) {
  struct Case {
    std::vector<std::string> arguments;
    Action action;
    std::string file;
    bool run;
  } cases[] = {
      {{}, Action::kRunDaemon, "", false},
      {{"--check"}, Action::kCheck, "", false},
      {{"--version"}, Action::kVersion, "", false},
      {{"--help"}, Action::kHelp, "", false},
      {{"--replay", "trap-1"}, Action::kReplay, "trap-1", false},
      {{"--replay", "trap-1", "--run"}, Action::kReplay, "trap-1", true},
      {{"--run", "--replay", "/a b"}, Action::kReplay, "/a b", true},
  };
  for (const Case& c : cases) {
    kivo::CommandLine line = kivo::parseCommandLine(c.arguments);
    std::string shown = c.arguments.empty() ? "(none)" : c.arguments[0];
    EXPECT_EQ(line.action, c.action) << shown << ": " << line.problem;
    EXPECT_EQ(line.replayFile, c.file) << shown;
    EXPECT_EQ(line.run, c.run) << shown;
  }
}

TEST(CommandLine, BadUsageSaysWhat) {
  struct Case {
    std::vector<std::string> arguments;
    std::string problem;
  } cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"-t"}, "unknown option -t"},
      {{"start"}, "unexpected argument start"},
      {{"--check", "--version"}, "unexpected argument --version"},
      {{"--check", "--run"}, "unexpected argument --check"},
      {{"--run"}, "--run goes with --replay FILE"},
      {{"--replay"}, "--replay needs a file"},
      {{"--replay", "--run"}, "--replay needs a file"},
      {{"--replay", "a", "b"}, "unexpected argument b"},
      {{"--replay", "a", "--run", "--run"}, "unexpected argument --run"},
      {{"--replay", "a", "--replay", "b"}, "unexpected argument --replay"},
  };
  for (const Case& c : cases) {
    kivo::CommandLine line = kivo::parseCommandLine(c.arguments);
    EXPECT_EQ(line.action, Action::kBadUsage) << c.problem;
    EXPECT_EQ(line.problem, c.problem);
  }
}

}  // namespace

}  // namespace kivo
