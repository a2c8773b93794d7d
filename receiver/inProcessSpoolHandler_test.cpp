// The in-process spool handler (receiver/kivo-spool-handler.pl) inside a real
// snmptrapd on loopback, against the compiled handler behind the same
// snmptrapd for the same traps.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "testing/snmpTrapReceiver.h"
#include "testing/tempDir.h"
#include "trap/snmpTrap.h"

namespace kivo {

namespace {

const char kTrapOid[] = ".1.3.6.1.4.1.99.0.1";
const std::regex kSpoolName("trap-[0-9]{19}-[0-9]+-0");

// The spool file that arrives in spool as the one after the names in seen.
std::string nextFile(const std::string& spool, size_t seen) {
  if (!waitFor([&] { return listDirectory(spool).size() > seen; })) return "";
  std::vector<std::string> names = listDirectory(spool);
  return names.size() == seen + 1 ? readFile(spool + "/" + names.back()) : "";
}

// The content without its date line, and that line's time in seconds of the
// day (-1 when there is none).
std::string withoutDate(const std::string& content, int* secondOfDay) {
  std::string rest;
  *secondOfDay = -1;
  for (const std::string& line : splitLines(content)) {
    int hour = 0, minute = 0, second = 0;
    if (line.rfind("date ", 0) == 0 &&
        sscanf(line.c_str(), "date %*d-%*d-%*d %d:%d:%d", &hour, &minute, &second) == 3) {
      *secondOfDay = hour * 3600 + minute * 60 + second;
      continue;
    }
    rest += line + "\n";
  }
  return rest;
}

// The next file of each spool (seen files before it) holds the same trap;
// the two handlers read the clock a few milliseconds apart, so their date
// lines may differ by a second.
void expectSameNextFile(const std::string& name, const std::string& compiled,
                        const std::string& inProcess, size_t seen, const SnmpTrapReceiver& receiver) {
  std::string expected = nextFile(compiled, seen);
  std::string actual = nextFile(inProcess, seen);
  ASSERT_FALSE(expected.empty()) << name << ": compiled handler\n" << receiver.log();
  ASSERT_FALSE(actual.empty()) << name << ": in-process handler\n" << receiver.log();
  int expectedSecond = -1, actualSecond = -1;
  EXPECT_EQ(withoutDate(actual, &actualSecond), withoutDate(expected, &expectedSecond)) << name;
  ASSERT_GE(expectedSecond, 0) << name << ": " << expected;
  ASSERT_GE(actualSecond, 0) << name << ": " << actual;
  EXPECT_LE((actualSecond - expectedSecond + 86400) % 86400, 1) << name;
}

SnmpTrapReceiverSetup bothHandlers(const std::string& compiled, const std::string& inProcess,
                                   std::vector<std::string> arguments = {}) {
  return SnmpTrapReceiverSetup{
      compiledHandlerLines(compiled + "/") + inProcessHandlerLines(inProcess + "/"), true,
      arguments};
}

// One snmptrapd, both handlers: the compiled one writes into compiled/, the
// in-process one into inProcess/.
class InProcessSpoolHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(compiled.c_str(), 0755);
    ::mkdir(inProcess.c_str(), 0755);
  }

  TempDir dir;
  std::string compiled = dir.file("compiled");
  std::string inProcess = dir.file("inProcess");
  SnmpTrapReceiver receiver{dir, bothHandlers(compiled, inProcess)};
};

