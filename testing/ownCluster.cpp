#include "testing/ownCluster.h"

#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "support/pgSafeThread.h"
#include "testing/snmpTrapReceiver.h"
#include "testing/testDatabase.h"

namespace kivo {

namespace {

const std::string kScript = std::string(KIVO_SOURCE_DIR) + "/testing/pgcluster.sh";

// Ports of their own, apart from the shared cluster's 54329; the sockets lie
// in folders of their own anyway.
std::string nextPort() {
  static std::atomic<int> counter{0};
  return std::to_string(55000 + (::getpid() % 400) * 10 + counter++ % 10);
}

PgConnection connectTo(const OwnCluster& cluster, const std::string& dbname) {
  std::string conninfo =
      pgConnectionString(cluster.socket(), cluster.port(), dbname, "postgres", "");
  PgConnection connection(PQconnectdb(conninfo.c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error("own cluster unreachable: " + conninfo + ": " +
                             PQerrorMessage(connection.get()));
  }
  return connection;
}

}  // namespace

OwnCluster::OwnCluster(const TempDir& dir, const std::string& name)
    : directory_(dir.file(name)), port_(nextPort()) {
  script({"start", directory_});
}

OwnCluster::~OwnCluster() {
  try {
    script({"stop", directory_});
  } catch (const std::runtime_error&) {
    // Nothing more can be done; the folder goes with the TempDir.
  }
}

void OwnCluster::script(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"env", "KIVO_PG_PORT=" + port_, "sh", kScript};
  command.insert(command.end(), arguments.begin(), arguments.end());
  if (runProgram(command) != 0) {
    throw std::runtime_error("pgcluster.sh " + arguments[0] + " " + directory_ + " failed");
  }
}

void OwnCluster::halt() { script({"halt", directory_}); }
void OwnCluster::resume() { script({"resume", directory_}); }

void OwnCluster::createDatabase(const std::string& dbname) {
  execute("postgres", "CREATE DATABASE " + dbname + " TEMPLATE kivo_template");
}

void OwnCluster::execute(const std::string& dbname, const std::string& sql) {
  PgConnection connection = connectTo(*this, dbname);
  runTestSql(connection.get(), sql);
}

std::vector<std::vector<std::string>> OwnCluster::rows(const std::string& dbname,
                                                       const std::string& sql) {
  PgConnection connection = connectTo(*this, dbname);
  return resultRows(runTestSql(connection.get(), sql).get());
}

std::string OwnCluster::value(const std::string& dbname, const std::string& sql) {
  std::vector<std::vector<std::string>> table = rows(dbname, sql);
  if (table.empty() || table[0].empty()) throw std::runtime_error("no value from " + sql);
  return table[0][0];
}

}  // namespace kivo
