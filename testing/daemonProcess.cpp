#include "testing/daemonProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "testing/daemonConfig.h"
#include "testing/tempDir.h"

namespace kivo {

std::string daemonBinary() { return KIVO_BINARY; }

DaemonProcess::DaemonProcess(const Options& options) {
  // Everything the child needs is prepared before the fork.
  std::string binary = daemonBinary();
  std::string configuration = "KIVO_CONF=" + options.configuration;
  std::vector<std::string> environment = options.environment;
  environment.push_back(configuration);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string(*entry).rfind("KIVO_CONF=", 0) != 0) environment.push_back(*entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<std::string> arguments = options.arguments;
  std::vector<char*> argv = {&binary[0]};
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  int console = ::open(options.consoleFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (console < 0) throw std::runtime_error("cannot open " + options.consoleFile);
  bool switchUser = options.user != 0 && ::geteuid() == 0;
  struct rlimit files = {options.fileLimit, options.fileLimit};

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(console, STDOUT_FILENO);
    ::dup2(console, STDERR_FILENO);
    ::setpgid(0, 0);
    // A test process that dies, killed at its time limit say, takes the
    // daemon with it: no daemon is left spinning in a group of its own.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (options.fileLimit != 0 && ::setrlimit(RLIMIT_NOFILE, &files) != 0) _exit(125);
    if (switchUser && (::setgid(options.user) != 0 || ::setuid(options.user) != 0)) _exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(console);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

namespace {

DaemonProcess::Options optionsFor(const std::string& configuration,
                                  const std::string& consoleFile) {
  DaemonProcess::Options options;
  options.configuration = configuration;
  options.consoleFile = consoleFile;
  return options;
}

}  // namespace

DaemonProcess::DaemonProcess(const std::string& configuration, const std::string& consoleFile)
    : DaemonProcess(optionsFor(configuration, consoleFile)) {}

DaemonProcess::~DaemonProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void DaemonProcess::signal(int number) {
  if (!reaped_) ::kill(pid_, number);
}

bool DaemonProcess::waitExit(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!reaped_) {
    int status;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool startLoadedDaemon(const DaemonConfig& config, const std::string& consoleFile,
                       std::unique_ptr<DaemonProcess>& daemon) {
  config.write();
  ::unlink(config.systemLog.c_str());
  daemon.reset(new DaemonProcess(config.path, consoleFile));
  return waitFor([&] { return config.count("INFO#load Trap service ") == 1; });
}

}  // namespace kivo
