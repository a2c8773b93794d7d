// The real daemon binary as a child process of a test.
//
// The holder starts the binary with KIVO_CONF pointing at a test's settings
// file, its standard output and error in a file of the test, and kills and
// reaps it when it goes, so that no test leaves a daemon behind.
#ifndef KIVO_TESTING_DAEMONPROCESS_H
#define KIVO_TESTING_DAEMONPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace kivo {

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
  // The daemon on the settings file configuration, its console in
  // consoleFile.
  DaemonProcess(const std::string& configuration, const std::string& consoleFile);
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

// The binary under test, built beside the tests.
std::string daemonBinary();

struct DaemonConfig;

// Writes config and starts the daemon on it, its console in consoleFile,
// into daemon; true once the daemon has loaded its services. The system log
// of an earlier run goes first, so that it answers no wait of this one.
bool startLoadedDaemon(const DaemonConfig& config, const std::string& consoleFile,
                       std::unique_ptr<DaemonProcess>& daemon);

}  // namespace kivo

#endif
