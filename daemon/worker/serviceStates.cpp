#include "daemon/worker/serviceStates.h"

#include "support/convertTo.h"
#include "support/pgSafeThread.h"

namespace kivo {

std::string stateQuery() {
  return "SELECT service_id,service_previous_state FROM kivo_services";
}

int ServiceStates::previous(int serviceId) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto known = states_.find(serviceId);
  return known == states_.end() ? 0 : known->second;
}

void ServiceStates::ran(int serviceId, int code) {
  std::lock_guard<std::mutex> hold(mutex_);
  states_[serviceId] = code;
}

void ServiceStates::load(pgSafeThread& db) {
  PgResult result(db.executeRequest(stateQuery()));
  replace(result.get());
}

void ServiceStates::replace(const PGresult* rows) {
  std::map<int, int> loaded;
  for (int row = 0; row < PQntuples(rows); ++row) {
    // A service never run has no state yet: NULL reads as 0, OK.
    loaded[stringToInt(PQgetvalue(rows, row, 0))] = stringToInt(PQgetvalue(rows, row, 1));
  }
  std::lock_guard<std::mutex> hold(mutex_);
  states_.swap(loaded);
}

}  // namespace kivo
