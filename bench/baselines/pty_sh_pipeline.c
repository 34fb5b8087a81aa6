/* A shell's launch of `true | true` on a terminal: forkpty + exec of
 * `sh -c 'true | true'` + drain of the master until it ends + waitpid, N
 * times. Prints the median and the 99th percentile in microseconds. */
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static int compare(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 200;
  double* times = malloc(sizeof(double) * (size_t)runs);
  for (int i = 0; i < runs; ++i) {
    double start = now_us();
    struct winsize ws = {24, 80, 0, 0};
    int master;
    pid_t pid = forkpty(&master, NULL, NULL, &ws);
    if (pid < 0) return 1;
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", "true | true", (char*)NULL);
      _exit(127);
    }
    char buf[1024];
    while (read(master, buf, sizeof buf) > 0) {
    }
    waitpid(pid, NULL, 0);
    close(master);
    times[i] = now_us() - start;
  }
  qsort(times, (size_t)runs, sizeof(double), compare);
  printf("%.1f %.1f\n", times[runs / 2], times[(runs * 99) / 100]);
  free(times);
  return 0;
}
