// A 1-D heat stencil with one barrier per step, the same source built once
// per barrier (STENCIL_ZEL, _STD, _PTHREAD, _OMP): each of T threads
// computes its slice of the next temperatures from the current ones, then
// waits at the barrier, for a fixed number of steps. Prints the wall time
// and the CPU time (user and system, every thread) of the steps in
// milliseconds, and the middle temperature, which every build must agree on.
// usage: stencil_BARRIER threads cells [steps]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <sys/resource.h>

#if defined(STENCIL_ZEL)
#include "zel_phaser.h"
class barrier {
 public:
  explicit barrier(int n) { zel_phaser_init(&p_, n); }
  ~barrier() { zel_phaser_destroy(&p_); }
  void wait(int id) { zel_phaser_advance_and_await_at(&p_, id); }

 private:
  zel_phaser_t p_;
};
#elif defined(STENCIL_STD)
#include <barrier>
class barrier {
 public:
  explicit barrier(int n) : b_(n) {}
  void wait(int) { b_.arrive_and_wait(); }

 private:
  std::barrier<> b_;
};
#elif defined(STENCIL_PTHREAD)
#include <pthread.h>
class barrier {
 public:
  explicit barrier(int n) { pthread_barrier_init(&b_, nullptr, static_cast<unsigned>(n)); }
  ~barrier() { pthread_barrier_destroy(&b_); }
  void wait(int) { pthread_barrier_wait(&b_); }

 private:
  pthread_barrier_t b_;
};
#elif defined(STENCIL_OMP)
#include <omp.h>
#else
#error "choose a barrier"
#endif

namespace {

double cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Thread `id` of `threads` runs `steps` steps on its slice, calling
// wait() after each.
template <typename Wait>
void run(std::vector<double> (&rods)[2], int id, int threads, int steps, Wait wait) {
  const int inner = static_cast<int>(rods[0].size()) - 2;
  const int first = 1 + inner * id / threads, last = 1 + inner * (id + 1) / threads;
  for (int s = 0; s < steps; ++s) {
    const double *now = rods[s % 2].data();
    double *next = rods[(s + 1) % 2].data();
    for (int i = first; i < last; ++i) {
      next[i] = now[i] + 0.25 * (now[i - 1] - 2 * now[i] + now[i + 1]);
    }
    wait();
  }
}

}  // namespace

int main(int argc, char **argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 0, cells = argc > 2 ? std::atoi(argv[2]) : 0;
  const int steps = argc > 3 ? std::atoi(argv[3]) : 20000;
  if (argc < 3 || argc > 4 || threads < 1 || cells < 3 || cells / 2 < threads || steps < 1) {
    std::fprintf(stderr, "usage: %s threads cells [steps]\n", argv[0]);
    return 2;
  }
  std::vector<double> rods[2] = {std::vector<double>(static_cast<size_t>(cells)),
                                 std::vector<double>(static_cast<size_t>(cells))};
  rods[0][0] = rods[1][0] = 1.0;
  const double cpu_start = cpu_ms();
  const auto start = std::chrono::steady_clock::now();
#if defined(STENCIL_OMP)
#pragma omp parallel num_threads(threads)
  run(rods, omp_get_thread_num(), threads, steps, [] {
#pragma omp barrier
  });
#else
  {
    barrier b(threads);
    std::vector<std::thread> pool;
    for (int id = 0; id < threads; ++id) {
      pool.emplace_back([&, id] { run(rods, id, threads, steps, [&] { b.wait(id); }); });
    }
    for (auto &t : pool) t.join();
  }
#endif
  const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
  std::printf("stencil %.3f %.3f %.9f\n", wall.count(), cpu_ms() - cpu_start,
              rods[steps % 2][static_cast<size_t>(cells / 2)]);
  return 0;
}
