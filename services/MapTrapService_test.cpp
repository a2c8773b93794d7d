#include "services/MapTrapService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

TEST(MapTrapService, FindCopiesTheFirstServiceWithTheOid) {
  MapTrapService map;
  map.addTrapService("192.0.2.7", makeService(12, ".1.3.6.1.4.1.99.0.1"));
  map.addTrapService("192.0.2.7", makeService(15, ".1.3.6.1.4.1.99.0.2"));
  map.addTrapService("192.0.2.7", makeService(16, ".1.3.6.1.4.1.99.0.2"));
  std::optional<service> found = map.findServiceByOID("192.0.2.7", ".1.3.6.1.4.1.99.0.2");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->GetService_id(), 15);
  EXPECT_FALSE(map.findServiceByOID("192.0.2.7", ".1.3.6.1.4.1.99.0.9"));
  EXPECT_FALSE(map.findServiceByOID("192.0.2.8", ".1.3.6.1.4.1.99.0.1"));
}

TEST(MapTrapService, ExchangeReplacesTheWholeContent) {
  MapTrapService map;
  map.addTrapService("192.0.2.7", makeService(12, ".1"));
  map.addTrapService("10.0.0.1", makeService(13, ".1"));
  MapTrapService::Services fresh;
  fresh["192.0.2.7"].push_back(makeService(20, ".2"));
  MapTrapService::Services before = map.exchange(fresh);
  EXPECT_EQ(before.size(), 2u);
  EXPECT_EQ(before["10.0.0.1"].at(0).GetService_id(), 13);
  EXPECT_FALSE(map.findServiceByOID("10.0.0.1", ".1")) << "keys that went are gone";
  EXPECT_FALSE(map.findServiceByOID("192.0.2.7", ".1"));
  EXPECT_EQ(map.findServiceByOID("192.0.2.7", ".2")->GetService_id(), 20);
  EXPECT_EQ(map.content().size(), 1u);
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

namespace kivo {

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

namespace {

// Workers search while a reload swaps the content back and forth: every
// search finds one of the two services whole, never nothing, never a mix.
TEST(MapTrapServiceThreadTest, SearchesDuringExchangesFindAWholeService) {
  MapTrapService map;
  MapTrapService::Services first;
  MapTrapService::Services second;
  service a = makeService(1, ".1");
  a.Setparameter("-a first");
  service b = makeService(2, ".1");
  b.Setparameter("-b second");
  first["192.0.2.7"] = {makeService(9, ".9"), a};
  second["192.0.2.7"] = {b};
  map.exchange(first);
  std::atomic<int> wrong{0};
  std::vector<std::thread> searchers;
  for (int t = 0; t < 3; ++t) {
    searchers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::optional<service> found = map.findServiceByOID("192.0.2.7", ".1");
        bool whole = found && ((found->GetService_id() == 1 && found->Getparameter() == "-a first") ||
                               (found->GetService_id() == 2 && found->Getparameter() == "-b second"));
        if (!whole) ++wrong;
      }
    });
  }
  for (int i = 0; i < 500; ++i) map.exchange(i % 2 == 0 ? second : first);
  for (std::thread& searcher : searchers) searcher.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

}  // namespace kivo
