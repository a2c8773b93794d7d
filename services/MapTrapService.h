// The trap services of the daemon, grouped by the address of the device they
// watch (dotted-decimal IPv4 text), each device's services in load order.
//
// All members are guarded by the object's mutex, taken by every operation
// for its whole length. The daemon fills the map before its workers start and
// only reads it afterwards, so a position returned by searchServiceByOID stays
// valid for getServiceByPosition.
#ifndef KIVO_SERVICES_MAPTRAPSERVICE_H
#define KIVO_SERVICES_MAPTRAPSERVICE_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "services/service.h"

class MapTrapService {
 public:
  MapTrapService() = default;
  virtual ~MapTrapService() = default;
  MapTrapService(const MapTrapService&) = delete;
  MapTrapService& operator=(const MapTrapService&) = delete;

  // Appends a copy of s to the services of key.
  void addTrapService(std::string key, service s);
  // Removes the first service of key with that id; false when there is none.
  // The key stays, even with no service left.
  bool deleteTrapService(std::string key, int id);
  // Position of the first service of key whose OID equals trapOid exactly,
  // or -1.
  int searchServiceByOID(std::string key, std::string trapOid);
  // A copy of the service at pos under key; a default record for an unknown
  // key or a position outside its services.
  service getServiceByPosition(std::string key, int pos);
  // Writes one line per key to standard output: "clé: " key ", valeur:" and
  // each service id followed by a blank.
  void show();
  // Number of services under all keys.
  size_t size();
  void clear();

 private:
  std::mutex lock;
  std::map<std::string, std::vector<service>> services;
};

#endif