TEST_F(InProcessSpoolHandler, WritesWhatTheCompiledHandlerWrites) {
  const std::string enterprise = ".1.3.6.1.4.1.99";
  struct Case {
    const char* name;
    std::function<int()> send;
  };
  const std::vector<Case> cases = {
      {"v2c trap",
       [&] {
         return sendTrap(receiver.address(), kTrapOid,
                         {".1.3.6.1.4.1.99.1", "i", "2", ".1.3.6.1.4.1.99.2", "s", "disk full"});
       }},
      {"v1 enterprise trap",
       [&] {
         return sendTrapV1(receiver.address(), enterprise, "192.0.2.9", 6, 17,
                           {".1.3.6.1.4.1.99.1", "s", "hello"});
       }},
      {"v1 generic trap",
       [&] { return sendTrapV1(receiver.address(), enterprise, "192.0.2.9", 2, 0, {}); }},
      {"multi-line string",
       [&] { return sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.2", "s", "one\ntwo"}); }},
      {"hex string",
       [&] { return sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.3", "x", "00FF10"}); }},
      {"IPv6 trap",
       [&] { return sendTrap(receiver.address6(), kTrapOid, {".1.3.6.1.4.1.99.2", "s", "v6"}); }},
      {"every value type",
       [&] {
         return sendTrap(receiver.address(), kTrapOid,
                         {".1.3.6.1.4.1.99.10", "n", "",          ".1.3.6.1.4.1.99.11", "U", "5",
                          ".1.3.6.1.4.1.99.12", "I", "-5",        ".1.3.6.1.4.1.99.13", "F", "1.5",
                          ".1.3.6.1.4.1.99.14", "t", "912345678", ".1.3.6.1.4.1.99.15", "o", ".1.3.6.1",
                          ".1.3.6.1.4.1.99.16", "c", "5",         ".1.3.6.1.4.1.99.17", "u", "6",
                          ".1.3.6.1.4.1.99.18", "C", "77",        ".1.3.6.1.4.1.99.19", "a", "10.1.2.3",
                          ".1.3.6.1.4.1.99.20", "s", "",          ".1.3.6.1.4.1.99.21", "s", "q\"x",
                          ".1.3.6.1.4.1.99.22", "d", "1.2.3.4",   ".1.3.6.1.4.1.99.23", "x", ""});
       }},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_EQ(cases[i].send(), 0) << cases[i].name;
    ASSERT_NO_FATAL_FAILURE(expectSameNextFile(cases[i].name, compiled, inProcess, i, receiver));
  }
  // The file the daemon reads from it.
  snmpTrap v2c;
  v2c.read(inProcess + "/" + listDirectory(inProcess).front());
  EXPECT_EQ(v2c.getHostAddr(), "127.0.0.1");
  EXPECT_EQ(v2c.getOid(), kTrapOid);
  ASSERT_EQ(v2c.getSize(), 2);
  EXPECT_EQ(v2c.getValue(1), "disk full");
  for (const std::string& name : listDirectory(inProcess)) {
    EXPECT_TRUE(std::regex_match(name, kSpoolName)) << name;
  }
  EXPECT_EQ(listDirectory(dir.file(".inProcess.staging")), std::vector<std::string>{})
      << "no staging file stays behind";
}

// With -n snmptrapd looks up no host name: the host line is the transport.
TEST(InProcessSpoolHandlerNumeric, NumericHostsAsTheCompiledHandlerGetsThem) {
  TempDir dir;
  std::string compiled = dir.file("compiled");
  std::string inProcess = dir.file("inProcess");
  ::mkdir(compiled.c_str(), 0755);
  ::mkdir(inProcess.c_str(), 0755);
  SnmpTrapReceiver receiver{dir, bothHandlers(compiled, inProcess, {"-n"})};
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.2", "s", "numeric"}), 0);
  ASSERT_NO_FATAL_FAILURE(expectSameNextFile("IPv4 with -n", compiled, inProcess, 0, receiver));
  ASSERT_EQ(sendTrap(receiver.address6(), kTrapOid, {".1.3.6.1.4.1.99.2", "s", "numeric"}), 0);
  ASSERT_NO_FATAL_FAILURE(expectSameNextFile("IPv6 with -n", compiled, inProcess, 1, receiver));
  snmpTrap trap;
  trap.read(inProcess + "/" + listDirectory(inProcess).front());
  EXPECT_EQ(trap.getHost().rfind("UDP: [127.0.0.1]:", 0), 0u) << trap.getHost();
}

// Traps spooled by the compiled handler, the in-process one, and the
// in-process one again after a restart of snmptrapd: the names sort in the
// order in which the traps were sent.
TEST(InProcessSpoolHandlerOrder, NamesSortInArrivalOrderAcrossHandlersAndRestarts) {
  TempDir dir;
  std::string spool = dir.file("spool");
  ::mkdir(spool.c_str(), 0755);
  const std::vector<std::string> rounds = {"compiled", "in-process", "in-process again"};
  const int kPerRound = 15;
  int sent = 0;
  for (const std::string& round : rounds) {
    TempDir receiverDir;
    std::string lines = round == "compiled" ? compiledHandlerLines(spool)
                                            : inProcessHandlerLines(spool);
    SnmpTrapReceiver receiver{receiverDir, SnmpTrapReceiverSetup{lines, false, {}}};
    for (int i = 0; i < kPerRound; ++i, ++sent) {
      ASSERT_EQ(sendTrap(receiver.address(), kTrapOid,
                         {".1.3.6.1.4.1.99.9", "i", std::to_string(sent)}),
                0)
          << round;
    }
    ASSERT_TRUE(waitFor([&] { return listDirectory(spool).size() == static_cast<size_t>(sent); }))
        << round << ": " << listDirectory(spool).size() << " files\n"
        << receiver.log();
  }
  std::vector<std::string> names = listDirectory(spool);
  ASSERT_EQ(names.size(), static_cast<size_t>(sent));
  for (int i = 0; i < sent; ++i) {
    snmpTrap trap;
    trap.read(spool + "/" + names[i]);
    ASSERT_EQ(trap.getSize(), 1) << names[i];
    EXPECT_EQ(trap.getValue(0), std::to_string(i)) << "file order is sending order: " << names[i];
  }
}

// snmptrapd runs the handler's file again when it rereads its configuration:
// the new spool directory holds, and each trap still makes one file.
TEST(InProcessSpoolHandlerReload, RereadConfigurationKeepsOneFilePerTrap) {
  TempDir dir;
  std::string first = dir.file("first");
  std::string second = dir.file("second");
  ::mkdir(first.c_str(), 0755);
  ::mkdir(second.c_str(), 0755);
  SnmpTrapReceiver receiver{dir, SnmpTrapReceiverSetup{inProcessHandlerLines(first), false, {}}};
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "1"}), 0);
  ASSERT_TRUE(waitFor([&] { return listDirectory(first).size() == 1; })) << receiver.log();

  writeFile(dir.file("snmptrapd.conf"),
            "disableAuthorization yes\noutputOption n\n" + inProcessHandlerLines(second));
  receiver.reload();
  ASSERT_TRUE(waitFor([&] { return receiver.log().find("restarted") != std::string::npos; }))
      << receiver.log();
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "2"}), 0);
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "3"}), 0);
  ASSERT_TRUE(waitFor([&] { return listDirectory(second).size() >= 2; })) << receiver.log();
  // A third trap marks the end: every file of the two before is there.
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "4"}), 0);
  ASSERT_TRUE(waitFor([&] {
    std::vector<std::string> names = listDirectory(second);
    if (names.empty()) return false;
    snmpTrap last;
    last.read(second + "/" + names.back());
    return last.getSize() == 1 && last.getValue(0) == "4";
  })) << receiver.log();
  EXPECT_EQ(listDirectory(first).size(), 1u);
  EXPECT_EQ(listDirectory(second).size(), 3u) << "one file per trap after the reload";
}

