// Unit tests of the thread slot registry. Each test runs in a process of its
// own (gtest_discover_tests), so every test starts from an empty registry.

#include "zel_phaser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

int32_t own_slot() {
  return tid_slot(pthread_self());
}

TEST(TidSlot, HandsOutSlotsInOrderOfFirstRequestAndKeepsThem) {
  EXPECT_EQ(own_slot(), 0);

  pthread_t first_id{};
  int32_t first = -2, first_again = -2;
  std::latch first_done(1), may_end(1);
  std::thread a([&] {
    first_id = pthread_self();
    first = own_slot();
    first_done.count_down();
    may_end.wait();
    first_again = own_slot();
  });
  first_done.wait();

  int32_t second = -2;
  std::thread b([&] { second = own_slot(); });
  b.join();

  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  // Another thread asking on a's behalf finds a's slot.
  EXPECT_EQ(tid_slot(first_id), 1);
  may_end.count_down();
  a.join();
  EXPECT_EQ(first_again, 1);
  EXPECT_EQ(own_slot(), 0);
}

TEST(TidSlot, ASlotRequestedOnAnotherThreadsBehalfIsKeptByThatThread) {
  pthread_t late_id{};
  std::latch id_known(1), may_ask(1);
  int32_t late_slot = -2;
  std::thread late([&] {
    late_id = pthread_self();
    id_known.count_down();
    may_ask.wait();
    late_slot = own_slot();
  });
  id_known.wait();
  EXPECT_EQ(tid_slot(late_id), 0);
  EXPECT_EQ(own_slot(), 1);
  may_ask.count_down();
  late.join();
  EXPECT_EQ(late_slot, 0);
}

// Many threads make their first call at the same moment: each must get the
// next slot exactly once, and keep it.
TEST(TidSlot, OverlappingFirstCallsGetConsecutiveSlotsExactlyOnce) {
  constexpr int thread_count = 128;
  constexpr int repeat_count = 1000;
  std::vector<int32_t> slots(thread_count, -2);
  std::vector<pthread_t> ids(thread_count);
  std::atomic<int> mismatches{0};
  std::latch start(thread_count), done(thread_count), may_end(1);

  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      ids[static_cast<size_t>(t)] = pthread_self();
      start.arrive_and_wait();
      const int32_t slot = own_slot();
      for (int r = 0; r < repeat_count; ++r) {
        if (own_slot() != slot) mismatches.fetch_add(1);
      }
      slots[static_cast<size_t>(t)] = slot;
      done.count_down();
      may_end.wait();  // keep the identifiers from being reused
    });
  }
  done.wait();
  for (int t = 0; t < thread_count; ++t) {
    EXPECT_EQ(tid_slot(ids[static_cast<size_t>(t)]), slots[static_cast<size_t>(t)]);
  }
  may_end.count_down();
  for (auto &th : threads) th.join();

  EXPECT_EQ(mismatches.load(), 0);
  std::vector<int32_t> sorted = slots;
  std::sort(sorted.begin(), sorted.end());
  for (int t = 0; t < thread_count; ++t) EXPECT_EQ(sorted[static_cast<size_t>(t)], t);
  // The list stayed whole: the next new thread gets the next slot.
  EXPECT_EQ(own_slot(), thread_count);
}

// Several threads ask at the same moment for the slot of one thread that
// has none yet: they must all get the same slot, and the thread must be
// recorded once, so that the next new thread gets the very next slot.
TEST(TidSlot, OverlappingFirstCallsForTheSameThreadRecordItOnce) {
  constexpr int round_count = 300;
  constexpr int racer_count = 2;
  ASSERT_EQ(own_slot(), 0);
  std::latch rounds_done(1);
  std::vector<std::thread> targets;  // alive to the end: no identifier reuse
  std::atomic<int> mismatches{0};
  for (int round = 1; round <= round_count; ++round) {
    std::latch started(1);
    pthread_t target_id{};
    targets.emplace_back([&] {
      target_id = pthread_self();
      started.count_down();
      rounds_done.wait();
    });
    started.wait();

    std::atomic<int> ready{0};
    std::vector<int32_t> got(racer_count, -2);
    std::vector<std::thread> racers;
    for (int r = 0; r < racer_count; ++r) {
      racers.emplace_back([&, r] {
        ready.fetch_add(1);
        while (ready.load() < racer_count) {
        }
        got[static_cast<size_t>(r)] = tid_slot(target_id);
      });
    }
    for (auto &t : racers) t.join();
    for (int32_t slot : got) {
      if (slot != round) mismatches.fetch_add(1);
    }
  }
  EXPECT_EQ(mismatches.load(), 0);
  std::thread([] { EXPECT_EQ(own_slot(), round_count + 1); }).join();
  rounds_done.count_down();
  for (auto &t : targets) t.join();
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Runs in a child process: uses up the heap inside a small address space,
// then asks for the slot of an identifier the registry has not seen.
[[noreturn]] void ask_with_heap_exhausted() {
  rlimit small{};
  small.rlim_cur = small.rlim_max = rlim_t{64} << 20;
  setrlimit(RLIMIT_AS, &small);
  // The blocks are chained, so that the optimiser cannot drop them.
  void *chain = nullptr;
  for (size_t size = size_t{1} << 20; size >= sizeof chain; size /= 2) {
    for (void *p = std::malloc(size); p != nullptr; p = std::malloc(size)) {
      std::memcpy(p, &chain, sizeof chain);
      chain = p;
    }
  }
  pthread_t unseen{};
  std::memset(&unseen, 0x5a, sizeof unseen);
  _exit(tid_slot(unseen) == -1 && chain != nullptr ? 0 : 1);
}

TEST(TidSlotDeathTest, ReturnsMinusOneWhenAnEntryCannotBeAllocated) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ask_with_heap_exhausted(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
