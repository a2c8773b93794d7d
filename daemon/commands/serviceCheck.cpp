#include "daemon/commands/serviceCheck.h"

#include <ctype.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "support/logText.h"

namespace kivo {

namespace {

const unsigned long long kLargestAddress = 0xFFFFFFFFull;

std::string deviceLabel(int device) { return "device " + std::to_string(device); }

std::string serviceLabel(const service& s) {
  return "service " + std::to_string(s.GetService_id()) + " (" + escapeControls(s.Getname()) + ")";
}

bool digitsOnly(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// What is wrong with a device's stored address; level is set when anything.
std::string addressProblem(const TrapServiceRow& row, Finding::Level* level) {
  *level = Finding::kError;
  const std::string stored = "device_ip_addr " + escapeControls(row.address);
  const std::string readAs = ": read as " + deviceAddressKey(row.address);
  if (row.addressNull) return "device_ip_addr is NULL: read as 0.0.0.0, which sends no trap";
  bool negative = row.address[0] == '-';
  std::string digits = negative ? row.address.substr(1) : row.address;
  if (!digitsOnly(digits)) return stored + " is not a number" + readAs;
  bool tooLong = digits.size() > 10;
  if (negative || tooLong || std::stoull(digits) > kLargestAddress) {
    return stored + " is outside 32 bits" + readAs;
  }
  if (std::stoull(digits) == 0) {
    *level = Finding::kWarning;
    return stored + " is 0.0.0.0, which sends no trap";
  }
  return "";
}

void checkAddresses(const std::vector<TrapServiceRow>& rows, Findings* findings) {
  std::set<int> seen;
  for (const TrapServiceRow& row : rows) {
    int device = row.s.GetDevice_id();
    if (!seen.insert(device).second) continue;
    Finding::Level level;
    std::string problem = addressProblem(row, &level);
    if (!problem.empty()) findings->push_back({level, deviceLabel(device) + ": " + problem});
  }
}

void checkProgram(const service& s, const char* what, const std::string& path,
                  Findings* findings) {
  std::string problem = programProblem(path);
  if (problem.empty()) return;
  findings->push_back({Finding::kError, serviceLabel(s) + " of " + deviceLabel(s.GetDevice_id()) +
                                            ": " + what + " " + escapeControls(path) + ": " +
                                            problem});
}

void checkPrograms(const std::vector<TrapServiceRow>& rows, Findings* findings) {
  std::set<int> plugins;
  std::set<std::pair<int, std::string>> alerting;
  for (const TrapServiceRow& row : rows) {
    const service& s = row.s;
    if (plugins.insert(s.GetService_id()).second) {
      checkProgram(s, "plug-in", s.Getpath(), findings);
    }
    const std::string program = s.GetAlertingSoftware();
    if (!program.empty() && alerting.insert({s.GetService_id(), program}).second) {
      checkProgram(s, "alerting program", program, findings);
    }
  }
}

// The daemon takes the first service of a device with the trap's OID.
void checkDuplicateOids(const std::vector<TrapServiceRow>& rows, Findings* findings) {
  std::map<std::pair<std::string, std::string>, const service*> first;
  std::set<std::pair<int, int>> reported;
  for (const TrapServiceRow& row : rows) {
    const std::string key = deviceAddressKey(row.address);
    const service*& earlier = first[{key, row.s.GetOID()}];
    if (earlier == nullptr) {
      earlier = &row.s;
      continue;
    }
    int kept = earlier->GetService_id();
    int hidden = row.s.GetService_id();
    if (kept == hidden || !reported.insert({kept, hidden}).second) continue;
    findings->push_back({Finding::kWarning, serviceLabel(*earlier) + " and " +
                                                serviceLabel(row.s) + " on " + key +
                                                " both answer OID " +
                                                escapeControls(row.s.GetOID()) + ": " +
                                                std::to_string(hidden) + " never runs"});
  }
}

// A service has one row per alerting program; the daemon runs the first.
void checkAlertingPrograms(const std::vector<TrapServiceRow>& rows, Findings* findings) {
  std::map<int, std::vector<const service*>> byService;
  for (const TrapServiceRow& row : rows) byService[row.s.GetService_id()].push_back(&row.s);
  for (const auto& entry : byService) {
    const std::vector<const service*>& list = entry.second;
    if (list.size() < 2) continue;
    findings->push_back({Finding::kWarning, serviceLabel(*list[0]) + " has " +
                                                std::to_string(list.size()) +
                                                " alerting programs, but only one runs: " +
                                                escapeControls(list[0]->GetAlertingSoftware())});
  }
}

}  // namespace

void checkServices(const std::vector<TrapServiceRow>& rows, Findings* findings) {
  checkAddresses(rows, findings);
  checkPrograms(rows, findings);
  checkDuplicateOids(rows, findings);
  checkAlertingPrograms(rows, findings);
}

size_t distinctDevices(const std::vector<TrapServiceRow>& rows) {
  std::set<int> devices;
  for (const TrapServiceRow& row : rows) devices.insert(row.s.GetDevice_id());
  return devices.size();
}

}  // namespace kivo
