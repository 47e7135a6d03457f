// Promises about concurrent calls, checked by an observer against what it
// saw before and after each call, while participants advance, await, leave
// and join: the current phase never falls, a joiner lands at least on the
// phases it could see before joining, and every laggard answer holds at one
// moment of its call. Each test runs in a process of its own, under a
// watchdog.

#include "phaser_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zel_testing::Phaser;
using zel_testing::watchdog;

int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// One thread per participant below `threads`: those below `steady` advance
// and await for good, the others also leave and join again; the
// participants from `threads` on are spares that have left before the
// start. Every failed check is counted and the first one described.
class observed_run {
 public:
  observed_run(int threads, int n)
      : ph_(n), n_(n), threads_(threads), steady_(std::max(1, threads / 2)) {
    for (int i = threads; i < n; ++i) ph_.get()->phases[i] = INT32_MAX;
  }

  void run(bool ask_laggard, std::chrono::milliseconds length) {
    watchdog dog("observed participants", progress_);
    std::vector<std::thread> threads;
    for (int i = 0; i < threads_; ++i) threads.emplace_back([this, i] { participate(i); });
    const auto end = std::chrono::steady_clock::now() + length;
    int32_t last_current = -1, last_phase = -1;
    int64_t last_since = 0;
    std::vector<int32_t> before(static_cast<size_t>(n_)), after(before);
    while (std::chrono::steady_clock::now() < end) {
      const int64_t t0 = now_ns();
      const int32_t c0 = zel_phaser_current(ph_.get());
      snapshot(before);
      check(c0 >= last_current, "the current phase fell", last_current, c0);
      last_current = c0;
      if (!ask_laggard) continue;
      int32_t who = -2, k = -2;
      timespec since{};
      check(zel_phaser_laggard(ph_.get(), &who, &k, &since) == 0, "laggard failed", 0, 0);
      const int64_t s = static_cast<int64_t>(since.tv_sec) * 1000000000 + since.tv_nsec;
      snapshot(after);
      const int32_t c1 = zel_phaser_current(ph_.get());
      const int64_t t1 = now_ns();
      check(c0 <= k && k <= c1, "laggard's phase is no current phase of the call", c0, k);
      check(s <= t1 && (c0 == k || s >= t0), "laggard's time is outside its phase", t0, s);
      check(k <= last_phase || s >= last_since, "a later phase came with an earlier time",
            last_since, s);
      last_phase = k;
      last_since = s;
      if (who < 0) continue;
      check(who < n_ && after[static_cast<size_t>(who)] >= k, "laggard named one below it", who, k);
      if (who < steady_) {
        check(before[static_cast<size_t>(who)] <= k, "laggard named one already past it", who, k);
      }
      for (int j = 0; j < std::min<int>(who, steady_); ++j) {
        check(after[static_cast<size_t>(j)] > k, "laggard passed over a lower one at its phase", j,
              k);
      }
    }
    stop_.store(true);
    for (auto &t : threads) t.join();
  }

  std::string failures() const { return failures_ == 0 ? "" : first_failure_; }

 private:
  void participate(int i) {
    std::minstd_rand rng(static_cast<unsigned>(i) + 1);
    int32_t who = i;
    while (!stop_.load(std::memory_order_relaxed)) {
      const int rc = rng() % 2 ? zel_phaser_advance_and_await_at(ph_.get(), who)
                               : zel_phaser_advance_at(ph_.get(), who);
      check(rc == 0, "an advance failed", who, rc);
      progress_.fetch_add(1, std::memory_order_relaxed);
      if (i < steady_ || rng() % 4 != 0) continue;
      check(zel_phaser_leave_at(ph_.get(), who) == 0, "a leave failed", who, 0);
      if ((who = join_checked()) < 0) return;
    }
    check(zel_phaser_leave_at(ph_.get(), who) == 0, "a leave failed", who, 0);
  }

  // Joins whichever participant has left; returns it, or -1 once stopped.
  // The smallest phase of a snapshot bounds the join only if no other join
  // was under way while it was taken: one landing amid the reads, on a
  // phase below those read after it, is missing from the snapshot.
  int32_t join_checked() {
    std::vector<int32_t> before(static_cast<size_t>(n_));
    for (;;) {
      const long ended = joins_ended_.load(), started = joins_started_.load();
      const int32_t current = zel_phaser_current(ph_.get());
      snapshot(before);
      const bool bounds = ended == started && joins_started_.load() == started;
      const int32_t lowest = bounds ? *std::min_element(before.begin(), before.end()) : current;
      int32_t who = -1, joined = -1;
      joins_started_.fetch_add(1);
      const int rc = zel_phaser_join(ph_.get(), &who, &joined);
      joins_ended_.fetch_add(1);
      if (rc == 0) {
        check(joined >= current && joined >= lowest && joined != INT32_MAX,
              "a join landed below the phases it could see", lowest, joined);
        check(zel_phaser_current(ph_.get()) <= joined, "a join landed below the current phase",
              joined, 0);
        return who;
      }
      check(rc == EBUSY || rc == EOVERFLOW, "a join failed", rc, 0);
      if (stop_.load()) return -1;
      std::this_thread::yield();
    }
  }

  void snapshot(std::vector<int32_t> &phases) const {
    for (int i = 0; i < n_; ++i) {
      phases[static_cast<size_t>(i)] =
          std::atomic_ref<int32_t>(ph_.get()->phases[i]).load(std::memory_order_seq_cst);
    }
  }

  void check(bool ok, const char *what, int64_t a, int64_t b) {
    if (ok || failures_.fetch_add(1) != 0) return;
    std::ostringstream out;
    out << what << " (" << a << ", " << b << ")";
    first_failure_ = out.str();
  }

  mutable Phaser ph_;
  const int n_, threads_, steady_;
  std::atomic<long> progress_{0};
  std::atomic<bool> stop_{false};
  std::atomic<long> joins_started_{0}, joins_ended_{0};
  std::atomic<int> failures_{0};
  std::string first_failure_;
};

// ((threads, participants), whether the observer asks zel_phaser_laggard too)
class ZelPhaserObserved : public ::testing::TestWithParam<std::tuple<std::tuple<int, int>, bool>> {
};

TEST_P(ZelPhaserObserved, EveryAnswerHoldsAtOneMomentOfItsCall) {
  const auto [shape, ask_laggard] = GetParam();
  observed_run run(std::get<0>(shape), std::get<1>(shape));
  run.run(ask_laggard, 600ms);
  EXPECT_EQ(run.failures(), "");
}

std::string shape_name(const ::testing::TestParamInfo<ZelPhaserObserved::ParamType> &info) {
  const auto &[shape, laggard] = info.param;
  return std::to_string(std::get<0>(shape)) + "Threads" + std::to_string(std::get<1>(shape)) +
         "Participants" + (laggard ? "WithLaggard" : "");
}

INSTANTIATE_TEST_SUITE_P(Participants, ZelPhaserObserved,
                         ::testing::Combine(::testing::Values(std::tuple{2, 2}, std::tuple{8, 8},
                                                              std::tuple{64, 64},
                                                              std::tuple{8, 2001}),
                                            ::testing::Bool()),
                         shape_name);

}  // namespace
