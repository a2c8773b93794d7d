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

TEST_F(SnmpTrapTest, SixLineFileFillsEveryField) {
  snmpTrap trap = parse(
      "host1\n"
      "UDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
      "DISMAN-EVENT-MIB::sysUpTimeInstance 0:0:01:02.03\n"
      ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n"
      "date 2024-01-31 10:00:00\n"
      ".1.3.6.1.4.1.99.1 \"up\"\n");
  EXPECT_EQ(trap.getHost(), "host1");
  EXPECT_EQ(trap.getPort(), "UDP: [192.0.2.7]:161->[192.0.2.1]:162");
  EXPECT_EQ(trap.getHostAddr(), "192.0.2.7");
  EXPECT_EQ(trap.getDeviceUptime(), "0:0:01:02.03");
  EXPECT_EQ(trap.getOid(), ".1.3.6.1.4.1.99.0.1");
  EXPECT_EQ(trap.getdateReceive(), "2024-01-31 10:00:00");
  ASSERT_EQ(trap.getSize(), 1);
  EXPECT_EQ(trap.getVariableOid(0), ".1.3.6.1.4.1.99.1");
  EXPECT_EQ(trap.getValue(0), "up");
}

TEST_F(SnmpTrapTest, TransportLineGivesTheAddress) {
  struct Case {
    const char* line;
    const char* address;
  } cases[] = {
      {"UDP: [10.1.2.3]:161->[10.0.0.1]:162", "10.1.2.3"},
      {"no brackets at all", "no brackets at all"},
      {"UDP: [10.1.2.3", "10.1.2.3"},
      {"UDP: ]x[10.1.2.3", "10.1.2.3"},
      {"UDP: [", ""},
      {"UDP/IPv6: [::1]:50000->[::1]:162", "::1"},
      {"", ""},
  };
  for (const Case& c : cases) {
    snmpTrap trap = parse(std::string("host\n") + c.line + "\n");
    EXPECT_EQ(trap.getHostAddr(), c.address) << c.line;
    EXPECT_EQ(trap.getPort(), c.line);
  }
}

TEST_F(SnmpTrapTest, VariableValuesLoseOuterQuotesOnly) {
  struct Case {
    const char* line;
    const char* oid;
    const char* value;
  } cases[] = {
      {".1.3.6.1.4.1.99.1 \"\"", ".1.3.6.1.4.1.99.1", ""},
      {".1.3.6.1.4.1.99.1 \"a\"b\"", ".1.3.6.1.4.1.99.1", "a\"b"},
      {".1.3.6.1.4.1.99.1 \"\"\"x\"\"", ".1.3.6.1.4.1.99.1", "x"},
      {".1.3.6.1.4.1.99.1  two blanks", ".1.3.6.1.4.1.99.1", " two blanks"},
      {"name-only", "name-only", ""},
      {"", "", ""},
      {"SNMPv2-MIB::snmpTrapOID.0 .1.3.6.1.4.1.99.0.1", "SNMPv2-MIB::snmpTrapOID.0",
       ".1.3.6.1.4.1.99.0.1"},
      {".1.3.6.1.6.3.1.1.4.1.00 x", ".1.3.6.1.6.3.1.1.4.1.00", "x"},
      {"Date x", "Date", "x"},
      {".1.3.6.1.4.1.99.1 value\r", ".1.3.6.1.4.1.99.1", "value\r"},
  };
  for (const Case& c : cases) {
    snmpTrap trap = parse(std::string("host\ntransport\n") + c.line + "\n");
    ASSERT_EQ(trap.getSize(), 1) << c.line;
    EXPECT_EQ(trap.getVariableOid(0), c.oid) << c.line;
    EXPECT_EQ(trap.getValue(0), c.value) << c.line;
    EXPECT_EQ(trap.getOid(), "") << c.line;
  }
}

