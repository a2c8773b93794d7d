#include "check/metricsText.h"

#include <stdlib.h>

#include <utility>
#include <vector>

namespace kivo {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == ':';
}

class LineReader {
 public:
  explicit LineReader(std::string line) : line_(std::move(line)) {}

  // One sample line into key and value; false when the line is none.
  bool sample(std::string& key, double& value) {
    std::string name = word();
    if (name.empty()) return false;
    std::vector<std::pair<std::string, std::string>> labels;
    if (at_ < line_.size() && line_[at_] == '{' && !readLabels(labels)) return false;
    key = name;
    if (!labels.empty()) {
      std::map<std::string, std::string> sorted(labels.begin(), labels.end());
      key += "{";
      for (const auto& label : sorted) {
        if (key.back() != '{') key += ",";
        key += label.first + "=\"" + label.second + "\"";
      }
      key += "}";
    }
    skipBlanks();
    return readValue(value);
  }

 private:
  void skipBlanks() {
    while (at_ < line_.size() && isBlank(line_[at_])) ++at_;
  }

  std::string word() {
    size_t start = at_;
    while (at_ < line_.size() && isNameCharacter(line_[at_])) ++at_;
    return line_.substr(start, at_ - start);
  }

  // From "{" to "}": name="value" pairs, separated by commas, a trailing
  // comma allowed.
  bool readLabels(std::vector<std::pair<std::string, std::string>>& labels) {
    ++at_;
    for (;;) {
      skipBlanks();
      if (at_ < line_.size() && line_[at_] == '}') {
        ++at_;
        return true;
      }
      std::string name = word();
      skipBlanks();
      if (name.empty() || at_ >= line_.size() || line_[at_] != '=') return false;
      ++at_;
      skipBlanks();
      std::string value;
      if (!readQuoted(value)) return false;
      labels.emplace_back(name, value);
      skipBlanks();
      if (at_ < line_.size() && line_[at_] == ',') ++at_;
    }
  }

  bool readQuoted(std::string& value) {
    if (at_ >= line_.size() || line_[at_] != '"') return false;
    for (++at_; at_ < line_.size(); ++at_) {
      char c = line_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      value += c;
      if (c == '\\' && at_ + 1 < line_.size()) value += line_[++at_];
    }
    return false;
  }

  // strtod reads NaN, +Inf and -Inf as the format writes them.
  bool readValue(double& value) {
    if (at_ >= line_.size()) return false;
    const char* start = line_.c_str() + at_;
    char* end = nullptr;
    value = ::strtod(start, &end);
    if (end == start) return false;
    return *end == '\0' || isBlank(*end);
  }

  const std::string line_;
  size_t at_ = 0;
};

}  // namespace

MetricSamples parseMetricsText(const std::string& text) {
  MetricSamples samples;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string key;
    double value = 0;
    if (LineReader(line.substr(first)).sample(key, value)) samples[key] = value;
  }
  return samples;
}

}  // namespace kivo
