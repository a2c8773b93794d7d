// One daemon under test, from its seed rows to its stop: a fresh database
// on the test cluster (or a database of a cluster of the test's own), a
// settings file with every path in a temporary directory, spool trap files
// published into its spool, the binary started and stopped, and its system
// log read and waited on.
//
// Tests add rows and settings, start the daemon, publish traps and wait for
// log lines or rows; the holder kills a daemon still running when it goes.
// Use it from one thread.
#ifndef KIVO_TESTING_DAEMONHARNESS_H
#define KIVO_TESTING_DAEMONHARNESS_H

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/daemonConfig.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

class OwnCluster;

// The real daemon binary as a child process of a test: KIVO_CONF points at
// the test's settings file, its standard output and error go to a file of
// the test. The holder kills and reaps it when it goes.
class DaemonProcess {
 public:
  struct Options {
    std::string configuration;  // value of KIVO_CONF
    std::string consoleFile;    // receives the process's stdout and stderr
    uid_t user = 0;             // run as this user when the test runs as root
    std::vector<std::string> environment;  // further NAME=value entries
    unsigned long fileLimit = 0;           // when not 0, the limit on open files
    std::vector<std::string> arguments;    // after the program's name
  };

  explicit DaemonProcess(const Options& options);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number);
  // Waits at most limit for the process to end; true when it did. The
  // status is then available from exitStatus().
  bool waitExit(std::chrono::milliseconds limit = std::chrono::seconds(30));
  bool exited() const { return reaped_; }
  // The exit code, or 128 + signal number for a killed process.
  int exitStatus() const { return status_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

// A variable binding of a trap: its OID and value, as the spool file has them.
using TrapVariables = std::vector<std::pair<std::string, std::string>>;

class DaemonHarness {
 public:
  DaemonHarness();
  DaemonHarness(const DaemonHarness&) = delete;
  DaemonHarness& operator=(const DaemonHarness&) = delete;

  // From now on the daemon and the seed rows use the database "kivo" of
  // server, made here; server must outlive the daemon.
  void useCluster(OwnCluster& server);
  // SQL on the daemon's database.
  void execute(const std::string& sql);
  std::vector<std::vector<std::string>> rows(const std::string& sql);
  std::string value(const std::string& sql);

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

  // Writes the settings (unless options name a file) and starts the daemon
  // with that many workers, waiting for nothing. Reconnection attempts come
  // every 200 ms at most, so that no outage test waits long.
  void launch(int workers, DaemonProcess::Options options = DaemonProcess::Options());
  // The same after removing the system log of an earlier run; fails the
  // test unless the daemon has loaded its services.
  void start(int workers);
  void start(int workers, DaemonProcess::Options options);
  // SIGTERM; returns the exit status, or -1 when the daemon did not end
  // within limit.
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Waits for a daemon that ends by itself; its exit status, or -1.
  int waitExit();

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
  std::string log() const { return readFile(config.systemLog); }
  // What the daemon wrote on its standard output and error.
  std::string console() const { return readFile(dir.file("console")); }
  // Names of the files in the spool directory.
  std::vector<std::string> spoolFiles() const { return listDirectory(config.spool); }

  // A file of the test data under daemon/testdata.
  static std::string testdata(const std::string& name);
  // The number of lines in a file; 0 when there is none.
  static size_t lines(const std::string& path) { return splitLines(readFile(path)).size(); }

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  std::unique_ptr<DaemonProcess> daemon;
  OwnCluster* cluster = nullptr;
};

// The dotted IPv4 address as kivo_device keeps it: one number, the first
// part most significant.
std::string addressNumber(const std::string& address);

}  // namespace kivo

#endif
