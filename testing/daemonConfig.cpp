#include "testing/daemonConfig.h"

#include <sys/stat.h>

#include <regex>

#include "testing/testDatabase.h"

namespace kivo {

snmpTrap trapOf(const std::string& content) {
  snmpTrap trap;
  trap.readText(content);
  return trap;
}

snmpTrap exampleTrap() {
  return trapOf("host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.9\n"
                ".1.2 up\n.1.3 \"a b\"\n.1.4 \"msg\\\" --evil \\\"x\"\n.1.5 tab\there\n");
}

Lines linesOf(const Findings& findings) {
  Lines lines;
  for (const Finding& finding : findings) lines.push_back(finding.line());
  return lines;
}

DaemonConfig::DaemonConfig(const TempDir& dir)
    : path(dir.file("kivo.conf")),
      systemLog(dir.file("kivotrapd.log")),
      trapLog(dir.file("trap_receive.log")),
      priorityFile(dir.file("trap.pqueue")),
      spool(dir.file("spool/")) {
  ::mkdir(spool.c_str(), 0755);
  entries["LOG"] = {{"log_trapd_file", systemLog}, {"log_trap_receive", trapLog},
                    {"log_trap_unknown", dir.file("trap_unknown.log")},
                    {"max_size_file_log", "1000000"}, {"log_enable", "1"}};
  entries["KIVO"] = {{"spool_directory", spool}, {"sleep", "1"},
                     {"trap_pqueue_file", priorityFile}, {"thread_number", "0"}};
}

void DaemonConfig::useDatabase(const TestDatabase& database) {
  entries["POSTGRESQL"] = {{"PGSQL_host", TestDatabase::host()},
                           {"PGSQL_port", TestDatabase::port()}, {"PGSQL_db", database.name()},
                           {"PGSQL_username", "postgres"}, {"PGSQL_pwd", ""}};
}

void DaemonConfig::write() const {
  std::string text = "# written by a test\n";
  for (const auto& section : entries) {
    text += "[" + section.first + "]\n";
    for (const auto& entry : section.second) text += entry.first + "=" + entry.second + "\n";
  }
  writeFile(path, text);
}

std::vector<std::string> logMessages(const std::string& text) {
  static const std::regex stamped("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                                  "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}#(.*)");
  std::vector<std::string> messages;
  for (const std::string& line : splitLines(text)) {
    std::smatch match;
    messages.push_back(std::regex_match(line, match, stamped) ? match[1].str() : line);
  }
  return messages;
}

}  // namespace kivo
