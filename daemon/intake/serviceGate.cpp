#include "daemon/intake/serviceGate.h"

namespace kivo {

std::string ServiceGate::keyOf(const snmpTrap& trap) {
  // The address's length first, so that no two pairs run together alike.
  const std::string address = trap.getHostAddr();
  return std::to_string(address.size()) + ":" + address + trap.getOid();
}

void ServiceGate::offer(const snmpTrap& trap) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto busy = busy_.find(keyOf(trap));
  if (busy != busy_.end()) {
    busy->second.push_back(trap);
    ++waiting_;
    return;
  }
  busy_.emplace(keyOf(trap), std::deque<snmpTrap>());
  queue_.push(trap);
}

void ServiceGate::done(const std::string& key) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto busy = busy_.find(key);
  if (busy == busy_.end()) return;
  if (busy->second.empty()) {
    busy_.erase(busy);
    return;
  }
  queue_.push(busy->second.front());
  busy->second.pop_front();
  --waiting_;
}

size_t ServiceGate::waiting() {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiting_;
}

}  // namespace kivo
