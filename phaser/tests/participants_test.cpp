// Participants named by the caller, leaving, and waiting for a phase with
// or without a deadline. Each test runs in a process of its own; every
// test that could hang runs under a watchdog.

#include "phaser_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <latch>
#include <limits>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zel_testing::monotonic_in;
using zel_testing::Phaser;
using zel_testing::progress_board;
using zel_testing::watchdog;

// Runs `phases` barrier phases on `n` threads that name their participant
// themselves; counts awaits that returned before every participant had
// published its step, and failed calls.
struct explicit_barrier {
  explicit_barrier(int n, int32_t count) : ph(n), board(n), phases(count) {}
  void run_participant(int who) {
    for (int32_t k = 1; k <= phases; ++k) {
      board.publish(who, k);
      if (zel_phaser_advance_and_await_at(ph.get(), who) != 0) failed.fetch_add(1);
      if (!board.all_reached(k)) early.fetch_add(1);
      progress.fetch_add(1);
    }
  }
  Phaser ph;
  progress_board board;
  int32_t phases;
  std::atomic<int> early{0}, failed{0};
  std::atomic<long> progress{0};
};

TEST(ZelPhaserAt, TwoGroupsOfThreadsRunPhasersOfTheirOwnInOneProcess) {
  explicit_barrier a(3, 3000), b(4, 3000);
  watchdog dog_a("group a", a.progress), dog_b("group b", b.progress);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&, i] { a.run_participant(i); });
  for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { b.run_participant(i); });
  for (auto &t : threads) t.join();
  for (auto *group : {&a, &b}) {
    EXPECT_EQ(group->failed.load(), 0);
    EXPECT_EQ(group->early.load(), 0);
    EXPECT_EQ(zel_phaser_current(group->ph.get()), 3000);
  }
}

TEST(ZelPhaserAt, APoolWhoseThreadsAskedTheRegistryInAScrambledOrderWorks) {
  constexpr int thread_count = 4;
  const int order[thread_count] = {2, 0, 3, 1};  // thread order[k] registers k-th
  std::atomic<int> turn{0};
  explicit_barrier bar(thread_count, 2000);
  watchdog dog("pool", bar.progress);
  std::vector<int32_t> slots(thread_count, -2);
  std::vector<std::thread> threads;
  for (int i = 0; i < thread_count; ++i) {
    threads.emplace_back([&, i] {
      const int rank = static_cast<int>(std::find(order, order + thread_count, i) - order);
      while (turn.load() != rank) std::this_thread::yield();
      slots[static_cast<size_t>(i)] = tid_slot(pthread_self());
      turn.fetch_add(1);
      bar.run_participant(i);  // participant i, whatever its slot
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(slots, (std::vector<int32_t>{1, 3, 0, 2}));
  EXPECT_EQ(bar.failed.load(), 0);
  EXPECT_EQ(bar.early.load(), 0);
}

TEST(ZelPhaserAt, ParticipantIIsTheThreadWhoseSlotIsI) {
  Phaser ph(2);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  ASSERT_EQ(zel_phaser_advance(ph.get()), 0);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
  EXPECT_EQ(ph.get()->phases[0], 2);
  EXPECT_EQ(ph.get()->phases[1], 0);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
  // Participant 0 goes to 3 and waits for participant 1, advanced by
  // another thread.
  std::thread other([&] {
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
  });
  EXPECT_EQ(zel_phaser_advance_and_await(ph.get()), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), 3);
  other.join();
}

TEST(ZelPhaserAt, AParticipantOutsideTheRangeGetsMinusOneAndChangesNothing) {
  Phaser ph(2);
  for (int32_t bad : {-1, 2, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(zel_phaser_advance_at(ph.get(), bad), -1) << bad;
    EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), bad), -1) << bad;
    EXPECT_EQ(zel_phaser_leave_at(ph.get(), bad), -1) << bad;
  }
  EXPECT_EQ(ph.get()->phases[0], 0);
  EXPECT_EQ(ph.get()->phases[1], 0);
}

