#include "daemon/databaseProbe.h"

#include <gtest/gtest.h>

namespace kivo {

namespace {

std::string parameter(const kivo::DatabaseProbe& probe, const std::string& keyword) {
  for (size_t i = 0; i < probe.keywords().size(); ++i) {
    if (probe.keywords()[i] == keyword) return probe.values()[i];
  }
  return "<none>";
}

TEST(DatabaseProbe, KeepsTheConnectionStringWithinItsOwnTimeout) {
  struct Case {
    const char* conninfo;
    int timeout;
    const char* connectTimeout;
  };
  const Case cases[] = {
      {"host=/run/pg port=5433 dbname=kivo user=kivo password=", 10, "10"},
      {"host=db1,db2 dbname=kivo connect_timeout=5 password=secret", 10, "5"},
      {"host=db1 connect_timeout=30 password=", 10, "10"},
      {"host=db1 connect_timeout=1 password=", 10, "2"},
      {"host=db1 connect_timeout=0 password=", 1, "2"},
  };
  for (const Case& c : cases) {
    kivo::DatabaseProbe probe(c.conninfo, c.timeout);
    EXPECT_EQ(parameter(probe, "connect_timeout"), c.connectTimeout) << c.conninfo;
  }
  kivo::DatabaseProbe probe(
      "host=db1,db2 port=5432,5433 dbname=kivo user=kivo target_session_attrs=read-write "
      "password=secret",
      10);
  EXPECT_EQ(parameter(probe, "host"), "db1,db2");
  EXPECT_EQ(parameter(probe, "port"), "5432,5433");
  EXPECT_EQ(parameter(probe, "dbname"), "kivo");
  EXPECT_EQ(parameter(probe, "target_session_attrs"), "read-write");
  EXPECT_EQ(parameter(probe, "password"), "secret");
}

TEST(DatabaseProbe, NoServerNoAnswer) {
  kivo::DatabaseProbe probe("host=/nonexistent/kivo-socket port=5432 dbname=kivo user=kivo", 2);
  EXPECT_FALSE(probe.answers());
}

}  // namespace

}  // namespace kivo
