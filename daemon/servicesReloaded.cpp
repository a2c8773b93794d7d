#include "daemon/servicesReloaded.h"

namespace kivo {

void servicesReloaded(const MapTrapService::Services& /*before*/,
                      const MapTrapService::Services& /*after*/) {}

}  // namespace kivo
