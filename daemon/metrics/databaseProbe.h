// A light probe of the database server: whether it answers on the daemon's
// connection string, asked with libpq's PQping.
//
// PQping opens a connection of its own and closes it as soon as the server
// has answered, so the probe never takes the daemon's connection or its
// mutex, never waits behind a statement or a reconnection attempt, and
// writes no line. Each probe is bounded by connect_timeout: the one of the
// connection string when it is shorter, else the probe's own.
//
// Immutable after construction: any thread may call answers().
#ifndef KIVO_DAEMON_METRICS_DATABASEPROBE_H
#define KIVO_DAEMON_METRICS_DATABASEPROBE_H

#include <string>
#include <vector>

namespace kivo {

class DatabaseProbe {
 public:
  // conninfo as the daemon connects with; timeoutSeconds, at least 2 (libpq's
  // least), bounds the attempt on each host.
  DatabaseProbe(const std::string& conninfo, int timeoutSeconds);
  DatabaseProbe(const DatabaseProbe&) = delete;
  DatabaseProbe& operator=(const DatabaseProbe&) = delete;

  // True when a server answers and accepts connections (PQPING_OK).
  bool answers() const;

  // The libpq parameters of a probe, for tests: those of conninfo, with
  // connect_timeout set.
  const std::vector<std::string>& keywords() const { return keywords_; }
  const std::vector<std::string>& values() const { return values_; }

 private:
  std::vector<std::string> keywords_;
  std::vector<std::string> values_;
};

}  // namespace kivo

#endif
