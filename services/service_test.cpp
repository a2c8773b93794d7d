#include "services/service.h"

#include <gtest/gtest.h>

namespace kivo {

namespace {

typedef std::vector<std::string> Args;

TEST(ServiceParameters, SplittingFollowsTheQuotingRules) {
  struct Case {
    const char* text;
    Args expected;
  } cases[] = {
      {"", {}},
      {"     ", {}},
      {"-H 192.0.2.7  -c 5", {"-H", "192.0.2.7", "-c", "5"}},
      {"-m \"disk full\"", {"-m", "disk full"}},
      {"-m 'disk full'", {"-m", "disk full"}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"it's here\"", {"its", "here"}},
      {"-x \"\" -y", {"-x", "-y"}},
      {"a\\ b", {"a\\", "b"}},
      {"\"unclosed quote runs on", {"unclosed quote runs on"}},
      {" lead and trail ", {"lead", "and", "trail"}},
      {"tab\tstays", {"tab\tstays"}},
  };
  for (const Case& c : cases) {
    service s;
    s.Setparameter(c.text);
    EXPECT_EQ(s.getVectorParam(), c.expected) << "'" << c.text << "'";
    EXPECT_EQ(s.Getparameter(), c.text);
  }
}

kivo::FilledText filled(const std::string& before, const std::string& value,
                       const std::string& after) {
  kivo::FilledText text;
  text.appendTemplate(before + "$1" + after);
  text.replace(before.size(), 2, value);
  return text;
}

TEST(ServiceParameters, FilledTextWithoutTrapQuotesSplitsLikeTheTemplate) {
  // Every string of up to five characters over the characters that matter.
  const std::string alphabet = "a \"'\\";
  std::vector<std::string> texts = {""};
  for (size_t length = 1; length <= 5; ++length) {
    std::vector<std::string> longer;
    for (const std::string& text : texts) {
      if (text.size() != length - 1) continue;
      for (char c : alphabet) longer.push_back(text + c);
    }
    texts.insert(texts.end(), longer.begin(), longer.end());
  }
  for (const std::string& text : texts) {
    kivo::FilledText plain;
    plain.appendTemplate(text);
    EXPECT_EQ(kivo::splitFilledArguments(plain), splitArguments(text)) << "'" << text << "'";
    // A value without quotes splits as if it had been in the template.
    kivo::FilledText withValue = filled("x ", "v w", text);
    EXPECT_EQ(kivo::splitFilledArguments(withValue), splitArguments("x v w" + text))
        << "'" << text << "'";
  }
}

TEST(ServiceParameters, QuotesFromTheTrapNeverOpenOrCloseQuoting) {
  struct Case {
    const char* before;
    const char* value;
    const char* after;
    Args expected;
  } cases[] = {
      {"2 \"", "msg\\\" --evil \\\"x", "\"", {"2", "msg\\\" --evil \\\"x"}},
      {"-m '", "it's \"here\"", "'", {"-m", "it's \"here\""}},
      {"-m ", "a\"b c", "", {"-m", "a\"b", "c"}},
      {"-m ", "'", " -n", {"-m", "'", "-n"}},
      {"-m \"", "", "\" -n", {"-m", "-n"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kivo::splitFilledArguments(filled(c.before, c.value, c.after)), c.expected)
        << c.before << "[" << c.value << "]" << c.after;
  }
}

TEST(ServiceParameters, SetparameterReplacesAlertingParameterAppends) {
  service s;
  s.Setparameter("-a 1");
  s.Setparameter("-b 2");
  EXPECT_EQ(s.getVectorParam(), (Args{"-b", "2"}));
  s.SetAlertingParameter("--error $ERROR");
  s.SetAlertingParameter("-v");
  EXPECT_EQ(s.getVectorAlertingParam(), (Args{"--error", "$ERROR", "-v"}));
}

TEST(ServiceRecord, DefaultsAndCopiesShareNothing) {
  service s;
  EXPECT_EQ(s.GetReturnCode(), 0);
  EXPECT_FALSE(s.GetAlertingUnknown() || s.GetAlertingWarning() || s.GetAlertingCritical());
  EXPECT_EQ(s.GetStdout(), "");
  s.Setname("disk");
  s.Setparameter("-a 1");
  service copy = s;
  copy.Setparameter("-b");
  copy.Setname("other");
  EXPECT_EQ(s.Getname(), "disk");
  EXPECT_EQ(s.getVectorParam(), (Args{"-a", "1"}));
}

}  // namespace

}  // namespace kivo
