// fill_bench MODE [ARG]: one measurement of the fill per process, printed as
// "sample NAME MILLISECONDS"; fill_run.py starts the processes in turn and
// prints medians and ratios. Fresh processes matter: the pages' first touch
// is part of what is measured.
//
//   gen LEVEL       the generator alone, two threads writing their halves of
//                   an already-faulted block, at one vector level
//   fill PAGES      the fill, whole: allocation, faults and generator
//   duo PAGES       a whole duotally-like run: the fill, then two threads
//                   counting the halves
//   fork4 PAGES     a whole forktally-4-like run: the fill, then four child
//                   processes counting quarters and sending their counts
//                   through pipes
//   floor-duo       the floor of a whole run: two threads fault in and write
//                   the array on huge pages with a free generator (the index
//                   modulo 4), then two threads count it
//   floor-fork4     the same fill, then the four children
//   level           prints the vector level the fill runs at on this CPU
// PAGES is huge or small.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "rand_sequence.h"
#include "workload.h"

namespace {

double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

[[noreturn]] void die(const char *what) {
  std::fprintf(stderr, "fill_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

struct job_t {
  void (*work)(job_t *);
  std::int32_t *p;
  std::size_t first, count;
  rand_level_t level;
  std::int32_t result;
};

void *run_job(void *arg) {
  auto *j = static_cast<job_t *>(arg);
  j->work(j);
  return nullptr;
}

// Runs work on [0, n/2) and [n/2, n) in two threads.
void two_threads(void (*work)(job_t *), std::int32_t *p, rand_level_t level, std::int32_t *sum) {
  const std::size_t half = static_cast<std::size_t>(array_size) / 2;
  job_t jobs[2] = {{work, p, 0, half, level, 0}, {work, p, half, half, level, 0}};
  pthread_t t[2];
  for (int i = 0; i < 2; i++)
    if (pthread_create(&t[i], nullptr, run_job, &jobs[i]) != 0) die("pthread_create");
  for (pthread_t th : t) pthread_join(th, nullptr);
  if (sum != nullptr) *sum = jobs[0].result + jobs[1].result;
}

void generate(job_t *j) {
  rand_sequence_fill(j->level, j->p + j->first, j->first, j->count);
}

void free_generator(job_t *j) {
  std::int32_t *p = j->p + j->first;
  for (std::size_t i = 0; i < j->count; i++) p[i] = static_cast<std::int32_t>((j->first + i) & 3);
}

void count(job_t *j) {
  j->result = workload_count(j->p + j->first, static_cast<std::int32_t>(j->count), 3);
}

std::int32_t fork_count(std::int32_t *p, int procs) {
  int fds[16];
  for (int w = 0; w < procs; w++) {
    int pipefd[2];
    if (pipe(pipefd) != 0) die("pipe");
    const slice_t s = workload_slice(array_size, procs, w);
    const pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
      const std::int32_t c = workload_count(p + s.first, s.length, 3);
      _exit(write(pipefd[1], &c, sizeof c) == sizeof c ? 0 : 1);
    }
    close(pipefd[1]);
    fds[w] = pipefd[0];
  }
  std::int32_t total = 0;
  for (int w = 0; w < procs; w++) {
    std::int32_t c = 0;
    if (read(fds[w], &c, sizeof c) != sizeof c) die("read");
    total += c;
  }
  for (int w = 0; w < procs; w++) wait(nullptr);
  return total;
}

workload_pages_t parse_pages(const char *s) {
  if (std::strcmp(s, "huge") == 0) return workload_pages_huge;
  if (std::strcmp(s, "small") == 0) return workload_pages_small;
  std::fprintf(stderr, "fill_bench: pages are huge or small\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  const double start = now_ms();
  const char *mode = argc >= 2 ? argv[1] : "";
  const char *arg = argc >= 3 ? argv[2] : "";
  volatile std::int32_t sink = 0;
  (void)sink;
  if (std::strcmp(mode, "level") == 0) {
    std::printf("%s\n", rand_level_name(rand_level_best()));
  } else if (std::strcmp(mode, "gen") == 0) {
    rand_level_t level = rand_level_sse2;
    if (std::strcmp(arg, "avx2") == 0) level = rand_level_avx2;
    if (std::strcmp(arg, "avx512") == 0) level = rand_level_avx512;
    if (!rand_level_supported(level)) return 0;
    std::int32_t *p = workload_alloc(array_size);
    if (p == nullptr) die("allocation");
    two_threads(free_generator, p, level, nullptr);
    const double t = now_ms();
    two_threads(generate, p, level, nullptr);
    std::printf("sample gen_%s_2t %.3f\n", rand_level_name(level), now_ms() - t);
  } else if (std::strcmp(mode, "fill") == 0) {
    if (!workload_fill_pages(array_size, parse_pages(arg))) die("allocation");
    std::printf("sample fill_%s %.3f\n", arg, now_ms() - start);
  } else if (std::strcmp(mode, "duo") == 0 || std::strcmp(mode, "fork4") == 0) {
    if (!workload_fill_pages(array_size, parse_pages(arg))) die("allocation");
    const double filled = now_ms();
    std::int32_t total = 0;
    if (mode[0] == 'd')
      two_threads(count, array, rand_level_sse2, &total);
    else
      total = fork_count(array, 4);
    sink = total;
    std::printf("sample %s_%s_fill %.3f\nsample %s_%s_count %.3f\n", mode, arg, filled - start,
                mode, arg, now_ms() - filled);
  } else if (std::strcmp(mode, "floor-duo") == 0 || std::strcmp(mode, "floor-fork4") == 0) {
    std::int32_t *p = workload_alloc(array_size);
    if (p == nullptr) die("allocation");
    two_threads(free_generator, p, rand_level_sse2, nullptr);
    const double filled = now_ms();
    std::int32_t total = 0;
    if (mode[6] == 'd')
      two_threads(count, p, rand_level_sse2, &total);
    else
      total = fork_count(p, 4);
    sink = total;
    std::printf("sample %s_fill %.3f\nsample %s_count %.3f\n", mode, filled - start, mode,
                now_ms() - filled);
  } else {
    std::fprintf(stderr,
                 "usage: fill_bench level|gen|fill|duo|fork4|floor-duo|floor-fork4 [ARG]\n");
    return 2;
  }
  return 0;
}
