// Time per phase of the phaser used as a barrier (every participant awaits,
// named by its slot or by the caller; with a trivial completion step),
// against pthread_barrier and std::barrier, and of the demonstration's
// pattern (workers advance, one participant awaits); the time of one phase
// of many participants arriving in either order; and a 1-D heat stencil,
// one barrier per step, under the phaser, std::barrier, pthread_barrier and
// OpenMP's barrier, wall and process CPU time.
//
// Phaser participants are named by their thread's process-wide slot, so the
// benchmark runs on a pool of threads created once, which take slots
// 0..max_threads-1 in order before anything else asks for one. Each
// benchmark iteration runs phases_per_iteration phases on the first n pool
// threads and is timed on the wall clock.

#include "zel_phaser.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <thread>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace {

constexpr int max_threads = 8;
constexpr int phases_per_iteration = 1000;

// Persistent threads that run one job at a time on the first n of them;
// thread i holds slot i.
class pool {
 public:
  pool() {
    for (int i = 0; i < max_threads; ++i) {
      threads_.emplace_back([this, i] { loop(i); });
      registered_.wait(i);  // thread i takes its slot before thread i + 1 asks
    }
  }
  ~pool() {
    job_ = nullptr;
    sync_.arrive_and_wait();
    for (auto &t : threads_) t.join();
  }
  pool(const pool &) = delete;
  pool &operator=(const pool &) = delete;

  // Runs job(i) on threads 0..n-1 and returns when all are done.
  void run(int n, std::function<void(int)> job) {
    n_ = n;
    job_ = std::move(job);
    sync_.arrive_and_wait();  // they start
    sync_.arrive_and_wait();  // they are done
  }

 private:
  void loop(int index) {
    tid_slot(pthread_self());
    registered_.fetch_add(1);
    registered_.notify_all();
    for (sync_.arrive_and_wait(); job_; sync_.arrive_and_wait()) {
      if (index < n_) job_(index);
      sync_.arrive_and_wait();
    }
  }

  int n_ = 0;
  std::function<void(int)> job_;
  std::atomic<int> registered_{0};
  std::barrier<> sync_{max_threads + 1};
  std::vector<std::thread> threads_;
};

pool &threads() {
  static pool p;
  return p;
}

