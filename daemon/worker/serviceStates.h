// The state that each service's last run left, which is the previous state
// of its next run.
//
// Read from the database's service rows at the start (and at a reload of
// the services), then kept by the workers as each run ends: a run that
// returns to OK acknowledges the service's open record, and a repeat of the
// same state is stored without a new record or alert. The traps of one
// service are handled one at a time (ServiceGate), so a service's state is
// only ever changed by one worker at a time; the map itself is guarded by
// the object's mutex, and any thread may call any member.
#ifndef KIVO_DAEMON_WORKER_SERVICESTATES_H
#define KIVO_DAEMON_WORKER_SERVICESTATES_H

#include <map>
#include <mutex>
#include <string>

#include <libpq-fe.h>

class pgSafeThread;

namespace kivo {

class ServiceStates {
 public:
  ServiceStates() = default;
  ServiceStates(const ServiceStates&) = delete;
  ServiceStates& operator=(const ServiceStates&) = delete;

  // The last state of the service; 0 for one never run.
  int previous(int serviceId);
  // The service's run ended with code.
  void ran(int serviceId, int code);
  // Replaces every state with the rows of stateQuery() on db.
  // PostgresqlException goes to the caller, the states unchanged.
  void load(pgSafeThread& db);
  // Replaces every state with those of a result of stateQuery().
  void replace(const PGresult* rows);

 private:
  std::mutex mutex_;
  std::map<int, int> states_;
};

// The query of every service's last state, "service_id,service_previous_state".
std::string stateQuery();

}  // namespace kivo

#endif
