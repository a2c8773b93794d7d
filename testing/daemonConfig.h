// A settings file for the daemon under test, with every path inside one
// temporary directory: the spool directory, the system log, the trap log and
// the priority file.
#ifndef KIVO_TESTING_DAEMONCONFIG_H
#define KIVO_TESTING_DAEMONCONFIG_H

#include <map>
#include <string>
#include <vector>

#include "daemon/base/settings.h"
#include "testing/tempDir.h"
#include "trap/snmpTrap.h"

namespace kivo {

class TestDatabase;

// The system log's lines with the 24-character timestamp and its "#"
// removed ("INFO#spool dir: /x/"); raw lines stay as they are.
std::vector<std::string> logMessages(const std::string& text);

// A trap read from the text of a spool file.
snmpTrap trapOf(const std::string& content);
// A trap whose values need care as arguments: blanks, quotes, a tab.
snmpTrap exampleTrap();
// The findings as --check prints them.
using Lines = std::vector<std::string>;
Lines linesOf(const Findings& findings);

struct DaemonConfig {
  explicit DaemonConfig(const TempDir& dir);

  // The "POSTGRESQL" section for database.
  void useDatabase(const TestDatabase& database);

  // Writes the file; entries are "SECTION" -> name -> value, in name order.
  void write() const;

  // The system log as logMessages gives it; empty while there is none.
  std::vector<std::string> messages() const { return logMessages(readFile(systemLog)); }

  std::string path, systemLog, trapLog, priorityFile;
  std::string spool;  // ends with "/"
  std::map<std::string, std::map<std::string, std::string>> entries;
};

}  // namespace kivo

#endif
