#include "daemon/database/serviceListener.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <system_error>

#include "daemon/base/systemLog.h"
#include "daemon/database/databaseStartup.h"
#include "support/stopNotice.h"

namespace kivo {

namespace {

// The longest a connection attempt or the LISTEN may take before it counts
// as failed; libpq's connect_timeout holds only for blocking connects.
const int kAttemptMilliseconds = 10000;

}  // namespace

ServiceListener::ServiceListener(const StopNotice& stop, std::function<void()> changed)
    : stop_(stop), changed_(std::move(changed)) {}

ServiceListener::~ServiceListener() { finish(); }

void ServiceListener::start(const std::string& conninfo) {
  conninfo_ = conninfo;
  bool listening = listen();
  try {
    thread_ = std::thread(&ServiceListener::run, this, listening);
  } catch (const std::system_error& e) {
    write_log("ERR", std::string("can't start the service listener thread: only SIGHUP "
                                 "reloads the services: ") + e.what());
  }
}

void ServiceListener::finish() {
  if (thread_.joinable()) thread_.join();
}

bool ServiceListener::await(short events, int timeoutMilliseconds) {
  struct pollfd fds[2] = {{PQsocket(connection_.get()), events, 0}, {stop_.fd(), POLLIN, 0}};
  for (;;) {
    int ready = ::poll(fds, 2, timeoutMilliseconds);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || stop_.begun()) return false;
    return fds[0].revents != 0;
  }
}

bool ServiceListener::listen() {
  connection_.reset(PQconnectStart(conninfo_.c_str()));
  if (connection_ == nullptr || PQstatus(connection_.get()) == CONNECTION_BAD) return false;
  // libpq's steps of the connection, each waiting on the socket.
  for (PostgresPollingStatusType step = PGRES_POLLING_WRITING; step != PGRES_POLLING_OK;
       step = PQconnectPoll(connection_.get())) {
    if (step == PGRES_POLLING_FAILED) return false;
    if (!await(step == PGRES_POLLING_READING ? POLLIN : POLLOUT, kAttemptMilliseconds)) {
      return false;
    }
  }
  if (PQsendQuery(connection_.get(), "LISTEN kivo_services_changed") == 0) return false;
  while (PQisBusy(connection_.get()) != 0) {
    if (!await(POLLIN, kAttemptMilliseconds) || PQconsumeInput(connection_.get()) == 0) {
      return false;
    }
  }
  bool listening = true;
  while (PGresult* result = PQgetResult(connection_.get())) {
    listening = listening && PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
  }
  return listening;
}

void ServiceListener::hear() {
  while (await(POLLIN, -1) && PQconsumeInput(connection_.get()) != 0) {
    bool heard = false;
    while (PGnotify* notice = PQnotifies(connection_.get())) {
      heard = true;
      PQfreemem(notice);
    }
    if (heard) changed_();
  }
}

void ServiceListener::run(bool listening) {
  ::pthread_setname_np(::pthread_self(), "kivo-listen");
  const ConnectionOutage::Policy policy = reconnectPolicy();
  while (!stop_.begun()) {
    if (listening) {
      hear();
    }
    // Lost, or never made: again after a pause that backs off.
    connection_.reset();
    std::chrono::milliseconds delay = policy.firstDelay;
    for (;;) {
      struct pollfd stop = {stop_.fd(), POLLIN, 0};
      (void)::poll(&stop, 1, static_cast<int>(delay.count()));
      if (stop_.begun()) return;
      if (listen()) break;
      delay = std::min(delay * 2, policy.maxDelay);
    }
    write_log("INFO", "service notices: listening again");
    changed_();
    listening = true;
  }
}

}  // namespace kivo
