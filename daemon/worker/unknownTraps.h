// The traps that no service takes, kept where an operator can find them:
// one line per trap in the unknown-trap log, and a count per sending address
// and trap OID that flush() adds to the table kivo_trap_unknown.
//
// The object owns the log (no file when its path is empty) and the counts
// gathered since the last flush. A storm of such traps costs one statement
// per interval, whatever its size: the counts are held in memory, at most
// kMostPairs pairs between two flushes; the traps of further pairs are only
// counted by the metrics (kivotrapd_traps_done_total), which is said once.
// The statement itself is the store's, so that the owner decides on which
// connection it runs; an empty store keeps no counts.
//
// Failures never stop the daemon: a log that cannot be written is told once
// per episode (kivo::Episode), a missing table once, after which nothing is
// counted any more; any other failed flush is told once per episode and its
// counts are dropped.
//
// Thread-safe: the workers call seen() at any time while one thread (the
// daemon's flush thread, then its main thread at the stop) calls flush().
// The mutex of the counts is never held during the statement, that of the
// log only while its line is written.
#ifndef KIVO_DAEMON_WORKER_UNKNOWNTRAPS_H
#define KIVO_DAEMON_WORKER_UNKNOWNTRAPS_H

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/episode.h"
#include "support/exceptions.h"
#include "trap/snmpTrap.h"

class logFile;
class pgSafeThread;

namespace kivo {

// The traps of one address and OID since the last flush.
struct UnknownPair {
  std::string address;
  std::string oid;
  std::chrono::system_clock::time_point firstSeen;
  std::chrono::system_clock::time_point lastSeen;
  long count = 0;
};
using UnknownPairs = std::vector<UnknownPair>;

class UnknownTraps {
 public:
  static const size_t kMostPairs = 10000;
  // Adds the pairs to the table; throws DatabaseFailure.
  using Store = std::function<void(const UnknownPairs&)>;

  UnknownTraps(const std::string& logPath, Store store);
  ~UnknownTraps();
  UnknownTraps(const UnknownTraps&) = delete;
  UnknownTraps& operator=(const UnknownTraps&) = delete;

  // A trap for which no service was found.
  void seen(const snmpTrap& trap);
  // Hands the counts gathered since the last call to the store.
  void flush();

 private:
  void writeLine(const snmpTrap& trap);
  void count(const snmpTrap& trap);
  // The counts gathered so far, now empty; none once the table is missing.
  UnknownPairs takePairs();
  void flushFailed(const DatabaseFailure& failure);

  const std::string logPath_;
  std::mutex logMutex_;
  std::unique_ptr<logFile> log_;  // null: no log
  Episode logEpisode_;

  std::mutex countMutex_;
  Store store_;  // empty once the table turned out to be missing
  std::map<std::pair<std::string, std::string>, UnknownPair> pairs_;
  bool overflowTold_ = false;

  // flush()'s thread only.
  Episode flushEpisode_;
};

// "date#address#host#OID" of the trap, as the trap log writes its fields.
std::string unknownTrapLine(const snmpTrap& trap);

// Adds pairs to kivo_trap_unknown with one statement on connection;
// PostgresqlException when it fails.
void storeUnknownPairs(pgSafeThread& connection, const UnknownPairs& pairs);

// The text of a PostgreSQL array of texts holding values: "{"a","b\"c"}".
std::string textArray(const std::vector<std::string>& values);

}  // namespace kivo

#endif
