// The trap daemon's globals, declared for every part that uses them; they
// are defined in daemon/kivoTrapd.cpp with the entry point.
//
// The globals live for the whole process. Those written at start-up (the
// settings, map_error, map_service_trap) are complete before the first
// worker starts and only read afterwards, but for map_service_trap, whose
// whole content a reload on SIGHUP replaces under its own lock. die_kivo goes
// from 0 to 1 once, under the queue's mutex, in kivo::Stop::stop(). Shared
// containers carry their own locks.
#ifndef KIVO_DAEMON_BASE_DAEMONGLOBALS_H
#define KIVO_DAEMON_BASE_DAEMONGLOBALS_H

#include <time.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "services/MapTrapService.h"
#include "support/logFile.h"
#include "trap/ExecuteQueue.h"
#include "trap/snmpTrap.h"

class pgSafeThread;

// One started worker.
struct thread_kivo {
  std::thread thread;
  int status = 0;
};

extern std::atomic<int> die_kivo;
extern timespec temps;
extern std::string spoolDirectory;
extern std::string trap_pqueue_file;
extern int log_enable;
extern std::unique_ptr<pgSafeThread> pgSQL;
extern std::map<std::string, std::string> map_error;
extern std::unique_ptr<logFile> flog_trap_receive;
extern std::mutex mutex_log_system;
extern std::mutex mutex_log_trap;
extern MapTrapService map_service_trap;
extern std::vector<thread_kivo> vec_thread;
extern std::mutex mutex_vec_thread;
extern ExecuteQueue<snmpTrap> fifo_trap;

#endif
