// Unit tests of the phaser. Each test runs in a process of its own
// (gtest_discover_tests), so slots are handed out from 0 in each test; a
// test that needs the main thread to be a participant asks for its slot
// first.

#include "phaser_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using zel_testing::Phaser;
using zel_testing::progress_board;

void advance_times(zel_phaser_t *p, int times) {
  for (int i = 0; i < times; ++i) ASSERT_EQ(zel_phaser_advance(p), 0);
}

TEST(ZelPhaserInit, RejectsFewerThanOneParticipantWithoutAllocating) {
  zel_phaser_t p{};
  for (int32_t n : {0, -1, INT32_MIN}) {
    EXPECT_EQ(zel_phaser_init(&p, n), EINVAL) << n;
    EXPECT_EQ(p.phases, nullptr);
  }
  EXPECT_EQ(zel_phaser_init(nullptr, 1), EINVAL);
}

TEST(ZelPhaserInit, StartsWithEveryPhaseZero) {
  zel_phaser_t p{};
  ASSERT_EQ(zel_phaser_init(&p, 4), 0);
  EXPECT_EQ(p.number_threads, 4);
  for (int s = 0; s < 4; ++s) EXPECT_EQ(p.phases[s], 0);
  EXPECT_EQ(zel_phaser_current(&p), 0);
  EXPECT_EQ(zel_phaser_destroy(&p), 0);
  EXPECT_EQ(p.phases, nullptr);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Runs in a child process: shrinks the address space so that the phases of
// INT32_MAX participants (8 GiB) cannot be had, then exits with 0 if init
// reported ENOMEM and left nothing behind.
[[noreturn]] void init_in_small_address_space() {
  rlimit small{};
  small.rlim_cur = small.rlim_max = rlim_t{256} << 20;
  setrlimit(RLIMIT_AS, &small);
  zel_phaser_t p{};
  const int rc = zel_phaser_init(&p, INT32_MAX);
  _exit(rc == ENOMEM && p.phases == nullptr ? 0 : 1);
}

TEST(ZelPhaserInitDeathTest, ReportsENOMEMWhenThePhasesCannotBeAllocated) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(init_in_small_address_space(), ::testing::ExitedWithCode(0), "");
}
#endif

TEST(ZelPhaser, SingleParticipantNeverWaits) {
  Phaser ph(1);
  for (int32_t k = 1; k <= 3; ++k) {
    EXPECT_EQ(zel_phaser_advance_and_await(ph.get()), 0);
    EXPECT_EQ(zel_phaser_current(ph.get()), k);
  }
  EXPECT_EQ(zel_phaser_advance(ph.get()), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), 4);
}

TEST(ZelPhaser, CurrentIsTheSmallestPhaseAndAwaitReturnsOnceReached) {
  Phaser ph(3);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  // Both helpers stay alive until the end, so the second cannot reuse the
  // first one's identifier, and with it its slot.
  std::latch first_done(1), may_end(1);
  std::thread first([&] {
    advance_times(ph.get(), 5);
    first_done.count_down();
    may_end.wait();
  });
  first_done.wait();
  std::thread second([&] { advance_times(ph.get(), 4); });
  second.join();
  advance_times(ph.get(), 3);
  EXPECT_EQ(zel_phaser_current(ph.get()), 3);
  EXPECT_EQ(ph.get()->phases[0], 3);

  // Both others have reached 4 already: no waiting.
  EXPECT_EQ(zel_phaser_advance_and_await(ph.get()), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), 4);
  may_end.count_down();
  first.join();
}

TEST(ZelPhaser, ThreadBeyondTheParticipantsGetsMinusOneAndChangesNothing) {
  Phaser ph(1);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  int advance_rc = 0, await_rc = 0;
  std::thread([&] {
    advance_rc = zel_phaser_advance(ph.get());
    await_rc = zel_phaser_advance_and_await(ph.get());
  }).join();
  EXPECT_EQ(advance_rc, -1);
  EXPECT_EQ(await_rc, -1);
  EXPECT_EQ(ph.get()->phases[0], 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), 0);
}

