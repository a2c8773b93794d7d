// The trap services of the daemon, grouped by the address of the device they
// watch (dotted-decimal IPv4 text), each device's services in load order.
//
// All members are guarded by the object's mutex, taken by every operation
// for its whole length. The daemon fills the map before its workers start;
// afterwards only a reload changes it, and then in one step (exchange). A
// position returned by searchServiceByOID may thus name another service by
// the time getServiceByPosition reads it: workers use findServiceByOID,
// which searches and copies under one hold.
#ifndef KIVO_SERVICES_MAPTRAPSERVICE_H
#define KIVO_SERVICES_MAPTRAPSERVICE_H

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "services/service.h"

class MapTrapService {
 public:
  // The whole content: each key's services in load order.
  using Services = std::map<std::string, std::vector<service>>;

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
  // A copy of the first service of key whose OID equals trapOid exactly.
  std::optional<service> findServiceByOID(const std::string& key, const std::string& trapOid);
  // Replaces the whole content with fresh and returns the content before.
  Services exchange(Services fresh);
  // A copy of the whole content.
  Services content();
  // Writes one line per key to standard output: "clé: " key ", valeur:" and
  // each service id followed by a blank.
  void show();
  // Number of services under all keys.
  size_t size();
  void clear();

 private:
  std::mutex lock;
  Services services;
};

#endif
