#include "daemon/metrics/databaseProbe.h"

#include <gtest/gtest.h>

namespace kivo {

TEST(DatabaseProbe, KeepsTheConnectionStringWithinItsOwnTimeout) {
  struct Case {
    const char* connectTimeout;
    int timeout;
    std::string kept;
  } cases[] = {{"5", 10, "5"}, {"30", 10, "10"}, {"1", 10, "2"}, {"0", 1, "2"}};
  for (const Case& c : cases) {
    DatabaseProbe probe(std::string("host=db1 connect_timeout=") + c.connectTimeout, c.timeout);
    std::vector<std::string> parameters;
    for (size_t i = 0; i < probe.keywords().size(); ++i) {
      parameters.push_back(probe.keywords()[i] + "=" + probe.values()[i]);
    }
    EXPECT_EQ(parameters, (std::vector<std::string>{"host=db1", "connect_timeout=" + c.kept}))
        << c.connectTimeout;
  }
}

}  // namespace kivo
