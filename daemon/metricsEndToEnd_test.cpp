// The daemon binary seen from outside through its metrics: the file after a
// handful of traps of every outcome, and the listener under a crowd of
// connections that never send a whole request. Every interval and limit is
// set small.
#include <arpa/inet.h>
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

namespace kivo {

namespace {

const char* const kServedPrefix = "INFO#metrics served on http://127.0.0.1:";

// The listener's port, from the daemon's line; 0 when it never says.
int servedPort(DaemonHarness& h) {
  int port = 0;
  waitFor([&] {
    for (const std::string& line : h.config.messages()) {
      if (line.rfind(kServedPrefix, 0) == 0) port = ::atoi(line.c_str() + strlen(kServedPrefix));
    }
    return port > 0;
  });
  return port;
}

TEST(MetricsEndToEndThreadTest, TheFileCountsTheTrapsOfEveryOutcome) {
  DaemonHarness h;
  const std::string metricsFile = h.dir.file("kivotrapd.prom");
  h.set("KIVO", {{"metrics_file", metricsFile}, {"metrics_interval", "1"}, {"plugin_timeout", "1"}});
  // Service 1 exits with the trap's first value and alerts on a critical
  // result, not on a warning; service 2 sleeps beyond plugin_timeout and its alerting program
  // for the unknown result cannot be started; .2 has no service.
  h.addDevice(1, "127.0.0.1");
  h.addService(1, 1, ".1.3.6.1.4.1.99.0.1", "/bin/sh", "-c \"exit $1\"");
  h.addAlerting(1, "/bin/true", "$ERROR", false, false, true);
  h.addService(2, 1, ".1.3.6.1.4.1.99.0.3", "/bin/sleep", "30");
  h.addAlerting(2, "/nonexistent/alerting-program", "$ERROR", true, false, false);
  h.start(1);
  const std::pair<const char*, const char*> traps[] = {
      {".1.3.6.1.4.1.99.0.1", "1"}, {".1.3.6.1.4.1.99.0.1", "2"}, {".1.3.6.1.4.1.99.0.2", "0"},
      {".1.3.6.1.4.1.99.0.1", "7"}, {".1.3.6.1.4.1.99.0.3", "0"}};
  for (int i = 0; i < 5; ++i) {
    h.spool("trap-" + std::to_string(i),
            DaemonHarness::trapText("127.0.0.1", traps[i].first,
                                    {{".1.3.6.1.4.1.99.1", traps[i].second}}));
  }
  const std::map<std::string, double> expected = {
      {"traps_taken_total", 5}, {"traps_done_total{outcome=\"run\"}", 3},
      {"traps_done_total{outcome=\"no_service\"}", 1},
      {"traps_done_total{outcome=\"plugin_failed\"}", 1}, {"plugin_exits_total{code=\"0\"}", 0},
      {"plugin_exits_total{code=\"1\"}", 1}, {"plugin_exits_total{code=\"2\"}", 1},
      {"plugin_exits_total{code=\"3\"}", 0}, {"plugin_exits_total{code=\"4\"}", 0},
      {"plugin_timeouts_total", 1}, {"plugin_duration_seconds_count", 4},
      {"alerts_total{result=\"ok\"}", 1}, {"alerts_total{result=\"failed\"}", 1},
      {"spool_files", 0}, {"spool_oldest_file_timestamp_seconds", 0}, {"traps_in_memory", 0},
      {"workers", 1}, {"workers_busy", 0}, {"database_up", 1}, {"services", 2},
      {"build_info{version=\"1.0.0\"}", 1},
  };
  auto fileSamples = [&] { return parseMetricsText(readFile(metricsFile)); };
  ASSERT_TRUE(waitFor([&] {
    MetricSamples samples = fileSamples();
    for (const auto& [name, value] : expected) {
      auto found = samples.find("kivotrapd_" + name);
      if (found == samples.end() || found->second != value) return false;
    }
    return true;
  })) << readFile(metricsFile) << h.log();
  EXPECT_EQ(h.stop(), 0);
  EXPECT_EQ(fileSamples()["kivotrapd_workers"], 0) << "the last file, after the workers";
}

// Far more connections than the listener has threads, each idle or stopped
// in the middle of its request line, are held while one scrape comes.
TEST(MetricsListenerTest, AnswersBesideHeldConnections) {
  const int kHeld = 500;
  unsigned long fileLimit = 0;
  ASSERT_EQ(raiseOpenFileLimit(&fileLimit), 0);
  ASSERT_GT(fileLimit, kHeld + 100UL);
  DaemonHarness h;
  h.set("KIVO", {{"metrics_listen", "127.0.0.1:0"}});
  h.start(1);
  int port = servedPort(h);
  ASSERT_GT(port, 0) << h.log();
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
  EXPECT_TRUE(served.ok) << served.error;
  EXPECT_EQ(h.stop(), 0);
}

}  // namespace

}  // namespace kivo
