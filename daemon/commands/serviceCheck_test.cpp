#include "daemon/commands/serviceCheck.h"

#include <gtest/gtest.h>

#include "testing/daemonConfig.h"

namespace kivo {

// A row of service id on device with address, whose plug-in runs.
static TrapServiceRow row(int id, int device, const std::string& address, const std::string& oid,
                          const std::string& alerting = "/bin/sh") {
  TrapServiceRow r;
  r.address = address;
  r.s.SetService_id(id);
  r.s.Setname("s" + std::to_string(id));
  r.s.SetDevice_id(device);
  r.s.Setpath("/bin/sh");
  r.s.SetOID(oid);
  r.s.SetAlertingSoftware(alerting);
  return r;
}

TEST(ServiceCheck, AddressesProgramsAndServicesThatNeverRun) {
  TempDir dir;
  const std::string plain = dir.file("plain");
  writeFile(plain, "#!/bin/sh\n");
  TrapServiceRow null = row(1, 1, "", ".1");
  null.addressNull = true;
  std::vector<TrapServiceRow> rows = {
      null, row(2, 2, "abc", ".2"), row(3, 3, "4294967296", ".3"), row(4, 4, "-1", ".4"),
      row(5, 5, "0", ".5"), row(6, 6, "4294967295", ".6"), row(7, 7, "167838211", ".7"),
      row(9, 9, "4462805507", ".7"),  // another device, the same key once cut to 32 bits
      row(11, 10, "167838212", ".7"),  // another address: no conflict
      row(12, 8, "1", ".2", plain),
      row(13, 8, "1", ".3", "/bin/sh"), row(13, 8, "1", ".3", "/bin/true"),
  };
  Findings findings;
  checkServices(rows, &findings);
  EXPECT_EQ(linesOf(findings),
            (Lines{
                "error: device 1: device_ip_addr is NULL: read as 0.0.0.0, which sends no trap",
                "error: device 2: device_ip_addr abc is not a number: read as 0.0.0.0",
                "error: device 3: device_ip_addr 4294967296 is outside 32 bits: read as 0.0.0.0",
                "error: device 4: device_ip_addr -1 is outside 32 bits: read as 255.255.255.255",
                "warning: device 5: device_ip_addr 0 is 0.0.0.0, which sends no trap",
                "error: device 9: device_ip_addr 4462805507 is outside 32 bits: read as 10.1.2.3",
                "error: service 12 (s12) of device 8: alerting program " + plain +
                    ": not executable for this user",
                "warning: service 7 (s7) and service 9 (s9) on 10.1.2.3 both answer OID .7: 9 "
                "never runs",
                "warning: service 13 (s13) has 2 alerting programs, but only one runs: /bin/sh",
            }));
  EXPECT_EQ(distinctDevices(rows), 10u);
  EXPECT_EQ(distinctServices(rows), 11u);
}

}  // namespace kivo
