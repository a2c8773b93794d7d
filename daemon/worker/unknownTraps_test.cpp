#include "daemon/worker/unknownTraps.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

const std::string kHeader = "host1\nUDP: [192.0.2.7]:161\n.1.3.6.1.6.3.1.1.4.1.0 .1.9\n";

TEST(UnknownTraps, LogAndCountFailuresAreToldOnceAndAMissingTableEndsTheCounts) {
  TempDir dir;
  const std::string logDir = dir.file("log"), logPath = logDir + "/trap_unknown.log";
  // Per flush: the SQLSTATE the store fails with, "" for success.
  std::vector<std::string> failures = {"XX000", "XX000", "", "42P01"};
  std::vector<long> stored;
  UnknownTraps unknown(logPath, [&](const UnknownPairs& pairs) {
    ASSERT_FALSE(failures.empty()) << "no store after a missing table";
    const std::string state = failures.front();
    failures.erase(failures.begin());
    if (!state.empty()) throw PostgresqlException("refused", state);
    for (const UnknownPair& pair : pairs) stored.push_back(pair.count);
  });
  const snmpTrap trap = trapOf(kHeader + "date d\n");
  const snmpTrap other = trapOf("host2\nUDP: [192.0.2.8]:161\n.1.3.6.1.6.3.1.1.4.1.0 .1.9\n");
  CapturedOutput output;
  for (int flush = 0; flush < 5; ++flush) {
    if (flush == 1) ::mkdir(logDir.c_str(), 0755);
    for (const snmpTrap* t : {&trap, &other, &trap}) unknown.seen(*t);
    unknown.flush();
  }
  EXPECT_EQ(logMessages(output.text()),
            (std::vector<std::string>{
                "ERR#can't write unknown trap log: error open file: " + logPath,
                "ERR#can't count traps without a service in kivo_trap_unknown, their counts are "
                "lost: refused",
                "INFO#unknown trap log written again: " + logPath,
                "INFO#kivo_trap_unknown written again",
                "ERR#table kivo_trap_unknown is missing: traps without a service are not counted "
                "in the database; refused"}));
  EXPECT_EQ(stored, (std::vector<long>{2, 1})) << "by address and OID";
  EXPECT_EQ(splitLines(readFile(logPath)).size(), 12u);
  EXPECT_EQ(splitLines(readFile(logPath))[1], "#192.0.2.8#host2#.1.9");
}

TEST(UnknownTraps, AtMostTheCapOfPairsIsCountedBetweenTwoFlushes) {
  const size_t cap = UnknownTraps::kMostPairs;
  size_t stored = 0;
  UnknownTraps unknown("", [&](const UnknownPairs& pairs) { stored = pairs.size(); });
  CapturedOutput output;
  for (size_t i = 0; i <= cap; ++i)
    unknown.seen(trapOf(kHeader + ".1.3.6.1.6.3.1.1.4.1.0 .1." + std::to_string(i) + "\n"));
  unknown.flush();
  EXPECT_EQ(stored, cap);
  EXPECT_EQ(logMessages(output.text()).size(), 1u) << "the pair beyond the cap is told";
}

}  // namespace kivo
