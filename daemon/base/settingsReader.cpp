#include "daemon/base/settingsReader.h"

#include <ctype.h>

#include "support/convertTo.h"
#include "support/iniConfig.h"
#include "support/logText.h"

namespace kivo {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Blanks around an integer are harmless; anything else after it is not.
bool wholeNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  size_t digits = i;
  while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits) return false;
  while (i < text.size() && isBlank(text[i])) ++i;
  return i == text.size();
}

}  // namespace

bool holdsNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  return i < text.size() && isdigit(static_cast<unsigned char>(text[i]));
}

std::string SettingsReader::text(const char* section, const char* key) {
  return config_.getKey(section, key);
}

long SettingsReader::number(const char* section, const char* key) {
  std::string value = text(section, key);
  long used = stringToLong(value);
  check(section, key, value, used);
  return used;
}

long SettingsReader::count(const char* section, const char* key, long fallback) {
  std::string value = text(section, key);
  long used = holdsNumber(value) ? stringToLong(value) : fallback;
  if (used < 0) used = 0;
  check(section, key, value, used);
  return used;
}

void SettingsReader::check(const char* section, const char* key, const std::string& value,
                           long used) {
  if (value.empty() || wholeNumber(value)) return;
  findings_.push_back("[" + std::string(section) + "] " + key + "=" + escapeControls(value) +
                      " is not a number: using " + longToString(used));
}

}  // namespace kivo
