// Lookups of a service's newest open error record ("CheckErrorHappen", the
// daemon's own statement through getHappenError) per second, for journals of
// growing size. Run by bench/check-error-happen.sh on a throwaway cluster.
//
//   kivo-bench-check-error-happen CONNINFO [ROWS...]
//
// For each ROWS the journal is refilled with that many records, all open
// (the daemon acknowledges almost none), spread over 100 devices with 10
// services each; then lookups of random services run for two seconds. The
// same is measured once more without the index on open records, to show
// what it saves.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "daemon/worker/errorJournal.h"
#include "daemon/base/daemonGlobals.h"
#include "support/exceptions.h"
#include "support/pgSafeThread.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

#include <fcntl.h>

using kivo::FileDescriptor;
using kivo::PgResult;
using kivo::prepareJournalStatements;
using kivo::redirectStandardOutput;

namespace {

const int kDevices = 100;
const int kServicesPerDevice = 10;
const std::chrono::seconds kMeasureTime(2);
const long kMaxLookups = 1000000;

void run(pgSafeThread& db, const std::string& sql) { PgResult result(db.executeRequest(sql)); }

void fillJournal(pgSafeThread& db, long rows) {
  run(db, "TRUNCATE kivo_error_happen");
  run(db,
      "INSERT INTO kivo_error_happen(happen_error_id, happen_device_id, happen_service_id,"
      " happen_message) SELECT 2, 1 + (i % " + std::to_string(kDevices * kServicesPerDevice) +
          ") / " + std::to_string(kServicesPerDevice) + ", 1 + i % " +
          std::to_string(kDevices * kServicesPerDevice) +
          ", 'CRITICAL - link down' FROM generate_series(0, " + std::to_string(rows - 1) + ") i");
  run(db, "VACUUM ANALYZE kivo_error_happen");
}

// Lookups per second of random services' newest open record.
double measure() {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pick(0, kDevices * kServicesPerDevice - 1);
  auto start = std::chrono::steady_clock::now();
  auto end = start + kMeasureTime;
  long lookups = 0;
  while (std::chrono::steady_clock::now() < end && lookups < kMaxLookups) {
    int index = pick(random);
    service s;
    s.SetService_id(1 + index);
    s.SetDevice_id(1 + index / kServicesPerDevice);
    if (getHappenError(s) < 0) {
      fprintf(stderr, "no open record for service %d\n", 1 + index);
      exit(1);
    }
    ++lookups;
  }
  std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  return lookups / spent.count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s CONNINFO [ROWS...]\n", argv[0]);
    return 2;
  }
  std::vector<long> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(atol(argv[i]));
  if (sizes.empty()) sizes = {1000, 10000, 100000, 1000000};

  // The connection's trace lines would drown the figures.
  FileDescriptor devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  redirectStandardOutput(devNull.get());
  try {
    pgSQL.reset(new pgSafeThread(argv[1]));
    prepareJournalStatements(*pgSQL);
    run(*pgSQL, "INSERT INTO kivo_device(device_id) SELECT i FROM generate_series(1, " +
                    std::to_string(kDevices) + ") i");
    run(*pgSQL, "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type) VALUES"
                " (1, '/bin/true', 'trap')");
    run(*pgSQL, "INSERT INTO kivo_services(service_id, service_name, service_plugin_id,"
                " service_device_id) SELECT i, 's', 1, 1 + (i - 1) / " +
                    std::to_string(kServicesPerDevice) + " FROM generate_series(1, " +
                    std::to_string(kDevices * kServicesPerDevice) + ") i");
    printf("%-10s %12s %16s\n", "records", "index", "without index");
    for (long rows : sizes) {
      fillJournal(*pgSQL, rows);
      double indexed = measure();
      run(*pgSQL, "BEGIN");
      run(*pgSQL, "DROP INDEX kivo_error_happen_open");
      double unindexed = measure();
      run(*pgSQL, "ROLLBACK");
      printf("%-10ld %10.0f/s %14.0f/s\n", rows, indexed, unindexed);
      fflush(stdout);
    }
    pgSQL.reset();
  } catch (const PostgresqlException& e) {
    redirectStandardOutput(-1);
    fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  redirectStandardOutput(-1);
  return 0;
}
