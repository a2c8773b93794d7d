// Reader of a sectioned settings file ("[SECTION]" headers, name=value lines).
//
// The reader keeps nothing between lookups: every lookup opens the file,
// scans it from its first line and closes it, so it sees the file as it is at
// that moment. Lines are left-trimmed (blanks, then tabs) and nothing else;
// names and values are not trimmed. A lookup finds the first line of the
// section that contains the key anywhere, as a run of characters.
//
// getKey and getKeyToInt may be called from several threads at once;
// getSection changes the reader and may not.
#ifndef KIVO_SUPPORT_INICONFIG_H
#define KIVO_SUPPORT_INICONFIG_H

#include <map>
#include <string>

class iniConfig {
 public:
  explicit iniConfig(std::string path);
  ~iniConfig();

  // The value of the first line of the section that contains key: the text
  // after its first "=", or "" when there is none, when the section is
  // missing or when no line contains the key. Throws FileException
  // "error: can't open file" when the file cannot be opened.
  std::string getKey(std::string section, std::string key);

  // getKey read as a decimal int; 0 when the value holds no number.
  int getKeyToInt(std::string section, std::string key);

  // Adds every line of the section (its header included) to the reader's own
  // map, name to value, a later line replacing an earlier one, and returns
  // that map. Entries of earlier calls stay.
  std::map<std::string, std::string>& getSection(std::string section);

 private:
  std::string path_;
  std::map<std::string, std::string> section_;
};

#endif
