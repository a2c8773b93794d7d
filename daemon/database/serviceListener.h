// The daemon's ear for changed services: other daemons and people change
// the service tables, whose triggers announce each change on the channel
// kivo_services_changed; the listener hears it and asks for a reload.
//
// The object owns a libpq connection of its own (not from the pool, and no
// pgSafeThread: it runs no statement but LISTEN) and a thread that waits on
// that connection's socket and the stop notice's descriptor together. All
// the notices that have come when the thread wakes make one call of
// changed. A lost connection is made again after a back-off
// (reconnectPolicy()) until the stop; back, the listener writes INFO
// "service notices: listening again" and calls changed, since a notice may
// have been missed meanwhile. The main connection reports the outage
// itself, so the listener adds no other line.
//
// start() and finish() are for the main thread. changed runs on the
// listener's thread and must only ask (ServiceReload::request).
#ifndef KIVO_DAEMON_DATABASE_SERVICELISTENER_H
#define KIVO_DAEMON_DATABASE_SERVICELISTENER_H

#include <functional>
#include <string>
#include <thread>

#include "support/pgSafeThread.h"

namespace kivo {

class StopNotice;

class ServiceListener {
 public:
  ServiceListener(const StopNotice& stop, std::function<void()> changed);
  // finish().
  ~ServiceListener();
  ServiceListener(const ServiceListener&) = delete;
  ServiceListener& operator=(const ServiceListener&) = delete;

  // Listens on the libpq connection string conninfo at once on the calling
  // thread, so that a change after a load
  // that follows is heard, then goes on on the listener's thread. A first
  // connection that fails is made again there. A thread that cannot be
  // created is reported (ERR); then only SIGHUP reloads.
  void start(const std::string& conninfo);
  // Joins the thread, which ends once the stop has begun: call it after.
  void finish();

 private:
  // Connects and sends LISTEN; false when that failed or the stop came.
  bool listen();
  // Waits for notices until the connection breaks or the stop comes.
  void hear();
  // Waits until the socket has one of events (POLLIN, POLLOUT) or timeout
  // passed: false at the stop and when the time is up.
  bool await(short events, int timeoutMilliseconds);
  void run(bool listening);

  std::string conninfo_;
  const StopNotice& stop_;
  std::function<void()> changed_;
  PgConnection connection_;
  std::thread thread_;
};

}  // namespace kivo

#endif
