#include "services/service.h"

#include <gtest/gtest.h>

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
