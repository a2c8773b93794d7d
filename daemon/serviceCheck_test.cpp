// The check's decisions on the rows of the services' query.
#include "daemon/serviceCheck.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "testing/tempDir.h"

namespace kivo {

namespace {

class ServiceCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(plugin, "#!/bin/sh\n");
    ASSERT_EQ(::chmod(plugin.c_str(), 0755), 0);
  }

  // A row of service id on device with address, whose plug-in runs.
  TrapServiceRow row(int id, int device, const std::string& address, const std::string& oid,
                     const std::string& alerting = "") {
    TrapServiceRow r;
    r.address = address;
    r.s.SetService_id(id);
    r.s.Setname("s" + std::to_string(id));
    r.s.SetDevice_id(device);
    r.s.Setpath(plugin);
    r.s.SetOID(oid);
    r.s.SetAlertingSoftware(alerting);
    return r;
  }

  std::vector<std::string> lines(const std::vector<TrapServiceRow>& rows) {
    Findings findings;
    kivo::checkServices(rows, &findings);
    std::vector<std::string> text;
    for (const kivo::Finding& finding : findings) text.push_back(finding.line());
    return text;
  }

  TempDir dir;
  std::string plugin = dir.file("plugin");
};

TEST_F(ServiceCheckTest, DeviceAddresses) {
  TrapServiceRow null = row(1, 1, "", ".1");
  null.addressNull = true;
  // Each service its own OID: several addresses here read as the same key.
  std::vector<TrapServiceRow> rows = {
      null,
      row(2, 2, "abc", ".2"),
      row(3, 3, "4294967296", ".3"),
      row(4, 4, "-1", ".4"),
      row(5, 5, "0", ".5"),
      row(6, 6, "4294967295", ".6"),
      row(7, 7, "167838211", ".7"),
      row(8, 7, "167838211", ".8"),
  };
  EXPECT_EQ(lines(rows),
            (std::vector<std::string>{
                "error: device 1: device_ip_addr is NULL: read as 0.0.0.0, which sends no trap",
                "error: device 2: device_ip_addr abc is not a number: read as 0.0.0.0",
                "error: device 3: device_ip_addr 4294967296 is outside 32 bits: read as 0.0.0.0",
                "error: device 4: device_ip_addr -1 is outside 32 bits: read as 255.255.255.255",
                "warning: device 5: device_ip_addr 0 is 0.0.0.0, which sends no trap",
            }));
}

TEST_F(ServiceCheckTest, ProgramsThatCannotRun) {
  const std::string plain = dir.file("alert");
  writeFile(plain, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(plain.c_str(), 0644), 0);
  TrapServiceRow missing = row(1, 1, "1", ".1");
  missing.s.Setpath(dir.file("gone"));
  std::vector<TrapServiceRow> rows = {missing, row(2, 1, "1", ".2", plain), row(3, 1, "1", ".3")};
  EXPECT_EQ(lines(rows), (std::vector<std::string>{
                             "error: service 1 (s1) of device 1: plug-in " + dir.file("gone") +
                                 ": No such file or directory",
                             "error: service 2 (s2) of device 1: alerting program " + plain +
                                 ": not executable for this user",
                         }));
}

TEST_F(ServiceCheckTest, SecondServiceForAnOidNeverRuns) {
  std::vector<TrapServiceRow> rows = {
      row(1, 1, "167838211", ".1.3.6.1.4.1.99.0.1"),
      row(2, 1, "167838211", ".1.3.6.1.4.1.99.0.1"),
      // Another device, the same key once cut to 32 bits.
      row(3, 2, "4462805507", ".1.3.6.1.4.1.99.0.1"),
      // Another address: no conflict.
      row(4, 3, "167838212", ".1.3.6.1.4.1.99.0.1"),
  };
  std::vector<std::string> found = lines(rows);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0],
            "error: device 2: device_ip_addr 4462805507 is outside 32 bits: read as 10.1.2.3");
  EXPECT_EQ(found[1],
            "warning: service 1 (s1) and service 2 (s2) on 10.1.2.3 both answer OID "
            ".1.3.6.1.4.1.99.0.1: 2 never runs");
  EXPECT_EQ(found[2],
            "warning: service 1 (s1) and service 3 (s3) on 10.1.2.3 both answer OID "
            ".1.3.6.1.4.1.99.0.1: 3 never runs");
}

TEST_F(ServiceCheckTest, ServiceWithTwoAlertingProgramsIsNoDuplicate) {
  const std::string mail = dir.file("mail");
  writeFile(mail, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(mail.c_str(), 0755), 0);
  std::vector<TrapServiceRow> rows = {row(1, 1, "1", ".1", mail), row(1, 1, "1", ".1", plugin)};
  EXPECT_EQ(lines(rows), (std::vector<std::string>{
                             "warning: service 1 (s1) has 2 alerting programs, but only one "
                             "runs: " + mail}));
  EXPECT_EQ(kivo::distinctDevices(rows), 1u);
  EXPECT_EQ(kivo::distinctServices(rows), 1u);
}

}  // namespace

}  // namespace kivo
