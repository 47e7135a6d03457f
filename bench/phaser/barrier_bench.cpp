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

// The barriers, each waited at by wait(index): the phaser with participants
// named by the caller (or, by slot, by their thread's slot), with a trivial
// completion step or none; std::barrier, with the same step or none;
// pthread_barrier.
int count_phase(void *arg, int32_t) {
  ++*static_cast<long *>(arg);
  return 0;
}

struct zel_barrier {
  explicit zel_barrier(int n, zel_phaser_completion_t *step = nullptr) {
    zel_phaser_init_completion(&p, n, step, &phases);
  }
  ~zel_barrier() { zel_phaser_destroy(&p); }
  void wait(int index) { zel_phaser_advance_and_await_at(&p, index); }
  zel_phaser_t p;
  alignas(64) long phases = 0;  // the step's own line, not the record's
};

struct zel_by_slot : zel_barrier {
  using zel_barrier::zel_barrier;
  void wait(int) { zel_phaser_advance_and_await(&p); }
};

struct zel_with_step : zel_barrier {
  explicit zel_with_step(int n) : zel_barrier(n, count_phase) {}
};

template <typename... Step>
struct std_barrier {
  explicit std_barrier(int n) : b(n, Step{&phases}...) {}
  void wait(int) { b.arrive_and_wait(); }
  alignas(64) long phases = 0;
  alignas(64) std::barrier<Step...> b;
};

struct counting_step {
  long *phases;
  void operator()() noexcept { count_phase(phases, 0); }
};

struct posix_barrier {
  explicit posix_barrier(int n) { pthread_barrier_init(&b, nullptr, static_cast<unsigned>(n)); }
  ~posix_barrier() { pthread_barrier_destroy(&b); }
  void wait(int) { pthread_barrier_wait(&b); }
  pthread_barrier_t b;
};

template <typename Barrier>
void barrier_phases(benchmark::State &state) {
  Barrier b(static_cast<int>(state.range(0)));
  time_phases(state, static_cast<int>(state.range(0)), [&](int index) { b.wait(index); });
}

// The demonstration's pattern: n - 1 workers advance without waiting, thread
// 0 awaits every phase.
void one_awaiter(benchmark::State &state) {
  zel_barrier b(static_cast<int>(state.range(0)));
  time_phases(state, static_cast<int>(state.range(0)), [&](int index) {
    index == 0 ? zel_phaser_advance_and_await(&b.p) : zel_phaser_advance(&b.p);
  });
}

// One phase of n participants that one thread advances once each, in index
// order (range(1) 0) or in reverse (1): the cost of a phase in n.
void one_phase(benchmark::State &state) {
  const auto n = static_cast<int32_t>(state.range(0));
  const bool reverse = state.range(1) != 0;
  zel_barrier b(n);
  for (auto _ : state) {
    for (int32_t k = 0; k < n; ++k) zel_phaser_advance_at(&b.p, reverse ? n - 1 - k : k);
  }
}

// The stencil: `cells` temperatures, the ends held at 1 and 0; in each step
// thread `id` of `n` computes its slice of the next temperatures from the
// current ones, then waits at the barrier. One iteration is
// stencil_steps steps, the same kernel under every barrier; `per_step`
// counts wall time per step, and the CPU time is the whole process's.
constexpr int stencil_steps = 2000;

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

// Runs `run(rods, n)` once per iteration on fresh rods.
template <typename Run>
void stencil_runs(benchmark::State &state, Run run) {
  const auto cells = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    std::vector<double> rods[2] = {std::vector<double>(cells), std::vector<double>(cells)};
    rods[0][0] = rods[1][0] = 1.0;
    run(rods, static_cast<int>(state.range(0)));
    benchmark::DoNotOptimize(rods[0][cells / 2]);
  }
  state.counters["per_step"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * stencil_steps,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

template <typename Barrier>
void stencil(benchmark::State &state) {
  stencil_runs(state, [](std::vector<double>(&rods)[2], int n) {
    Barrier b(n);
    threads().run(n, [&](int id) { stencil_slice(rods, id, n, [&](int i) { b.wait(i); }); });
  });
}

#ifdef _OPENMP
// OpenMP's own threads; its waiting policy is OMP_WAIT_POLICY's.
void stencil_openmp(benchmark::State &state) {
  stencil_runs(state, [](std::vector<double>(&rods)[2], int n) {
#pragma omp parallel num_threads(n)
    stencil_slice(rods, omp_get_thread_num(), n, [](int) {
#pragma omp barrier
    });
  });
}
#endif

void register_benchmarks() {
  using fn = void (*)(benchmark::State &);
  for (auto [name, run] :
       {std::pair<const char *, fn>{"BM_zel_phaser_barrier", barrier_phases<zel_by_slot>},
        {"BM_zel_phaser_barrier_at", barrier_phases<zel_barrier>},
        {"BM_pthread_barrier", barrier_phases<posix_barrier>},
        {"BM_std_barrier", barrier_phases<std_barrier<>>},
        {"BM_zel_phaser_barrier_completion", barrier_phases<zel_with_step>},
        {"BM_std_barrier_completion", barrier_phases<std_barrier<counting_step>>},
        {"BM_zel_phaser_one_awaiter", one_awaiter}}) {
    benchmark::RegisterBenchmark(name, run)->Arg(2)->Arg(3)->Arg(4)->Arg(8)->UseRealTime()->Unit(
        benchmark::kMicrosecond);
  }
  for (auto [name, run] : {
           std::pair<const char *, fn>{"BM_stencil_zel_phaser", stencil<zel_barrier>},
           {"BM_stencil_std_barrier", stencil<std_barrier<>>},
           {"BM_stencil_pthread_barrier", stencil<posix_barrier>},
#ifdef _OPENMP
           {"BM_stencil_openmp", stencil_openmp},
#endif
       }) {
    benchmark::RegisterBenchmark(name, run)
        ->Args({2, 4096})
        ->Args({2, 65536})
        ->Args({4, 4096})
        ->ArgNames({"threads", "cells"})
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("BM_zel_phaser_one_phase", one_phase)
      ->ArgsProduct({benchmark::CreateRange(1 << 10, 1 << 17, 2), {0, 1}})
      ->ArgNames({"n", "reverse"})
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char **argv) {
  threads();  // the pool takes slots 0..7 before anything else
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
