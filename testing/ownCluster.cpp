#include "testing/ownCluster.h"

#include <unistd.h>

#include <atomic>
#include <stdexcept>

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

std::string OwnCluster::connectionString(const std::string& dbname) const {
  return pgConnectionString(socket(), port_, dbname, "postgres", "");
}

void OwnCluster::createDatabase(const std::string& dbname) {
  PgConnection connection = connectTest(connectionString("postgres"));
  runTestSql(connection.get(), "CREATE DATABASE " + dbname + " TEMPLATE kivo_template");
}

}  // namespace kivo
