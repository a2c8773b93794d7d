// What a dry run of one trap shows: the trap, the match and the arguments.
#include "daemon/trapReplay.h"

#include <gtest/gtest.h>

#include "daemon/trapParameters.h"
#include "testing/capturedOutput.h"

namespace kivo {

namespace {

snmpTrap exampleTrap() {
  snmpTrap trap;
  trap.readText("router1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
                ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n"
                ".1.3.6.1.4.1.99.1 2\n"
                ".1.3.6.1.4.1.99.2 \"disk \"full\"\"\n"
                ".1.3.6.1.4.1.99.3 tab\there\n");
  return trap;
}

service exampleService(int id, const std::string& oid, const std::string& parameter) {
  service s;
  s.SetService_id(id);
  s.Setname("disk");
  s.SetDevice_id(3);
  s.Setpath("/usr/lib/plugins/check disk");
  s.SetOID(oid);
  s.Setparameter(parameter);
  return s;
}

TEST(TrapReplay, TrapAsParsed) {
  EXPECT_EQ(kivo::describeTrap(exampleTrap()),
            "host: <router1>\n"
            "address: <192.0.2.7>\n"
            "OID: <.1.3.6.1.4.1.99.0.1>\n"
            "$1: .1.3.6.1.4.1.99.1 = <2>\n"
            "$2: .1.3.6.1.4.1.99.2 = <disk \"full>\n"
            "$3: .1.3.6.1.4.1.99.3 = <tab\\there>\n");
}

TEST(TrapReplay, MatchOrWhyNone) {
  MapTrapService services;
  services.addTrapService("192.0.2.7", exampleService(12, ".1.3.6.1.4.1.99.0.9", ""));
  snmpTrap trap = exampleTrap();
  EXPECT_EQ(kivo::describeMatch(trap, services),
            "service: none: no service of 192.0.2.7 has the OID .1.3.6.1.4.1.99.0.1\n");
  services.addTrapService("192.0.2.7", exampleService(13, ".1.3.6.1.4.1.99.0.1", ""));
  EXPECT_EQ(kivo::describeMatch(trap, services), "service: 13 (disk) of device 3\n");
  MapTrapService elsewhere;
  elsewhere.addTrapService("192.0.2.8", exampleService(13, ".1.3.6.1.4.1.99.0.1", ""));
  EXPECT_EQ(kivo::describeMatch(trap, elsewhere),
            "service: none: no device has the address 192.0.2.7\n");
}

// The arguments exactly as the daemon fills and splits them.
TEST(TrapReplay, ArgumentsShowBlanksAndQuotes) {
  struct Case {
    std::string parameter;
    std::string shown;
  } cases[] = {
      {"-w $1 -m \"$2\"",
       "command: /usr/lib/plugins/check disk -w 2 -m \"disk \"full\"\n"
       "argv[0] = </usr/lib/plugins/check disk>\n"
       "argv[1] = <-w>\nargv[2] = <2>\nargv[3] = <-m>\nargv[4] = <disk \"full>\n"},
      {"$2",
       "command: /usr/lib/plugins/check disk disk \"full\n"
       "argv[0] = </usr/lib/plugins/check disk>\nargv[1] = <disk>\nargv[2] = <\"full>\n"},
      {"'-m $IP x' $*",
       "command: /usr/lib/plugins/check disk '-m 192.0.2.7 x' .1.3.6.1.4.1.99.1:2 "
       ".1.3.6.1.4.1.99.2:disk \"full .1.3.6.1.4.1.99.3:tab\\there \n"
       "argv[0] = </usr/lib/plugins/check disk>\nargv[1] = <-m 192.0.2.7 x>\n"
       "argv[2] = <.1.3.6.1.4.1.99.1:2>\nargv[3] = <.1.3.6.1.4.1.99.2:disk>\n"
       "argv[4] = <\"full>\nargv[5] = <.1.3.6.1.4.1.99.3:tab\\there>\n"},
  };
  CapturedOutput output;
  for (const Case& c : cases) {
    service s = exampleService(12, ".1", c.parameter);
    kivo::fillServiceParameters(s, exampleTrap());
    EXPECT_EQ(kivo::describeCommand(s), c.shown) << c.parameter;
  }
}

}  // namespace

}  // namespace kivo
