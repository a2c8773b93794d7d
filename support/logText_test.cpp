#include "support/logText.h"

#include <gtest/gtest.h>

namespace kivo {

namespace {

TEST(LogText, ControlCharactersAreEscapedOthersKept) {
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"plain text, \"quotes\" and \\backslash\\ and caf\xC3\xA9", "plain text, \"quotes\" and \\backslash\\ and caf\xC3\xA9"},
      {"x\nMon Dec  7 12:00:00 2026#ERR#FORGED", "x\\nMon Dec  7 12:00:00 2026#ERR#FORGED"},
      {"a\rb\tc", "a\\rb\\tc"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(kivo::escapeControls(c.text), c.expected) << c.expected;
}

}  // namespace

}  // namespace kivo
