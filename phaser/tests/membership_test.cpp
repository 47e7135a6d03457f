// Aborting a run, participants that join again, and who holds the phaser
// back. Each test runs in a process of its own; every test that could hang
// runs under a watchdog, and waits that an abort must end have no deadline
// of their own, so that only a wake-up ends them.

#include "phaser_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <latch>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zel_testing::monotonic_in;
using zel_testing::Phaser;
using zel_testing::progress_board;
using zel_testing::watchdog;

bool not_after(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

TEST(ZelPhaserAbort, TheFirstValidErrorWinsAndLaterCallsReturnItChangingNoPhase) {
  Phaser ph(2);
  for (int bad : {0, -1, EINVAL, EOVERFLOW, ETIMEDOUT, EBUSY}) {
    EXPECT_EQ(zel_phaser_abort(ph.get(), bad), EINVAL) << bad;
  }
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);  // phases 1, 0
  EXPECT_EQ(zel_phaser_abort(ph.get(), ECANCELED), 0);
  EXPECT_EQ(zel_phaser_abort(ph.get(), EIO), 0);

  const timespec past{0, 0};
  int32_t who = -2, phase = -2;
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 0), ECANCELED);
  EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 1), ECANCELED);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 0, &past), ECANCELED);  // reached already
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 5, nullptr), ECANCELED);
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 2), -1);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 0, nullptr), ECANCELED);
  EXPECT_EQ(ph.get()->phases[0], 1);
  EXPECT_EQ(ph.get()->phases[1], 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), 0);
  EXPECT_EQ(zel_phaser_laggard(ph.get(), &who, &phase, nullptr), 0);
  EXPECT_EQ(who, 1);

  EXPECT_EQ(zel_phaser_join_at(ph.get(), 0, &phase), ECANCELED);  // not EBUSY: abort first
  EXPECT_EQ(zel_phaser_leave_at(ph.get(), 0), 0);
  EXPECT_EQ(zel_phaser_join_at(ph.get(), 0, &phase), ECANCELED);
  EXPECT_EQ(zel_phaser_join(ph.get(), &who, &phase), ECANCELED);
  EXPECT_EQ(zel_phaser_leave_at(ph.get(), 1), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), INT32_MAX);
}

