#include "daemon/commandLine.h"

#include <getopt.h>
#include <unistd.h>

#include "daemon/kivoTrapd.h"
#include "daemon/commands/settingsCheck.h"
#include "daemon/commands/trapReplay.h"
#include "daemon/commands/unknownList.h"
#include "support/childProcess.h"
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

// One argument as getopt_long read it: an option's code, 0 for an unknown
// option, or kOperand for an argument that is no option.
struct Word {
  int code;
  std::string written;  // "--replay", "--verbose", "start"
  std::string value;    // --replay's file
  bool valueGiven;
};

const int kOperand = 1;
const int kCheck = 'c', kVersion = 'v', kHelp = 'h', kReplay = 'r', kRun = 'u', kUnknown = 'n';

const option kOptions[] = {
    {"check", no_argument, nullptr, kCheck},  {"version", no_argument, nullptr, kVersion},
    {"help", no_argument, nullptr, kHelp},    {"replay", required_argument, nullptr, kReplay},
    {"run", no_argument, nullptr, kRun},      {"unknown", no_argument, nullptr, kUnknown},
    {nullptr, 0, nullptr, 0},
};

std::string longName(int code) {
  for (const option& o : kOptions) {
    if (o.val == code) return std::string("--") + o.name;
  }
  return "";
}

// Every argument in order; what they mean together is the caller's to say.
std::vector<Word> readWords(const std::vector<std::string>& arguments) {
  ArgumentVector vector("kivoTrapD", arguments);
  std::vector<Word> words;
  opterr = 0;  // problems are told in the command line's own words
  optind = 0;  // from the start, also when parsed again in one process
  // optind 0 stands for the first argument, 1.
  for (int next = 1; next < vector.argc(); next = optind) {
    const std::string argument = vector.argv()[next];
    int code = getopt_long(vector.argc(), vector.argv(), "+:", kOptions, nullptr);
    if (code == -1) {
      // "--" is no option of ours; a word that is no option ends
      // getopt_long's scan, and the words after it are read too.
      if (argument == "--") words.push_back({0, argument, "", false});
      if (optind >= vector.argc()) break;
      words.push_back({kOperand, vector.argv()[optind++], "", false});
    } else if (code == ':') {
      words.push_back({kReplay, longName(kReplay), "", false});
    } else if (code == '?') {
      words.push_back({0, argument, "", false});
    } else {
      words.push_back({code, longName(code), optarg != nullptr ? optarg : "", optarg != nullptr});
    }
  }
  return words;
}

CommandLine::Action actionOf(int code) {
  switch (code) {
    case kCheck:
      return CommandLine::kCheck;
    case kVersion:
      return CommandLine::kVersion;
    case kHelp:
      return CommandLine::kHelp;
    case kUnknown:
      return CommandLine::kUnknown;
    default:
      return CommandLine::kBadUsage;
  }
}

// --replay FILE with --run before or after it, and nothing else.
CommandLine parseReplay(const std::vector<Word>& words) {
  CommandLine line;
  line.action = CommandLine::kReplay;
  bool fileGiven = false;
  for (const Word& word : words) {
    if (word.code == kRun && !line.run) {
      line.run = true;
    } else if (word.code == kReplay && !fileGiven) {
      if (!word.valueGiven || word.value.rfind("--", 0) == 0) {
        return badUsage("--replay needs a file");
      }
      line.replayFile = word.value;
      fileGiven = true;
    } else {
      return badUsage("unexpected argument " + word.written);
    }
  }
  if (!fileGiven) return badUsage("--run goes with --replay FILE");
  return line;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  std::vector<Word> words = readWords(arguments);
  if (words.empty()) return CommandLine();
  for (const Word& word : words) {
    if (word.code == kReplay || word.code == kRun) return parseReplay(words);
  }
  const Word& first = words[0];
  CommandLine line;
  line.action = actionOf(first.code);
  if (line.action == CommandLine::kBadUsage) {
    return badUsage((first.code == 0 ? "unknown option " : "unexpected argument ") +
                    first.written);
  }
  if (words.size() > 1) return badUsage("unexpected argument " + words[1].written);
  return line;
}

std::string usageText() {
  return "usage: kivoTrapD                         run the daemon\n"
         "       kivoTrapD --check                 check the settings, files and services\n"
         "       kivoTrapD --replay FILE [--run]   show how the trap in spool file FILE\n"
         "                                         would be handled (--run: run its plug-in)\n"
         "       kivoTrapD --unknown               list the traps that no service takes,\n"
         "                                         by address and OID, newest first\n"
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
    case CommandLine::kUnknown:
      return runUnknownList(configurationPath());
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
