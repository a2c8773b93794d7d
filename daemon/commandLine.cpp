#include "daemon/commandLine.h"

#include <unistd.h>

#include "daemon/kivoTrapd.h"
#include "daemon/commands/settingsCheck.h"
#include "daemon/commands/trapReplay.h"
#include "support/posixIo.h"

namespace kivo {

namespace {

const int kBadUsageStatus = 2;

CommandLine badUsage(const std::string& problem) {
  CommandLine line;
  line.action = CommandLine::kBadUsage;
  line.problem = problem;
  return line;
}

// An option that stands alone.
CommandLine::Action singleOption(const std::string& option) {
  if (option == "--check") return CommandLine::kCheck;
  if (option == "--version") return CommandLine::kVersion;
  if (option == "--help") return CommandLine::kHelp;
  return CommandLine::kBadUsage;
}

// --replay FILE with --run before or after it, and nothing else.
CommandLine parseReplay(const std::vector<std::string>& arguments) {
  CommandLine line;
  line.action = CommandLine::kReplay;
  bool fileGiven = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--run" && !line.run) {
      line.run = true;
    } else if (argument == "--replay" && !fileGiven) {
      if (i + 1 == arguments.size() || arguments[i + 1].rfind("--", 0) == 0) {
        return badUsage("--replay needs a file");
      }
      line.replayFile = arguments[++i];
      fileGiven = true;
    } else {
      return badUsage("unexpected argument " + argument);
    }
  }
  if (!fileGiven) return badUsage("--run goes with --replay FILE");
  return line;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return CommandLine();
  for (const std::string& argument : arguments) {
    if (argument == "--replay" || argument == "--run") return parseReplay(arguments);
  }
  const std::string& first = arguments[0];
  CommandLine line;
  line.action = singleOption(first);
  if (line.action == CommandLine::kBadUsage) {
    bool option = first.size() > 1 && first[0] == '-';
    return badUsage((option ? "unknown option " : "unexpected argument ") + first);
  }
  if (arguments.size() > 1) return badUsage("unexpected argument " + arguments[1]);
  return line;
}

std::string usageText() {
  return "usage: kivoTrapD                         run the daemon\n"
         "       kivoTrapD --check                 check the settings, files and services\n"
         "       kivoTrapD --replay FILE [--run]   show how the trap in spool file FILE\n"
         "                                         would be handled (--run: run its plug-in)\n"
         "       kivoTrapD --version | --help\n"
         "The settings file is $KIVO_CONF, or /etc/kivo/kivo.conf.\n";
}

int commandLineMain(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  CommandLine line = parseCommandLine(arguments);
  switch (line.action) {
    case CommandLine::kRunDaemon:
      return kivoTrapdMain();
    case CommandLine::kCheck:
      return runSettingsCheck(configurationPath());
    case CommandLine::kReplay:
      return runTrapReplay(configurationPath(), line.replayFile, line.run);
    case CommandLine::kVersion:
      (void)writeAll(STDOUT_FILENO, std::string("kivoTrapD ") + KIVO_VERSION + "\n");
      return 0;
    case CommandLine::kHelp:
      (void)writeAll(STDOUT_FILENO, usageText());
      return 0;
    case CommandLine::kBadUsage:
      break;
  }
  (void)writeAll(STDERR_FILENO, "kivoTrapD: " + line.problem + "\n" + usageText());
  return kBadUsageStatus;
}

}  // namespace kivo
