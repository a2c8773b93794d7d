// A PostgreSQL cluster of one test's own (testing/pgcluster.sh, in a folder
// of the test's TempDir), for tests that stop or restart the server, which
// the shared cluster may not. The holder stops the server and removes the
// folder, so it must go before the TempDir. Use it from one thread.
#ifndef KIVO_TESTING_OWNCLUSTER_H
#define KIVO_TESTING_OWNCLUSTER_H

#include <string>
#include <vector>

#include "testing/tempDir.h"

namespace kivo {

class OwnCluster {
 public:
  // A new cluster in dir/name.
  OwnCluster(const TempDir& dir, const std::string& name);
  ~OwnCluster();
  OwnCluster(const OwnCluster&) = delete;
  OwnCluster& operator=(const OwnCluster&) = delete;

  // Stops the server (fast shutdown: sessions are ended), keeping its data.
  void halt();
  // Starts the halted server again; returns once it takes connections.
  void resume();

  std::string socket() const { return directory_ + "/socket"; }
  const std::string& port() const { return port_; }
  // The connection string to dbname as the superuser.
  std::string connectionString(const std::string& dbname) const;

  // A database made from the schema template.
  void createDatabase(const std::string& dbname);

 private:
  void script(const std::vector<std::string>& arguments);

  std::string directory_;
  std::string port_;
};

}  // namespace kivo

#endif
