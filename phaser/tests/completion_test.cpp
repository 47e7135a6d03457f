// The completion step: once per phase, in order, never two at once, before
// anybody goes on, on the thread that completed the phase; a nonzero return
// ends the run. Each test runs in a process of its own, under a watchdog.

#include "phaser_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <latch>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zel_testing::watchdog;

// A phaser with a completion step that logs its phases and threads and
// returns `result_at[phase]` (0 for the phases not listed).
struct logged {
  explicit logged(int32_t n, std::vector<int> result_at = {}) : results(std::move(result_at)) {
    EXPECT_EQ(zel_phaser_init_completion(&ph, n, step, this), 0);
  }
  ~logged() { EXPECT_EQ(zel_phaser_destroy(&ph), 0); }
  static int step(void *arg, int32_t phase) {
    auto *self = static_cast<logged *>(arg);
    self->phases.push_back(phase);
    self->threads.push_back(pthread_self());
    const auto at = static_cast<size_t>(phase);
    return at < self->results.size() ? self->results[at] : 0;
  }
  zel_phaser_t ph{};
  std::vector<int> results;
  std::vector<int32_t> phases;
  std::vector<pthread_t> threads;
};

TEST(ZelPhaserCompletion, RunsOncePerPhaseInOrderAlsoWhenOneCallCompletesMany) {
  logged a(2);  // participant 1 completes each phase with its own advance
  for (int k = 0; k < 5; ++k) ASSERT_EQ(zel_phaser_advance_at(&a.ph, 0), 0);
  EXPECT_TRUE(a.phases.empty());
  for (int k = 0; k < 5; ++k) ASSERT_EQ(zel_phaser_advance_at(&a.ph, 1), 0);
  EXPECT_EQ(a.phases, (std::vector<int32_t>{1, 2, 3, 4, 5}));

  logged b(2);  // participant 1's leave completes five phases at once
  for (int k = 0; k < 5; ++k) ASSERT_EQ(zel_phaser_advance_at(&b.ph, 0), 0);
  std::thread([&] { ASSERT_EQ(zel_phaser_leave_at(&b.ph, 1), 0); }).join();
  EXPECT_EQ(b.phases, (std::vector<int32_t>{1, 2, 3, 4, 5}));
  for (pthread_t t : b.threads) EXPECT_FALSE(pthread_equal(t, pthread_self()));
  EXPECT_EQ(zel_phaser_current(&b.ph), 5);
  ASSERT_EQ(zel_phaser_leave_at(&b.ph, 0), 0);  // no step for INT32_MAX
  EXPECT_EQ(b.phases.size(), 5u);
  EXPECT_EQ(zel_phaser_current(&b.ph), INT32_MAX);

  logged c(3);  // phases written before the first operation start the count
  zel_testing::write_phases(&c.ph, {4, 6, INT32_MAX});
  ASSERT_EQ(zel_phaser_advance_at(&c.ph, 0), 0);
  EXPECT_EQ(c.phases, (std::vector<int32_t>{5}));
}