// A null phaser, and as a courtesy a destroyed or zero-filled record.
TEST(ZelPhaserAt, ANullDestroyedOrZeroFilledPhaserIsRefusedWithEinval) {
  zel_phaser_t destroyed{}, zeroed{};
  ASSERT_EQ(zel_phaser_init(&destroyed, 2), 0);
  ASSERT_EQ(zel_phaser_destroy(&destroyed), 0);
  const timespec t{};
  int32_t who = 0, phase = 0;
  for (zel_phaser_t *p : {static_cast<zel_phaser_t *>(nullptr), &destroyed, &zeroed}) {
    EXPECT_EQ(zel_phaser_advance_at(p, 0), EINVAL);
    EXPECT_EQ(zel_phaser_advance_and_await_at(p, 0), EINVAL);
    EXPECT_EQ(zel_phaser_advance(p), EINVAL);
    EXPECT_EQ(zel_phaser_advance_and_await(p), EINVAL);
    EXPECT_EQ(zel_phaser_leave_at(p, 0), EINVAL);
    EXPECT_EQ(zel_phaser_leave(p), EINVAL);
    EXPECT_EQ(zel_phaser_await_phase(p, 0, &t), EINVAL);
    EXPECT_EQ(zel_phaser_join_at(p, 0, &phase), EINVAL);
    EXPECT_EQ(zel_phaser_join(p, &who, &phase), EINVAL);
    EXPECT_EQ(zel_phaser_laggard(p, &who, &phase, nullptr), EINVAL);
    EXPECT_EQ(zel_phaser_abort(p, ECANCELED), EINVAL);
    EXPECT_EQ(zel_phaser_current(p), -1);
    EXPECT_EQ(zel_phaser_destroy(p), EINVAL);
  }
}

TEST(ZelPhaserLeave, AParticipantThatLeavesMidRunReleasesTheOthers) {
  constexpr int thread_count = 4;
  constexpr int32_t phase_count = 2000, leave_at_phase = 500;
  Phaser ph(thread_count);
  std::atomic<long> progress{0};
  std::atomic<int> failed{0};
  watchdog dog("barrier with a leaver", progress);
  std::vector<std::thread> threads;
  for (int i = 0; i < thread_count; ++i) {
    threads.emplace_back([&, i] {
      const int32_t last = i == 0 ? leave_at_phase : phase_count;
      for (int32_t k = 1; k <= last; ++k) {
        if (zel_phaser_advance_and_await_at(ph.get(), i) != 0) failed.fetch_add(1);
        progress.fetch_add(1);
      }
      if (i == 0) {
        // The others are waiting for us in phase leave_at_phase + 1 by now.
        std::this_thread::sleep_for(20ms);
        if (zel_phaser_leave_at(ph.get(), 0) != 0) failed.fetch_add(1);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(ph.get()->phases[0], INT32_MAX);
  EXPECT_EQ(zel_phaser_current(ph.get()), phase_count);
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 0), EOVERFLOW);
  EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 0), EOVERFLOW);
  EXPECT_EQ(zel_phaser_leave_at(ph.get(), 0), 0);  // leaving twice
  EXPECT_EQ(ph.get()->phases[0], INT32_MAX);
}

// A leave whose scan saw the other participant at phase x publishes x;
// if that participant moved on from x before the publication, only the
// leaver's scan after it raises the current phase further.
TEST(ZelPhaserLeave, ALeaveRacingTheOtherParticipantsAdvancesNeverStrandsTheCurrentPhase) {
  constexpr int32_t phase_count = 1000;
  std::atomic<long> progress{0};
  watchdog dog("leave racing advances", progress);
  std::minstd_rand rng(3);
  for (int round = 0; round < 300; ++round) {
    Phaser ph(2);
    std::atomic<int> ready{0};  // both threads spin, so that they start together
    const auto delay = static_cast<unsigned>(rng() % 20000);
    std::thread leaver([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      zel_testing::spin(delay);
      EXPECT_EQ(zel_phaser_leave_at(ph.get(), 0), 0);
    });
    ready.fetch_add(1);
    while (ready.load() < 2) {
    }
    for (int32_t k = 0; k < phase_count; ++k) ASSERT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
    leaver.join();
    const timespec soon = monotonic_in(2s);
    ASSERT_EQ(zel_phaser_await_phase(ph.get(), phase_count, &soon), 0) << "round " << round;
    progress.fetch_add(1);
  }
}