TEST(ZelPhaserAbort, AParticipantThatAbortsMidRunEndsTheOthersWaitsWithItsError) {
  constexpr int thread_count = 4;
  constexpr int32_t abort_after = 300;
  Phaser ph(thread_count);
  std::atomic<long> progress{0};
  watchdog dog("barrier with an aborting participant", progress);
  int written = 0;  // published by the abort alone
  std::vector<int> ended(thread_count, -2), seen(thread_count, -2);
  std::vector<std::thread> threads;
  for (int i = 0; i < thread_count; ++i) {
    threads.emplace_back([&, i] {
      for (int32_t k = 1;; ++k) {
        if (i == 0 && k > abort_after) {
          std::this_thread::sleep_for(20ms);  // the others wait in the next phase
          written = 42;
          ended[0] = zel_phaser_abort(ph.get(), ECANCELED);
          return;
        }
        const int rc = zel_phaser_advance_and_await_at(ph.get(), i);
        progress.fetch_add(1);
        if (rc != 0) {
          ended[static_cast<size_t>(i)] = rc;
          seen[static_cast<size_t>(i)] = written;
          return;
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(ended[0], 0);
  for (int i = 1; i < thread_count; ++i) {
    EXPECT_EQ(ended[static_cast<size_t>(i)], ECANCELED) << i;
    EXPECT_EQ(seen[static_cast<size_t>(i)], 42) << i;
    EXPECT_EQ(ph.get()->phases[i], abort_after + 1) << i;
  }
}

TEST(ZelPhaserAbort, AThreadThatIsNoParticipantEndsEveryKindOfWait) {
  Phaser ph(3);  // participant 2 never advances
  std::atomic<long> progress{0};
  watchdog dog("waits ended by an abort", progress);
  std::vector<int> rc(4, -2);
  const timespec far = monotonic_in(1h);
  std::vector<std::thread> waiters;
  waiters.emplace_back([&] { rc[0] = zel_phaser_advance_and_await_at(ph.get(), 0); });
  waiters.emplace_back([&] { rc[1] = zel_phaser_advance_and_await_at(ph.get(), 1); });
  waiters.emplace_back([&] { rc[2] = zel_phaser_await_phase(ph.get(), 1, nullptr); });
  waiters.emplace_back([&] { rc[3] = zel_phaser_await_phase(ph.get(), 50, &far); });
  std::this_thread::sleep_for(50ms);  // long enough for all of them to fall asleep
  EXPECT_EQ(zel_phaser_abort(ph.get(), EPIPE), 0);
  for (auto &t : waiters) t.join();
  EXPECT_EQ(rc, std::vector<int>(4, EPIPE));
}

TEST(ZelPhaserAbort, AnAbortRacingAdvancesAndLeavesEndsEveryParticipant) {
  constexpr int thread_count = 4;
  constexpr int32_t phase_count = 200;
  std::atomic<long> progress{0};
  watchdog dog("abort racing advances and leaves", progress);
  std::minstd_rand rng(5);
  for (int round = 0; round < 100; ++round) {
    Phaser ph(thread_count);
    const int32_t leave_at_phase = static_cast<int32_t>(rng() % phase_count);
    const auto delay = static_cast<unsigned>(rng() % 20000);
    std::latch start(thread_count + 1);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        for (int32_t k = 1; k <= phase_count; ++k) {
          if (i == 3 && k == leave_at_phase) {
            if (zel_phaser_leave_at(ph.get(), i) != 0) bad.fetch_add(1);
            return;
          }
          int rc = 0;
          if (i % 2 == 0) {
            rc = zel_phaser_advance_and_await_at(ph.get(), i);
          } else if ((rc = zel_phaser_advance_at(ph.get(), i)) == 0) {
            rc = zel_phaser_await_phase(ph.get(), k, nullptr);
          }
          progress.fetch_add(1);
          if (rc == ECANCELED) return;
          if (rc != 0) bad.fetch_add(1);
        }
      });
    }
    start.arrive_and_wait();
    zel_testing::spin(delay);
    EXPECT_EQ(zel_phaser_abort(ph.get(), ECANCELED), 0);
    for (auto &t : threads) t.join();
    ASSERT_EQ(bad.load(), 0) << "round " << round;
    const timespec past{0, 0};
    EXPECT_EQ(zel_phaser_await_phase(ph.get(), 0, &past), ECANCELED);
  }
}

TEST(ZelPhaserJoin, ReportsWhyAParticipantCannotJoin) {
  Phaser ph(3);
  int32_t who = -2, phase = -2;
  EXPECT_EQ(zel_phaser_join(ph.get(), nullptr, &phase), EINVAL);
  EXPECT_EQ(zel_phaser_join_at(ph.get(), 3, &phase), -1);
  EXPECT_EQ(zel_phaser_join_at(ph.get(), -1, &phase), -1);
  EXPECT_EQ(zel_phaser_join_at(ph.get(), 0, &phase), EBUSY);
  EXPECT_EQ(zel_phaser_join(ph.get(), &who, &phase), EBUSY);

  for (int32_t i : {1, 1, 0}) ASSERT_EQ(zel_phaser_advance_at(ph.get(), i), 0);  // 1, 2, 0
  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 2), 0);
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 2), EOVERFLOW);
  EXPECT_EQ(zel_phaser_join(ph.get(), &who, &phase), 0);
  EXPECT_EQ(who, 2);
  EXPECT_EQ(phase, 1);
  EXPECT_EQ(ph.get()->phases[2], 1);
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 2), 0);  // back in: advancing works again

  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 0), 0);
  EXPECT_EQ(zel_phaser_join_at(ph.get(), 0, nullptr), 0);
  EXPECT_EQ(ph.get()->phases[0], 2);  // the current phase of 1 and 2
  for (int32_t i : {2, 0}) ASSERT_EQ(zel_phaser_leave_at(ph.get(), i), 0);
  EXPECT_EQ(zel_phaser_join(ph.get(), &who, &phase), 0);
  EXPECT_EQ(who, 0);  // the lowest-numbered of those that have left
  EXPECT_EQ(zel_phaser_join(ph.get(), &who, &phase), 0);
  EXPECT_EQ(who, 2);
  for (int32_t i = 0; i < 3; ++i) ASSERT_EQ(zel_phaser_leave_at(ph.get(), i), 0);
  EXPECT_EQ(zel_phaser_join_at(ph.get(), 1, &phase), EOVERFLOW);
  EXPECT_EQ(zel_phaser_join(ph.get(), &who, &phase), EOVERFLOW);
  EXPECT_EQ(ph.get()->phases[1], INT32_MAX);
}

