// A test fixture for the daemon's database functions: a fresh database, the
// global pgSQL connected to it, and the daemon's standard output captured
// from before the connection on. The globals that the functions fill
// (map_error, map_service_trap) start and end empty.
#ifndef KIVO_TESTING_DAEMONDATABASETEST_H
#define KIVO_TESTING_DAEMONDATABASETEST_H

#include <gtest/gtest.h>

#include <string>

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

  // How many lines written so far (system log lines without their
  // timestamp) start with text, or are it when whole.
  int logged(const std::string& text, bool whole = true) const {
    int n = 0;
    for (const std::string& line : logMessages(output.text())) {
      n += whole ? line == text : line.rfind(text, 0) == 0;
    }
    return n;
  }

  CapturedOutput output;
  TestDatabase database;
};

}  // namespace kivo

#endif
