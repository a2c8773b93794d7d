// kivo-spool-handler <spool directory>
//
// Run by the SNMP trap receiver for every trap: writes the trap from
// standard input as one complete file into the spool directory.
#include <unistd.h>

#include <iostream>
#include <string>

#include "trap/spoolHandler.h"

using kivo::handleTrap;

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::cerr << "usage: kivo-spool-handler <spool directory>" << std::endl;
    return 2;
  }
  std::string error;
  int status = handleTrap(STDIN_FILENO, argv[1], &error);
  if (status != 0) std::cerr << "kivo-spool-handler: " << error << std::endl;
  return status;
}
