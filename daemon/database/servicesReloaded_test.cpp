// Which services a reload changed; the gauge it sets is shown by the reload's test.
#include "daemon/database/servicesReloaded.h"

#include <gtest/gtest.h>

namespace kivo {

static service make(int id, const std::string& parameter) {
  service s;
  s.SetService_id(id);
  s.Setparameter(parameter);
  return s;
}

TEST(ServicesReloaded, ServicesThatChangedOrWentAreNamed) {
  MapTrapService::Services before = {{"192.0.2.7", {make(1, "$1"), make(2, "$1"), make(3, "$1")}},
                                     {"192.0.2.8", {make(4, "$1")}}};
  MapTrapService::Services after = {{"192.0.2.7", {make(1, "$1"), make(2, "-v $1")}},
                                    {"192.0.2.9", {make(4, "$1")}}};
  // 1 is as it was; 2 has another template, 3 went, 4 moved to another address.
  EXPECT_EQ(changedServices(before, after), (std::vector<int>{2, 3, 4}));
}

}  // namespace kivo
