#include "support/logText.h"

#include <gtest/gtest.h>

namespace kivo {

TEST(LogText, ControlCharactersAreEscapedOthersKept) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"q\" \\b\\ caf\xC3\xA9 ~", "\"q\" \\b\\ caf\xC3\xA9 ~"},
      {"x\nforged\rb\tc", "x\\nforged\\rb\\tc"},
      {std::string("nul\0\x1f\x1b\x7f", 7), "nul\\x00\\x1f\\x1b\\x7f"},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeControls(c.first), c.second) << c.second;
}

}  // namespace kivo