// snmptrapd runs as nobody, so the handler may write its staging directory
// but not the spool; once the spool is opened to it, traps arrive again.
TEST(InProcessSpoolHandlerFailure, UnwritableSpoolIsReportedAndSnmptrapdGoesOn) {
  TempDir dir;
  std::string spool = dir.file("spool");
  std::string staging = dir.file("staging");
  ::mkdir(spool.c_str(), 0755);
  ::mkdir(staging.c_str(), 0777);
  ::chmod(staging.c_str(), 0777);
  SnmpTrapReceiver receiver{
      dir, SnmpTrapReceiverSetup{"perl our $kivo_staging_directory = \"" + staging + "\";\n" +
                                     inProcessHandlerLines(spool + "/"),
                                 false,
                                 {"-u", "nobody", "-g", "nogroup"}}};
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "1"}), 0);
  const std::string report = "kivo-spool-handler.pl: can't write spool file " + spool + "/trap-";
  ASSERT_TRUE(waitFor([&] { return receiver.log().find(report) != std::string::npos; }))
      << receiver.log();
  std::string log = receiver.log();
  std::string line = log.substr(log.find(report));
  line = line.substr(0, line.find('\n'));
  EXPECT_TRUE(std::regex_match(line, std::regex(".*/trap-[0-9]{19}-[0-9]+-0: Permission denied")))
      << line;
  EXPECT_EQ(listDirectory(spool), std::vector<std::string>{});
  EXPECT_EQ(listDirectory(staging), std::vector<std::string>{}) << "the staging file is removed";

  ::chmod(spool.c_str(), 0777);
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "2"}), 0);
  ASSERT_TRUE(waitFor([&] { return listDirectory(spool).size() == 1; })) << receiver.log();
  snmpTrap trap;
  trap.read(spool + "/" + listDirectory(spool).front());
  ASSERT_EQ(trap.getSize(), 1);
  EXPECT_EQ(trap.getValue(0), "2");
}

