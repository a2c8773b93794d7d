#include "support/utf8Text.h"

#include <gtest/gtest.h>

namespace kivo {

TEST(Utf8Text, InvalidBytesReplacedOneByOneAndNulRemoved) {
  const std::string bad = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xC2\x80\xDF\xBF \xE0\xA0\x80\xED\x9F\xBF \xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\xC2\x80\xDF\xBF \xE0\xA0\x80\xED\x9F\xBF \xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {std::string("a\0b\0", 4), "ab"},
      {"a\x80z\xFF", "a" + bad + "z" + bad},
      {"x\xE2\x82", "x" + bad + bad},
      {"\xC1\xBF\xE0\x9F\xBF", bad + bad + bad + bad + bad},
      {"\xED\xA0\x80", bad + bad + bad},
      {"\xF0\x8F\xBF\xBF", bad + bad + bad + bad},
      {"\xF4\x90\x80\x80", bad + bad + bad + bad},
      {"\xF5\x80", bad + bad},
      {"\xE2\x82z", bad + bad + "z"},
      {std::string("\xC3\0\xA9", 3), bad + bad},
  };
  for (const auto& c : cases) EXPECT_EQ(validUtf8(c.first), c.second) << c.first;
  EXPECT_EQ(textForEncoding(std::string("caf\xE9\0", 5), "LATIN1"), "caf\xE9");
  EXPECT_EQ(textForEncoding(std::string("caf\xE9\0", 5), "UTF8"), "caf" + bad);
}

}  // namespace kivo
