// A real snmptrapd on a loopback UDP port of its own that hands every trap
// to spool handlers, which write it into a spool directory. The holder
// stops it when it goes.
#ifndef KIVO_TESTING_SNMPTRAPRECEIVER_H
#define KIVO_TESTING_SNMPTRAPRECEIVER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "testing/tempDir.h"

namespace kivo {

// The snmptrapd.conf lines that hand every trap to the compiled spool
// handler, or to the in-process one, writing into spool.
std::string compiledHandlerLines(const std::string& spool);
std::string inProcessHandlerLines(const std::string& spool);

struct SnmpTrapReceiverSetup {
  std::string handlerLines;  // after the common ones: no authorization, numeric OIDs
  bool ipv6 = false;         // listens on [::1] too, on the same port
  std::vector<std::string> arguments;  // further snmptrapd arguments
  bool whole = false;  // without the common lines: handlerLines is the whole configuration
};

class SnmpTrapReceiver {
 public:
  // Starts snmptrapd with its files in dir.
  SnmpTrapReceiver(const TempDir& dir, const SnmpTrapReceiverSetup& setup);
  ~SnmpTrapReceiver();
  SnmpTrapReceiver(const SnmpTrapReceiver&) = delete;
  SnmpTrapReceiver& operator=(const SnmpTrapReceiver&) = delete;

  // "udp:127.0.0.1:<port>", the receiver's address for snmptrap.
  std::string address() const;
  // "udp6:[::1]:<port>", when listening there.
  std::string address6() const;
  // The receiver's own log.
  std::string log() const { return readFile(logPath_); }
  // SIGHUP: snmptrapd rereads dir/snmptrapd.conf and logs "restarted".
  void reload() const;
  // SIGSTOP or SIGCONT: a held snmptrapd reads nothing, its socket queues.
  void hold(bool held) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string logPath_;
};

// Runs snmptrap (v2c, community public) to address with the trap OID and
// "oid type value" triples; returns its exit status.
int sendTrap(const std::string& address, const std::string& trapOid,
             const std::vector<std::string>& variables);

// Runs a program with arguments and waits for it; returns its exit status
// (128 + signal for a killed one).
int runProgram(const std::vector<std::string>& arguments);

// The spool handler built beside the tests.
std::string spoolHandlerBinary();
// The in-process handler in the source tree.
std::string inProcessHandlerScript();

}  // namespace kivo

#endif
