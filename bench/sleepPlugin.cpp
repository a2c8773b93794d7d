// The plug-in of bench/remote-db.sh: kivo-bench-sleep-plugin MS CODE sleeps
// MS milliseconds, prints one line and exits with CODE. Compiled, so that
// starting it costs what a real plug-in's start costs, not a shell's.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
  long milliseconds = argc > 1 ? atol(argv[1]) : 50;
  int code = argc > 2 ? atoi(argv[2]) : 0;
  timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
  nanosleep(&pause, nullptr);
  printf("slept %ld ms\n", milliseconds);
  return code;
}
