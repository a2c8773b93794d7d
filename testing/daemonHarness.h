// One daemon under test, from its seed rows to its stop: a fresh database
// on the test cluster, a settings file with every path in a temporary
// directory, spool trap files published into its spool, the binary started
// and stopped, and its system log read and waited on.
//
// Tests add rows and settings, start the daemon, publish traps and wait for
// log lines or rows; the holder kills a daemon still running when it goes.
// Use it from one thread.
#ifndef KIVO_TESTING_DAEMONHARNESS_H
#define KIVO_TESTING_DAEMONHARNESS_H

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

// A variable binding of a trap: its OID and value, as the spool file has them.
using TrapVariables = std::vector<std::pair<std::string, std::string>>;

class DaemonHarness {
 public:
  DaemonHarness();
  DaemonHarness(const DaemonHarness&) = delete;
  DaemonHarness& operator=(const DaemonHarness&) = delete;

  // Seed rows. addService gives the service a trap plug-in of its own.
  void addDevice(int id, const std::string& address);
  void addService(int id, int device, const std::string& oid, const std::string& plugin,
                  const std::string& parameter);
  void addAlerting(int service, const std::string& program, const std::string& parameter,
                   bool unknown, bool warning, bool critical);

  // The text of a spool trap file from the device at address.
  static std::string trapText(const std::string& address, const std::string& oid,
                              const TrapVariables& variables, const std::string& host = "host");
  // Publishes text into the spool under name, complete when it appears.
  void spool(const std::string& name, const std::string& text);

  // Writes the settings and starts the daemon with that many workers;
  // fails the test unless it has loaded its services.
  void start(int workers);
  void start(int workers, DaemonProcess::Options options);
  // SIGTERM; returns the exit status, or -1 when the daemon did not end
  // within limit.
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(30));

  // Writes the settings and runs the binary with arguments (a command such
  // as --check) as user (0: this process's), to its end. Returns the exit
  // status, or -1 when it did not end within 30 s; output gets what it
  // wrote on standard output and error.
  int runCommand(const std::vector<std::string>& arguments, std::string* output,
                 uid_t user = 0);

  // System log messages (without their time stamp) that start with prefix.
  int count(const std::string& prefix) const;
  // Waits until at least n such messages are there.
  bool waitForLog(const std::string& prefix, int n = 1,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // Names of the files in the spool directory.
  std::vector<std::string> spoolFiles() const { return listDirectory(config.spool); }

  // A file of the test data under daemon/testdata.
  static std::string testdata(const std::string& name);

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  std::unique_ptr<DaemonProcess> daemon;
};

// The dotted IPv4 address as kivo_device keeps it: one number, the first
// part most significant.
std::string addressNumber(const std::string& address);

}  // namespace kivo

#endif
