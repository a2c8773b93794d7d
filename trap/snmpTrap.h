// One received SNMP trap, as read from a spool trap file.
//
// A spool trap file is text, one item per line: the sender's host name, the
// transport line ("UDP: [192.0.2.7]:161->[192.0.2.1]:162"), then one
// "name value" line per item: the trap OID, the uptime, the receive date and
// the variable bindings. snmpTrap is a plain value type: it is copied into and
// out of the trap queue and each thread works on its own copy, so it needs and
// has no locking.
#ifndef KIVO_TRAP_SNMPTRAP_H
#define KIVO_TRAP_SNMPTRAP_H

#include <sys/types.h>

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

// One variable binding: the name that opens its line, exactly as written,
// and the rest of the line without its leading and trailing double quotes.
struct trap_variable {
  std::string oid;
  std::string value;

  bool operator==(const trap_variable& other) const {
    return oid == other.oid && value == other.value;
  }
};

namespace kivo {

// Where a trap came from: its spool file, by name, path and identity. The
// file stays in the spool until the trap is done, and is then removed only
// if it is still the same file.
struct SpoolOrigin {
  std::string name;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

}  // namespace kivo

class snmpTrap {
 public:
  // The name of the line that carries the trap OID.
  static const char* const kTrapOidName;

  // Parses the spool trap file at path into this record. Only the fields for
  // which the file has a line are overwritten, and variables are appended.
  // Throws FileException "error open file" when the file cannot be opened.
  void read(std::string path);
  // Parses the text of a spool trap file, as read() parses the file.
  void readText(const std::string& text);

  // Whether the text of a spool trap file has the line of the trap OID: a
  // file without it is not complete (yet).
  static bool hasTrapOidLine(const std::string& text);

  // The record as spool trap file text that read() turns back into an equal
  // record.
  std::string toSpoolText() const;

  std::string getHost() const { return host; }
  std::string getHostAddr() const { return hostAddr; }
  std::string getPort() const { return port; }
  std::string getdateReceive() const { return dateReceive; }
  std::string getOid() const { return oid; }
  std::string getDeviceUptime() const { return deviceUptime; }
  std::vector<trap_variable> getVariables() const { return variables; }
  int getSize() const { return static_cast<int>(variables.size()); }

  // Value and OID of variable i, counted from 0. Throw
  // VariableNoFoundException for an index outside the variables.
  std::string getValue(int i) const;
  std::string getVariableOid(int i) const;

  // Writes host, port, date and OID to standard output.
  void show() const;

  // Compares the trap's fields; the origin is not part of the trap.
  bool operator==(const snmpTrap& other) const;

  const kivo::SpoolOrigin& origin() const { return origin_; }
  void setOrigin(kivo::SpoolOrigin origin) { origin_ = std::move(origin); }

  // A record that stands for the close of a service's fold window rather
  // than for a received trap: it carries the service's device address and
  // trap OID, so that it takes its place in the service's order.
  bool windowClose() const { return windowClose_; }
  int windowServiceId() const { return windowServiceId_; }
  void setWindowClose(std::string address, std::string trapOid, int serviceId) {
    hostAddr = std::move(address);
    oid = std::move(trapOid);
    windowClose_ = true;
    windowServiceId_ = serviceId;
  }

 private:
  void readLines(std::istream& in);
  void readTransportLine(const std::string& line);
  void readItemLine(const std::string& line);

  std::string host;
  std::string hostAddr;
  std::string port;
  std::string dateReceive;
  std::string oid;
  std::string deviceUptime;
  std::vector<trap_variable> variables;
  kivo::SpoolOrigin origin_;
  bool windowClose_ = false;
  int windowServiceId_ = 0;
};

#endif
