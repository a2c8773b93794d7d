#include "support/convertTo.h"

#include <gtest/gtest.h>

namespace kivo {

TEST(ConvertTo, ReadingTakesTheLeadingNumberWritingTheDefaultStreamForm) {
  const std::pair<const char*, int> cases[] = {{"  42", 42}, {"\t7x", 7}, {"-3", -3}, {"", 0},
                                               {"abc", 0},   {" 1 2", 1}, {"3.9", 3}};
  for (const auto& c : cases) EXPECT_EQ(stringToInt(c.first), c.second) << "'" << c.first << "'";
  EXPECT_EQ(stringToLong("-9000000000"), -9000000000L);
  EXPECT_EQ(stringToLongInt("4294967297"), 4294967297UL);
  EXPECT_EQ(stringToUnsignedInt("4000000000"), 4000000000U);
  EXPECT_DOUBLE_EQ(stringToDouble(" 1.5e3kg"), 1500.0);
  EXPECT_EQ(intToString(-17) + longToString(1234567890123L) + longIntToString(-1),
            "-171234567890123-1");
  EXPECT_EQ(doubleToString(0.5) + " " + doubleToString(1234567), "0.5 1.23457e+06");
}

}  // namespace kivo
