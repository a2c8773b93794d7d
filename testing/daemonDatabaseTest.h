// A test fixture for the daemon's database functions: a fresh database, the
// global pgSQL connected to it, and the daemon's standard output captured
// from before the connection on. The globals that the functions fill
// (map_error, map_service_trap) start and end empty.
#ifndef KIVO_TESTING_DAEMONDATABASETEST_H
#define KIVO_TESTING_DAEMONDATABASETEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/base/daemonGlobals.h"
#include "support/pgSafeThread.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"
#include "testing/testDatabase.h"

namespace kivo {

class DaemonDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map_error.clear();
    map_service_trap.clear();
    pgSQL.reset(new pgSafeThread(database.connectionString()));
  }
  void TearDown() override {
    pgSQL.reset();
    map_error.clear();
    map_service_trap.clear();
  }

  // Every line written so far, system log lines without their timestamp.
  std::vector<std::string> lines() const { return logMessages(output.text()); }
  // The system log lines of level ERR.
  std::vector<std::string> errors() const {
    std::vector<std::string> kept;
    for (const std::string& line : lines()) {
      if (line.rfind("ERR#", 0) == 0) kept.push_back(line);
    }
    return kept;
  }
  // How many lines start with text, or are it when whole.
  int logged(const std::string& text, bool whole = true) const {
    int n = 0;
    for (const std::string& line : lines()) n += whole ? line == text : line.rfind(text, 0) == 0;
    return n;
  }

  CapturedOutput output;
  TestDatabase database;
};

}  // namespace kivo

#endif
