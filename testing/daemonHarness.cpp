#include "testing/daemonHarness.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/spoolFile.h"

namespace kivo {

std::string addressNumber(const std::string& address) {
  in_addr parsed;
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return "0";
  return std::to_string(ntohl(parsed.s_addr));
}

DaemonHarness::DaemonHarness() { config.useDatabase(database); }

void DaemonHarness::addDevice(int id, const std::string& address) {
  database.execute("INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (" +
                   std::to_string(id) + ", " + addressNumber(address) + ")");
}

void DaemonHarness::addService(int id, int device, const std::string& oid,
                               const std::string& plugin, const std::string& parameter) {
  const std::string key = std::to_string(id);
  database.execute("INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid) "
                   "VALUES (" + key + ", " + sqlQuoted(plugin) + ", 'trap', " + sqlQuoted(oid) + ");"
                   "INSERT INTO kivo_services(service_id, service_name, service_parameter, "
                   "service_plugin_id, service_device_id) VALUES (" + key + ", " +
                   sqlQuoted("service " + key) + ", " + sqlQuoted(parameter) + ", " + key + ", " +
                   std::to_string(device) + ")");
}

void DaemonHarness::addAlerting(int service, const std::string& program,
                                const std::string& parameter, bool unknown, bool warning,
                                bool critical) {
  const std::string key = std::to_string(service);
  auto flag = [](bool on) { return on ? std::string("true") : std::string("false"); };
  database.execute("INSERT INTO kivo_program(program_id, program_path) VALUES (" + key + ", " +
                   sqlQuoted(program) + ");"
                   "INSERT INTO kivo_service_response_program(response_service_id, "
                   "response_program_id, response_unknown, response_warning, response_critical, "
                   "response_parameter) VALUES (" + key + ", " + key + ", " + flag(unknown) + ", " +
                   flag(warning) + ", " + flag(critical) + ", " + sqlQuoted(parameter) + ")");
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

void DaemonHarness::start(int workers) { start(workers, DaemonProcess::Options()); }

void DaemonHarness::start(int workers, DaemonProcess::Options options) {
  config.entries["KIVO"]["thread_number"] = std::to_string(workers);
  config.write();
  // The log of an earlier run answers no wait of this one.
  ::unlink(config.systemLog.c_str());
  options.configuration = config.path;
  options.consoleFile = dir.file("console");
  daemon.reset(new DaemonProcess(options));
  ASSERT_TRUE(waitForLog("INFO#load Trap service "))
      << readFile(config.systemLog) << readFile(dir.file("console"));
}

int DaemonHarness::stop(std::chrono::milliseconds limit) {
  daemon->signal(SIGTERM);
  if (!daemon->waitExit(limit)) return -1;
  return daemon->exitStatus();
}

int DaemonHarness::runCommand(const std::vector<std::string>& arguments, std::string* output,
                              uid_t user) {
  config.write();
  DaemonProcess::Options options;
  options.configuration = config.path;
  options.consoleFile = dir.file("command");
  options.arguments = arguments;
  options.user = user;
  DaemonProcess command(options);
  int status = command.waitExit() ? command.exitStatus() : -1;
  *output = readFile(options.consoleFile);
  return status;
}

int DaemonHarness::count(const std::string& prefix) const {
  int found = 0;
  for (const std::string& line : config.messages()) found += line.compare(0, prefix.size(), prefix) == 0;
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
