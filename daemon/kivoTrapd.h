// The trap daemon's entry point: the settings file it reads and its whole
// life, from start-up to the stop. Its globals are declared in
// daemon/base/daemonGlobals.h and defined in daemon/kivoTrapd.cpp.
#ifndef KIVO_DAEMON_KIVOTRAPD_H
#define KIVO_DAEMON_KIVOTRAPD_H

#include <string>

namespace kivo {

// The settings file: $KIVO_CONF when set and not empty, else
// /etc/kivo/kivo.conf.
std::string configurationPath();

// The whole life of the daemon (one kivo::Daemon's run): start-up, intake
// loop, stop. Returns the process's exit status: 0 after a stop on SIGTERM
// or SIGINT, 1 after a stop caused by a failure.
int kivoTrapdMain();

}  // namespace kivo

#endif
