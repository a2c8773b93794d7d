#include "services/MapTrapService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "testing/capturedOutput.h"

namespace kivo {

static service makeService(int id, const std::string& oid) {
  service s;
  s.SetService_id(id);
  s.SetOID(oid);
  s.Setname("service " + std::to_string(id));
  s.Setparameter("-p " + std::to_string(id));
  return s;
}

TEST(MapTrapService, FirstServiceWithTheOidOfTheDeviceWinsAndReloadsExchangeTheWhole) {
  MapTrapService map;
  for (auto [id, oid] : {std::pair(12, ".1"), std::pair(15, ".2"), std::pair(16, ".2")})
    map.addTrapService("192.0.2.7", makeService(id, oid));
  map.addTrapService("10.1.2.3", makeService(3, ".1"));
  EXPECT_EQ(map.searchServiceByOID("192.0.2.7", ".2"), 1);
  EXPECT_EQ(map.searchServiceByOID("192.0.2.7", ".1"), 0);
  EXPECT_EQ(map.getServiceByPosition("192.0.2.7", 1).GetService_id(), 15);
  EXPECT_EQ(map.findServiceByOID("192.0.2.7", ".2")->GetService_id(), 15);
  for (auto [key, oid] : {std::pair("192.0.2.8", ".1"), {"192.0.2.7", ".9"}, {"192.0.2.7", "1"},
                          {"::ffff:192.0.2.7", ".1"}}) {
    EXPECT_EQ(map.searchServiceByOID(key, oid), -1) << key << " " << oid;
    EXPECT_FALSE(map.findServiceByOID(key, oid)) << key << " " << oid;
  }
  for (auto [key, position] : {std::pair("192.0.2.7", -1), {"192.0.2.7", 3}, {"10.0.0.1", 0}})
    EXPECT_EQ(map.getServiceByPosition(key, position).Getname(), "") << key << position;
  EXPECT_FALSE(map.deleteTrapService("192.0.2.7", 99) || map.deleteTrapService("10.0.0.1", 12));
  EXPECT_TRUE(map.deleteTrapService("10.1.2.3", 3));
  EXPECT_EQ(map.size(), 3u) << "one deleted";
  CapturedOutput output;
  map.show();
  EXPECT_EQ(output.text(),
            "cl\xC3\xA9: 10.1.2.3, valeur:\ncl\xC3\xA9: 192.0.2.7, valeur:12 15 16 \n");
  MapTrapService::Services fresh;
  fresh["192.0.2.7"].push_back(makeService(20, ".2"));
  EXPECT_EQ(map.exchange(fresh)["192.0.2.7"].at(1).GetService_id(), 15);
  EXPECT_FALSE(map.findServiceByOID("192.0.2.7", ".1")) << "services that went are gone";
  EXPECT_EQ(map.findServiceByOID("192.0.2.7", ".2")->GetService_id(), 20);
  EXPECT_EQ(map.content().size(), 1u);
}

// Every search during exchanges finds one of the two services whole.
TEST(MapTrapServiceThreadTest, SearchesDuringExchangesFindAWholeService) {
  MapTrapService map;
  MapTrapService::Services first, second;
  first["192.0.2.7"] = {makeService(9, ".9"), makeService(1, ".1")};
  second["192.0.2.7"] = {makeService(2, ".1")};
  map.exchange(first);
  std::atomic<int> wrong{0};
  std::thread searcher([&] {
    for (int i = 0; i < 2000; ++i) {
      std::optional<service> found = map.findServiceByOID("192.0.2.7", ".1");
      int id = found ? found->GetService_id() : 0;
      if ((id != 1 && id != 2) || found->Getparameter() != "-p " + std::to_string(id)) ++wrong;
    }
  });
  for (int i = 0; i < 500; ++i) map.exchange(i % 2 == 0 ? second : first);
  searcher.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace kivo
