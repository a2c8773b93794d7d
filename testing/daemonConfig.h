// A settings file for the daemon under test, with every path inside one
// temporary directory: the spool directory, the system log, the trap log and
// the priority file.
#ifndef KIVO_TESTING_DAEMONCONFIG_H
#define KIVO_TESTING_DAEMONCONFIG_H

#include <map>
#include <string>
#include <vector>

#include "testing/tempDir.h"

namespace kivo {

class TestDatabase;

// The system log's lines with the 24-character timestamp and its "#"
// removed ("INFO#spool dir: /x/"); raw lines stay as they are.
std::vector<std::string> logMessages(const std::string& text);

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
