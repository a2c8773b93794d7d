#include "services/MapTrapService.h"

#include <gtest/gtest.h>

namespace {

service makeService(int id, const std::string& oid) {
  service s;
  s.SetService_id(id);
  s.SetOID(oid);
  s.Setname("service " + std::to_string(id));
  return s;
}

TEST(MapTrapService, FirstServiceWithTheOidWins) {
  MapTrapService map;
  map.addTrapService("192.0.2.7", makeService(12, ".1.3.6.1.4.1.99.0.1"));
  map.addTrapService("192.0.2.7", makeService(15, ".1.3.6.1.4.1.99.0.2"));
  map.addTrapService("192.0.2.7", makeService(16, ".1.3.6.1.4.1.99.0.2"));
  EXPECT_EQ(map.searchServiceByOID("192.0.2.7", ".1.3.6.1.4.1.99.0.2"), 1);
  EXPECT_EQ(map.getServiceByPosition("192.0.2.7", 1).GetService_id(), 15);
  EXPECT_EQ(map.searchServiceByOID("192.0.2.7", ".1.3.6.1.4.1.99.0.1"), 0);
}

TEST(MapTrapService, NoMatchGivesMinusOne) {
  MapTrapService map;
  map.addTrapService("192.0.2.7", makeService(12, ".1.3.6.1.4.1.99.0.1"));
  struct Case {
    const char* key;
    const char* oid;
  } cases[] = {
      {"192.0.2.8", ".1.3.6.1.4.1.99.0.1"},  {"192.0.2.7", ".1.3.6.1.4.1.99.0.9"},
      {"192.0.2.7", "1.3.6.1.4.1.99.0.1"},   {"192.000.002.007", ".1.3.6.1.4.1.99.0.1"},
      {"::ffff:192.0.2.7", ".1.3.6.1.4.1.99.0.1"}, {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map.searchServiceByOID(c.key, c.oid), -1) << c.key << " " << c.oid;
  }
}

TEST(MapTrapService, UnknownKeyOrPositionGivesDefaultRecord) {
  MapTrapService map;
  map.addTrapService("192.0.2.7", makeService(12, ".1"));
  EXPECT_EQ(map.getServiceByPosition("10.0.0.1", 0).GetService_id(), 0);
  EXPECT_EQ(map.getServiceByPosition("192.0.2.7", 5).Getname(), "");
  EXPECT_EQ(map.getServiceByPosition("192.0.2.7", -1).Getname(), "");
}

TEST(MapTrapService, DeleteLeavesAnEmptyKey) {
  MapTrapService map;
  map.addTrapService("192.0.2.7", makeService(12, ".1"));
  EXPECT_FALSE(map.deleteTrapService("192.0.2.7", 99));
  EXPECT_FALSE(map.deleteTrapService("10.0.0.1", 12));
  EXPECT_TRUE(map.deleteTrapService("192.0.2.7", 12));
  EXPECT_EQ(map.searchServiceByOID("192.0.2.7", ".1"), -1);
  EXPECT_EQ(map.size(), 0u);
}

}  // namespace

#include "testing/capturedOutput.h"

namespace {

TEST(MapTrapService, ShowListsKeysInOrderWithTrailingBlank) {
  MapTrapService map;
  map.addTrapService("192.0.2.7", makeService(12, ".1"));
  map.addTrapService("10.1.2.3", makeService(3, ".1"));
  map.addTrapService("192.0.2.7", makeService(15, ".2"));
  map.addTrapService("172.16.0.1", makeService(4, ".1"));
  map.deleteTrapService("172.16.0.1", 4);
  CapturedOutput output;
  map.show();
  EXPECT_EQ(output.text(),
            "cl\xC3\xA9: 10.1.2.3, valeur:3 \n"
            "cl\xC3\xA9: 172.16.0.1, valeur:\n"
            "cl\xC3\xA9: 192.0.2.7, valeur:12 15 \n");
}

TEST(MapTrapService, EmptyMapShowsNothing) {
  MapTrapService map;
  CapturedOutput output;
  map.show();
  EXPECT_EQ(output.text(), "");
}

}  // namespace
