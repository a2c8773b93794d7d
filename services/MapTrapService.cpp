#include "services/MapTrapService.h"

#include "support/convertTo.h"
#include "support/standardOutput.h"

using kivo::writeStandardOutput;

void MapTrapService::addTrapService(std::string key, service s) {
  std::lock_guard<std::mutex> hold(lock);
  services[key].push_back(s);
}

bool MapTrapService::deleteTrapService(std::string key, int id) {
  std::lock_guard<std::mutex> hold(lock);
  auto entry = services.find(key);
  if (entry == services.end()) return false;
  std::vector<service>& list = entry->second;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->GetService_id() == id) {
      list.erase(it);
      return true;
    }
  }
  return false;
}

int MapTrapService::searchServiceByOID(std::string key, std::string trapOid) {
  std::lock_guard<std::mutex> hold(lock);
  auto entry = services.find(key);
  if (entry == services.end()) return -1;
  const std::vector<service>& list = entry->second;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].GetOID() == trapOid) return static_cast<int>(i);
  }
  return -1;
}

service MapTrapService::getServiceByPosition(std::string key, int pos) {
  std::lock_guard<std::mutex> hold(lock);
  auto entry = services.find(key);
  if (entry == services.end() || pos < 0 || static_cast<size_t>(pos) >= entry->second.size()) {
    return service();
  }
  return entry->second[static_cast<size_t>(pos)];
}

std::optional<service> MapTrapService::findServiceByOID(const std::string& key,
                                                        const std::string& trapOid) {
  std::lock_guard<std::mutex> hold(lock);
  auto entry = services.find(key);
  if (entry == services.end()) return std::nullopt;
  for (const service& s : entry->second) {
    if (s.GetOID() == trapOid) return s;
  }
  return std::nullopt;
}

MapTrapService::Services MapTrapService::exchange(Services fresh) {
  std::lock_guard<std::mutex> hold(lock);
  services.swap(fresh);
  return fresh;
}

MapTrapService::Services MapTrapService::content() {
  std::lock_guard<std::mutex> hold(lock);
  return services;
}

void MapTrapService::show() {
  std::lock_guard<std::mutex> hold(lock);
  std::string text;
  for (const auto& entry : services) {
    text += "cl\xC3\xA9: " + entry.first + ", valeur:";
    for (const service& s : entry.second) text += intToString(s.GetService_id()) + " ";
    text += "\n";
  }
  if (!text.empty()) writeStandardOutput(text);
}

size_t MapTrapService::size() {
  std::lock_guard<std::mutex> hold(lock);
  size_t count = 0;
  for (const auto& entry : services) count += entry.second.size();
  return count;
}

void MapTrapService::clear() {
  std::lock_guard<std::mutex> hold(lock);
  services.clear();
}
