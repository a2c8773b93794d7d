#include "support/iniConfig.h"

#include <fstream>
#include <utility>

#include "support/convertTo.h"
#include "support/exceptions.h"

namespace {

// Removes the leading blanks, then the tabs that follow them: one pass, so a
// tab followed by a blank keeps the blank.
std::string leftTrim(const std::string& line) {
  size_t start = line.find_first_not_of(' ');
  if (start == std::string::npos) return std::string();
  start = line.find_first_not_of('\t', start);
  if (start == std::string::npos) return std::string();
  return line.substr(start);
}

std::string valueOf(const std::string& line) {
  size_t equal = line.find('=');
  return equal == std::string::npos ? std::string() : line.substr(equal + 1);
}

std::string nameOf(const std::string& line) {
  return line.substr(0, line.find('='));
}

std::ifstream openSettings(const std::string& path) {
  std::ifstream in(path);
  if (!in.is_open()) throw FileException("error: can't open file");
  return in;
}

// Calls visit(line) for every non-comment line of the section, header first,
// until visit returns true or the section ends.
template <class Visit>
void scanSection(const std::string& path, const std::string& section, Visit visit) {
  std::ifstream in = openSettings(path);
  const std::string header = "[" + section + "]";
  bool inSection = false;
  std::string raw;
  while (std::getline(in, raw)) {
    std::string line = leftTrim(raw);
    if (!line.empty() && line[0] == '#') continue;
    if (!line.empty() && line[0] == '[' && inSection) return;
    if (line == header) inSection = true;
    if (inSection && visit(line)) return;
  }
}

}  // namespace

iniConfig::iniConfig(std::string path) : path_(std::move(path)) {}

iniConfig::~iniConfig() = default;

std::string iniConfig::getKey(std::string section, std::string key) {
  std::string result;
  scanSection(path_, section, [&](const std::string& line) {
    if (line.find(key) == std::string::npos) return false;
    result = valueOf(line);
    return true;
  });
  return result;
}

int iniConfig::getKeyToInt(std::string section, std::string key) {
  return stringToInt(getKey(std::move(section), std::move(key)));
}

std::map<std::string, std::string>& iniConfig::getSection(std::string section) {
  scanSection(path_, section, [&](const std::string& line) {
    section_[nameOf(line)] = valueOf(line);
    return false;
  });
  return section_;
}
