// tally_bench fill|scan|first-read|first-count [reps]: times the parts of the counting workload
// against reference kernels measured in the same process, and prints one
// "sample NAME MILLISECONDS" line per measurement, then the medians.
//
// fill: where the fill's time goes. rand() and the workload's generator
//   each write into an already-faulted block (generator cost alone); fresh
//   blocks are touched once per 4 KiB on small and on huge pages (fault cost
//   alone); then the straightforward fill (malloc, srand(0), rand() % 4),
//   the workload's fill without its page-populating helper thread, and the
//   workload's fill, whole.
// scan: the workload's fill once, then per repetition two threads that read
//   their halves at the memory's limit, two that count them the way duotally
//   does, and two that count them with the straightforward loop. Each is
//   timed from before the first thread starts to after the second join.
// first-read, first-count: the workload's fill, then one such pass only,
//   the first over the freshly written array, as in duotally itself; the
//   repetitions are separate processes, which run.py starts in turn.
#include "kernels.h"
#include "workload.h"

#include <pthread.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::vector<double>> samples;

double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void record(const char *name, double ms) {
  samples[name].push_back(ms);
  std::printf("sample %s %.3f\n", name, ms);
  std::fflush(stdout);
}

// Keeps results alive so the compiler cannot drop the work.
volatile std::int32_t sink;

void die(const char *what) {
  std::fprintf(stderr, "tally_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

void touch_pages(std::int32_t *a, std::int32_t n) {
  for (std::int32_t i = 0; i < n; i += 1024) a[i] = 1;
}

void bench_fill() {
  const std::size_t bytes = static_cast<std::size_t>(array_size) * sizeof(std::int32_t);

  std::int32_t *warm = workload_alloc(array_size);
  if (warm == nullptr) die("allocation");
  touch_pages(warm, array_size);
  double t = now_ms();
  std::srand(0);
  for (std::int32_t i = 0; i < array_size; i++) warm[i] = std::rand() % 4;
  record("gen_rand", now_ms() - t);
  t = now_ms();
  workload_rng_t rng;
  workload_rng_start(&rng);
  workload_rng_fill(&rng, warm, array_size);
  record("gen_workload", now_ms() - t);
  sink = warm[array_size - 1];
  std::free(warm);

  t = now_ms();
  auto *small = static_cast<std::int32_t *>(std::malloc(bytes));
  if (small == nullptr) die("allocation");
  touch_pages(small, array_size);
  record("faults_4k", now_ms() - t);
  std::free(small);

  t = now_ms();
  std::int32_t *huge = workload_alloc(array_size);
  if (huge == nullptr) die("allocation");
  touch_pages(huge, array_size);
  record("faults_huge", now_ms() - t);
  std::free(huge);

  t = now_ms();
  auto *plain = static_cast<std::int32_t *>(std::malloc(bytes));
  if (plain == nullptr) die("allocation");
  std::srand(0);
  for (std::int32_t i = 0; i < array_size; i++) plain[i] = std::rand() % 4;
  record("fill_plain", now_ms() - t);
  std::free(plain);

  t = now_ms();
  std::int32_t *alone = workload_alloc(array_size);
  if (alone == nullptr) die("allocation");
  workload_rng_t rng_alone;
  workload_rng_start(&rng_alone);
  workload_rng_fill(&rng_alone, alone, array_size);
  record("fill_no_helper", now_ms() - t);
  sink = alone[array_size - 1];
  std::free(alone);

  t = now_ms();
  if (!workload_fill(array_size)) die("allocation");
  record("fill_workload", now_ms() - t);
  std::free(array);
  array = nullptr;
}

enum kernel_t { read_limit, workload_kernel, plain_kernel };

struct half_t {
  kernel_t kernel;
  const std::int32_t *first;
  std::int32_t length;
  std::int32_t result;
};

void *run_half(void *arg) {
  auto *h = static_cast<half_t *>(arg);
  switch (h->kernel) {
    case read_limit:
      h->result = read_all(h->first, h->length);
      break;
    case workload_kernel:
      h->result = workload_count(h->first, h->length, tofind);
      break;
    case plain_kernel:
      h->result = plain_count(h->first, h->length, tofind);
      break;
  }
  return nullptr;
}

// Two threads over the two halves, timed like duotally's interval.
std::int32_t two_threads(kernel_t kernel, const char *name) {
  const std::int32_t half = array_size / 2;
  half_t halves[2] = {{kernel, array, half, 0}, {kernel, array + half, half, 0}};
  pthread_t threads[2];
  const double t = now_ms();
  for (int i = 0; i < 2; i++)
    if (pthread_create(&threads[i], nullptr, run_half, &halves[i]) != 0) die("pthread_create");
  for (pthread_t th : threads) pthread_join(th, nullptr);
  record(name, now_ms() - t);
  return kernel == read_limit ? halves[0].result | halves[1].result
                              : halves[0].result + halves[1].result;
}

void bench_scan(int reps) {
  if (!workload_fill(array_size)) die("allocation");
  std::int32_t counts[2] = {};
  for (int r = 0; r < reps; r++) {
    sink = two_threads(read_limit, "read_limit_2t");
    counts[0] = two_threads(workload_kernel, "count_workload_2t");
    counts[1] = two_threads(plain_kernel, "count_plain_2t");
    if (counts[0] != counts[1]) {
      std::fprintf(stderr, "tally_bench: counts differ: %d %d\n", counts[0], counts[1]);
      std::exit(1);
    }
  }
}

void bench_first(kernel_t kernel, const char *name) {
  if (!workload_fill(array_size)) die("allocation");
  sink = two_threads(kernel, name);
}

bool parse_reps(const char *text, int *out) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || errno != 0 || *end != '\0' || v < 1 || v > 1000)
    return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int reps = 0;
  const char *mode = argc >= 2 ? argv[1] : "";
  const bool fill = std::strcmp(mode, "fill") == 0;
  const bool scan = std::strcmp(mode, "scan") == 0;
  const bool first_read = std::strcmp(mode, "first-read") == 0;
  const bool first_count = std::strcmp(mode, "first-count") == 0;
  if (argc < 2 || argc > 3 || !(fill || scan || first_read || first_count) ||
      !parse_reps(argc == 3 ? argv[2] : (fill ? "3" : "21"), &reps)) {
    std::fprintf(stderr, "usage: tally_bench fill|scan|first-read|first-count [reps]\n");
    return 1;
  }

  if (fill)
    for (int r = 0; r < reps; r++) bench_fill();
  else if (scan)
    bench_scan(reps);
  else if (first_read)
    bench_first(read_limit, "first_read_limit_2t");
  else
    bench_first(workload_kernel, "first_count_workload_2t");

  for (auto &[name, v] : samples) {
    std::sort(v.begin(), v.end());
    std::printf("median %s %.3f\n", name.c_str(), v[v.size() / 2]);
  }
  return 0;
}
