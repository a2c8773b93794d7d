#include "support/iniConfig.h"

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

class IniConfigTest : public ::testing::Test {
 protected:
  std::string lookUp(const std::string& content, const std::string& section,
                     const std::string& key) {
    writeFile(path, content);
    iniConfig config(path);
    return config.getKey(section, key);
  }

  TempDir dir;
  std::string path = dir.file("kivo.conf");
};

TEST_F(IniConfigTest, MatchingRules) {
  struct Case {
    const char* name;
    const char* content;
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"plain entry", "[LOG]\nlog_trapd_file=/var/log/k.log\n", "LOG", "log_trapd_file",
       "/var/log/k.log"},
      {"blanks around =", "[LOG]\nlog_trapd_file = /var/log/k.log\n", "LOG", "log_trapd_file",
       " /var/log/k.log"},
      {"indented by blanks", "[LOG]\n   a=1\n", "LOG", "a", "1"},
      {"indented by tabs", "[LOG]\n\t\ta=1\n", "LOG", "a", "1"},
      {"blanks then tabs", "[LOG]\n  \ta=1\n", "LOG", "a", "1"},
      {"header indented", "  [LOG]\na=1\n", "LOG", "a", "1"},
      {"header with trailing blank", "[LOG] \na=1\n", "LOG", "a", ""},
      {"header with carriage return", "[LOG]\r\na=1\r\n", "LOG", "a", ""},
      {"value keeps carriage return", "[LOG]\na=1\r\n", "LOG", "a", "1\r"},
      {"comment line never matches", "[LOG]\n  #a=1\na=2\n", "LOG", "a", "2"},
      {"key of another section", "[KIVO]\na=1\n[LOG]\nb=2\n", "LOG", "a", ""},
      {"section ends at next bracket", "[LOG]\nb=2\n[junk\na=1\n", "LOG", "a", ""},
      {"second header never read", "[KIVO]\nx=1\n[LOG]\n[KIVO]\na=1\n", "KIVO", "a", ""},
      {"first of two entries", "[KIVO]\nsleep=1\nsleep=2\n", "KIVO", "sleep", "1"},
      {"key inside an earlier value", "[KIVO]\ndir=/var/sleep/\nsleep=5\n", "KIVO", "sleep",
       "/var/sleep/"},
      {"key as prefix of a name", "[LOG]\nlog_trapd_file=a\nlog_trap_receive=b\n", "LOG",
       "log_trap", "a"},
      {"entry ending in =", "[LOG]\na=\n", "LOG", "a", ""},
      {"entry without =", "[LOG]\nabc\n", "LOG", "b", ""},
      {"empty key matches header", "[LOG]\na=1\n", "LOG", "", ""},
      {"key found in header", "[LOG]\na=1\n", "LOG", "LO", ""},
      {"section name case", "[log]\na=1\n", "LOG", "a", ""},
      {"last line without line feed", "[LOG]\na=1", "LOG", "a", "1"},
      {"value with second =", "[LOG]\na=b=c\n", "LOG", "a", "b=c"},
      {"lines before any header", "a=0\n[LOG]\nb=1\n", "LOG", "a", ""},
      {"leading-blank key needs the blank", "[LOG]\n a=1\n", "LOG", " a", ""},
      {"leading-blank key after tab", "[LOG]\n\t a=1\n", "LOG", " a", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lookUp(c.content, c.section, c.key), c.expected) << c.name;
  }
}

TEST_F(IniConfigTest, KeyToIntReadsLeadingDigits) {
  writeFile(path, "[KIVO]\nsleep=12s\nthreads=-3\nnone=abc\n");
  iniConfig config(path);
  EXPECT_EQ(config.getKeyToInt("KIVO", "sleep"), 12);
  EXPECT_EQ(config.getKeyToInt("KIVO", "threads"), -3);
  EXPECT_EQ(config.getKeyToInt("KIVO", "none"), 0);
  EXPECT_EQ(config.getKeyToInt("KIVO", "missing"), 0);
}

TEST_F(IniConfigTest, EveryLookupReadsTheFileAgain) {
  writeFile(path, "[KIVO]\nsleep=1\n");
  iniConfig config(path);
  EXPECT_EQ(config.getKey("KIVO", "sleep"), "1");
  ::remove(path.c_str());
  try {
    config.getKey("KIVO", "sleep");
    FAIL() << "a missing file must raise";
  } catch (const FileException& e) {
    EXPECT_STREQ(e.what(), "error: can't open file");
  }
  writeFile(path, "[KIVO]\nsleep=2\n");
  EXPECT_EQ(config.getKey("KIVO", "sleep"), "2");
}

TEST_F(IniConfigTest, SectionKeepsLastValueAndHeader) {
  writeFile(path, "[KIVO]\nsleep=1\n\n# note\nsleep=2\nflag\n[LOG]\nx=9\n");
  iniConfig config(path);
  std::map<std::string, std::string>& section = config.getSection("KIVO");
  std::map<std::string, std::string> expected = {
      {"[KIVO]", ""}, {"sleep", "2"}, {"", ""}, {"flag", ""}};
  EXPECT_EQ(section, expected);
  config.getSection("LOG");
  EXPECT_EQ(section.at("x"), "9") << "later sections add to the same map";
  EXPECT_EQ(section.at("sleep"), "2") << "earlier entries stay";
  config.getSection("NONE");
  EXPECT_EQ(section.size(), 6u);
}

}  // namespace

}  // namespace kivo
