#include "trap/snmpTrap.h"

#include <fstream>
#include <sstream>

#include "support/exceptions.h"
#include "support/standardOutput.h"

using kivo::writeStandardOutput;

const char* const snmpTrap::kTrapOidName = ".1.3.6.1.6.3.1.1.4.1.0";

namespace {

const char* const kUptimeName = "DISMAN-EVENT-MIB::sysUpTimeInstance";
const char* const kUptimeOid = ".1.3.6.1.2.1.1.3.0";
const char* const kDateName = "date";

std::string stripQuotes(const std::string& value) {
  size_t first = value.find_first_not_of('"');
  if (first == std::string::npos) return std::string();
  size_t last = value.find_last_not_of('"');
  return value.substr(first, last - first + 1);
}

}  // namespace

void snmpTrap::read(std::string path) {
  std::ifstream in(path);
  if (!in.is_open()) throw FileException("error open file");
  readLines(in);
}

void snmpTrap::readText(const std::string& text) {
  std::istringstream in(text);
  readLines(in);
}

void snmpTrap::readLines(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return;
  host = line;
  if (!std::getline(in, line)) return;
  readTransportLine(line);
  while (std::getline(in, line)) readItemLine(line);
}

void snmpTrap::readTransportLine(const std::string& line) {
  port = line;
  // Without "[" the address starts at 0; without a "]" after it, the length
  // wraps around and the address runs to the end of the line.
  size_t start = line.find('[') + 1;
  size_t stop = line.find(']');
  hostAddr = line.substr(start, stop - start);
}

void snmpTrap::readItemLine(const std::string& line) {
  size_t blank = line.find(' ');
  std::string name = line.substr(0, blank);
  std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
  if (name == kTrapOidName) {
    oid = value;
  } else if (name == kUptimeName || name == kUptimeOid) {
    deviceUptime = value;
  } else if (name == kDateName) {
    dateReceive = value;
  } else {
    variables.push_back(trap_variable{name, stripQuotes(value)});
  }
}

bool snmpTrap::hasTrapOidLine(const std::string& text) {
  const std::string name = kTrapOidName;
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    size_t after = at + name.size();
    bool startsLine = at == 0 || text[at - 1] == '\n';
    bool endsName = after == text.size() || text[after] == ' ' || text[after] == '\n';
    if (startsLine && endsName) return true;
  }
  return false;
}

std::string snmpTrap::toSpoolText() const {
  std::string text = host + "\n" + port + "\n";
  text += std::string(kUptimeOid) + " " + deviceUptime + "\n";
  text += std::string(kTrapOidName) + " " + oid + "\n";
  for (const trap_variable& variable : variables) {
    text += variable.oid + " " + variable.value + "\n";
  }
  text += std::string(kDateName) + " " + dateReceive + "\n";
  return text;
}

std::string snmpTrap::getValue(int i) const {
  if (i < 0 || i >= getSize()) {
    throw VariableNoFoundException("No entries value for variable number: ");
  }
  return variables[static_cast<size_t>(i)].value;
}

std::string snmpTrap::getVariableOid(int i) const {
  if (i < 0 || i >= getSize()) {
    throw VariableNoFoundException("No entries oid for variable number: ");
  }
  return variables[static_cast<size_t>(i)].oid;
}

void snmpTrap::show() const {
  writeStandardOutput("host: " + host + "\nport: " + port + "\ndate: " + dateReceive +
                      "\noid : " + oid + "\n");
}

bool snmpTrap::operator==(const snmpTrap& other) const {
  return host == other.host && hostAddr == other.hostAddr && port == other.port &&
         dateReceive == other.dateReceive && oid == other.oid &&
         deviceUptime == other.deviceUptime && variables == other.variables;
}
