// tally_bench: the counting workload measured with Google Benchmark against
// kernels built apart from it, one pass or one fill per iteration:
//   warm_2t/KERNEL     two threads over the halves of the warm 800 MB array,
//                      started and joined per pass, as duotally times it;
//   block_64m/KERNEL   one thread over a warm 64 MiB block (memory bound);
//   cache_256k/KERNEL  one thread over 256 KiB in cache (the kernel's speed);
//   fill/...           a fresh block's page faults alone (faults_small,
//                      faults_huge; a touch per 4 KiB), malloc with srand(0)
//                      and rand() % 4 (plain), the generator on one thread
//                      into a fresh huge-page block (one_thread), the fill on
//                      each page size (workload_huge, workload_small), and the
//                      generator alone rewriting the warm array with its own
//                      values (gen_rand: rand(); gen_LEVEL_2t: two threads).
// KERNEL: the independent references native_or, native_plain and
// native_intrinsics (reference.h), the plain loop plain_o3 (plain_count.h), each
// level this CPU runs (workload_LEVEL) and workload_count (workload). Every
// count is checked against the plain loop's; a wrong one is the benchmark's
// error. The context printed beside the results describes the machine.
//
// In a fresh process of its own, printing "info machine LINE" and "sample
// NAME MILLISECONDS" lines:
// --floor huge|small  the floor of a whole run, none of the project's code:
//   two threads fault in and write their halves of a block on the given
//   pages with a free generator (i % 4), small pages populated 2 MiB at a
//   time just before they are written; then two threads count it.
// --first KERNEL  the workload's fill, then one two-thread pass of KERNEL,
//   the first over the freshly written array, as in duotally.
#include "internal/fill.h"
#include "internal/level.h"
#include "plain_count.h"
#include "reference.h"
#include "workload.h"

#include <benchmark/benchmark.h>
#include <err.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr std::int32_t half = array_size / 2;
constexpr std::size_t bytes = static_cast<std::size_t>(array_size) * sizeof(std::int32_t);
constexpr std::int32_t huge_page_elements = (2 << 20) / 4;

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// Runs part(0) and part(1) on two new threads and joins them.
void two_threads(const std::function<void(int)> &part) {
  std::thread first(part, 0), second(part, 1);
  first.join();
  second.join();
}

std::vector<const tally_level_t *> levels() {
  std::vector<const tally_level_t *> supported;
  for (const tally_level_t &level : tally_levels)
    if (tally_level_supported(level)) supported.push_back(&level);
  return supported;
}

struct kernel_t {
  std::string name;
  std::function<std::int32_t(const std::int32_t *, std::int32_t, std::int32_t)> run;
  bool counts;  // false for the pure read, whose result is no count
};

std::int32_t or_read(const std::int32_t *p, std::int32_t n, std::int32_t) {
  return native_or_reduce(p, n);
}

std::vector<kernel_t> kernels() {
  std::vector<kernel_t> k = {{"native_or", or_read, false},
                             {"native_plain", native_plain_count, true},
                             {"native_intrinsics", native_intrinsics_count, true},
                             {"plain_o3", plain_count, true}};
  for (const tally_level_t *level : levels())
    k.push_back({std::string("workload_") + level->name, level->kernels->count, true});
  k.push_back({"workload", workload_count, true});
  return k;
}

// The first value of `key` in /proc/cpuinfo.
std::string cpuinfo(const std::string &key) {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0 && line.find(':') != std::string::npos)
      return line.substr(std::min(line.size(), line.find(':') + 2));
  return "unknown";
}