TEST(ZelPhaser, ASlotIsTheSameParticipantInEveryPhaser) {
  Phaser a(2), b(2);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  std::thread([&] {
    advance_times(a.get(), 1);
    advance_times(b.get(), 2);
  }).join();
  EXPECT_EQ(a.get()->phases[1], 1);
  EXPECT_EQ(b.get()->phases[1], 2);
  EXPECT_EQ(a.get()->phases[0], 0);
}

TEST(ZelPhaser, AwaitBlocksUntilTheLaggardAdvances) {
  Phaser ph(2);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  std::atomic<bool> advanced{false};
  std::thread laggard([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    advanced.store(true);
    zel_phaser_advance(ph.get());
  });
  EXPECT_EQ(zel_phaser_advance_and_await(ph.get()), 0);
  EXPECT_TRUE(advanced.load());
  laggard.join();
}

// A scan per advance that started from participant 0 made a phase cost
// O(n^2) when participants arrive in index order: this phase would take
// hours, past the test's timeout.
TEST(ZelPhaser, OnePhaseOfAMillionParticipantsEndsInEitherOrderOfArrival) {
  constexpr int32_t n = 1 << 20;
  for (bool reverse : {false, true}) {
    Phaser ph(n);
    for (int32_t k = 0; k < n; ++k) {
      ASSERT_EQ(zel_phaser_advance_at(ph.get(), reverse ? n - 1 - k : k), 0);
    }
    EXPECT_EQ(zel_phaser_current(ph.get()), 1);
    const timespec past{0, 0};
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 1, &past), 0);
  }
}

class ZelPhaserBarrier : public ::testing::TestWithParam<int> {};

TEST_P(ZelPhaserBarrier, EveryParticipantAwaitingNeverPassesALaggard) {
  const int n = GetParam();
  constexpr int32_t phase_count = 10000;
  Phaser ph(n);
  progress_board board(n);
  std::atomic<int> early{0}, failed{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < n; ++w) {
    threads.emplace_back([&, w] {
      for (int32_t k = 1; k <= phase_count; ++k) {
        board.publish(w, k);
        if (zel_phaser_advance_and_await(ph.get()) != 0) failed.fetch_add(1);
        if (!board.all_reached(k) || zel_phaser_current(ph.get()) < k) early.fetch_add(1);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), phase_count);
}

INSTANTIATE_TEST_SUITE_P(Threads, ZelPhaserBarrier, ::testing::Values(2, 4, 8));

// Workers advance with random delays and never wait; `awaiters` further
// participants await every phase, as the demonstration's main thread does.
void run_mixed(int workers, int awaiters, int32_t phases) {
  const int n = workers + awaiters;
  Phaser ph(n);
  progress_board board(workers);
  std::atomic<int> early{0}, failed{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      std::minstd_rand rng(static_cast<unsigned>(w) + 1);
      for (int32_t k = 1; k <= phases; ++k) {
        usleep(static_cast<useconds_t>(rng() % 50));
        board.publish(w, k);
        if (zel_phaser_advance(ph.get()) != 0) failed.fetch_add(1);
      }
    });
  }
  for (int a = 0; a < awaiters; ++a) {
    threads.emplace_back([&] {
      for (int32_t k = 1; k <= phases; ++k) {
        if (zel_phaser_advance_and_await(ph.get()) != 0) failed.fetch_add(1);
        if (!board.all_reached(k)) early.fetch_add(1);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), phases);
}

TEST(ZelPhaserMixed, OneAwaiterFollowsTheSlowestWorker) {
  run_mixed(8, 1, 200);
}

TEST(ZelPhaserMixed, SeveralAwaitersAmongAdvancingWorkers) {
  run_mixed(3, 3, 200);
}

}  // namespace
