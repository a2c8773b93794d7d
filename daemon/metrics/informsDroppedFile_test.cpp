// The spool handler's count of dropped INFORM copies, as the metrics read it.
#include "daemon/metrics/informsDroppedFile.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "check/metricsText.h"
#include "support/metrics.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

// Missing is 0, a bad file keeps the last count and is told once, a count
// that fell adds its whole value.
TEST(InformsDroppedFile, FollowsTheHandlersCount) {
  CapturedOutput output;
  TempDir dir;
  Metrics metrics;
  const std::string path = dir.file("informs-dropped");
  InformsDroppedFile file(path);
  const struct {
    const char* content;  // null: no file
    int total;
  } steps[] = {{nullptr, 0}, {"7\n", 7}, {"8x\n", 7}, {"", 7}, {"9", 9}, {"3\n", 12}, {nullptr, 12}};
  for (const auto& step : steps) {
    step.content != nullptr ? writeFile(path, step.content) : (void)::unlink(path.c_str());
    file.refresh(metrics);
    EXPECT_EQ(parseMetricsText(metrics.text())["kivotrapd_informs_dropped_total"], step.total)
        << (step.content != nullptr ? step.content : "no file");
  }
  EXPECT_EQ(logMessages(output.text()),
            (std::vector<std::string>{"ERR#can't read dropped INFORM count " + path +
                                          ": no count in \"8x\\n\"",
                                      "INFO#dropped INFORM count " + path + " read again"}));
}

}  // namespace kivo
