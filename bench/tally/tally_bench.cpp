// tally_bench MODE [reps]: times the parts of the counting workload against
// reference kernels measured in the same process, and prints "info" lines
// (CPU model, its vector extensions, the kernel level the loader picked),
// one "sample NAME MILLISECONDS" line per measurement, then the medians.
//
// fill: where the fill's time goes. rand() and the workload's generator
//   each write into an already-faulted block (generator cost alone); fresh
//   blocks are touched once per 4 KiB on small and on huge pages (fault cost
//   alone); then the straightforward fill (malloc, srand(0), rand() % 4),
//   the workload's fill without its page-populating helper thread, and the
//   workload's fill, whole.
// scan: the workload's fill once, then per repetition every kernel in turn
//   (the references, the plain -O3 loop, each level of the workload's kernel
//   this CPU runs, and workload_count as the loader bound it) over the two
//   halves in two threads, timed like duotally: from before the first thread
//   starts to after the second join. Every count is checked against the
//   plain loop's.
// block: one thread, every kernel in turn over a warm 64 MiB block (memory
//   bound) and 256 times over a warm 256 KiB block (cache resident, so the
//   kernel's own speed shows).
// floor: the floor of a whole run, in a fresh process: two threads fault in
//   and write their halves of a new huge-page block with a free generator
//   (i % 4), then two threads count it with workload_count. One sample;
//   run.py also takes the process's wall time, as for the programs.
// first KERNEL: the workload's fill, then one two-thread pass of KERNEL, the
//   first over the freshly written array, as in duotally itself; run.py
//   starts one process per sample. KERNEL is a name from the scan's list.
//
// The kernel names: native_or, native_plain and native_intrinsics are the
// independent references (reference.h); plain_o3 is the plain loop;
// workload_sse2, workload_avx2, workload_avx512 are the kernel's levels;
// workload is workload_count itself.
#include "count_levels.h"
#include "kernels.h"
#include "reference.h"
#include "workload.h"

#include <pthread.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::vector<double>> samples;

double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void record(const std::string &name, double ms) {
  samples[name].push_back(ms);
  std::printf("sample %s %.3f\n", name.c_str(), ms);
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

// Every kernel under one signature; the pure read ignores the value.
using kernel_fn = std::int32_t (*)(const std::int32_t *, std::int32_t, std::int32_t);

struct kernel_t {
  const char *name;
  kernel_fn run;
  bool counts;  // false for the pure read, whose result is no count
};

std::int32_t or_reduce(const std::int32_t *p, std::int32_t n, std::int32_t) {
  return native_or_reduce(p, n);
}

std::vector<kernel_t> kernels() {
  std::vector<kernel_t> k = {{"native_or", or_reduce, false},
                             {"native_plain", native_plain_count, true},
                             {"native_intrinsics", native_intrinsics_count, true},
                             {"plain_o3", plain_count, true},
                             {"workload_sse2", workload_count_sse2, true}};
  if (workload_count_supported(count_level_avx2))
    k.push_back({"workload_avx2", workload_count_avx2, true});
  if (workload_count_supported(count_level_avx512))
    k.push_back({"workload_avx512", workload_count_avx512, true});
  k.push_back({"workload", workload_count, true});
  return k;
}

// The first /proc/cpuinfo line starting with key, after its colon.
std::string cpuinfo(const char *key) {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(std::min(line.size(), colon + 2));
    }
  return "unknown";
}

void print_machine() {
  std::printf("info cpu %s\n", cpuinfo("model name").c_str());
  std::string vector;
  std::istringstream flags(cpuinfo("flags"));
  for (std::string f; flags >> f;)
    if (f.rfind("sse", 0) == 0 || f.rfind("ssse", 0) == 0 || f.rfind("avx", 0) == 0)
      vector += (vector.empty() ? "" : " ") + f;
  std::printf("info vector %s\n", vector.c_str());
  std::printf("info level %s\n", workload_count_level_name(workload_count_level()));
  std::printf("info reference_unit %s\n", native_intrinsics_unit());
  std::fflush(stdout);
}

struct half_t {
  kernel_fn run;
  const std::int32_t *first;
  std::int32_t length;
  std::int32_t result;
};

void *run_half(void *arg) {
  auto *h = static_cast<half_t *>(arg);
  h->result = h->run(h->first, h->length, tofind);
  return nullptr;
}