TEST_F(SnmpTrapTest, FixedLinesKeepQuotesAndLastOneWins) {
  snmpTrap trap = parse(
      "h\nt\n"
      ".1.3.6.1.6.3.1.1.4.1.0 \"first\"\n"
      "date \"2024-01-31 10:00:00\"\n"
      ".1.3.6.1.2.1.1.3.0 \"5\"\n"
      ".1.3.6.1.6.3.1.1.4.1.0 \"second\"\n");
  EXPECT_EQ(trap.getOid(), "\"second\"");
  EXPECT_EQ(trap.getdateReceive(), "\"2024-01-31 10:00:00\"");
  EXPECT_EQ(trap.getDeviceUptime(), "\"5\"");
  EXPECT_EQ(trap.getSize(), 0);

  EXPECT_EQ(parse("h\nt\ndate\n").getdateReceive(), "") << "a date line without value";
}

TEST_F(SnmpTrapTest, ShortAndEmptyFilesLeaveFieldsEmpty) {
  snmpTrap empty = parse("");
  EXPECT_EQ(empty, snmpTrap());
  snmpTrap hostOnly = parse("host1");
  EXPECT_EQ(hostOnly.getHost(), "host1");
  EXPECT_EQ(hostOnly.getHostAddr(), "");
  EXPECT_EQ(hostOnly.getSize(), 0);
  snmpTrap garbage = parse(std::string("\x01\x02\xff garbage", 11) + "\n\n\n\n");
  EXPECT_EQ(garbage.getSize(), 2) << "blank lines after the second are empty variables";
}

TEST_F(SnmpTrapTest, BlankLineAmongVariablesIsAnEmptyVariable) {
  snmpTrap trap = parse("h\nt\n.1.2 a\n\n.1.3 b");
  ASSERT_EQ(trap.getSize(), 3);
  EXPECT_EQ(trap.getVariableOid(1), "");
  EXPECT_EQ(trap.getValue(1), "");
  EXPECT_EQ(trap.getValue(2), "b") << "last line without line feed";
}

TEST_F(SnmpTrapTest, MissingFileRaisesAndLeavesRecord) {
  snmpTrap trap = parse("host1\n");
  try {
    trap.read(dir.file("missing"));
    FAIL() << "a missing file must raise";
  } catch (const FileException& e) {
    EXPECT_STREQ(e.what(), "error open file");
  }
  EXPECT_EQ(trap.getHost(), "host1");
}

TEST_F(SnmpTrapTest, VariableIndexOutsideTheTrapRaises) {
  snmpTrap trap = parse("h\nt\n.1.2 a\n");
  for (int index : {-1, 1, 100}) {
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
  EXPECT_THROW(snmpTrap().getValue(0), VariableNoFoundException);
}

TEST_F(SnmpTrapTest, ReadAppendsVariablesToTheRecord) {
  snmpTrap trap = parse("h\nt\n.1.2 a\n");
  writeFile(path, "h2\n");
  trap.read(path);
  EXPECT_EQ(trap.getHost(), "h2");
  EXPECT_EQ(trap.getPort(), "t") << "fields without a line stay";
  EXPECT_EQ(trap.getSize(), 1);
}

TEST_F(SnmpTrapTest, SpoolTextReadsBackToAnEqualRecord) {
  const char* files[] = {
      "host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
      "DISMAN-EVENT-MIB::sysUpTimeInstance 0:0:01:02.03\n"
      ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\ndate 2024-01-31 10:00:00\n"
      ".1.3.6.1.4.1.99.1 \"up \"\"down\"\n.1.3.6.1.4.1.99.2 \"\"\n\nname-only\n"
      " leading blank\n.1.3 tail blanks  \n",
      "",
      "only-host",
      "h\nt\ndate \"quoted\"\n.1.3.6.1.6.3.1.1.4.1.0 \"q\"\n.1.2 x\r\n",
  };
  for (const char* content : files) {
    snmpTrap original = parse(content);
    writeFile(path, original.toSpoolText());
    snmpTrap again;
    again.read(path);
    EXPECT_EQ(again, original) << content;
  }
}

}  // namespace

}  // namespace kivo
