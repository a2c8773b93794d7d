#include "daemon/commands/trapReplay.h"

#include <gtest/gtest.h>

#include "testing/daemonConfig.h"

namespace kivo {

TEST(TrapReplay, TheTrapIsShownWithEveryValueWhole) {
  EXPECT_EQ(describeTrap(exampleTrap()),
            "host: <host1>\naddress: <192.0.2.7>\nOID: <.1.9>\n$1: .1.2 = <up>\n"
            "$2: .1.3 = <a b>\n$3: .1.4 = <msg\\\" --evil \\\"x>\n$4: .1.5 = <tab\\there>\n");
  MapTrapService services;
  service other;
  other.SetOID(".1.8");
  services.addTrapService("192.0.2.7", other);
  EXPECT_EQ(describeMatch(exampleTrap(), services),
            "service: none: no service of 192.0.2.7 has the OID .1.9\n");
  services.clear();
  EXPECT_EQ(describeMatch(exampleTrap(), services),
            "service: none: no device has the address 192.0.2.7\n");
}

}  // namespace kivo
