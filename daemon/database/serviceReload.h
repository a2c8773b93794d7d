// The reload of the trap services on SIGHUP, on a thread of its own.
//
// The signal thread only asks (request); the reload thread does the work, so
// that a slow or unreachable server never holds up the signal thread and
// with it the stop. Requests that come while a reload runs make one more
// reload after it; requests made before start() are served once it has
// started. The object owns its thread: finish() (or the destructor) lets a
// reload under way end and joins the thread, after which nothing more runs.
// main calls finish() before the database connection goes. request() may be
// called from any thread at any time; start() and finish() from main only.
#ifndef KIVO_DAEMON_DATABASE_SERVICERELOAD_H
#define KIVO_DAEMON_DATABASE_SERVICERELOAD_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kivo {

class FoldWindows;
class Metrics;
class ServiceStates;

// One reload on the calling thread: the services and the priority rows are
// read on pgSQL without waiting for an unreachable server; the services are
// then swapped in whole into map_service_trap, the states replaced in
// states, servicesReloaded() is called with windows (null: none) and metrics,
// the priority file is written again and INFO "services reloaded: N
// services" ends it. When a query fails, nothing changes and one ERR line
// says why. Does nothing once the stop has begun. True when reloaded.
bool reloadServices(ServiceStates& states, FoldWindows* windows, Metrics& metrics);

class ServiceReload {
 public:
  // reload is what each request runs: reloadServices in the daemon.
  explicit ServiceReload(std::function<void()> reload);
  ~ServiceReload();
  ServiceReload(const ServiceReload&) = delete;
  ServiceReload& operator=(const ServiceReload&) = delete;

  // Starts the reload thread. A thread that cannot be created is reported
  // (ERR); requests are then never served.
  void start();
  // Asks for a reload.
  void request();
  // No reload begins any more; waits for the one under way.
  void finish();

 private:
  void run();

  std::function<void()> reload_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;  // guarded by mutex_
  bool finished_ = false;   // guarded by mutex_
  std::thread thread_;
};

}  // namespace kivo

#endif
