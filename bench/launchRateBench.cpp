// How many times per second one plug-in can be started, read and reaped by
// W threads at once, each through the daemon's own service::execute. This is
// the ceiling of the daemon's trap rate with W workers: bench/throughput.sh
// prints it beside the rate that the daemon reaches.
//
//   kivo-bench-launch-rate WORKERS RUNS PLUGIN [PARAMETERS]
//
// Prints one line: "<runs per second>".
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "services/service.h"
#include "support/exceptions.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s WORKERS RUNS PLUGIN [PARAMETERS]\n", argv[0]);
    return 2;
  }
  const int workers = atoi(argv[1]);
  const long runs = atol(argv[2]);
  if (workers < 1 || runs < workers) {
    fprintf(stderr, "%s: WORKERS must be at least 1 and RUNS at least WORKERS\n", argv[0]);
    return 2;
  }
  service plugin;
  plugin.Setname("bench");
  plugin.Setpath(argv[3]);
  plugin.Setparameter(argc > 4 ? argv[4] : "");

  std::atomic<long> failures{0};
  auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      service own = plugin;
      long mine = runs / workers + (w < runs % workers ? 1 : 0);
      for (long i = 0; i < mine; ++i) {
        try {
          own.execute();
        } catch (const serviceException&) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (failures.load() > 0) {
    fprintf(stderr, "%ld runs failed\n", failures.load());
    return 1;
  }
  printf("%.0f\n", runs / seconds);
  return 0;
}
