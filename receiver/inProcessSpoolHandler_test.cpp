// receiver/kivo-spool-handler.pl inside a real snmptrapd on loopback.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "testing/snmpTrapReceiver.h"
#include "trap/snmpTrap.h"

namespace kivo {

const char kTrapOid[] = ".1.3.6.1.4.1.99.0.1";
using Send = std::function<int(const SnmpTrapReceiver&)>;

static std::string directory(const TempDir& dir, const std::string& name, mode_t mode = 0755) {
  std::string path = dir.file(name);
  ::mkdir(path.c_str(), mode);
  ::chmod(path.c_str(), mode);
  return path;
}

static std::string firstValue(const std::string& spool, size_t at = 0) {
  snmpTrap trap;
  trap.read(spool + "/" + listDirectory(spool).at(at));
  return trap.getValue(0);
}

static int sendValue(const SnmpTrapReceiver& receiver, int value) {
  return sendTrap(receiver.address(), kTrapOid, {".1.3.6.1.4.1.99.9", "i", std::to_string(value)});
}

static Send v2c(const std::vector<std::string>& variables, bool ipv6 = false) {
  return [=](const SnmpTrapReceiver& r) {
    return sendTrap(ipv6 ? r.address6() : r.address(), kTrapOid, variables);
  };
}

// A version 1 trap from the agent 192.0.2.9, generic and specific trap number.
static Send v1(int generic, int specific, const std::vector<std::string>& variables) {
  return [=](const SnmpTrapReceiver& r) {
    std::vector<std::string> arguments = {
        "snmptrap", "-m", "", "-c", "public", "-v", "1", r.address(), ".1.3.6.1.4.1.99",
        "192.0.2.9", std::to_string(generic), std::to_string(specific), ""};
    arguments.insert(arguments.end(), variables.begin(), variables.end());
    return runProgram(arguments);
  };
}

// The content without its date line, and that line's second of the day.
static std::pair<std::string, int> withoutDate(const std::string& content) {
  static const std::regex date("date [0-9]+-[0-9]+-[0-9]+ ([0-9]+):([0-9]+):([0-9]+)\n");
  std::smatch m;
  if (!std::regex_search(content, m, date)) return {content, -1};
  return {m.prefix().str() + m.suffix().str(),
          std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3])};
}

// The same file in both spools but for the date, a second apart at most.
TEST(InProcessSpoolHandler, WritesWhatTheCompiledHandlerWrites) {
  std::vector<std::string> everyType;
  for (std::string type : {"n ", "U 5", "I -5", "F 1.5", "t 912", "o .1.3.6.1", "c 5", "u 6",
                           "C 77", "a 10.1.2.3", "s ", "s q\"x", "d 1.2", "x ", "x 00FF10"})
    everyType.insert(everyType.end(), {".1.3.6.1.4.1.99.1", type.substr(0, 1), type.substr(2)});
  const std::string name = ".1.3.6.1.4.1.99.2";
  const std::pair<std::vector<std::string>, std::vector<Send>> cases[] = {
      {{},
       {v2c({".1.3.6.1.4.1.99.1", "i", "2", name, "s", "disk full"}),
        v1(6, 17, {".1.3.6.1.4.1.99.1", "s", "hello"}), v1(2, 0, {}), v2c({name, "s", "one\ntwo"}),
        v2c({name, "s", "v6"}, true), v2c(everyType)}},
      {{"-n"}, {v2c({name, "s", "n"}), v2c({name, "s", "n"}, true)}},
  };
  for (const auto& [arguments, sends] : cases) {
    TempDir dir;
    std::string compiled = directory(dir, "compiled"), inProcess = directory(dir, "inProcess");
    SnmpTrapReceiver receiver{dir, SnmpTrapReceiverSetup{compiledHandlerLines(compiled + "/") +
                                                             inProcessHandlerLines(inProcess + "/"),
                                                         true, arguments}};
    for (size_t i = 0; i < sends.size(); ++i) {
      SCOPED_TRACE("trap " + std::to_string(i) + " with " + std::to_string(arguments.size()));
      ASSERT_EQ(sends[i](receiver), 0);
      ASSERT_TRUE(waitFor([&] {
        return listDirectory(compiled).size() > i && listDirectory(inProcess).size() > i;
      })) << receiver.log();
      ASSERT_EQ(listDirectory(inProcess).size(), i + 1);
      auto expected = withoutDate(readFile(compiled + "/" + listDirectory(compiled).back()));
      auto actual = withoutDate(readFile(inProcess + "/" + listDirectory(inProcess).back()));
      EXPECT_EQ(actual.first, expected.first);
      EXPECT_LE((actual.second - expected.second + 86400) % 86400, 1);
    }
    for (const std::string& spool : {compiled, inProcess})
      for (const std::string& file : listDirectory(spool))
        EXPECT_TRUE(std::regex_match(file, std::regex("trap-[0-9]{19}-[0-9]+-0"))) << file;
    EXPECT_EQ(listDirectory(dir.file(".inProcess.staging")), std::vector<std::string>{})
        << "no staging file stays behind";
  }
}

