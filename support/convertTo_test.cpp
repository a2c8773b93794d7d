#include "support/convertTo.h"

#include <gtest/gtest.h>

namespace kivo {

TEST(ConvertTo, ReadingTakesTheLeadingNumberAndIgnoresTheRest) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"42", 42},       {"  42", 42},  {"\t7x", 7},    {"-3", -3},   {"+5", 5},
      {"12abc", 12},    {"", 0},       {"   ", 0},    {"abc", 0},   {"x12", 0},
      {" 1 2", 1},      {"3.9", 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stringToInt(c.text), c.expected) << "text '" << c.text << "'";
  }
}

TEST(ConvertTo, WiderTypesKeepTheirRange) {
  EXPECT_EQ(stringToLong("-9000000000"), -9000000000L);
  EXPECT_EQ(stringToLongInt("4294967297"), 4294967297UL);
  EXPECT_EQ(stringToLongInt("nothing"), 0UL);
  EXPECT_EQ(stringToUnsignedInt("4000000000"), 4000000000U);
  EXPECT_DOUBLE_EQ(stringToDouble("42"), 42.0);
  EXPECT_DOUBLE_EQ(stringToDouble(" 1.5e3kg"), 1500.0);
  EXPECT_DOUBLE_EQ(stringToDouble("-"), 0.0);
}

TEST(ConvertTo, WritingUsesTheDefaultStreamForm) {
  EXPECT_EQ(intToString(-17), "-17");
  EXPECT_EQ(intToString(0), "0");
  EXPECT_EQ(longToString(1234567890123L), "1234567890123");
  EXPECT_EQ(longIntToString(-1), "-1");
  EXPECT_EQ(doubleToString(42), "42");
  EXPECT_EQ(doubleToString(-1), "-1");
  EXPECT_EQ(doubleToString(0.5), "0.5");
  EXPECT_EQ(doubleToString(1000000), "1e+06");
  EXPECT_EQ(doubleToString(1234567), "1.23457e+06");
}

}  // namespace kivo
