#include "daemon/database/servicesReloaded.h"

#include <map>
#include <string>

#include "daemon/worker/foldWindows.h"
#include "daemon/base/daemonGlobals.h"
#include "support/metrics.h"

namespace kivo {

namespace {

// What a trap of the service sees of it, as one text; the first row of a
// service counts, as it is the one the worker finds.
std::map<int, std::string> descriptions(const MapTrapService::Services& services) {
  std::map<int, std::string> found;
  for (const auto& device : services) {
    for (const service& s : device.second) {
      std::string text = device.first + "\n" + s.Getname() + "\n" + s.Getpath() + "\n" +
                         s.Getparameter() + "\n" + s.GetOID() + "\n" + s.GetAlertingSoftware() +
                         "\n" + std::to_string(s.GetAlertingUnknown()) +
                         std::to_string(s.GetAlertingWarning()) +
                         std::to_string(s.GetAlertingCritical()) + "\n";
      for (const std::string& argument : s.getVectorAlertingParam()) text += argument + "\n";
      found.emplace(s.GetService_id(), text);
    }
  }
  return found;
}

}  // namespace

std::vector<int> changedServices(const MapTrapService::Services& before,
                                 const MapTrapService::Services& after) {
  std::map<int, std::string> now = descriptions(after);
  std::vector<int> changed;
  for (const auto& old : descriptions(before)) {
    auto same = now.find(old.first);
    if (same == now.end() || same->second != old.second) changed.push_back(old.first);
  }
  return changed;
}

void servicesReloaded(const MapTrapService::Services& before,
                      const MapTrapService::Services& after, FoldWindows* windows,
                      Metrics& metrics) {
  if (windows != nullptr) windows->closeNow(changedServices(before, after));
  size_t count = 0;
  for (const auto& device : after) count += device.second.size();
  metrics.servicesLoaded(count);
}

}  // namespace kivo
