// A PostgreSQL cluster of one test's own, for tests that stop or restart
// the server: the shared cluster of the test run serves other
// tests in parallel and must stay up.
//
// Made with testing/pgcluster.sh in a folder of the test's TempDir, as the
// postgres user, on a unix socket of its own (no TCP); its template
// database kivo_template holds the schema. The holder stops the server and
// removes the folder when it goes, also when the test fails, so it must go
// before the TempDir. Use it from one thread.
#ifndef KIVO_TESTING_OWNCLUSTER_H
#define KIVO_TESTING_OWNCLUSTER_H

#include <string>
#include <vector>

#include "testing/tempDir.h"

namespace kivo {

class OwnCluster {
 public:
  // A new primary in dir/name.
  OwnCluster(const TempDir& dir, const std::string& name);
  ~OwnCluster();
  OwnCluster(const OwnCluster&) = delete;
  OwnCluster& operator=(const OwnCluster&) = delete;

  // Stops the server (fast shutdown: sessions are ended), keeping its data.
  void halt();
  // Starts the halted server again; returns once it takes connections.
  void resume();

  const std::string& directory() const { return directory_; }
  std::string socket() const { return directory_ + "/socket"; }
  const std::string& port() const { return port_; }

  // A database made from the schema template.
  void createDatabase(const std::string& dbname);
  // Runs sql in dbname; throws std::runtime_error with the server's text.
  void execute(const std::string& dbname, const std::string& sql);
  // The rows of a query as text, NULL as "<NULL>"; throws like execute.
  std::vector<std::vector<std::string>> rows(const std::string& dbname, const std::string& sql);
  std::string value(const std::string& dbname, const std::string& sql);

 private:
  void script(const std::vector<std::string>& arguments);

  std::string directory_;
  std::string port_;
};

}  // namespace kivo

#endif
