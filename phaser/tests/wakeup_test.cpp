// Wake-ups: a waiter sleeps until the advance that completes its phase and
// is woken by no other; no wake-up is ever lost. Each test runs in a process
// of its own; the loops run under a watchdog, so that a lost wake-up fails
// within seconds.

#include "phaser_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using zel_testing::Phaser;
using zel_testing::progress_board;
using zel_testing::voluntary_switches;
using zel_testing::watchdog;

constexpr int32_t ahead = 1000;

// Participant 0 advances ahead times, then awaits phase ahead + 1, while
// participant 1 catches up one advance at a time, slowly enough for the
// waiter to fall asleep in between. With `near_awaiter`, participant 2
// awaits every phase on the way, so releases happen all the time.
long switches_of_a_waiter_far_ahead(bool near_awaiter) {
  const int n = near_awaiter ? 3 : 2;
  Phaser ph(n);
  for (int32_t k = 0; k < ahead; ++k) EXPECT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
  std::atomic<long> progress{0};
  watchdog dog("participants catching up", progress);
  std::atomic<long> switches{-1};
  std::thread far([&] {
    const long before = voluntary_switches();
    EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 0), 0);
    switches = voluntary_switches() - before;
  });
  std::thread near;
  if (near_awaiter) {
    near = std::thread([&] {
      for (int32_t k = 0; k <= ahead; ++k) {
        EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 2), 0);
        progress.fetch_add(1);
      }
    });
  }
  for (int32_t k = 0; k <= ahead; ++k) {
    usleep(50);
    EXPECT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
    progress.fetch_add(1);
  }
  far.join();
  if (near.joinable()) near.join();
  EXPECT_EQ(zel_phaser_current(ph.get()), ahead + 1);
  return switches.load();
}

TEST(ZelPhaserWakeups, AWaiterFarAheadSleepsThroughReleasesThatDoNotReachItsPhase) {
  EXPECT_LE(switches_of_a_waiter_far_ahead(false), 5);
}

TEST(ZelPhaserWakeups, AWaiterFarAheadIsNotWokenByAnotherWaitersReleases) {
  EXPECT_LE(switches_of_a_waiter_far_ahead(true), 5);
}

TEST(ZelPhaserWakeups, AnObserverSleepsAtMostTwiceForOneRelease) {
  Phaser ph(2);
  std::atomic<long> switches{-1};
  std::thread observer([&] {
    const long before = voluntary_switches();
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 300, nullptr), 0);
    switches = voluntary_switches() - before;
  });
  for (int32_t k = 0; k < 300; ++k) {
    usleep(50);
    ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
    ASSERT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
  }
  observer.join();
  EXPECT_LE(switches.load(), 2);
}

// The thread's CPU time so far, in milliseconds.
double thread_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// After many quick phases, which let the waiters' spin grow, participant 1
// stalls: the waiter spins a while, then sleeps, burning little of the
// 200 ms it waits.
TEST(ZelPhaserWakeups, AWaiterWhosePhaseDoesNotComeSleepsAfterSpinningAWhile) {
  Phaser ph(2);
  std::thread laggard([&] {
    for (int32_t k = 0; k < 1000; ++k) ASSERT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
  });
  for (int32_t k = 0; k < 1000; ++k) ASSERT_EQ(zel_phaser_advance_and_await_at(ph.get(), 0), 0);
  const double before = thread_cpu_ms();
  EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 0), 0);
  EXPECT_LT(thread_cpu_ms() - before, 20.0);
  laggard.join();
}

// Many short phases, more participants than CPUs, so that waiters keep
// going to sleep; a laggard now and then dozes off to make the others
// sleep as well. A lost wake-up stops all progress.
TEST(ZelPhaserWakeups, NoWakeUpIsLostInManyShortPhases) {
  constexpr int thread_count = 6;
  constexpr int32_t phase_count = 20000;
  Phaser ph(thread_count);
  progress_board board(thread_count);
  std::atomic<long> progress{0};
  std::atomic<int> early{0};
  watchdog dog("barrier of short phases", progress, 5s);
  std::vector<std::thread> threads;
  for (int i = 0; i < thread_count; ++i) {
    threads.emplace_back([&, i] {
      std::minstd_rand rng(static_cast<unsigned>(i) + 7);
      for (int32_t k = 1; k <= phase_count; ++k) {
        if (rng() % 512 == 0) usleep(200);
        board.publish(i, k);
        if (i % 2 == 0) {
          EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), i), 0);
        } else {
          EXPECT_EQ(zel_phaser_advance_at(ph.get(), i), 0);
          EXPECT_EQ(zel_phaser_await_phase(ph.get(), k, nullptr), 0);
        }
        if (!board.all_reached(k)) early.fetch_add(1);
        progress.fetch_add(1);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), phase_count);
}

// The demonstration's pattern at speed: workers advance without waiting,
// one participant awaits each phase.
TEST(ZelPhaserWakeups, NoWakeUpIsLostWhenOneParticipantAwaitsAdvancingWorkers) {
  constexpr int worker_count = 4;
  constexpr int32_t phase_count = 20000;
  Phaser ph(worker_count + 1);
  std::atomic<long> progress{0};
  watchdog dog("one awaiter", progress, 5s);
  std::vector<std::thread> threads;
  for (int i = 0; i < worker_count; ++i) {
    threads.emplace_back([&, i] {
      std::minstd_rand rng(static_cast<unsigned>(i) + 1);
      for (int32_t k = 1; k <= phase_count; ++k) {
        if (rng() % 256 == 0) usleep(100);
        EXPECT_EQ(zel_phaser_advance_at(ph.get(), i), 0);
      }
    });
  }
  for (int32_t k = 1; k <= phase_count; ++k) {
    ASSERT_EQ(zel_phaser_advance_and_await_at(ph.get(), worker_count), 0);
    progress.fetch_add(1);
  }
  for (auto &t : threads) t.join();
}

}  // namespace
