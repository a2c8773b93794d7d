// The daemon's command line: no argument runs the daemon; the options run
// one of the commands that steer it from outside (a check of the settings,
// a dry run of one trap, the traps no service takes) or say what it is. Stateless; main's thread only.
#ifndef KIVO_DAEMON_COMMANDLINE_H
#define KIVO_DAEMON_COMMANDLINE_H

#include <string>
#include <vector>

namespace kivo {

struct CommandLine {
  enum Action {
    kRunDaemon,   // no argument
    kCheck,       // --check
    kReplay,      // --replay FILE [--run]
    kUnknown,     // --unknown
    kVersion,     // --version
    kHelp,        // --help
    kBadUsage,    // anything else; problem says what
  };
  Action action = kRunDaemon;
  std::string replayFile;
  bool run = false;
  std::string problem;
};

// The arguments after the program's name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The usage text, several lines, each ending with a line feed.
std::string usageText();

// The exit status of the program with these arguments (argv[0] first):
// the daemon's, a command's, 0 for --version and --help, 2 for bad usage,
// with the usage on standard error.
int commandLineMain(int argc, char** argv);

}  // namespace kivo

#endif
