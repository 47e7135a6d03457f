// Helpers shared by the phaser's unit tests: an owning wrapper, a board on
// which participants publish their progress, a watchdog that turns a hang
// into a failure, and a thread's voluntary context switches.
#ifndef ZEL_PHASER_TESTS_PHASER_TESTING_H
#define ZEL_PHASER_TESTS_PHASER_TESTING_H

#include "zel_phaser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace zel_testing {

class Phaser {
 public:
  explicit Phaser(int32_t n) { EXPECT_EQ(zel_phaser_init(&p_, n), 0); }
  ~Phaser() { EXPECT_EQ(zel_phaser_destroy(&p_), 0); }
  Phaser(const Phaser &) = delete;
  Phaser &operator=(const Phaser &) = delete;
  zel_phaser_t *get() { return &p_; }

 private:
  zel_phaser_t p_{};
};

// Writes the phases of participants 0, 1, ... before the first operation.
inline void write_phases(zel_phaser_t *p, std::initializer_list<int32_t> phases) {
  int32_t i = 0;
  for (int32_t phase : phases) p->phases[i++] = phase;
}

// Each participant publishes how often it has advanced before advancing; an
// await that returns for phase k must see every participant at k or later.
struct progress_board {
  explicit progress_board(int n) : done(static_cast<size_t>(n)) {}
  void publish(int who, int32_t k) {
    done[static_cast<size_t>(who)].store(k, std::memory_order_relaxed);
  }
  bool all_reached(int32_t k) const {
    for (const auto &d : done)
      if (d.load(std::memory_order_relaxed) < k) return false;
    return true;
  }
  std::vector<std::atomic<int32_t>> done;
};

// Ends the process with a failure, naming `what`, when `progress` has not
// changed for `stall`: a lost wake-up fails within seconds instead of
// hanging until the test's timeout. Each test runs in a process of its own.
class watchdog {
 public:
  watchdog(const char *what, const std::atomic<long> &progress,
           std::chrono::milliseconds stall = std::chrono::seconds(10))
      : thread_([this, what, &progress, stall] {
          long seen = progress.load();
          auto since = std::chrono::steady_clock::now();
          std::unique_lock lock(m_);
          while (!cv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; })) {
            const long now = progress.load();
            if (now != seen) {
              seen = now;
              since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since > stall) {
              std::fprintf(stderr, "watchdog: %s made no progress for %lld ms (at %ld)\n", what,
                           static_cast<long long>(stall.count()), now);
              std::fflush(stderr);
              std::_Exit(3);
            }
          }
        }) {}
  ~watchdog() {
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  watchdog(const watchdog &) = delete;
  watchdog &operator=(const watchdog &) = delete;

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// Burns `rounds` rounds of an empty loop: a delay much shorter than a sleep.
inline void spin(unsigned rounds) {
  for (unsigned i = 0; i < rounds; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
}

// The calling thread's voluntary context switches so far: how often it
// went to sleep.
inline long voluntary_switches() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

// The CLOCK_MONOTONIC time `from_now` ahead (negative: in the past).
inline timespec monotonic_in(std::chrono::nanoseconds from_now) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ns = now.tv_nsec + from_now.count() % 1000000000;
  timespec t{};
  t.tv_sec = now.tv_sec + static_cast<time_t>(from_now.count() / 1000000000 + ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    t.tv_sec -= 1;
  }
  return t;
}

}  // namespace zel_testing

#endif  // ZEL_PHASER_TESTS_PHASER_TESTING_H
