#include "testing/snmpTrapReceiver.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace kivo {

namespace {

// A UDP port that is free on loopback at this moment.
int freeUdpPort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free UDP port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// Starts a program found on the PATH, its output appended to output unless
// that is empty.
pid_t spawn(std::vector<std::string> arguments, const std::string& output) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  pid_t pid = -1;
  int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + arguments[0]);
  return pid;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

std::string spoolHandlerBinary() { return KIVO_SPOOL_HANDLER; }

std::string inProcessHandlerScript() {
  return std::string(KIVO_SOURCE_DIR) + "/receiver/kivo-spool-handler.pl";
}

std::string compiledHandlerLines(const std::string& spool) {
  return "traphandle default " + spoolHandlerBinary() + " " + spool + "\n";
}

std::string inProcessHandlerLines(const std::string& spool) {
  return "perl our $kivo_spool_directory = \"" + spool + "\";\nperl do \"" +
         inProcessHandlerScript() + "\";\n";
}

SnmpTrapReceiver::SnmpTrapReceiver(const TempDir& dir, const SnmpTrapReceiverSetup& setup)
    : logPath_(dir.file("snmptrapd.log")) {
  std::string configuration = dir.file("snmptrapd.conf");
  writeFile(configuration, (setup.whole ? "" : "disableAuthorization yes\noutputOption n\n") +
                               setup.handlerLines);
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = freeUdpPort();
    writeFile(logPath_, "");
    std::vector<std::string> arguments = {"snmptrapd", "-f", "-m", "", "-C", "-c",
                                          configuration, "-Lf", logPath_};
    arguments.insert(arguments.end(), setup.arguments.begin(), setup.arguments.end());
    arguments.push_back(address());
    if (setup.ipv6) arguments.push_back(address6());
    pid_ = spawn(arguments, dir.file("snmptrapd.out"));
    // snmptrapd writes its version line once it listens.
    if (waitFor([&] { return log().find("NET-SNMP version") != std::string::npos; },
                std::chrono::seconds(10))) {
      return;
    }
    ::kill(pid_, SIGKILL);
    reap(pid_);
  }
  throw std::runtime_error("snmptrapd did not start: " + log());
}

SnmpTrapReceiver::~SnmpTrapReceiver() {
  hold(false);
  ::kill(pid_, SIGTERM);
  if (!waitFor([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; },
               std::chrono::seconds(10))) {
    ::kill(pid_, SIGKILL);
    reap(pid_);
  }
}

void SnmpTrapReceiver::reload() const { ::kill(pid_, SIGHUP); }

void SnmpTrapReceiver::hold(bool held) const { ::kill(pid_, held ? SIGSTOP : SIGCONT); }

std::string SnmpTrapReceiver::address() const { return "udp:127.0.0.1:" + std::to_string(port_); }

std::string SnmpTrapReceiver::address6() const { return "udp6:[::1]:" + std::to_string(port_); }

int runProgram(const std::vector<std::string>& arguments) { return reap(spawn(arguments, "")); }

int sendTrap(const std::string& address, const std::string& trapOid,
             const std::vector<std::string>& variables) {
  std::vector<std::string> arguments = {"snmptrap", "-m", "", "-c", "public", "-v", "2c",
                                        address,    "",   trapOid};
  arguments.insert(arguments.end(), variables.begin(), variables.end());
  return runProgram(arguments);
}

}  // namespace kivo
