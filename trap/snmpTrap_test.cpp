#include "trap/snmpTrap.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

class SnmpTrapTest : public ::testing::Test {
 protected:
  snmpTrap parse(const std::string& content) {
    writeFile(path, content);
    snmpTrap trap;
    trap.read(path);
    return trap;
  }

  TempDir dir;
  std::string path = dir.file("trap");
};

TEST_F(SnmpTrapTest, SpoolFileFillsEveryFieldAndReadsBackFromItsText) {
  snmpTrap trap = parse(
      "host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
      "DISMAN-EVENT-MIB::sysUpTimeInstance 0:0:01:02.03\n"
      ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\ndate 2024-01-31 10:00:00\n"
      ".1.3.6.1.4.1.99.1 \"up\"\n\n.1.3 b");
  EXPECT_EQ(trap.getHost(), "host1");
  EXPECT_EQ(trap.getPort(), "UDP: [192.0.2.7]:161->[192.0.2.1]:162");
  EXPECT_EQ(trap.getHostAddr(), "192.0.2.7");
  EXPECT_EQ(trap.getDeviceUptime(), "0:0:01:02.03");
  EXPECT_EQ(trap.getOid(), ".1.3.6.1.4.1.99.0.1");
  EXPECT_EQ(trap.getdateReceive(), "2024-01-31 10:00:00");
  ASSERT_EQ(trap.getSize(), 3) << "a blank line is an empty variable";
  EXPECT_EQ(trap.getVariableOid(0), ".1.3.6.1.4.1.99.1");
  EXPECT_EQ(trap.getValue(0), "up");
  EXPECT_EQ(trap.getVariableOid(1) + trap.getValue(1), "");
  EXPECT_EQ(trap.getValue(2), "b") << "last line without line feed";
  for (const snmpTrap& original : {trap, parse("h\nt\ndate \"q\"\n.1.2 \"\"\"x\"\"\r\n")}) {
    writeFile(path, original.toSpoolText());
    snmpTrap again;
    again.read(path);
    EXPECT_EQ(again, original);
  }
}

// Each case: the lines after the first, the address, the variable's name and
// value, the trap OID.
TEST_F(SnmpTrapTest, LinesGiveAddressVariablesAndFixedFields) {
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
    EXPECT_EQ(trap.getHostAddr(), c[1]) << c[0];
    EXPECT_EQ(trap.getSize(), *c[2] ? 1 : 0) << c[0];
    if (trap.getSize() == 1) {
      EXPECT_EQ(trap.getVariableOid(0) + "=" + trap.getValue(0), std::string(c[2]) + "=" + c[3]);
    }
    EXPECT_EQ(trap.getOid(), c[4]) << c[0];
  }
  snmpTrap quoted = parse("h\nt\ndate \"2024\"\n.1.3.6.1.2.1.1.3.0 \"5\"\n");
  EXPECT_EQ(quoted.getdateReceive() + quoted.getDeviceUptime(), "\"2024\"\"5\"");
  EXPECT_EQ(parse("h\nt\ndate\n").getdateReceive(), "") << "a date line without value";
  EXPECT_EQ(parse(""), snmpTrap());
  EXPECT_EQ(parse("garbage\n\n\n\n").getSize(), 2) << "blank lines after the second";
  snmpTrap appended = parse("h\nt\n.1.2 a\n");
  writeFile(path, "h2");
  appended.read(path);
  EXPECT_EQ(appended.getHost() + appended.getPort(), "h2t") << "fields without a line stay";
  EXPECT_EQ(appended.getSize(), 1);
}

TEST_F(SnmpTrapTest, MissingFileAndVariableIndexOutsideTheTrapRaise) {
  snmpTrap trap = parse("host1\nt\n.1.2 a\n");
  auto failure = [](const std::function<void()>& call) -> std::string {
    try {
      call();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no exception";
  };
  EXPECT_EQ(failure([&] { trap.read(dir.file("missing")); }), "error open file");
  EXPECT_EQ(trap.getHost(), "host1");
  for (int index : {-1, 1}) {
    EXPECT_EQ(failure([&] { trap.getValue(index); }), "No entries value for variable number: ");
    EXPECT_EQ(failure([&] { trap.getVariableOid(index); }), "No entries oid for variable number: ");
  }
  EXPECT_THROW(trap.getValue(1), VariableNoFoundException);
  EXPECT_THROW(trap.read(dir.file("missing")), FileException);
}

}  // namespace

}  // namespace kivo
