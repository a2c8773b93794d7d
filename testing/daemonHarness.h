// One daemon under test, from its seed rows to its stop: a fresh database
// on the test cluster (or one of a cluster of the test's own), a settings
// file with every path in a temporary directory, spool trap files, the
// binary started and stopped, and its system log read and waited on.
//
// The holder kills a daemon still running when it goes. Use it from one
// thread.
#ifndef KIVO_TESTING_DAEMONHARNESS_H
#define KIVO_TESTING_DAEMONHARNESS_H

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/daemonConfig.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

class OwnCluster;

// The daemon binary as a child process: KIVO_CONF names the settings file,
// standard output and error go to a file. The holder kills and reaps it.
class DaemonProcess {
 public:
  struct Options {
    std::string configuration;  // value of KIVO_CONF
    std::string consoleFile;    // receives the process's stdout and stderr
    uid_t user = 0;             // run as this user when the test runs as root
    unsigned long fileLimit = 0;           // when not 0, the limit on open files
    std::vector<std::string> arguments;    // after the program's name
  };

  explicit DaemonProcess(const Options& options);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  void signal(int number);
  // Waits at most limit for the process to end; true when it did, and
  // exitStatus() is then its exit code, or 128 + signal number.
  bool waitExit(std::chrono::milliseconds limit = std::chrono::seconds(30));
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

  // The daemon and the SQL below use the database "kivo" of server, made
  // here, from now on.
  void useCluster(OwnCluster& server);
  // SQL on the daemon's database; throws std::runtime_error when it fails.
  std::vector<std::vector<std::string>> rows(const std::string& sql);
  void execute(const std::string& sql) { rows(sql); }
  std::string value(const std::string& sql) { return rows(sql).at(0).at(0); }

  // Seed rows. addService gives the service a trap plug-in of its own,
  // addAlerting an alerting program for each error state.
  void addDevice(int id, const std::string& address);
  void addService(int id, int device, const std::string& oid, const std::string& plugin,
                  const std::string& parameter);
  void addAlerting(int service, const std::string& program, const std::string& parameter);

  // The text of a spool trap file from the device at address.
  static std::string trapText(const std::string& address, const std::string& oid,
                              const TrapVariables& variables, const std::string& host = "host");
  // The OID of service n's traps, and such a trap from 127.0.0.1 whose two
  // values a plug-in gets as $1 and $2, the second one quoted.
  static std::string oid(int service) { return ".1.3.6.1.4.1.99.0." + std::to_string(service); }
  static std::string serviceTrap(int service, const std::string& first, const std::string& second) {
    return trapText("127.0.0.1", oid(service),
                    {{".1.3.6.1.4.1.99.1", first}, {".1.3.6.1.4.1.99.2", "\"" + second + "\""}});
  }
  // Publishes text into the spool under name, complete when it appears.
  void spool(const std::string& name, const std::string& text);

  void set(const std::string& section, const std::map<std::string, std::string>& values) {
    for (const auto& value : values) config.entries[section][value.first] = value.second;
  }
  // Writes the settings (unless options name a file) and starts the daemon
  // with that many workers.
  void launch(int workers, DaemonProcess::Options options = DaemonProcess::Options());
  // The same without the system log of an earlier run; fails the test
  // unless the daemon loads its services.
  void start(int workers, DaemonProcess::Options options = DaemonProcess::Options());
  // SIGTERM; the exit status, or -1 when the daemon did not end within limit.
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // The exit status of a daemon that ends by itself, or -1.
  int waitExit() { return daemon->waitExit() ? daemon->exitStatus() : -1; }

  // Writes the settings and runs the binary with arguments (a command such
  // as --check) to its end: its exit status, or -1 after 30 s; output gets
  // its standard output and error.
  int runCommand(const std::vector<std::string>& arguments, std::string* output);

  // System log messages (without their time stamp) that start with prefix.
  int count(const std::string& prefix) const;
  // Waits until at least n such messages are there.
  bool waitForLog(const std::string& prefix, int n = 1,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  std::string log() const { return readFile(config.systemLog); }
  std::string console() const { return readFile(dir.file("console")); }
  std::vector<std::string> spoolFiles() const { return listDirectory(config.spool); }

  // A file of the test data under daemon/testdata.
  static std::string testdata(const std::string& name);
  static size_t lines(const std::string& path) { return splitLines(readFile(path)).size(); }

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  std::unique_ptr<DaemonProcess> daemon;

 private:
  std::string clusterDatabase_;  // connection string, when useCluster was called
};

}  // namespace kivo

#endif
