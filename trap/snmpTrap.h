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

#include <string>
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

class snmpTrap {
 public:
  // The name of the line that carries the trap OID.
  static const char* const kTrapOidName;

  // Parses the spool trap file at path into this record. Only the fields for
  // which the file has a line are overwritten, and variables are appended.
  // Throws FileException "error open file" when the file cannot be opened.
  void read(std::string path);

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

  bool operator==(const snmpTrap& other) const;

 private:
  void readTransportLine(const std::string& line);
  void readItemLine(const std::string& line);

  std::string host;
  std::string hostAddr;
  std::string port;
  std::string dateReceive;
  std::string oid;
  std::string deviceUptime;
  std::vector<trap_variable> variables;
};

#endif