std::string machine() {
  std::istringstream words(cpuinfo("flags"));
  const std::set<std::string> flags{std::istream_iterator<std::string>(words), {}};
  std::ifstream thp("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes, mode = "unknown";
  std::getline(thp, modes);
  const auto open = modes.find('['), close = modes.find(']');
  if (open != std::string::npos && close > open) mode = modes.substr(open + 1, close - open - 1);
  std::ostringstream line;
  line << cpuinfo("model name") << "; " << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs; vector:";
  for (const char *f : {"sse2", "avx", "avx2", "avx512f", "avx512bw", "avx512vl"})
    if (flags.count(f) != 0) line << ' ' << f;
  line << "; kernel level: " << tally_level_best().name << "; transparent huge pages: " << mode;
  return line.str();
}

// The warm array, filled once per process.
std::int32_t *warm() {
  static std::int32_t *const p = [] {
    std::int32_t *block = workload_fill_block(array_size, workload_pages_huge);
    if (block == nullptr) err(1, "the fill");
    return block;
  }();
  return p;
}

void check(benchmark::State &state, const kernel_t &k, std::int32_t got, std::int32_t want) {
  if (k.counts && got != want) state.SkipWithError((k.name + " counts wrong").c_str());
}

void warm_2t(benchmark::State &state, const kernel_t &k) {
  std::int32_t *p = warm(), got[2] = {};
  for (auto _ : state) two_threads([&](int t) { got[t] = k.run(p + t * half, half, 3); });
  check(state, k, got[0] + got[1], plain_count(p, array_size, 3));
}

void one_block(benchmark::State &state, const kernel_t &k, std::int32_t n) {
  std::int32_t *p = warm(), got = 0;
  for (auto _ : state) benchmark::DoNotOptimize(got = k.run(p, n, 3));
  check(state, k, got, plain_count(p, n, 3));
}

void generator_2t(benchmark::State &state, const tally_level_t &level) {
  std::int32_t *p = warm();
  for (auto _ : state)
    two_threads([&](int t) {
      rand_sequence_fill(level, p + t * half, static_cast<std::uint64_t>(t) * half, half);
    });
}

// The straightforward generator: the array from srand(0) and rand() % 4.
std::int32_t *rand_into(std::int32_t *p) {
  std::srand(0);
  for (std::int32_t i = 0; p != nullptr && i < array_size; i++) p[i] = std::rand() % 4;
  return p;
}

void generator_rand(benchmark::State &state) {
  for (auto _ : state) rand_into(warm());
}

// Times make(), which returns a fresh block; freeing it is not timed.
void fresh(benchmark::State &state, const std::function<std::int32_t *()> &make) {
  for (auto _ : state) {
    const auto start = clock_type::now();
    std::int32_t *p = make();
    state.SetIterationTime(ms_since(start) / 1e3);
    if (p == nullptr) err(1, "allocation");
    std::free(p);
  }
}

std::int32_t *touched(workload_pages_t pages) {
  std::int32_t *p = workload_alloc_pages(array_size, pages);
  if (p != nullptr)
    for (std::int32_t i = 0; i < array_size; i += 1024) p[i] = 1;
  return p;
}

std::int32_t *one_thread_fill() {
  std::int32_t *p = workload_alloc_pages(array_size, workload_pages_huge);
  if (p != nullptr) rand_sequence_fill(tally_level_best(), p, 0, array_size);
  return p;
}

benchmark::internal::Benchmark *add(const std::string &name,
                                    const std::function<void(benchmark::State &)> &run,
                                    benchmark::TimeUnit unit = benchmark::kMillisecond) {
  return benchmark::RegisterBenchmark(name.c_str(), [run](benchmark::State &s) { run(s); })
      ->Unit(unit);
}

void register_benchmarks() {
  const std::pair<const char *, std::function<std::int32_t *()>> fills[] = {
      {"faults_small", [] { return touched(workload_pages_small); }},
      {"faults_huge", [] { return touched(workload_pages_huge); }},
      {"plain", [] { return rand_into(static_cast<std::int32_t *>(std::malloc(bytes))); }},
      {"one_thread", one_thread_fill},
      {"workload_huge", [] { return workload_fill_block(array_size, workload_pages_huge); }},
      {"workload_small", [] { return workload_fill_block(array_size, workload_pages_small); }}};
  for (const auto &[name, make] : fills)
    add(std::string("fill/") + name, [make = make](auto &s) { fresh(s, make); })
        ->Iterations(1)
        ->UseManualTime();
  add("fill/gen_rand", generator_rand)->Iterations(1);
  for (const tally_level_t *level : levels())
    add(std::string("fill/gen_") + level->name + "_2t", [level](auto &s) {
      generator_2t(s, *level);
    })->UseRealTime();
  for (const kernel_t &k : kernels()) {
    add("warm_2t/" + k.name, [k](auto &s) { warm_2t(s, k); })->UseRealTime();
    add("block_64m/" + k.name, [k](auto &s) { one_block(s, k, 16 << 20); });
    add(
        "cache_256k/" + k.name, [k](auto &s) { one_block(s, k, 64 << 10); },
        benchmark::kMicrosecond);
  }
}

int floor_run(bool huge) {
  const auto start = clock_type::now();
  auto *p = static_cast<std::int32_t *>(std::aligned_alloc(std::size_t{2} << 20, bytes));
  if (p == nullptr) err(1, "allocation");
  madvise(p, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  two_threads([&](int t) {
    std::int32_t *q = p + t * half;
    for (std::int32_t c = 0; c < half; c += huge_page_elements) {
      if (!huge)  // a failure (an older kernel) leaves the faults to the writes
        madvise(q + c, huge_page_elements * sizeof(std::int32_t), MADV_POPULATE_WRITE);
      for (std::int32_t i = c; i < c + huge_page_elements; i++) q[i] = i % 4;
    }
  });
  const double filled = ms_since(start);
  std::int32_t got[2] = {};
  const auto counting = clock_type::now();
  two_threads([&](int t) { got[t] = native_plain_count(p + t * half, half, 3); });
  const double counted = ms_since(counting);
  if (got[0] + got[1] != array_size / 4) errx(1, "the floor counts %d", got[0] + got[1]);
  std::printf("sample fill %.3f\nsample count %.3f\n", filled, counted);
  std::free(p);
  return 0;
}

int first_run(const kernel_t &k) {
  if (!workload_fill(array_size, workload_use_threads)) err(1, "the fill");
  std::int32_t got[2] = {};
  const auto start = clock_type::now();
  two_threads([&](int t) { got[t] = k.run(array + t * half, half, 3); });
  const double ms = ms_since(start);
  if (k.counts && got[0] + got[1] != plain_count(array, array_size, 3))
    errx(1, "%s counts wrong", k.name.c_str());
  std::printf("sample first %.3f\n", ms);
  return 0;
}

int whole_process(const char *mode, const char *arg) {
  const std::vector<kernel_t> all = kernels();
  const auto k =
      std::find_if(all.begin(), all.end(), [&](const kernel_t &x) { return x.name == arg; });
  const bool huge = std::strcmp(arg, "huge") == 0;
  const bool floor = std::strcmp(mode, "--floor") == 0 && (huge || std::strcmp(arg, "small") == 0);
  if (!floor && (std::strcmp(mode, "--first") != 0 || k == all.end())) {
    std::fprintf(stderr,
                 "usage: tally_bench --floor huge|small | --first KERNEL | [benchmark flags]\n");
    return 2;
  }
  std::printf("info machine %s\n", machine().c_str());
  return floor ? floor_run(huge) : first_run(*k);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--floor") == 0 || std::strcmp(argv[1], "--first") == 0))
    return whole_process(argv[1], argc == 3 ? argv[2] : "");
  benchmark::AddCustomContext("machine", machine());
  benchmark::AddCustomContext("reference_unit", native_intrinsics_unit());
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
