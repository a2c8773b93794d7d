#include "testing/daemonHarness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/spoolFile.h"
#include "testing/ownCluster.h"

namespace kivo {

DaemonProcess::DaemonProcess(const Options& options) {
  // Everything the child needs is prepared before the fork; reconnections
  // are 200 ms apart at most.
  std::vector<std::string> environment = {"KIVO_CONF=" + options.configuration,
                                          "KIVO_TEST_RECONNECT_MAX_MS=200"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string(*entry).rfind("KIVO_CONF=", 0) != 0) environment.push_back(*entry);
  }
  std::vector<std::string> arguments = options.arguments;
  arguments.insert(arguments.begin(), KIVO_BINARY);
  std::vector<char*> envp, argv;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  envp.push_back(nullptr);
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
  return waitFor(
      [&] {
        int status;
        if (reaped_ || ::waitpid(pid_, &status, WNOHANG) != pid_) return reaped_;
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      },
      limit);
}

DaemonHarness::DaemonHarness() { config.useDatabase(database); }

void DaemonHarness::useCluster(OwnCluster& server) {
  server.createDatabase("kivo");
  clusterDatabase_ = server.connectionString("kivo");
  config.entries["POSTGRESQL"]["PGSQL_host"] = server.socket();
  config.entries["POSTGRESQL"]["PGSQL_port"] = server.port();
  config.entries["POSTGRESQL"]["PGSQL_db"] = "kivo";
}

std::vector<std::vector<std::string>> DaemonHarness::rows(const std::string& sql) {
  if (clusterDatabase_.empty()) return database.rows(sql);
  // A connection each time: the test may have restarted the server.
  PgConnection connection = connectTest(clusterDatabase_);
  return resultRows(runTestSql(connection.get(), sql).get());
}

void DaemonHarness::addDevice(int id, const std::string& address) {
  in_addr parsed;  // kivo_device keeps one number, the first part most significant
  ASSERT_EQ(::inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
  execute("INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (" + std::to_string(id) +
          ", " + std::to_string(ntohl(parsed.s_addr)) + ")");
}

void DaemonHarness::addService(int id, int device, const std::string& oid,
                               const std::string& plugin, const std::string& parameter) {
  const std::string key = std::to_string(id);
  execute("INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid) "
          "VALUES (" + key + ", " + sqlQuoted(plugin) + ", 'trap', " + sqlQuoted(oid) + ");"
          "INSERT INTO kivo_services(service_id, service_name, service_parameter, "
          "service_plugin_id, service_device_id) VALUES (" + key + ", " +
          sqlQuoted("service " + key) + ", " + sqlQuoted(parameter) + ", " + key + ", " +
          std::to_string(device) + ")");
}

void DaemonHarness::addAlerting(int service, const std::string& program,
                                const std::string& parameter) {
  const std::string key = std::to_string(service);
  execute("INSERT INTO kivo_program(program_id, program_path) VALUES (" + key + ", " +
          sqlQuoted(program) + ");"
          "INSERT INTO kivo_service_response_program(response_service_id, "
          "response_program_id, response_unknown, response_warning, response_critical, "
          "response_parameter) VALUES (" + key + ", " + key + ", true, true, true, " +
          sqlQuoted(parameter) + ")");
}

std::string DaemonHarness::trapText(const std::string& address, const std::string& oid,
                                    const TrapVariables& variables, const std::string& host) {
  std::string text = host + "\nUDP: [" + address + "]:161->[127.0.0.1]:162\n"
                     ".1.3.6.1.2.1.1.3.0 0:0:00:01.00\n.1.3.6.1.6.3.1.1.4.1.0 " + oid + "\n";
  for (const auto& variable : variables) text += variable.first + " " + variable.second + "\n";
  return text + "date 2026-12-07 10:00:00\n";
}

void DaemonHarness::spool(const std::string& name, const std::string& text) {
  ASSERT_TRUE(publishFile(config.spool + name, text)) << name << " exists already";
}

void DaemonHarness::launch(int workers, DaemonProcess::Options options) {
  config.entries["KIVO"]["thread_number"] = std::to_string(workers);
  if (options.configuration.empty()) {
    config.write();
    options.configuration = config.path;
  }
  options.consoleFile = dir.file("console");
  daemon.reset();
  daemon.reset(new DaemonProcess(options));
}

void DaemonHarness::start(int workers, DaemonProcess::Options options) {
  // The log of an earlier run answers no wait of this one.
  ::unlink(config.systemLog.c_str());
  launch(workers, options);
  ASSERT_TRUE(waitForLog("INFO#load Trap service ")) << log() << console();
}

int DaemonHarness::stop(std::chrono::milliseconds limit) {
  daemon->signal(SIGTERM);
  return daemon->waitExit(limit) ? daemon->exitStatus() : -1;
}

int DaemonHarness::runCommand(const std::vector<std::string>& arguments, std::string* output) {
  config.write();
  DaemonProcess::Options options;
  options.configuration = config.path;
  options.consoleFile = dir.file("command");
  options.arguments = arguments;
  DaemonProcess command(options);
  int status = command.waitExit() ? command.exitStatus() : -1;
  *output = readFile(options.consoleFile);
  return status;
}

int DaemonHarness::count(const std::string& prefix) const {
  int found = 0;
  for (const std::string& line : config.messages()) found += line.rfind(prefix, 0) == 0;
  return found;
}

bool DaemonHarness::waitForLog(const std::string& prefix, int n,
                               std::chrono::milliseconds limit) const {
  return waitFor([&] { return count(prefix) >= n; }, limit);
}

std::string DaemonHarness::testdata(const std::string& name) {
  return std::string(KIVO_SOURCE_DIR) + "/daemon/testdata/" + name;
}

}  // namespace kivo
