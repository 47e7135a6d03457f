// forktally_plain num_procs: the straightforward build of forktally, kept as
// the baseline that the benchmarks compare against: malloc'd array on small
// pages, rand() for every element, a plain counting loop in each child.
// It prints the same lines as forktally. Built twice: at -O2
// (forktally_plain) and at -O3 (forktally_plain_o3).
#include <err.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::int32_t n = 209715200;
std::int32_t *array;
std::int32_t tofind;

int launch(std::int32_t first, std::int32_t length) {
  int fds[2];
  if (pipe(fds) != 0) err(1, "pipe");
  const pid_t pid = fork();
  if (pid < 0) err(1, "fork");
  if (pid == 0) {
    close(fds[0]);
    std::int32_t count = 0;
    for (std::int32_t i = first; i < first + length; i++)
      if (array[i] == tofind) count++;
    _exit(write(fds[1], &count, sizeof count) == sizeof count ? 0 : 1);
  }
  close(fds[1]);
  return fds[0];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 || std::atoi(argv[1]) < 1) {
    std::fprintf(stderr, "usage: %s num_procs\n", argv[0]);
    return 1;
  }
  const std::int32_t procs = std::atoi(argv[1]);
  std::printf("using %d procs\n", procs);
  std::fflush(stdout);
  array = static_cast<std::int32_t *>(std::malloc(static_cast<std::size_t>(n) * 4));
  if (array == nullptr) return 1;
  tofind = 3;
  std::srand(0);
  for (std::int32_t i = 0; i < n; i++) array[i] = std::rand() % 4;

  const std::int32_t regular = n / procs;
  auto *pipes = static_cast<int *>(std::malloc(static_cast<std::size_t>(procs) * sizeof(int)));
  if (pipes == nullptr) return 1;
  timeval start, end;
  gettimeofday(&start, nullptr);
  for (std::int32_t p = 0; p < procs; p++)
    pipes[p] = launch(p * regular, p == procs - 1 ? n - p * regular : regular);
  std::int32_t total = 0;
  for (std::int32_t p = 0; p < procs; p++) {
    std::int32_t count = 0;
    if (read(pipes[p], &count, sizeof count) != sizeof count) return 1;
    total += count;
  }
  gettimeofday(&end, nullptr);
  for (std::int32_t p = 0; p < procs; p++) wait(nullptr);
  const std::int64_t us = (static_cast<std::int64_t>(end.tv_sec) - start.tv_sec) * 1000000 +
                          (end.tv_usec - start.tv_usec);
  std::printf("Count of %d = %d\n", tofind, total);
  std::printf("Elapsed time (ms) = %lf\n", static_cast<double>(us) / 1000.0);
  return 0;
}
