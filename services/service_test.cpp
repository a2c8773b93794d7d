#include "services/service.h"

#include <gtest/gtest.h>

#include <tuple>

namespace kivo {

typedef std::vector<std::string> Args;

static FilledText filled(const std::string& before, const std::string& value,
                         const std::string& after) {
  FilledText text;
  text.appendTemplate(before + "$1" + after);
  text.replace(before.size(), 2, value);
  return text;
}

TEST(ServiceParameters, SplittingFollowsTheQuotingRules) {
  const std::pair<const char*, Args> cases[] = {
      {"     ", {}},
      {" -H 192.0.2.7  -c 5 ", {"-H", "192.0.2.7", "-c", "5"}},
      {"-m 'disk full'", {"-m", "disk full"}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"it's here\"", {"its", "here"}},
      {"-x \"\" -y", {"-x", "-y"}},
      {"a\\ b", {"a\\", "b"}},
      {"\"unclosed quote runs on", {"unclosed quote runs on"}},
      {"tab\tstays", {"tab\tstays"}},
  };
  service s;
  s.SetAlertingParameter("--error $ERROR");
  for (const auto& c : cases) {
    s.Setparameter(c.first);
    EXPECT_EQ(s.getVectorParam(), c.second) << "'" << c.first << "'";
  }
  s.SetAlertingParameter("-v");
  EXPECT_EQ(s.getVectorAlertingParam(), (Args{"--error", "$ERROR", "-v"})) << "appends";
}

TEST(ServiceParameters, FilledTextWithoutTrapQuotesSplitsLikeTheTemplate) {
  // Every string of up to five characters over the characters that matter;
  // a value without quotes splits as if it had been in the template.
  const std::string alphabet = "a \"'\\";
  std::vector<std::string> texts = {""};
  for (size_t at = 0; at < texts.size() && texts[at].size() < 5; ++at) {
    for (char c : alphabet) texts.push_back(texts[at] + c);
  }
  for (const std::string& text : texts) {
    FilledText plain;
    plain.appendTemplate(text);
    EXPECT_EQ(splitFilledArguments(plain), splitArguments(text)) << "'" << text << "'";
    EXPECT_EQ(splitFilledArguments(filled("x ", "v w", text)), splitArguments("x v w" + text))
        << "'" << text << "'";
  }
}

TEST(ServiceParameters, QuotesFromTheTrapNeverOpenOrCloseQuoting) {
  const std::tuple<const char*, const char*, const char*, Args> cases[] = {
      {"2 \"", "msg\\\" --evil \\\"x", "\"", {"2", "msg\\\" --evil \\\"x"}},
      {"-m '", "it's \"here\"", "'", {"-m", "it's \"here\""}},
      {"-m ", "a\"b c", "", {"-m", "a\"b", "c"}},
      {"-m ", "'", " -n", {"-m", "'", "-n"}},
      {"-m \"", "", "\" -n", {"-m", "-n"}},
  };
  for (const auto& [before, value, after, expected] : cases) {
    EXPECT_EQ(splitFilledArguments(filled(before, value, after)), expected)
        << before << "[" << value << "]" << after;
  }
}

}  // namespace kivo