// Runs phases_per_iteration phases per benchmark iteration on the first n
// pool threads, `phase(index)` being thread index's part of one phase, and
// reports the time per phase.
template <typename Phase>
void time_phases(benchmark::State &state, int n, Phase phase) {
  for (auto _ : state) {
    threads().run(n, [&](int index) {
      for (int k = 0; k < phases_per_iteration; ++k) phase(index);
    });
  }
  state.counters["per_phase"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * phases_per_iteration,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_zel_phaser_barrier(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  zel_phaser_t ph;
  zel_phaser_init(&ph, n);
  time_phases(state, n, [&](int) { zel_phaser_advance_and_await(&ph); });
  zel_phaser_destroy(&ph);
}

// The same barrier with participants named by the caller: no registry.
void BM_zel_phaser_barrier_at(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  zel_phaser_t ph;
  zel_phaser_init(&ph, n);
  time_phases(state, n, [&](int index) { zel_phaser_advance_and_await_at(&ph, index); });
  zel_phaser_destroy(&ph);
}

// The barrier with a trivial completion step, against std::barrier with the
// same step.
int count_phase(void *arg, int32_t) {
  ++*static_cast<long *>(arg);
  return 0;
}

void BM_zel_phaser_barrier_completion(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  long phases = 0;
  zel_phaser_t ph;
  zel_phaser_init_completion(&ph, n, count_phase, &phases);
  time_phases(state, n, [&](int index) { zel_phaser_advance_and_await_at(&ph, index); });
  zel_phaser_destroy(&ph);
  benchmark::DoNotOptimize(phases);
}

void BM_std_barrier_completion(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  long phases = 0;
  std::barrier b(n, [&]() noexcept { count_phase(&phases, 0); });
  time_phases(state, n, [&](int) { b.arrive_and_wait(); });
  benchmark::DoNotOptimize(phases);
}

void BM_pthread_barrier(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  pthread_barrier_t b;
  pthread_barrier_init(&b, nullptr, static_cast<unsigned>(n));
  time_phases(state, n, [&](int) { pthread_barrier_wait(&b); });
  pthread_barrier_destroy(&b);
}

void BM_std_barrier(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  std::barrier b(n);
  time_phases(state, n, [&](int) { b.arrive_and_wait(); });
}

// The demonstration's pattern: n - 1 workers advance without waiting, thread
// 0 awaits every phase.
void BM_zel_phaser_one_awaiter(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  zel_phaser_t ph;
  zel_phaser_init(&ph, n);
  time_phases(state, n, [&](int index) {
    if (index == 0) {
      zel_phaser_advance_and_await(&ph);
    } else {
      zel_phaser_advance(&ph);
    }
  });
  zel_phaser_destroy(&ph);
}

// One phase of n participants that one thread advances once each, in index
// order (range(1) 0) or in reverse (1): the cost of a phase in n.
void BM_zel_phaser_one_phase(benchmark::State &state) {
  const auto n = static_cast<int32_t>(state.range(0));
  const bool reverse = state.range(1) != 0;
  zel_phaser_t ph;
  zel_phaser_init(&ph, n);
  for (auto _ : state) {
    for (int32_t k = 0; k < n; ++k) zel_phaser_advance_at(&ph, reverse ? n - 1 - k : k);
  }
  zel_phaser_destroy(&ph);
}

// The stencil: `cells` temperatures, the ends held at 1 and 0; in each step
// thread `id` of `n` computes its slice of the next temperatures from the
// current ones, then waits at the barrier. One iteration is
// stencil_steps steps, the same kernel under every barrier; `per_step`
// counts wall time per step, and the CPU time is the whole process's.
constexpr int stencil_steps = 2000;

void count_steps(benchmark::State &state) {
  state.counters["per_step"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * stencil_steps,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

template <typename Wait>
void stencil_slice(std::vector<double> (&rods)[2], int id, int n, Wait wait) {
  const int inner = static_cast<int>(rods[0].size()) - 2;
  const int first = 1 + inner * id / n, last = 1 + inner * (id + 1) / n;
  for (int s = 0; s < stencil_steps; ++s) {
    const double *now = rods[s % 2].data();
    double *next = rods[(s + 1) % 2].data();
    for (int i = first; i < last; ++i)
      next[i] = now[i] + 0.25 * (now[i - 1] - 2 * now[i] + now[i + 1]);
    wait(id);
  }
}

// Runs the stencil under one barrier per iteration, `wait` being given the
// barrier and the thread's index, or (no barrier) under OpenMP's.
template <typename Barrier, typename Wait>
void stencil(benchmark::State &state, Wait wait) {
  const int n = static_cast<int>(state.range(0));
  const auto cells = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    std::vector<double> rods[2] = {std::vector<double>(cells), std::vector<double>(cells)};
    rods[0][0] = rods[1][0] = 1.0;
    Barrier b(n);
    threads().run(n, [&](int id) { stencil_slice(rods, id, n, [&](int i) { wait(b, i); }); });
    benchmark::DoNotOptimize(rods[0][cells / 2]);
  }
  count_steps(state);
}

struct zel_barrier {
  explicit zel_barrier(int n) { zel_phaser_init(&p, n); }
  ~zel_barrier() { zel_phaser_destroy(&p); }
  zel_phaser_t p;
};

struct posix_barrier {
  explicit posix_barrier(int n) { pthread_barrier_init(&b, nullptr, static_cast<unsigned>(n)); }
  ~posix_barrier() { pthread_barrier_destroy(&b); }
  pthread_barrier_t b;
};

void BM_stencil_zel_phaser(benchmark::State &state) {
  stencil<zel_barrier>(state,
                       [](zel_barrier &b, int id) { zel_phaser_advance_and_await_at(&b.p, id); });
}

void BM_stencil_std_barrier(benchmark::State &state) {
  stencil<std::barrier<>>(state, [](std::barrier<> &b, int) { b.arrive_and_wait(); });
}

void BM_stencil_pthread_barrier(benchmark::State &state) {
  stencil<posix_barrier>(state, [](posix_barrier &b, int) { pthread_barrier_wait(&b.b); });
}

#ifdef _OPENMP
// OpenMP's own threads; its waiting policy is OMP_WAIT_POLICY's.
void BM_stencil_openmp(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const auto cells = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    std::vector<double> rods[2] = {std::vector<double>(cells), std::vector<double>(cells)};
    rods[0][0] = rods[1][0] = 1.0;
#pragma omp parallel num_threads(n)
    stencil_slice(rods, omp_get_thread_num(), n, [](int) {
#pragma omp barrier
    });
    benchmark::DoNotOptimize(rods[0][cells / 2]);
  }
  count_steps(state);
}
#endif

void stencil_shapes(benchmark::internal::Benchmark *b) {
  b->Args({2, 4096})->Args({2, 65536})->Args({4, 4096})->ArgNames({"threads", "cells"});
  b->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
}

void thread_counts(benchmark::internal::Benchmark *b) {
  for (int n : {2, 3, 4, 8}) b->Arg(n);
  b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_zel_phaser_barrier)->Apply(thread_counts);
BENCHMARK(BM_zel_phaser_barrier_at)->Apply(thread_counts);
BENCHMARK(BM_pthread_barrier)->Apply(thread_counts);
BENCHMARK(BM_std_barrier)->Apply(thread_counts);
BENCHMARK(BM_zel_phaser_barrier_completion)->Apply(thread_counts);
BENCHMARK(BM_std_barrier_completion)->Apply(thread_counts);
BENCHMARK(BM_zel_phaser_one_awaiter)->Apply(thread_counts);
BENCHMARK(BM_stencil_zel_phaser)->Apply(stencil_shapes);
BENCHMARK(BM_stencil_std_barrier)->Apply(stencil_shapes);
BENCHMARK(BM_stencil_pthread_barrier)->Apply(stencil_shapes);
#ifdef _OPENMP
BENCHMARK(BM_stencil_openmp)->Apply(stencil_shapes);
#endif
BENCHMARK(BM_zel_phaser_one_phase)
    ->ArgsProduct({benchmark::CreateRange(1 << 10, 1 << 17, 2), {0, 1}})
    ->ArgNames({"n", "reverse"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  threads();  // the pool takes slots 0..7 before anything else
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
