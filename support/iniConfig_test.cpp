#include "support/iniConfig.h"

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

TEST(IniConfig, MatchingRules) {
  TempDir dir;
  const std::string path = dir.file("kivo.conf");
  const char* const cases[][3] = {
      // content, key in [LOG], value
      {"[LOG]\nlog_trapd_file = /var/log/k.log\n", "log_trapd_file", " /var/log/k.log"},
      {"  [LOG]\n   a=1\n", "a", "1"},
      {"[LOG]\n  \ta=1\r\n", "a", "1\r"},
      {"[LOG]\n\t a=1\n", " a", "1"},
      {"[LOG]\n a=1\n", " a", ""},
      {"[LOG] \na=1\n", "a", ""},
      {"[LOG]\n  #a=1\n \t\na=2\n", "a", "2"},
      {"[KIVO]\na=1\n[LOG]\nb=2\n", "a", ""},
      {"[LOG]\nb=2\n[junk\na=1\n", "a", ""},
      {"[LOG]\n[KIVO]\n[LOG]\na=1\n", "a", ""},
      {"[LOG]\ndir=/var/sleep/\nsleep=5\n", "sleep", "/var/sleep/"},
      {"[LOG]\nabc\n", "b", ""},
      {"[LOG]\na=b=c", "a", "b=c"},
      {"[log]\na=1\n", "a", ""},
  };
  for (const auto& c : cases) {
    writeFile(path, c[0]);
    EXPECT_EQ(iniConfig(path).getKey("LOG", c[1]), c[2]) << c[0];
  }
}

TEST(IniConfig, EveryLookupReadsTheFileAgainAndSectionsKeepTheLastValue) {
  TempDir dir;
  iniConfig config(dir.file("kivo.conf"));
  EXPECT_THROW(config.getKey("KIVO", "sleep"), FileException);
  writeFile(dir.file("kivo.conf"), "[KIVO]\nsleep=1\n\n# note\nsleep=2\nflag\n[LOG]\nx=9\n");
  EXPECT_EQ(config.getKey("LOG", "x"), "9");
  std::map<std::string, std::string>& section = config.getSection("KIVO");
  std::map<std::string, std::string> expected = {
      {"[KIVO]", ""}, {"sleep", "2"}, {"", ""}, {"flag", ""}};
  EXPECT_EQ(section, expected);
  config.getSection("LOG");
  expected.insert({{"[LOG]", ""}, {"x", "9"}});
  EXPECT_EQ(section, expected);
}

}  // namespace kivo
