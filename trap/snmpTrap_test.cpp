#include "trap/snmpTrap.h"

#include <gtest/gtest.h>

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

TEST_F(SnmpTrapTest, TransportLineGivesTheAddress) {
  const std::pair<const char*, const char*> cases[] = {
      {"no brackets at all", "no brackets at all"},
      {"UDP: [10.1.2.3", "10.1.2.3"},
      {"UDP: ]x[10.1.2.3", "10.1.2.3"},
      {"UDP: [", ""},
      {"UDP/IPv6: [::1]:50000->[::1]:162", "::1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse(std::string("host\n") + c.first + "\n").getHostAddr(), c.second) << c.first;
  }
}

TEST_F(SnmpTrapTest, VariableValuesLoseOuterQuotesOnly) {
  const char* const cases[][3] = {
      {".1.3.6.1.4.1.99.1 \"\"", ".1.3.6.1.4.1.99.1", ""},
      {".1.3.6.1.4.1.99.1 \"a\"b\"", ".1.3.6.1.4.1.99.1", "a\"b"},
      {".1.3.6.1.4.1.99.1  two blanks", ".1.3.6.1.4.1.99.1", " two blanks"},
      {"name-only", "name-only", ""},
      {".1.3.6.1.6.3.1.1.4.1.00 x", ".1.3.6.1.6.3.1.1.4.1.00", "x"},
      {"Date x", "Date", "x"},
  };
  for (const auto& c : cases) {
    snmpTrap trap = parse(std::string("host\ntransport\n") + c[0] + "\n");
    ASSERT_EQ(trap.getSize(), 1) << c[0];
    EXPECT_EQ(trap.getVariableOid(0), c[1]) << c[0];
    EXPECT_EQ(trap.getValue(0), c[2]) << c[0];
    EXPECT_EQ(trap.getOid(), "") << c[0];
  }
}

TEST_F(SnmpTrapTest, FixedLinesKeepQuotesAndLastOneWins) {
  snmpTrap trap = parse(
      "h\nt\n.1.3.6.1.6.3.1.1.4.1.0 \"first\"\ndate \"2024-01-31\"\n.1.3.6.1.2.1.1.3.0 \"5\"\n"
      ".1.3.6.1.6.3.1.1.4.1.0 \"second\"\n");
  EXPECT_EQ(trap.getOid(), "\"second\"");
  EXPECT_EQ(trap.getdateReceive(), "\"2024-01-31\"");
  EXPECT_EQ(trap.getDeviceUptime(), "\"5\"");
  EXPECT_EQ(trap.getSize(), 0);
  EXPECT_EQ(parse("h\nt\ndate\n").getdateReceive(), "") << "a date line without value";
}

TEST_F(SnmpTrapTest, ShortFilesLeaveFieldsEmptyAndReadAppendsToTheRecord) {
  EXPECT_EQ(parse(""), snmpTrap());
  snmpTrap trap = parse("h\nt\n.1.2 a\n");
  writeFile(path, "h2");
  trap.read(path);
  EXPECT_EQ(trap.getHost(), "h2");
  EXPECT_EQ(trap.getPort(), "t") << "fields without a line stay";
  EXPECT_EQ(trap.getSize(), 1);
  EXPECT_EQ(parse("garbage\n\n\n\n").getSize(), 2) << "blank lines after the second";
}

TEST_F(SnmpTrapTest, MissingFileAndVariableIndexOutsideTheTrapRaise) {
  snmpTrap trap = parse("host1\nt\n.1.2 a\n");
  try {
    trap.read(dir.file("missing"));
    ADD_FAILURE() << "a missing file must raise";
  } catch (const FileException& e) {
    EXPECT_STREQ(e.what(), "error open file");
  }
  EXPECT_EQ(trap.getHost(), "host1");
  for (int index : {-1, 1}) {
    try {
      trap.getValue(index);
      ADD_FAILURE() << "value " << index;
    } catch (const VariableNoFoundException& e) {
      EXPECT_STREQ(e.what(), "No entries value for variable number: ") << index;
    }
    try {
      trap.getVariableOid(index);
      ADD_FAILURE() << "oid " << index;
    } catch (const VariableNoFoundException& e) {
      EXPECT_STREQ(e.what(), "No entries oid for variable number: ") << index;
    }
  }
}

}  // namespace

}  // namespace kivo
