// What the server is sent for a plug-in's bytes, without a server.
#include "support/utf8Text.h"

#include <gtest/gtest.h>

namespace kivo {

namespace {

const std::string kBad = "\xEF\xBF\xBD";

TEST(Utf8Text, InvalidBytesReplacedOneByOneAndNulRemoved) {
  struct Case {
    const char* what;
    std::string text;
    std::string clean;
  } cases[] = {
      {"ASCII", "disk full\n", "disk full\n"},
      {"empty", "", ""},
      {"two, three and four bytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"NUL", std::string("a\0b\0", 4), "ab"},
      {"lone continuation", "a\x80z", "a" + kBad + "z"},
      {"byte never in UTF-8", "\xFF\xFE", kBad + kBad},
      {"Latin-1 text", "caf\xE9!", "caf" + kBad + "!"},
      {"cut sequence at the end", "x\xE2\x82", "x" + kBad + kBad},
      {"cut sequence before ASCII", "\xE2\x82z", kBad + kBad + "z"},
      {"overlong slash", "\xC0\xAF", kBad + kBad},
      {"overlong three bytes", "\xE0\x80\xAF", kBad + kBad + kBad},
      {"surrogate", "\xED\xA0\x80", kBad + kBad + kBad},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", kBad + kBad + kBad + kBad},
      {"largest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"NUL inside a sequence", std::string("\xC3\0\xA9", 3), kBad + kBad},
  };
  for (const Case& c : cases) EXPECT_EQ(validUtf8(c.text), c.clean) << c.what;
}

TEST(Utf8Text, OtherEncodingsOnlyLoseNul) {
  EXPECT_EQ(textForEncoding(std::string("caf\xE9\0", 5), "LATIN1"), "caf\xE9");
  EXPECT_EQ(textForEncoding(std::string("caf\xE9\0", 5), "UTF8"), "caf" + kBad);
  EXPECT_EQ(withoutNul(std::string("\0\0", 2)), "");
}

}  // namespace

}  // namespace kivo
