// Reads the daemon's settings file for start-up, and keeps what it found
// wrong with the values it read.
//
// The numbers of the settings file are read as the daemon has always read
// them (leading blanks skipped, the longest beginning that forms a number,
// the rest ignored), but a value that is not wholly a number no longer
// passes unseen: the reader keeps one finding per such key, naming the key,
// the value and the number used. Settings are read before the system log is
// open, so main writes the findings as ERR lines once it is. Used by one
// thread at a time; the iniConfig must outlive the reader.
#ifndef KIVO_DAEMON_BASE_SETTINGSREADER_H
#define KIVO_DAEMON_BASE_SETTINGSREADER_H

#include <string>
#include <vector>

class iniConfig;

namespace kivo {

class SettingsReader {
 public:
  explicit SettingsReader(iniConfig& config) : config_(config) {}
  SettingsReader(const SettingsReader&) = delete;
  SettingsReader& operator=(const SettingsReader&) = delete;

  // The value as written, "" when missing. FileException when the file
  // cannot be read.
  std::string text(const char* section, const char* key);

  // A number read the daemon's traditional way: 0 when the value holds no
  // number, missing included.
  long number(const char* section, const char* key);

  // A count with a default: fallback when the value is missing, empty or
  // holds no number; 0 for a value below 0.
  long count(const char* section, const char* key, long fallback);

  // "[SECTION] key=value is not a number: using N", one per key read.
  const std::vector<std::string>& findings() const { return findings_; }

 private:
  // Notes a finding when text is not empty and not wholly a number.
  void check(const char* section, const char* key, const std::string& text, long used);

  iniConfig& config_;
  std::vector<std::string> findings_;
};

// Whether the number conversions find a number in text: after leading
// white space, a digit, or a sign and a digit.
bool holdsNumber(const std::string& text);

}  // namespace kivo

#endif
