// The daemon binary with workers short of descriptors.
#include <gtest/gtest.h>

#include "testing/daemonHarness.h"

namespace kivo {

namespace {

TEST(WorkerLimitsThreadTest, WorkersShortOfDescriptorsLoseNoTrap) {
  DaemonHarness h;
  const std::string records = h.dir.file("records");
  // 32 services, since the traps of one service run one at a time.
  const int kServices = 32, kTraps = 100;
  h.addDevice(1, "127.0.0.1");
  for (int id = 1; id <= kServices; ++id) {
    h.addService(id, 1, DaemonHarness::oid(id), DaemonHarness::testdata("slow_record.sh"),
                 records + " $1");
  }
  for (int i = 0; i < kTraps; ++i) {
    h.spool("trap-" + std::to_string(10000 + i),
            DaemonHarness::serviceTrap(1 + i % kServices, std::to_string(i), ""));
  }
  DaemonProcess::Options options;
  options.fileLimit = 64;  // far too few for 32 workers each running a plug-in
  h.start(kServices, options);
  ASSERT_TRUE(waitFor([&] { return h.spoolFiles().empty(); }, std::chrono::seconds(60)))
      << h.log();
  EXPECT_EQ(h.stop(), 0);
  EXPECT_EQ(DaemonHarness::lines(records), static_cast<size_t>(kTraps)) << "each once";
  EXPECT_EQ(h.count("ERR#ServiceException"), 0);
  EXPECT_EQ(h.count("ERR#kivo can't start the plug-in of service "), 1)
      << "the shortage is told once: " << h.log();
}

}  // namespace

}  // namespace kivo