// Two threads over the two halves of the array, timed like duotally's
// interval; returns the sum of their results.
std::int32_t two_threads(const kernel_t &k, const std::string &name) {
  const std::int32_t half = array_size / 2;
  half_t halves[2] = {{k.run, array, half, 0}, {k.run, array + half, half, 0}};
  pthread_t threads[2];
  const double t = now_ms();
  for (int i = 0; i < 2; i++)
    if (pthread_create(&threads[i], nullptr, run_half, &halves[i]) != 0) die("pthread_create");
  for (pthread_t th : threads) pthread_join(th, nullptr);
  record(name, now_ms() - t);
  return halves[0].result + halves[1].result;
}

void check_count(const kernel_t &k, std::int32_t got, std::int32_t expected) {
  if (k.counts && got != expected) {
    std::fprintf(stderr, "tally_bench: %s counts %d, the plain loop %d\n", k.name, got, expected);
    std::exit(1);
  }
}

void bench_scan(int reps) {
  if (!workload_fill(array_size)) die("allocation");
  const std::int32_t expected = plain_count(array, array_size, tofind);
  for (int r = 0; r < reps; r++)
    for (const kernel_t &k : kernels())
      check_count(k, two_threads(k, std::string(k.name) + "_2t"), expected);
}

void bench_block(int reps) {
  constexpr std::int32_t big = 16 << 20;    // 64 MiB of elements
  constexpr std::int32_t small = 64 << 10;  // 256 KiB
  constexpr int small_passes = 256;
  std::int32_t *block = workload_alloc(big);
  if (block == nullptr) die("allocation");
  workload_rng_t rng;
  workload_rng_start(&rng);
  workload_rng_fill(&rng, block, big);
  tofind = 3;
  const std::int32_t expected_big = plain_count(block, big, tofind);
  const std::int32_t expected_small = plain_count(block, small, tofind);
  for (int r = 0; r < reps; r++)
    for (const kernel_t &k : kernels()) {
      double t = now_ms();
      check_count(k, k.run(block, big, tofind), expected_big);
      record(std::string(k.name) + "_64m", now_ms() - t);
      t = now_ms();
      std::int32_t c = 0;
      for (int pass = 0; pass < small_passes; pass++) {
        c = k.run(block, small, tofind);
        check_count(k, c, expected_small);
      }
      record(std::string(k.name) + "_256k_x256", now_ms() - t);
      sink = c;
    }
  std::free(block);
}

void bench_first(const char *name) {
  for (const kernel_t &k : kernels())
    if (std::strcmp(k.name, name) == 0) {
      if (!workload_fill(array_size)) die("allocation");
      sink = two_threads(k, "first_" + std::string(name) + "_2t");
      return;
    }
  std::fprintf(stderr, "tally_bench: no kernel %s on this CPU\n", name);
  std::exit(1);
}

struct floor_half_t {
  std::int32_t *first;
  std::int32_t length;
};

void *write_half(void *arg) {
  auto *h = static_cast<floor_half_t *>(arg);
  for (std::int32_t i = 0; i < h->length; i++) h->first[i] = i % 4;
  return nullptr;
}

void bench_floor() {
  const double t = now_ms();
  std::int32_t *block = workload_alloc(array_size);
  if (block == nullptr) die("allocation");
  const std::int32_t half = array_size / 2;
  floor_half_t halves[2] = {{block, half}, {block + half, half}};
  pthread_t threads[2];
  for (int i = 0; i < 2; i++)
    if (pthread_create(&threads[i], nullptr, write_half, &halves[i]) != 0) die("pthread_create");
  for (pthread_t th : threads) pthread_join(th, nullptr);
  array = block;
  tofind = 3;
  const kernel_t workload = {"workload", workload_count, true};
  const std::int32_t count = two_threads(workload, "floor_count_2t");
  record("floor_whole", now_ms() - t);
  check_count(workload, count, array_size / 4);
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
  const std::string mode = argc >= 2 ? argv[1] : "";
  const bool first = mode == "first";
  int reps = 1;
  bool ok = false;
  if (first)
    ok = argc == 3;
  else if (mode == "floor")
    ok = argc == 2;
  else if (mode == "fill" || mode == "scan" || mode == "block")
    ok = argc <= 3 && parse_reps(argc == 3 ? argv[2] : (mode == "fill" ? "3" : "21"), &reps);
  if (!ok) {
    std::fprintf(stderr, "usage: tally_bench fill|scan|block [reps] | first KERNEL | floor\n");
    return 1;
  }

  print_machine();
  if (mode == "fill")
    for (int r = 0; r < reps; r++) bench_fill();
  else if (mode == "scan")
    bench_scan(reps);
  else if (mode == "block")
    bench_block(reps);
  else if (mode == "floor")
    bench_floor();
  else
    bench_first(argv[2]);

  for (auto &[name, v] : samples) {
    std::sort(v.begin(), v.end());
    std::printf("median %s %.3f\n", name.c_str(), v[v.size() / 2]);
  }
  return 0;
}