TEST(ZelPhaserJoin, AJoinerHoldsTheWaitersBackUntilItAdvances) {
  Phaser ph(3);
  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 2), 0);  // a spare participant
  progress_board board(3);
  board.publish(2, INT32_MAX);
  std::atomic<long> progress{0};
  std::atomic<bool> stop{false};
  std::atomic<int> early{0}, failed{0};
  watchdog dog("barrier with a joiner", progress);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      for (int32_t k = 1; !stop.load(); ++k) {
        board.publish(i, k);
        if (zel_phaser_advance_and_await_at(ph.get(), i) != 0) failed.fetch_add(1);
        if (!board.all_reached(k)) early.fetch_add(1);
        progress.fetch_add(1);
      }
      board.publish(i, INT32_MAX);
      if (zel_phaser_leave_at(ph.get(), i) != 0) failed.fetch_add(1);
    });
  }
  while (progress.load() < 100) std::this_thread::yield();
  int32_t joined = -1;
  ASSERT_EQ(zel_phaser_join_at(ph.get(), 2, &joined), 0);
  board.publish(2, joined);
  // The others get one phase ahead at most, and wait there for the joiner.
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(zel_phaser_current(ph.get()), joined);
  EXPECT_LE(std::atomic_ref<int32_t>(ph.get()->phases[0]).load(), joined + 1);
  EXPECT_LE(std::atomic_ref<int32_t>(ph.get()->phases[1]).load(), joined + 1);
  for (int32_t k = joined + 1; k <= joined + 100; ++k) {
    board.publish(2, k);
    ASSERT_EQ(zel_phaser_advance_and_await_at(ph.get(), 2), 0);
  }
  stop.store(true);
  board.publish(2, INT32_MAX);
  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 2), 0);
  for (auto &t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(early.load(), 0);
}

// Participant 0 belongs to one thread throughout; the pool's threads take
// the others in turn, each joining whichever has left, awaiting a few
// phases and leaving again. No await may return before every participant
// then in the phaser has reached its phase.
TEST(ZelPhaserJoin, APoolWhoseThreadsLeaveAndJoinAtRandomKeepsTheBarrierWhole) {
  constexpr int participant_count = 6, pool_size = 4;
  Phaser ph(participant_count);
  for (int32_t i = 1; i < participant_count; ++i) ASSERT_EQ(zel_phaser_leave_at(ph.get(), i), 0);
  std::atomic<long> progress{0};
  std::atomic<bool> stop{false};
  std::atomic<int> early{0}, failed{0};
  watchdog dog("pool of joining and leaving threads", progress);
  auto await_checked = [&](int32_t who) {
    const int32_t target = std::atomic_ref<int32_t>(ph.get()->phases[who]).load() + 1;
    if (zel_phaser_advance_and_await_at(ph.get(), who) != 0) failed.fetch_add(1);
    if (zel_phaser_current(ph.get()) < target) early.fetch_add(1);
    progress.fetch_add(1);
  };
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!stop.load()) await_checked(0);
    if (zel_phaser_leave_at(ph.get(), 0) != 0) failed.fetch_add(1);
  });
  for (int t = 0; t < pool_size; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand rng(static_cast<unsigned>(t) + 11);
      while (!stop.load()) {
        int32_t who = -1, phase = -1;
        const int rc = zel_phaser_join(ph.get(), &who, &phase);
        if (rc == EBUSY) continue;
        if (rc != 0) break;  // EOVERFLOW: participant 0 left, the run is over
        if (zel_phaser_current(ph.get()) > phase) early.fetch_add(1);
        for (unsigned k = rng() % 8; k > 0; --k) await_checked(who);
        if (zel_phaser_leave_at(ph.get(), who) != 0) failed.fetch_add(1);
      }
    });
  }
  std::this_thread::sleep_for(1500ms);
  stop.store(true);
  for (auto &t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(early.load(), 0);
  EXPECT_GT(progress.load(), 100);
}

