#include "daemon/worker/unknownTraps.h"

#include <stdio.h>

#include "daemon/base/systemLog.h"
#include "support/connectionOutage.h"
#include "support/exceptions.h"
#include "support/logFile.h"
#include "support/logText.h"
#include "support/pgSafeThread.h"

namespace kivo {

namespace {

const char* const kMissingTable = "42P01";  // undefined_table

// One statement for the whole batch: the arrays are unpacked side by side
// into one row per pair. Times go as seconds since the epoch, with their
// microseconds, so that the order of pairs seen in the same second holds.
const char* const kStoreSql =
    "INSERT INTO kivo_trap_unknown (unknown_address, unknown_oid, unknown_first_seen, "
    "unknown_last_seen, unknown_count) "
    "SELECT a, o, to_timestamp(f), to_timestamp(l), c FROM "
    "unnest($1::text[], $2::text[], $3::float8[], $4::float8[], $5::bigint[]) AS u(a, o, f, l, c) "
    "ON CONFLICT (unknown_address, unknown_oid) DO UPDATE SET "
    "unknown_last_seen = GREATEST(kivo_trap_unknown.unknown_last_seen, EXCLUDED.unknown_last_seen), "
    "unknown_count = kivo_trap_unknown.unknown_count + EXCLUDED.unknown_count";

std::string epochSeconds(std::chrono::system_clock::time_point time) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch());
  char text[32];
  snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(micros.count() / 1000000),
           static_cast<long long>(micros.count() % 1000000));
  return text;
}

}  // namespace

std::string unknownTrapLine(const snmpTrap& trap) {
  return escapeControls(trap.getdateReceive() + "#" + trap.getHostAddr() + "#" + trap.getHost() +
                        "#" + trap.getOid());
}

std::string textArray(const std::vector<std::string>& values) {
  std::string text = "{";
  for (const std::string& value : values) {
    if (text.size() > 1) text += ',';
    text += '"';
    for (char c : value) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

void storeUnknownPairs(pgSafeThread& connection, const UnknownPairs& pairs) {
  std::vector<std::string> addresses, oids, firsts, lasts, counts;
  for (const UnknownPair& pair : pairs) {
    addresses.push_back(pair.address);
    oids.push_back(pair.oid);
    firsts.push_back(epochSeconds(pair.firstSeen));
    lasts.push_back(epochSeconds(pair.lastSeen));
    counts.push_back(std::to_string(pair.count));
  }
  PgResult result(connection.executeParamRequest(
      kStoreSql, {textArray(addresses), textArray(oids), textArray(firsts), textArray(lasts),
                  textArray(counts)}));
}

UnknownTraps::UnknownTraps(const std::string& logPath, Store store)
    : logPath_(logPath), store_(std::move(store)) {
  // The file is first touched by the first line: a missing directory is a
  // failure to write, told then, not a reason not to start.
  if (!logPath.empty()) log_.reset(new logFile(logPath.c_str()));
}

UnknownTraps::~UnknownTraps() = default;

void UnknownTraps::seen(const snmpTrap& trap) {
  writeLine(trap);
  count(trap);
}

void UnknownTraps::writeLine(const snmpTrap& trap) {
  if (!log_) return;
  std::lock_guard<std::mutex> hold(logMutex_);
  Episode::Line told;
  try {
    log_->write(unknownTrapLine(trap));
    told = logEpisode_.succeeded();
  } catch (const FileException& e) {
    told = logEpisode_.failed();
    if (told.kind == Episode::Line::kBegins) {
      write_log("ERR", std::string("can't write unknown trap log: ") + e.what());
    }
    return;
  }
  if (told.kind == Episode::Line::kEnds) {
    write_log("INFO", "unknown trap log written again: " + logPath_);
  }
}

void UnknownTraps::count(const snmpTrap& trap) {
  const auto now = std::chrono::system_clock::now();
  std::lock_guard<std::mutex> hold(countMutex_);
  if (!store_) return;
  auto key = std::make_pair(trap.getHostAddr(), trap.getOid());
  auto found = pairs_.find(key);
  if (found == pairs_.end()) {
    if (pairs_.size() >= kMostPairs) {
      if (!overflowTold_) {
        write_log("ERR", "more than " + std::to_string(kMostPairs) +
                             " address and OID pairs of traps without a service between two "
                             "flushes: the traps of further pairs are only counted in the "
                             "metrics");
        overflowTold_ = true;
      }
      return;
    }
    found = pairs_.emplace(key, UnknownPair{key.first, key.second, now, now, 0}).first;
  }
  found->second.lastSeen = now;
  ++found->second.count;
}

UnknownPairs UnknownTraps::takePairs() {
  std::lock_guard<std::mutex> hold(countMutex_);
  UnknownPairs taken;
  if (!store_) return taken;
  taken.reserve(pairs_.size());
  for (auto& entry : pairs_) taken.push_back(std::move(entry.second));
  pairs_.clear();
  return taken;
}

void UnknownTraps::flush() {
  UnknownPairs pairs = takePairs();
  if (pairs.empty()) return;
  Store store;
  {
    std::lock_guard<std::mutex> hold(countMutex_);
    store = store_;
  }
  try {
    store(pairs);
  } catch (const DatabaseFailure& failure) {
    flushFailed(failure);
    return;
  }
  if (flushEpisode_.succeeded().kind == Episode::Line::kEnds) {
    write_log("INFO", "kivo_trap_unknown written again");
  }
}

void UnknownTraps::flushFailed(const DatabaseFailure& failure) {
  auto refused = dynamic_cast<const PostgresqlException*>(&failure);
  if (refused != nullptr && refused->sqlState == kMissingTable) {
    write_log("ERR", "table kivo_trap_unknown is missing: traps without a service are not "
                     "counted in the database; " + errorTextOnOneLine(failure.what()));
    std::lock_guard<std::mutex> hold(countMutex_);
    store_ = nullptr;
    pairs_.clear();
    return;
  }
  Episode::Line told = flushEpisode_.failed();
  if (told.kind == Episode::Line::kBegins) {
    write_log("ERR", "can't count traps without a service in kivo_trap_unknown, their counts "
                     "are lost: " + errorTextOnOneLine(failure.what()));
  }
}

}  // namespace kivo