TEST(ZelPhaserCompletion, ANonzeroReturnEndsEveryWaitWithItOrWithEcanceled) {
  for (const auto &[returned, error] :
       {std::pair{EPIPE, EPIPE}, {-5, ECANCELED}, {EINVAL, ECANCELED}}) {
    logged run(3, {0, 0, 0, returned});  // phase 3's step fails
    std::atomic<long> progress{0};
    watchdog dog("a run ended by its completion step", progress);
    std::vector<int> ended(3), reached(3);
    std::vector<std::thread> threads;
    for (int32_t i = 0; i < 3; ++i) {
      threads.emplace_back([&, i] {
        int rc = 0;
        for (int32_t k = 1; rc == 0; ++k, progress.fetch_add(1)) {
          rc = zel_phaser_advance_and_await_at(&run.ph, i);
          reached[static_cast<size_t>(i)] = rc == 0 ? k : reached[static_cast<size_t>(i)];
        }
        ended[static_cast<size_t>(i)] = rc;
      });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(ended, std::vector<int>(3, error)) << returned;
    EXPECT_EQ(reached, std::vector<int>(3, 2)) << returned;
    EXPECT_EQ(run.phases, (std::vector<int32_t>{1, 2, 3})) << returned;
    EXPECT_EQ(zel_phaser_current(&run.ph), 2) << returned;
  }
}

// From inside the step: every call that advances, awaits, joins or leaves
// this phaser refuses with EDEADLK and changes nothing; the others work.
TEST(ZelPhaserCompletion, CallsThatWouldWaitForItselfInsideTheStepReturnEdeadlk) {
  struct inside {
    zel_phaser_t ph{};
    std::vector<int> results;
    static int step(void *arg, int32_t phase) {
      auto *self = static_cast<inside *>(arg);
      zel_phaser_t *p = &self->ph;
      int32_t who = -2, at = -2;
      const timespec past{0, 0};
      self->results = {zel_phaser_advance_at(p, 0),
                       zel_phaser_advance_at(p, 2),
                       zel_phaser_advance_and_await_at(p, 1),
                       zel_phaser_advance(p),
                       zel_phaser_await_phase(p, 0, &past),
                       zel_phaser_join_at(p, 2, &at),
                       zel_phaser_join(p, &who, &at),
                       zel_phaser_leave_at(p, 1),
                       zel_phaser_current(p) == phase - 1 ? 0 : -9,
                       zel_phaser_laggard(p, &who, &at, nullptr),
                       at == phase - 1 ? 0 : -9,
                       zel_phaser_abort(p, EPIPE)};
      return 0;
    }
  } t;
  std::atomic<long> progress{0};
  watchdog dog("calls inside the completion step", progress);
  ASSERT_EQ(zel_phaser_init_completion(&t.ph, 3, inside::step, &t), 0);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  ASSERT_EQ(zel_phaser_leave_at(&t.ph, 2), 0);
  ASSERT_EQ(zel_phaser_advance_at(&t.ph, 1), 0);
  ASSERT_EQ(zel_phaser_advance_at(&t.ph, 0), 0);  // completes phase 1
  const int d = EDEADLK;
  EXPECT_EQ(t.results, (std::vector<int>{d, d, d, d, d, d, d, d, 0, 0, 0, 0}));
  EXPECT_EQ(t.ph.phases[0], 1);
  EXPECT_EQ(t.ph.phases[1], 1);
  EXPECT_EQ(t.ph.phases[2], INT32_MAX);
  EXPECT_EQ(zel_phaser_advance_at(&t.ph, 0), EPIPE);  // the abort inside took effect
  EXPECT_EQ(zel_phaser_destroy(&t.ph), 0);
}

// A barrier whose step checks that no other step is running, that phases
// come in order and that every participant's write is visible, then writes
// a result that every participant checks after its wait. Half of the
// participants advance and await the phase separately. Under
// ThreadSanitizer the plain writes prove the ordering.
class ZelPhaserCompletionBarrier : public ::testing::TestWithParam<int> {};

TEST_P(ZelPhaserCompletionBarrier, StepsNeverOverlapComeInOrderAndPublishTheirWrites) {
  const int n = GetParam();
  constexpr int32_t phase_count = 2000;
  struct shared {
    zel_phaser_t ph{};
    std::vector<int32_t> written;
    int32_t result = 0, last = 0;
    std::atomic<bool> running{false};
    std::atomic<int> bad{0};
    static int step(void *arg, int32_t phase) {
      auto *self = static_cast<shared *>(arg);
      if (self->running.exchange(true) || phase != self->last + 1) self->bad.fetch_add(1);
      for (int32_t w : self->written) self->bad.fetch_add(w == phase ? 0 : 1);
      self->last = phase;
      self->result = phase * 3;
      self->running.store(false);
      return 0;
    }
  } s;
  s.written.assign(static_cast<size_t>(n), 0);
  ASSERT_EQ(zel_phaser_init_completion(&s.ph, n, shared::step, &s), 0);
  std::atomic<long> progress{0};
  watchdog dog("barrier with a completion step", progress);
  std::vector<std::thread> threads;
  for (int32_t i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      for (int32_t k = 1; k <= phase_count; ++k) {
        s.written[static_cast<size_t>(i)] = k;
        int rc = 0;
        if (i % 2) {
          rc = zel_phaser_advance_and_await_at(&s.ph, i);
        } else if ((rc = zel_phaser_advance_at(&s.ph, i)) == 0) {
          rc = zel_phaser_await_phase(&s.ph, k, nullptr);
        }
        if (rc != 0 || s.result < k * 3) s.bad.fetch_add(1);
        progress.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(s.bad.load(), 0);
  EXPECT_EQ(s.last, phase_count);
  EXPECT_EQ(zel_phaser_destroy(&s.ph), 0);
}

INSTANTIATE_TEST_SUITE_P(Threads, ZelPhaserCompletionBarrier, ::testing::Values(2, 4, 8, 64));

// Participant 0 runs 500 phases ahead; participant 1's leave then completes
// all of them, one step after another, while an abort from outside comes at
// a random moment: at most the step under way when the abort takes effect
// starts after it, and a waiter for the last phase gets the abort's error.
TEST(ZelPhaserCompletion, AnAbortRacingTheStepsStopsThemAndEndsTheWaits) {
  constexpr int32_t ahead = 500;
  struct shared {
    zel_phaser_t ph{};
    std::atomic<bool> aborted{false};
    std::atomic<int> steps{0}, late{0};
    static int step(void *arg, int32_t) {
      auto *self = static_cast<shared *>(arg);
      self->late.fetch_add(self->aborted.load() ? 1 : 0);
      self->steps.fetch_add(1);
      zel_testing::spin(500);
      return 0;
    }
  };
  std::atomic<long> progress{0};
  watchdog dog("abort racing the completion steps", progress);
  std::minstd_rand rng(7);
  for (int round = 0; round < 100; ++round, progress.fetch_add(1)) {
    shared s;
    ASSERT_EQ(zel_phaser_init_completion(&s.ph, 2, shared::step, &s), 0);
    for (int32_t k = 0; k < ahead; ++k) ASSERT_EQ(zel_phaser_advance_at(&s.ph, 0), 0);
    int waited = -2;
    std::thread waiter([&] { waited = zel_phaser_await_phase(&s.ph, ahead, nullptr); });
    std::thread leaver([&] { EXPECT_EQ(zel_phaser_leave_at(&s.ph, 1), 0); });
    zel_testing::spin(static_cast<unsigned>(rng() % 400000));
    ASSERT_EQ(zel_phaser_abort(&s.ph, ECANCELED), 0);
    s.aborted.store(true);
    leaver.join();
    waiter.join();
    EXPECT_LE(s.late.load(), 1) << "round " << round;
    EXPECT_EQ(waited, s.steps.load() == ahead ? waited : ECANCELED) << "round " << round;
    EXPECT_EQ(zel_phaser_current(&s.ph), s.steps.load()) << "round " << round;
    EXPECT_EQ(zel_phaser_destroy(&s.ph), 0);
  }
}

}  // namespace