// snmptrapd runs the handler's file again when it rereads its configuration.
TEST(InProcessSpoolHandler, MissingSpoolIsReportedThenAfterARereadEachTrapAndInformIsSpooledOnce) {
  TempDir dir;
  std::string spool = directory(dir, "spool");
  SnmpTrapReceiver receiver{
      dir, SnmpTrapReceiverSetup{"perl do \"" + inProcessHandlerScript() + "\";\n", false, {}}};
  auto logged = [&](const std::string& text) {
    return waitFor([&] { return receiver.log().find(text) != std::string::npos; });
  };
  ASSERT_EQ(sendValue(receiver, 1), 0);
  ASSERT_TRUE(logged("kivo-spool-handler.pl: $kivo_spool_directory is not set: no trap is written"))
      << receiver.log();
  writeFile(dir.file("snmptrapd.conf"),
            "disableAuthorization yes\noutputOption n\n" + inProcessHandlerLines(spool));
  receiver.reload();
  ASSERT_TRUE(logged("restarted"));
  for (int value : {2, 3, 4}) ASSERT_EQ(sendValue(receiver, value), 0);
  ASSERT_TRUE(waitFor([&] {
    size_t count = listDirectory(spool).size();
    return count > 0 && firstValue(spool, count - 1) == "4";
  })) << receiver.log();
  EXPECT_EQ(listDirectory(spool).size(), 3u) << "one file per trap after the reload";

  // A sender repeats an INFORM that a held snmptrapd does not acknowledge.
  auto inform = [&](const char* retries, const char* timeout) {
    return runProgram({"snmpinform", "-m", "", "-v", "2c", "-c", "public", "-r", retries, "-t",
                       timeout, receiver.address(), "", kTrapOid});
  };
  receiver.hold(true);
  EXPECT_NE(inform("3", "0.01"), 0) << "all four copies wait in the socket";
  receiver.hold(false);
  const std::string dropped = dir.file(".spool.staging/informs-dropped");
  ASSERT_TRUE(waitFor([&] { return readFile(dropped) == "3\n"; })) << receiver.log();
  ASSERT_EQ(inform("0", "10"), 0);
  ASSERT_TRUE(waitFor([&] { return listDirectory(spool).size() == 5; })) << receiver.log();
  EXPECT_EQ(readFile(dropped), "3\n") << "a new request id is spooled";
  EXPECT_NE(receiver.log().find("kivo-spool-handler.pl: INFORM, SNMPv2c community \"public\", "
                                "from UDP: [127.0.0.1]:"),
            std::string::npos)
      << receiver.log();
}

// snmptrapd runs as nobody: it may write the staging directory, not the spool.
TEST(InProcessSpoolHandler, UnwritableSpoolIsReportedAndSnmptrapdGoesOn) {
  TempDir dir;
  std::string spool = directory(dir, "spool"), staging = directory(dir, "staging", 0777);
  SnmpTrapReceiver receiver{
      dir, SnmpTrapReceiverSetup{"perl our $kivo_staging_directory = \"" + staging + "\";\n" +
                                     inProcessHandlerLines(spool + "/"),
                                 false,
                                 {"-u", "nobody", "-g", "nogroup"}}};
  ASSERT_EQ(sendValue(receiver, 1), 0);
  const std::regex report("kivo-spool-handler.pl: can't write spool file " + spool +
                          "/trap-[0-9]{19}-[0-9]+-0: Permission denied");
  ASSERT_TRUE(waitFor([&] { return std::regex_search(receiver.log(), report); })) << receiver.log();
  EXPECT_EQ(listDirectory(spool).size() + listDirectory(staging).size(), 0u)
      << "the staging file is removed";
  ::chmod(spool.c_str(), 0777);
  ASSERT_EQ(sendValue(receiver, 2), 0);
  ASSERT_TRUE(waitFor([&] { return listDirectory(spool).size() == 1; })) << receiver.log();
  EXPECT_EQ(firstValue(spool), "2");
}

// The shipped samples take traps of the community public only.
TEST(SnmptrapdSamples, EachHandsATrapToTheSpool) {
  const std::pair<const char*, std::pair<std::string, std::string>> cases[] = {
      {"snmptrapd-traphandle.conf.sample",
       {"/usr/local/bin/kivo-spool-handler", spoolHandlerBinary()}},
      {"snmptrapd-perl.conf.sample",
       {"/usr/share/kivo/kivo-spool-handler.pl", inProcessHandlerScript()}},
  };
  for (const auto& [sample, handler] : cases) {
    SCOPED_TRACE(sample);
    TempDir dir;
    std::string spool = directory(dir, "spool");
    std::string configuration = readFile(std::string(KIVO_SOURCE_DIR) + "/conf/" + sample);
    for (const auto& [from, to] :
         {std::make_pair(std::string("/var/spool/kivo/"), spool + "/"), handler}) {
      ASSERT_NE(configuration.find(from), std::string::npos) << from;
      configuration.replace(configuration.find(from), from.size(), to);
    }
    SnmpTrapReceiver receiver{dir, SnmpTrapReceiverSetup{configuration, false, {}, true}};
    ASSERT_EQ(runProgram({"snmptrap", "-m", "", "-v", "2c", "-c", "private", receiver.address(), "",
                          kTrapOid, ".1.3.6.1.4.1.99.9", "i", "1"}),
              0);
    ASSERT_EQ(sendValue(receiver, 2), 0);
    ASSERT_TRUE(waitFor([&] { return !listDirectory(spool).empty(); })) << receiver.log();
    ASSERT_EQ(listDirectory(spool).size(), 1u) << "the community private is not accepted";
    EXPECT_EQ(firstValue(spool), "2");
    EXPECT_EQ(receiver.log().find("Unknown token"), std::string::npos) << receiver.log();
  }
}

}  // namespace kivo
