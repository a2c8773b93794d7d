// What a hostile sender or a careless writer of the spool can do, tried on
// the real daemon: arguments smuggled into a plug-in through a trap value,
// a file taken while still being written, a spool full of entries that are
// no trap files, and a daemon short of file descriptors.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/daemonHarness.h"
#include "testing/snmpTrapReceiver.h"

namespace kivo {

namespace {

const char* const kTrapOid = ".1.3.6.1.4.1.99.0.1";

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override { harness.addDevice(1, "127.0.0.1"); }

  DaemonHarness harness;
  std::string records = harness.dir.file("records");
};

TEST_F(HostileInputTest, AValueWithQuotesStaysOneArgumentThroughSnmptrapd) {
  SnmpTrapReceiver receiver(harness.dir, harness.config.spool);
  harness.addService(1, 1, kTrapOid, DaemonHarness::testdata("echo_arguments.sh"), "$1 \"$2\"");
  harness.start(1);
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid,
                     {".1.3.6.1.4.1.99.1", "i", "2", ".1.3.6.1.4.1.99.2", "s",
                      "msg\" --evil \"x"}),
            0);
  ASSERT_TRUE(harness.waitForLog("EXEC#RETURN exec 0")) << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.stop(), 0);
  // The spool file holds the value as "msg\" --evil \"x": two arguments.
  EXPECT_EQ(harness.database.value("SELECT service_last_stdout FROM kivo_services"),
            "[2][msg\\\" --evil \\\"x]\n");
}

TEST_F(HostileInputTest, AFileStillBeingWrittenIsTakenWhenCompleteOrSettled) {
  harness.addService(1, 1, kTrapOid, DaemonHarness::testdata("record_and_exit.sh"),
                     records + " 0 $1");
  harness.config.entries["KIVO"]["spool_settle"] = "1";
  harness.start(1);
  // A writer that is not atomic: the name is there before the content.
  const std::string early = harness.config.spool + "trap-1";
  writeFile(early, "");
  harness.spool("trap-2", DaemonHarness::trapText("127.0.0.1", kTrapOid, {{".1.2", "second"}}));
  ASSERT_TRUE(harness.waitForLog("EXEC#RETURN exec 0")) << "the later file went first";
  writeFile(early, DaemonHarness::trapText("127.0.0.1", kTrapOid, {{".1.2", "first"}}));
  ASSERT_TRUE(harness.waitForLog("EXEC#RETURN exec 0", 2)) << readFile(harness.config.systemLog);
  EXPECT_EQ(splitLines(readFile(records)), (std::vector<std::string>{"0 second", "0 first"}));

  // One that stays empty is taken as it is once it has settled.
  writeFile(harness.config.spool + "trap-3", "");
  ASSERT_TRUE(harness.waitForLog("INFO#there isn't passive service for OID on this host ()"));
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_TRUE(harness.spoolFiles().empty());
}

TEST_F(HostileInputTest, ManyEntriesLeftAloneAreEachReportedOnceWhileTrapsFlow) {
  const int kFifos = 300;
  for (int i = 0; i < kFifos; ++i) {
    ASSERT_EQ(::mkfifo((harness.config.spool + "fifo-" + std::to_string(i)).c_str(), 0600), 0);
  }
  harness.addService(1, 1, kTrapOid, DaemonHarness::testdata("record_and_exit.sh"),
                     records + " 0 $1");
  harness.config.entries["KIVO"]["sleep"] = "1";
  harness.start(2);
  const int kTraps = 20;
  for (int i = 0; i < kTraps; ++i) {
    harness.spool("trap-" + std::to_string(i),
                  DaemonHarness::trapText("127.0.0.1", kTrapOid, {{".1.2", std::to_string(i)}}));
    ASSERT_TRUE(harness.waitForLog("EXEC#RETURN exec 0", i + 1));
  }
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(harness.count("ERR#kivo skips spool entry " + harness.config.spool + "fifo-"), kFifos);
  EXPECT_EQ(harness.spoolFiles().size(), static_cast<size_t>(kFifos));
}

TEST_F(HostileInputTest, WorkersShortOfDescriptorsLoseNoTrap) {
  // Slow enough that every worker runs one at the same time: 32 services,
  // since the traps of one service run one at a time.
  const int kServices = 32;
  for (int id = 1; id <= kServices; ++id) {
    harness.addService(id, 1, kTrapOid + std::string(".") + std::to_string(id),
                       DaemonHarness::testdata("slow_record.sh"), records + " $1");
  }
  const int kTraps = 150;
  for (int i = 0; i < kTraps; ++i) {
    char name[32];
    snprintf(name, sizeof name, "trap-%04d", i);
    harness.spool(name, DaemonHarness::trapText(
                            "127.0.0.1", kTrapOid + std::string(".") + std::to_string(1 + i % kServices),
                            {{".1.2", std::to_string(i)}}));
  }
  DaemonProcess::Options options;
  // Far too few for 32 workers each running a plug-in.
  options.fileLimit = 64;
  harness.start(32, options);
  ASSERT_TRUE(waitFor([&] { return splitLines(readFile(records)).size() >= kTraps; },
                      std::chrono::seconds(60)))
      << readFile(harness.config.systemLog);
  ASSERT_TRUE(waitFor([&] { return harness.spoolFiles().empty(); }));
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(splitLines(readFile(records)).size(), static_cast<size_t>(kTraps)) << "each once";
  EXPECT_EQ(harness.count("ERR#ServiceException"), 0);
  EXPECT_EQ(harness.count("ERR#kivo can't start the plug-in of service "), 1)
      << "the shortage is told once: " << readFile(harness.config.systemLog);
}

}  // namespace

}  // namespace kivo
