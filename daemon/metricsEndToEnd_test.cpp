// The daemon binary seen from outside through its metrics: the file and
// the listener, under a crowd of connections that never send a whole
// request, after traps that meet the limits of the settings, one of them
// come the whole way as on a machine: snmptrap, a real snmptrapd on
// loopback and its compiled spool handler. Every interval and limit is set
// small.
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "check/metricsSource.h"
#include "check/metricsText.h"
#include "support/posixIo.h"
#include "testing/daemonHarness.h"
#include "testing/snmpTrapReceiver.h"

namespace kivo {

namespace {

const char* const kServedPrefix = "INFO#metrics served on http://127.0.0.1:";

// The limits reach the runs from the settings, and the file counts what
// the parts of the daemon did; what each limit does and what each count
// counts are shown by the programs' runner, the trap's handling and the
// metrics themselves. Far more connections than the listener has threads,
// each idle or stopped in the middle of its request line, are held while
// one scrape comes. Not a thread test: under ThreadSanitizer the listener's
// threads answer too slowly for the held connections' timeouts; the
// metrics file's writer runs under it in the outage tests.
TEST(MetricsEndToEndTest, LimitsReachTheRunsTheFileCountsThemAndTheListenerAnswers) {
  const int kHeld = 500;
  unsigned long fileLimit = 0;
  ASSERT_EQ(raiseOpenFileLimit(&fileLimit), 0);
  ASSERT_GT(fileLimit, kHeld + 100UL);
  DaemonHarness h;
  const std::string metricsFile = h.dir.file("kivotrapd.prom");
  h.set("KIVO", {{"metrics_file", metricsFile}, {"metrics_interval", "1"},
                 {"metrics_listen", "127.0.0.1:0"}, {"plugin_timeout", "1"},
                 {"alerting_timeout", "1"}, {"plugin_output_max", "1000"}});
  h.addDevice(1, "127.0.0.1");
  h.addService(1, 1, DaemonHarness::oid(1), "/bin/sleep", "30");
  h.addService(2, 1, DaemonHarness::oid(2), DaemonHarness::testdata("print_bytes.sh"), "$1 $2");
  h.addService(3, 1, DaemonHarness::oid(3), "/usr/lib/nagios/plugins/check_dummy", "$1 $2");
  h.addAlerting(3, "/bin/sh", "-c \"sleep 30\" $ERROR");
  h.spool("trap-1", DaemonHarness::serviceTrap(1, "0", "0"));
  h.spool("trap-2", DaemonHarness::serviceTrap(2, "100000000", "2"));
  SnmpTrapReceiver receiver{h.dir,
                            SnmpTrapReceiverSetup{compiledHandlerLines(h.config.spool), false, {}}};
  h.start(1);
  ASSERT_EQ(sendTrap(receiver.address(), DaemonHarness::oid(3),
                     {".1.3.6.1.4.1.99.1", "i", "2", ".1.3.6.1.4.1.99.2", "s", "full"}),
            0);
  ASSERT_TRUE(h.waitForLog("ERR#alerting program of service service 3 timed out after 1 s: "))
      << h.log();
  ASSERT_TRUE(h.waitForLog(kServedPrefix)) << h.log();
  int port = 0;  // from the daemon's line
  for (const std::string& line : h.config.messages()) {
    if (line.rfind(kServedPrefix, 0) == 0) port = ::atoi(line.c_str() + strlen(kServedPrefix));
  }
  sockaddr_in listener = {};
  listener.sin_family = AF_INET;
  listener.sin_port = htons(static_cast<uint16_t>(port));
  listener.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<FileDescriptor> held;
  for (int i = 0; i < kHeld; ++i) {
    held.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(held.back().valid());
    // A full backlog would hold connect(): give up on it after a second.
    timeval second = {1, 0};
    ::setsockopt(held.back().get(), SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
    int connected =
        ::connect(held.back().get(), reinterpret_cast<sockaddr*>(&listener), sizeof listener);
    ASSERT_EQ(connected, 0) << "connection " << i << ": " << errnoText(errno);
    if (i % 2 == 1) {
      ASSERT_EQ(::send(held.back().get(), "GET /metr", 9, MSG_NOSIGNAL), 9);
    }
  }
  // Answered within a second; the margin is for a loaded machine.
  MetricsRead served = fetchMetrics(metricsUrl("127.0.0.1", port), 2);
  ASSERT_TRUE(served.ok) << served.error;
  EXPECT_EQ(parseMetricsText(served.text)["kivotrapd_traps_taken_total"], 3) << served.text;
  held.clear();
  EXPECT_EQ(h.stop(), 0);
  EXPECT_EQ(h.rows("SELECT happen_message FROM kivo_error_happen ORDER BY happen_service_id"),
            (std::vector<std::vector<std::string>>{{"plug-in timed out after 1 s"},
                                                   {std::string(1000, 'x')},
                                                   {"CRITICAL: full\n"}}));
  // The last file, written after the workers ended.
  const std::map<std::string, double> expected = {
      {"traps_done_total{outcome=\"run\"}", 3}, {"plugin_exits_total{code=\"2\"}", 2},
      {"plugin_timeouts_total", 1}, {"alerts_total{result=\"timed_out\"}", 1},
      {"workers", 0}, {"database_up", 1}, {"services", 3},
  };
  MetricSamples samples = parseMetricsText(readFile(metricsFile));
  for (const auto& [name, value] : expected) {
    EXPECT_EQ(samples["kivotrapd_" + name], value) << name << "\n" << readFile(metricsFile);
  }
}

}  // namespace

}  // namespace kivo
