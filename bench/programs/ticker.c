/* Output latency workload: prints "tick <monotonic ns>" every 10 ms, argv[1]
 * lines in all (default 100), each with one write, the time taken just before
 * the write. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int lines = argc > 1 ? atoi(argv[1]) : 100;
  struct timespec period = {0, 10 * 1000 * 1000};
  for (int i = 0; i < lines; ++i) {
    nanosleep(&period, NULL);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    int n = snprintf(line, sizeof line, "tick %lld\n",
                     (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    if (write(1, line, (size_t)n) != n) return 1;
  }
  return 0;
}
