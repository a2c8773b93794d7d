#include "daemon/kivoTrapd.h"

#include <stdlib.h>

#include "daemon/base/daemonGlobals.h"
#include "daemon/daemon.h"
#include "support/logFile.h"
#include "support/pgSafeThread.h"

std::atomic<int> die_kivo{0};
timespec temps = {0, 0};
std::string spoolDirectory;
std::string trap_pqueue_file;
int log_enable = 1;
std::unique_ptr<pgSafeThread> pgSQL;
std::map<std::string, std::string> map_error;
std::unique_ptr<logFile> flog_trap_receive;
std::mutex mutex_log_trap;
MapTrapService map_service_trap;
std::vector<thread_kivo> vec_thread;
std::mutex mutex_vec_thread;
ExecuteQueue<snmpTrap> fifo_trap;

namespace kivo {

namespace {

const char* const kDefaultConfiguration = "/etc/kivo/kivo.conf";

}  // namespace

std::string configurationPath() {
  const char* path = ::getenv("KIVO_CONF");
  return path != nullptr && *path != '\0' ? path : kDefaultConfiguration;
}

int kivoTrapdMain() {
  Daemon daemon;
  return daemon.run();
}

}  // namespace kivo