TEST(ZelPhaserLeave, WhenEveryParticipantHasLeftEveryWaitReturnsAtOnce) {
  Phaser ph(3);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  std::atomic<long> progress{0};
  watchdog dog("observer released by leaving", progress);
  int observed = -1;
  std::thread observer([&] { observed = zel_phaser_await_phase(ph.get(), 1000, nullptr); });
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
  ASSERT_EQ(zel_phaser_leave(ph.get()), 0);  // participant 0, by slot
  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 1), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), 0);
  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 2), 0);
  observer.join();
  EXPECT_EQ(observed, 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), INT32_MAX);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), INT32_MAX, nullptr), 0);
}

TEST(ZelPhaserAwaitPhase, AnObserverWaitsForPhaseKWithoutADeadline) {
  explicit_barrier bar(2, 1000);
  watchdog dog("observed barrier", bar.progress);
  std::atomic<int32_t> seen{-1};
  std::thread observer([&] {
    EXPECT_EQ(zel_phaser_await_phase(bar.ph.get(), 700, nullptr), 0);
    seen = zel_phaser_current(bar.ph.get());
  });
  std::thread a([&] { bar.run_participant(0); }), b([&] { bar.run_participant(1); });
  a.join();
  b.join();
  observer.join();
  EXPECT_GE(seen.load(), 700);
  EXPECT_EQ(bar.early.load(), 0);
}

TEST(ZelPhaserAwaitPhase, TimesOutWhileAParticipantIsHeldBack) {
  Phaser ph(2);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);  // participant 1 stays at 0
  const auto start = std::chrono::steady_clock::now();
  const timespec deadline = monotonic_in(50ms);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 1, &deadline), ETIMEDOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);

  // Released before the deadline: 0.
  std::thread late([&] {
    std::this_thread::sleep_for(20ms);
    zel_phaser_advance_at(ph.get(), 1);
  });
  const timespec later = monotonic_in(10s);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 1, &later), 0);
  late.join();
}

TEST(ZelPhaserAwaitPhase, AReachedPhaseReturnsAtOnceWhateverTheDeadline) {
  Phaser ph(1);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
  const timespec past = monotonic_in(-1s);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 1, &past), 0);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), -5, &past), 0);
  const timespec zero{};
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 2, &zero), ETIMEDOUT);
}

TEST(ZelPhaserAwaitPhase, RefusesADeadlineWithNanosecondsOutOfRangeEvenForAReachedPhase) {
  Phaser ph(1);
  for (long nsec : {-1L, 1000000000L}) {
    timespec bad{};
    bad.tv_nsec = nsec;
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 1, &bad), EINVAL) << nsec;
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 0, &bad), EINVAL) << nsec;
  }
}

TEST(ZelPhaserAwaitPhase, ADeadlineBeforeTheClocksOriginHasLongPassed) {
  Phaser ph(2);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
  std::atomic<long> progress{0};
  watchdog dog("waits with negative deadlines", progress, 5s);
  for (time_t sec : {time_t{-1}, std::numeric_limits<time_t>::min()}) {
    const timespec past{sec, 0};
    // The next phase (sleeping on the released phase) and one further
    // ahead (sleeping in a group), and a phase reached already.
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 1, &past), ETIMEDOUT) << sec;
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 5, &past), ETIMEDOUT) << sec;
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 0, &past), 0) << sec;
    progress.fetch_add(1);
  }
}

TEST(ZelPhaserAwaitPhase, TheLatestDeadlineATimespecHoldsWaitsForThePhase) {
  Phaser ph(2);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
  std::atomic<long> progress{0};
  watchdog dog("a wait with the latest deadline", progress, 5s);
  std::thread late([&] {
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
  });
  const timespec latest{std::numeric_limits<time_t>::max(), 999999999};
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 1, &latest), 0);
  late.join();
}

}  // namespace
