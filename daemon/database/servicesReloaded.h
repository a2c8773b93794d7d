// The hook that a reload of the trap services calls once the new services
// are in place, for the parts of the daemon that keep something per
// service: they read their state again and start afresh for the services
// that changed.
#ifndef KIVO_DAEMON_DATABASE_SERVICESRELOADED_H
#define KIVO_DAEMON_DATABASE_SERVICESRELOADED_H

#include <vector>

#include "services/MapTrapService.h"

namespace kivo {

class FoldWindows;
class Metrics;

// Called on the thread that did the reload, right after map_service_trap
// took after in place of before, and before the reload's INFO line. Workers
// run on meanwhile: a trap found before the swap finishes with its copy of
// the old service. The fold windows (windows, which may be null) of the
// services that changed or went close now (a trap they hold runs), so that
// they start afresh; the gauge of the services loaded counts after. Must not
// throw.
void servicesReloaded(const MapTrapService::Services& before,
                      const MapTrapService::Services& after, FoldWindows* windows,
                      Metrics& metrics);

// The ids of the services of before that are not in after as they were
// (another device address, plug-in, template, OID or alerting program), or
// not there at all.
std::vector<int> changedServices(const MapTrapService::Services& before,
                                 const MapTrapService::Services& after);

}  // namespace kivo

#endif
