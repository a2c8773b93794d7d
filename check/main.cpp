// check_kivotrapd: the monitoring plug-in that watches kivoTrapD through its
// metrics. See man/check_kivotrapd.8.
#include <iostream>
#include <string>
#include <vector>

#include "check/checkKivotrapd.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return kivo::runCheck(arguments, std::cout);
}