// Under a umask that keeps the group out, the file still reaches the spool's
// group: the handler makes the staging directory with that group and the
// setgid bit, and gives every file the mode 0640.
TEST(InProcessSpoolHandlerModes, FilesGetTheSpoolGroupWhateverTheUmask) {
  const gid_t kGroup = 65534;  // any group but snmptrapd's (root's)
  TempDir dir;
  std::string spool = dir.file("spool");
  ::mkdir(spool.c_str(), 0755);
  ASSERT_EQ(::chown(spool.c_str(), static_cast<uid_t>(-1), kGroup), 0);
  mode_t umaskBefore = ::umask(077);
  SnmpTrapReceiver receiver{dir, SnmpTrapReceiverSetup{inProcessHandlerLines(spool + "/"), false, {}}};
  ::umask(umaskBefore);
  ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "1"}), 0);
  ASSERT_TRUE(waitFor([&] { return listDirectory(spool).size() == 1; })) << receiver.log();

  struct stat file = {}, staging = {};
  ASSERT_EQ(::stat((spool + "/" + listDirectory(spool).front()).c_str(), &file), 0);
  EXPECT_EQ(file.st_gid, kGroup);
  EXPECT_EQ(file.st_mode & 07777, 0640u);
  ASSERT_EQ(::stat(dir.file(".spool.staging").c_str(), &staging), 0);
  EXPECT_EQ(staging.st_gid, kGroup);
  EXPECT_EQ(staging.st_mode & 07777, 02750u);
}

TEST(InProcessSpoolHandlerFailure, MissingSettingsAreReported) {
  struct Case {
    const char* name;
    std::string lines;
    std::string report;
  };
  TempDir dir;
  const std::vector<Case> cases = {
      {"no spool directory", "perl do \"" + inProcessHandlerScript() + "\";\n",
       "kivo-spool-handler.pl: $kivo_spool_directory is not set: no trap is written"},
      {"missing spool directory", inProcessHandlerLines(dir.file("missing/")),
       "kivo-spool-handler.pl: can't write spool file " + dir.file("missing") + "/trap-"},
  };
  for (const Case& c : cases) {
    TempDir receiverDir;
    SnmpTrapReceiver receiver{receiverDir, SnmpTrapReceiverSetup{c.lines, false, {}}};
    ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "1"}), 0);
    EXPECT_TRUE(waitFor([&] { return receiver.log().find(c.report) != std::string::npos; },
                        std::chrono::seconds(10)))
        << c.name << ":\n"
        << receiver.log();
  }
}

// The shipped snmptrapd.conf samples, with this test's spool and this build's
// handlers put in: a trap of the community public reaches the spool, one of
// another community does not.
TEST(SnmptrapdSamples, EachHandsATrapToTheSpool) {
  struct Case {
    const char* sample;
    std::vector<std::pair<std::string, std::string>> replacements;
  };
  const std::vector<Case> cases = {
      {"snmptrapd-traphandle.conf.sample",
       {{"/usr/local/bin/kivo-spool-handler", spoolHandlerBinary()}}},
      {"snmptrapd-perl.conf.sample",
       {{"/usr/share/kivo/kivo-spool-handler.pl", inProcessHandlerScript()}}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string spool = dir.file("spool");
    ::mkdir(spool.c_str(), 0755);
    std::string configuration = readFile(std::string(KIVO_SOURCE_DIR) + "/conf/" + c.sample);
    ASSERT_FALSE(configuration.empty()) << c.sample;
    auto replace = [&](const std::string& from, const std::string& to) {
      size_t at = configuration.find(from);
      ASSERT_NE(at, std::string::npos) << c.sample << ": " << from;
      configuration.replace(at, from.size(), to);
    };
    replace("/var/spool/kivo/", spool + "/");
    for (const auto& replacement : c.replacements) replace(replacement.first, replacement.second);
    SnmpTrapReceiver receiver{dir, SnmpTrapReceiverSetup{configuration, false, {}, true}};
    std::vector<std::string> arguments = {"snmptrap", "-m", "", "-v", "2c", "-c", "private",
                                          receiver.address(), "", kTrapOid,
                                          ".1.3.6.1.4.1.99.9", "i", "1"};
    ASSERT_EQ(runProgram(arguments), 0) << c.sample;
    ASSERT_EQ(sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", "2"}), 0)
        << c.sample;
    ASSERT_TRUE(waitFor([&] { return !listDirectory(spool).empty(); })) << c.sample << "\n"
                                                                         << receiver.log();
    std::vector<std::string> names = listDirectory(spool);
    ASSERT_EQ(names.size(), 1u) << c.sample << ": the community private is not accepted";
    snmpTrap trap;
    trap.read(spool + "/" + names[0]);
    EXPECT_EQ(trap.getOid(), kTrapOid) << c.sample;
    ASSERT_EQ(trap.getSize(), 1) << c.sample;
    EXPECT_EQ(trap.getValue(0), "2") << c.sample;
    EXPECT_EQ(receiver.log().find("Unknown token"), std::string::npos) << c.sample << "\n"
                                                                       << receiver.log();
  }
}

}  // namespace

}  // namespace kivo
