// The phaser record as callers see it: the current phase is the smallest
// entry of `phases`, phases written between init and the first operation
// are honoured, phases never wrap, and the record's byte count is computed
// without wrapping. Each test runs in a process of its own.

#include "internal/checked_size.h"
#include "phaser_testing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>

namespace {

using zel_testing::monotonic_in;
using zel_testing::Phaser;
using zel_testing::write_phases;

TEST(ZelPhaserRecord, CurrentIsTheSmallestEntryTheCallerWrote) {
  Phaser ph(4);
  write_phases(ph.get(), {3, 5, 4, 6});
  EXPECT_EQ(zel_phaser_current(ph.get()), 3);
}

TEST(ZelPhaserRecord, OperationsAfterWrittenPhasesBehaveAsIfTheParticipantsHadAdvanced) {
  Phaser ph(3);
  int32_t *phases = ph.get()->phases;
  write_phases(ph.get(), {3, 5, 4});
  const timespec past = monotonic_in(std::chrono::seconds(-1));
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 3, &past), 0);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 4, &past), ETIMEDOUT);

  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);  // 4, 5, 4
  EXPECT_EQ(phases[0], 4);
  EXPECT_EQ(zel_phaser_current(ph.get()), 4);
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), 4, &past), 0);

  // Participant 1 (at 6 after this advance) waits for 0 and 2.
  std::thread waiter([&] { EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 1), 0); });
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
    ASSERT_EQ(zel_phaser_advance_at(ph.get(), 2), 0);
  }
  waiter.join();
  EXPECT_EQ(zel_phaser_current(ph.get()), 6);
}

TEST(ZelPhaserRecord, AnAwaitingAdvanceAsTheFirstOperationHonoursWrittenPhases) {
  Phaser ph(3);
  write_phases(ph.get(), {3, 5, 4});
  std::atomic<long> progress{0};
  zel_testing::watchdog dog("first operation an awaiting advance", progress,
                            std::chrono::seconds(5));
  // 4, 5, 4: reached at once; without the written phases published it
  // would wait for ever, as no later advance departs from a published phase.
  EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 0), 0);
  progress.fetch_add(1);
  EXPECT_EQ(zel_phaser_current(ph.get()), 4);
}

TEST(ZelPhaserRecord, AParticipantWrittenAsLeftHoldsNobodyBack) {
  Phaser ph(2);
  ph.get()->phases[1] = INT32_MAX;
  EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 0), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), 1);
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 1), EOVERFLOW);
}

TEST(ZelPhaserOverflow, AnAdvanceThatWouldReachInt32MaxFailsAndChangesNothing) {
  Phaser ph(2);
  int32_t *phases = ph.get()->phases;
  phases[0] = INT32_MAX - 2;
  phases[1] = INT32_MAX - 2;
  ASSERT_EQ(zel_phaser_advance_at(ph.get(), 0), 0);
  EXPECT_EQ(phases[0], INT32_MAX - 1);
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 0), EOVERFLOW);
  EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 0), EOVERFLOW);
  EXPECT_EQ(phases[0], INT32_MAX - 1);

  // The other participant still reaches the last phase, and the barrier
  // still holds it back until then.
  const timespec soon = monotonic_in(std::chrono::milliseconds(20));
  EXPECT_EQ(zel_phaser_await_phase(ph.get(), INT32_MAX - 1, &soon), ETIMEDOUT);
  EXPECT_EQ(zel_phaser_advance_and_await_at(ph.get(), 1), 0);
  EXPECT_EQ(zel_phaser_current(ph.get()), INT32_MAX - 1);
  EXPECT_EQ(zel_phaser_advance_at(ph.get(), 1), EOVERFLOW);
  EXPECT_EQ(zel_phaser_current(ph.get()), INT32_MAX - 1);
}

TEST(ZelPhaserOverflow, TheRegistryBasedOperationsStopAtTheSameLimit) {
  Phaser ph(1);
  ASSERT_EQ(tid_slot(pthread_self()), 0);
  ph.get()->phases[0] = INT32_MAX - 1;
  EXPECT_EQ(zel_phaser_advance(ph.get()), EOVERFLOW);
  EXPECT_EQ(zel_phaser_advance_and_await(ph.get()), EOVERFLOW);
  EXPECT_EQ(ph.get()->phases[0], INT32_MAX - 1);
}

TEST(CheckedSize, ComputesCountTimesEachPlusExtraWhenItFits) {
  size_t out = 0;
  ASSERT_TRUE(zel_detail::checked_size<size_t>(1000, 4, 64, &out));
  EXPECT_EQ(out, 4064u);
  ASSERT_TRUE(zel_detail::checked_size<size_t>(0, 4, 64, &out));
  EXPECT_EQ(out, 64u);
  uint32_t out32 = 0;
  ASSERT_TRUE(zel_detail::checked_size<uint32_t>(0x3FFFFFF0u, 4, 0x3F, &out32));
  EXPECT_EQ(out32, 0xFFFFFFFFu);
}

TEST(CheckedSize, ReportsAProductOrSumThatWouldWrap) {
  size_t out = 0;
  EXPECT_FALSE(zel_detail::checked_size<size_t>(SIZE_MAX / 4 + 1, 4, 0, &out));
  EXPECT_FALSE(zel_detail::checked_size<size_t>(SIZE_MAX / 4, 4, 4, &out));
  // A 32-bit size_t: INT32_MAX participants' phases alone wrap it.
  uint32_t out32 = 0;
  EXPECT_FALSE(zel_detail::checked_size<uint32_t>(INT32_MAX, 4, 64, &out32));
  EXPECT_FALSE(zel_detail::checked_size<uint32_t>(0x40000000u, 4, 0, &out32));
  EXPECT_FALSE(zel_detail::checked_size<uint32_t>(0x3FFFFFF0u, 4, 0x40, &out32));
}

}  // namespace
