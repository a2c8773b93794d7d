#include "trap/snmpTrap.h"

#include <gtest/gtest.h>

#include "support/exceptions.h"

namespace kivo {

static snmpTrap parse(const std::string& content) {
  snmpTrap trap;
  trap.readText(content);
  return trap;
}

TEST(SnmpTrap, SpoolFileFillsEveryFieldAndIndexesRaiseOutside) {
  snmpTrap trap = parse(
      "host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
      "DISMAN-EVENT-MIB::sysUpTimeInstance 0:0:01:02.03\n"
      ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\ndate 2024-01-31 10:00:00\n"
      ".1.3.6.1.4.1.99.1 \"up\"\n\n.1.3 b");
  EXPECT_EQ(trap.getHost() + "|" + trap.getPort() + "|" + trap.getHostAddr() + "|" +
                trap.getDeviceUptime() + "|" + trap.getOid() + "|" + trap.getdateReceive(),
            "host1|UDP: [192.0.2.7]:161->[192.0.2.1]:162|192.0.2.7|0:0:01:02.03|"
            ".1.3.6.1.4.1.99.0.1|2024-01-31 10:00:00");
  ASSERT_EQ(trap.getSize(), 3) << "a blank line is an empty variable";
  EXPECT_EQ(trap.getVariableOid(0) + "=" + trap.getValue(0) + "," + trap.getVariableOid(1) + "=" +
                trap.getValue(1) + "," + trap.getValue(2),
            ".1.3.6.1.4.1.99.1=up,=,b")
      << "the last line needs no line feed";
  EXPECT_THROW(trap.read("/nonexistent/kivo-trap"), FileException);
  EXPECT_EQ(trap.getHost(), "host1");
  for (int index : {-1, 3}) {
    EXPECT_THROW(trap.getValue(index), VariableNoFoundException) << index;
    EXPECT_THROW(trap.getVariableOid(index), VariableNoFoundException) << index;
  }
}

// The lines after the first, the address, the variable's name and value, the trap OID.
TEST(SnmpTrap, LinesGiveAddressVariablesAndFixedFields) {
  const char* const cases[][5] = {
      {"no brackets", "no brackets", "", "", ""},
      {"UDP: ]x[10.1.2.3\n.1.3 \"\"", "10.1.2.3", ".1.3", "", ""},
      {"UDP: [\n.1.3 \"a\"b\"", "", ".1.3", "a\"b", ""},
      {"UDP/IPv6: [::1]:5->[::1]:162\n.1.3  two blanks", "::1", ".1.3", " two blanks", ""},
      {"t\nname-only", "t", "name-only", "", ""},
      {"t\n.1.3.6.1.6.3.1.1.4.1.00 x", "t", ".1.3.6.1.6.3.1.1.4.1.00", "x", ""},
      {"t\nDate x", "t", "Date", "x", ""},
      // The fixed lines keep their quotes, the last one wins.
      {"t\n.1.3.6.1.6.3.1.1.4.1.0 \"a\"\n.1.3.6.1.6.3.1.1.4.1.0 \"b\"", "t", "", "", "\"b\""},
  };
  for (const auto& c : cases) {
    snmpTrap trap = parse(std::string("host\n") + c[0] + "\n");
    std::string variable = trap.getSize() == 1 ? trap.getVariableOid(0) + "=" + trap.getValue(0)
                                               : std::to_string(trap.getSize());
    std::string expected = *c[2] ? std::string(c[2]) + "=" + c[3] : "0";
    EXPECT_EQ(trap.getHostAddr() + "|" + variable + "|" + trap.getOid(),
              c[1] + ("|" + expected + "|") + c[4]);
  }
  snmpTrap quoted = parse("h\nt\ndate \"2024\"\n.1.3.6.1.2.1.1.3.0 \"5\"\n");
  EXPECT_EQ(quoted.getdateReceive() + quoted.getDeviceUptime(), "\"2024\"\"5\"");
  EXPECT_EQ(parse("h\nt\ndate\n").getdateReceive(), "") << "a date line without value";
  EXPECT_EQ(parse("garbage\n\n\n\n").getSize(), 2) << "blank lines after the second";
  snmpTrap appended = parse("h\nt\n.1.2 a\n");
  appended.readText("h2");
  EXPECT_EQ(appended.getHost() + appended.getPort(), "h2t") << "fields without a line stay";
  EXPECT_EQ(appended.getSize(), 1);
  const std::pair<const char*, bool> oidLines[] = {
      {"h\n.1.3.6.1.6.3.1.1.4.1.0 .1", true}, {".1.3.6.1.6.3.1.1.4.1.0", true},
      {"h .1.3.6.1.6.3.1.1.4.1.0 .1", false}, {".1.3.6.1.6.3.1.1.4.1.01 .1", false}};
  for (const auto& [text, has] : oidLines) EXPECT_EQ(snmpTrap::hasTrapOidLine(text), has) << text;
}

}  // namespace kivo