// Participants 0 and 1 advance without waiting, raising the current phase
// all the time, while participant 2 leaves and joins again and again: every
// join lands at least on the smaller of the others' phases read before it,
// and holds the next phase back.
TEST(ZelPhaserJoin, AJoinRacingTheRaiseOfTheCurrentPhaseTakesTheRaisedOne) {
  std::atomic<long> progress{0};
  watchdog dog("join racing raises", progress);
  for (int round = 0; round < 100; ++round) {
    Phaser ph(3);
    ASSERT_EQ(zel_phaser_leave_at(ph.get(), 2), 0);
    std::atomic<int> running{2};
    std::vector<std::thread> advancers;
    for (int32_t i = 0; i < 2; ++i) {
      advancers.emplace_back([&, i] {
        for (int k = 0; k < 2000; ++k) EXPECT_EQ(zel_phaser_advance_at(ph.get(), i), 0);
        running.fetch_sub(1);
      });
    }
    const timespec past{0, 0};
    while (running.load() > 0) {
      const int32_t others = std::min(std::atomic_ref<int32_t>(ph.get()->phases[0]).load(),
                                      std::atomic_ref<int32_t>(ph.get()->phases[1]).load());
      int32_t joined = -1;
      ASSERT_EQ(zel_phaser_join_at(ph.get(), 2, &joined), 0);
      ASSERT_GE(joined, others) << "round " << round << ": landed below the others";
      ASSERT_EQ(ph.get()->phases[2], joined);
      ASSERT_EQ(zel_phaser_await_phase(ph.get(), joined + 1, &past), ETIMEDOUT)
          << "round " << round << ": released past the joiner at " << joined;
      ASSERT_EQ(zel_phaser_leave_at(ph.get(), 2), 0);
      progress.fetch_add(1);
    }
    for (auto &t : advancers) t.join();
  }
}

// Two threads join participant 1 while participant 0 advances; the winner
// advances too. Exactly one join succeeds, and once all have returned the
// current phase is the smaller phase again: no raise is lost, also not one
// that an advance left to the losing join.
TEST(ZelPhaserJoin, OfTwoThreadsJoiningOneParticipantExactlyOneSucceeds) {
  std::atomic<long> progress{0};
  watchdog dog("two joiners", progress);
  for (int round = 0; round < 2000; ++round) {
    Phaser ph(2);
    ASSERT_EQ(zel_phaser_leave_at(ph.get(), 1), 0);
    std::latch start(3);
    int by_number = -2, by_search = -2;
    int32_t who = -2;
    auto join_and_advance = [&](int *rc, bool search) {
      start.arrive_and_wait();
      *rc = search ? zel_phaser_join(ph.get(), &who, nullptr)
                   : zel_phaser_join_at(ph.get(), 1, nullptr);
      if (*rc == 0) {
        EXPECT_EQ(zel_phaser_advance_at(ph.get(), 1), 0);
      }
    };
    std::thread a(join_and_advance, &by_number, false);
    std::thread b(join_and_advance, &by_search, true);
    std::thread c([&] {
      start.arrive_and_wait();
      EXPECT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
    });
    a.join();
    b.join();
    c.join();
    progress.fetch_add(1);
    ASSERT_TRUE((by_number == 0 && by_search == EBUSY) || (by_number == EBUSY && by_search == 0))
        << by_number << " " << by_search;
    if (by_search == 0) {
      EXPECT_EQ(who, 1);
    }
    ASSERT_EQ(zel_phaser_current(ph.get()), std::min(ph.get()->phases[0], ph.get()->phases[1]))
        << "round " << round;
  }
}

TEST(ZelPhaserLaggard, OnPhasesWrittenBeforeTheFirstOperationNamesTheLowest) {
  const timespec before = monotonic_in(0s);
  Phaser ph(3);
  const timespec after = monotonic_in(0s);
  zel_testing::write_phases(ph.get(), {3, 5, 4});
  int32_t who = -2, phase = -2;
  timespec since{};
  ASSERT_EQ(zel_phaser_laggard(ph.get(), &who, &phase, &since), 0);
  EXPECT_EQ(who, 0);
  EXPECT_EQ(phase, 3);
  EXPECT_TRUE(not_after(before, since) && not_after(since, after));

  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);  // 4, 5, 4
  ASSERT_EQ(zel_phaser_laggard(ph.get(), &who, &phase, &since), 0);
  EXPECT_EQ(who, 0);
  EXPECT_EQ(phase, 4);
  EXPECT_TRUE(not_after(after, since));
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);  // 5, 5, 4
  ASSERT_EQ(zel_phaser_laggard(ph.get(), &who, nullptr, nullptr), 0);
  EXPECT_EQ(who, 2);
}

TEST(ZelPhaserLaggard, AfterEveryParticipantLeftNamesNobody) {
  Phaser ph(2);
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 1), 0);
  int32_t who = -2, phase = -2;
  ASSERT_EQ(zel_phaser_laggard(ph.get(), &who, &phase, nullptr), 0);
  EXPECT_EQ(who, 0);
  EXPECT_EQ(phase, 1);
  ASSERT_EQ(zel_phaser_leave_at(ph.get(), 0), 0);
  ASSERT_EQ(zel_phaser_laggard(ph.get(), &who, &phase, nullptr), 0);
  EXPECT_EQ(who, -1);
  EXPECT_EQ(phase, INT32_MAX);
}

}  // namespace
