// Tests of the fill and of the rand() sequence generator behind it: jumps
// against plain stepping, every vector level the CPU has against rand()
// itself at awkward lengths and positions, the split over threads and
// blocks, and the whole array against rand().
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "internal/fill.h"
#include "workload.h"

namespace {

constexpr std::size_t block = rand_sequence_block;

// rand() % 4 after srand(0), the first `n` values, drawn once per process.
const std::vector<std::int32_t> &rand_mod4(std::size_t n) {
  static std::vector<std::int32_t> values;
  if (values.size() < n) {
    values.resize(n);
    std::srand(0);
    for (auto &v : values) v = std::rand() % 4;
  }
  return values;
}

// The generator's words stepped one at a time from srand(0)'s seeding, with
// none of the jump code: r[0] = 1, r[i] = 16807 r[i - 1] mod (2^31 - 1) up to
// i = 30, r[31..33] = r[0..2], then r[i] = r[i - 3] + r[i - 31] mod 2^32.
// Word p of the window is r[313 + p].
std::vector<std::uint32_t> stepped_words(std::size_t count) {
  std::vector<std::uint32_t> r(344 + count);
  r[0] = 1;
  for (std::size_t i = 1; i < 31; i++)
    r[i] = static_cast<std::uint32_t>(std::uint64_t{16807} * r[i - 1] % 2147483647);
  for (std::size_t i = 31; i < 34; i++) r[i] = r[i - 31];
  for (std::size_t i = 34; i < r.size(); i++) r[i] = r[i - 3] + r[i - 31];
  return std::vector<std::uint32_t>(r.begin() + 313, r.end());
}

TEST(RandSequence, JumpAgreesWithSteppingAtEdgesAndFarAhead) {
  constexpr std::uint64_t far = 3000017;
  const std::vector<std::uint32_t> s = stepped_words(far + 31);
  for (std::uint64_t k : {0u, 1u, 2u, 3u, 28u, 30u, 31u, 32u, 33u, 62u, 343u, 344u, 345u, 65536u,
                          1000003u, static_cast<unsigned>(far)}) {
    std::uint32_t window[rand_sequence_lag];
    rand_sequence_window(k, window);
    for (int i = 0; i < rand_sequence_lag; i++)
      ASSERT_EQ(window[i], s[k + static_cast<std::uint64_t>(i)]) << "k " << k << " word " << i;
  }
}

TEST(RandSequence, FullValuesEqualRandItselfFromAnyStart) {
  constexpr std::size_t n = 200000;
  std::srand(0);
  std::vector<std::int32_t> want(n);
  for (auto &v : want) v = std::rand();
  for (std::uint64_t first : {0u, 1u, 30u, 31u, 344u, 100000u}) {
    std::vector<std::int32_t> got(n - first);
    rand_sequence_values(got.data(), first, got.size());
    for (std::size_t i = 0; i < got.size(); i++)
      ASSERT_EQ(got[i], want[first + i]) << "first " << first << " value " << i;
  }
}

TEST(RandSequence, JumpsFarBeyondTheArrayStayConsistent) {
  // Far positions cannot be stepped to; a window there must still continue
  // exactly like the window one step later.
  for (std::uint64_t k : {std::uint64_t{1} << 32, (std::uint64_t{1} << 40) + 12345}) {
    std::uint32_t here[rand_sequence_lag], next[rand_sequence_lag];
    rand_sequence_window(k, here);
    rand_sequence_window(k + 1, next);
    for (int i = 0; i + 1 < rand_sequence_lag; i++) EXPECT_EQ(next[i], here[i + 1]);
    EXPECT_EQ(next[30], here[28] + here[0]);
  }
}

class RandLevel : public ::testing::TestWithParam<tally_level_t> {
 protected:
  void SetUp() override {
    if (!tally_level_supported(GetParam()))
      GTEST_SKIP() << GetParam().name << " is not supported by this CPU";
  }
};

// Positions of the first element that differs from rand() % 4, or -1.
std::int64_t first_mismatch(const std::int32_t *got, std::uint64_t first, std::size_t count) {
  const std::vector<std::int32_t> &want = rand_mod4(first + count);
  for (std::size_t i = 0; i < count; i++)
    if (got[i] != want[first + i]) return static_cast<std::int64_t>(i);
  return -1;
}

TEST_P(RandLevel, FillEqualsRandModFourAtAwkwardLengthsAndStarts) {
  // One round of the widest level's lanes, and the blocks of each level.
  const std::size_t lanes_round = 16 * rand_lanes_steps;
  const std::size_t own_block = block + GetParam().kernels->lanes_width * rand_lanes_steps;
  for (std::uint64_t first :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{343}, std::uint64_t{block + 7}}) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{30}, std::size_t{31},
                              std::size_t{32}, std::size_t{511}, lanes_round - 1, lanes_round,
                              lanes_round + 1, 3 * lanes_round + 77, block - 1, block, block + 1,
                              own_block - 1, own_block, own_block + 1, 2 * own_block + 4099}) {
      std::vector<std::int32_t> got(count + 2, -7);
      rand_sequence_fill(GetParam(), got.data() + 1, first, count);
      ASSERT_EQ(first_mismatch(got.data() + 1, first, count), -1)
          << "first " << first << " count " << count;
      ASSERT_EQ(got[0], -7) << "wrote before the range";
      ASSERT_EQ(got[count + 1], -7) << "wrote past the range";
    }
  }
}

TEST_P(RandLevel, FillOfSeveralMillionValuesEqualsRand) {
  const std::size_t n = 4 * block + 123457;
  std::vector<std::int32_t> got(n);
  rand_sequence_fill(GetParam(), got.data(), 0, n);
  EXPECT_EQ(first_mismatch(got.data(), 0, n), -1);
}

struct prepared_t {
  const std::int32_t *base;
  std::vector<std::pair<std::size_t, std::size_t>> calls;  // offset, count
};

TEST_P(RandLevel, PrepareCoversTheRangeInOrderBeforeEachBlockIsWritten) {
  const std::size_t n = 3 * block + 1000;
  std::vector<std::int32_t> got(n);
  prepared_t seen{got.data(), {}};
  rand_sequence_fill(
      GetParam(), got.data(), 5, n,
      [](void *ctx, std::int32_t *dst, std::size_t count) {
        auto *p = static_cast<prepared_t *>(ctx);
        // Nothing of this block is written yet.
        for (std::size_t i = 0; i < count; i += 1024) ASSERT_EQ(dst[i], 0);
        p->calls.emplace_back(static_cast<std::size_t>(dst - p->base), count);
      },
      &seen);
  ASSERT_GE(seen.calls.size(), 3u);
  EXPECT_LE(seen.calls.size(), 4u);
  std::size_t next = 0;
  for (const auto &[offset, count] : seen.calls) {
    EXPECT_EQ(offset, next);
    EXPECT_GE(count, 1000u);
    EXPECT_LE(count, block + block / 8);
    next = offset + count;
  }
  EXPECT_EQ(next, n);
  EXPECT_EQ(first_mismatch(got.data(), 5, n), -1);
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, RandLevel, ::testing::ValuesIn(tally_levels),
                         [](const auto &level) { return std::string(level.param.name); });

TEST(Fill, WholeArrayEqualsRandModFour) {
  ASSERT_TRUE(workload_fill(array_size, workload_use_threads));
  EXPECT_EQ(tofind, 3);
  std::srand(0);
  std::int64_t mismatches = 0;
  for (std::int32_t i = 0; i < array_size; i++) mismatches += array[i] != std::rand() % 4;
  EXPECT_EQ(mismatches, 0);
}

TEST(Fill, SplitsOverThreadsAtAwkwardSizesOnBothPageSizes) {
  const auto b = static_cast<std::int32_t>(block);
  for (workload_pages_t pages :
       {workload_pages_huge, workload_pages_small, workload_pages_measured}) {
    for (std::int32_t n : {0, 1, 30, 31, 100, 2 * b - 1, 2 * b, 2 * b + 1, 5 * b + 4099}) {
      std::int32_t *got = workload_fill_block(n, pages);
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(first_mismatch(got, 0, static_cast<std::size_t>(n)), -1)
          << "n " << n << " pages " << pages;
      if (n >= b) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(got) % (std::uintptr_t{2} << 20), 0u);
      }
      std::free(got);
    }
  }
}

// Times that filling threads measured, in milliseconds: the yardstick (the
// faster of its two), then each huge page. "AMD" rows were recorded on a
// 2-CPU AMD EPYC (AVX-512) Firecracker VM whose balloon takes idle memory
// back, back to back (a hiccup slows a block or two, either page size) and
// after 3 s idle (blocks the host took back, in runs of dozens). "Intel"
// rows carry the levels of whole runs on a 2-CPU Intel Xeon (AVX-512) VM of
// that kind, whose page-by-page times were not recorded: huge pages 0.25
// ms, the yardstick 0.6 ms, taken back 5 ms, and the AMD hiccup scaled.
TEST(PageChoice, EndsOnTheRightPagesForRecordedFills) {
  struct {
    const char *what;
    const char *ms;
    bool small;
  } const fills[] = {
      {"AMD, back to back, a hiccup",
       "0.70 0.30 0.13 0.11 0.12 0.11 0.15 0.10 0.11 0.11 0.12 0.09 0.11 0.12 0.10 0.14 0.11 "
       "0.12 0.12 0.12 0.13 0.12 0.10 0.09 0.09 0.09 0.13 0.09 0.09 0.09 0.09 1.51 1.12",
       false},
      {"AMD, back to back, one block taken back",
       "0.64 6.53 0.08 0.08 0.08 0.08 0.08 0.08 0.08 0.08 0.08 0.08 0.08 0.08 0.09", false},
      {"AMD, after idle, taken back from the 20th page",
       "0.62 0.26 0.09 0.09 0.09 0.10 0.09 0.09 0.09 0.09 0.09 0.10 0.09 0.09 0.11 0.09 0.09 "
       "0.13 0.09 0.09 0.09 4.91 5.12 5.05 4.87 5.13",
       true},
      {"AMD, after idle, taken back from the start", "0.95 6.79 6.35 6.34 6.35 6.38", true},
      {"AMD, after idle, a slow yardstick",
       "2.30 5.25 0.21 0.21 0.19 0.17 0.17 0.18 0.17 0.17 0.17 0.17 0.22 0.26 0.16 0.17 0.16 "
       "0.16 0.18 0.16 0.16 0.15 4.95 5.07 5.09 5.02 4.86",
       true},
      {"Intel, back to back, a hiccup", "0.60 0.25 0.25 0.30 0.25 1.29 0.96 0.25 0.25 0.70 0.25",
       false},
      {"Intel, after idle", "0.60 0.25 0.25 0.25 5.00 5.00 5.00 5.00 5.00", true},
  };
  for (const auto &f : fills) {
    std::istringstream in(f.ms);
    page_choice_t choice;
    bool small = false;
    for (double ms; in >> ms;) {
      const bool was_small = small;
      small = page_choice_next(&choice, ms);
      EXPECT_TRUE(small || !was_small) << f.what << ": small pages are for good";
    }
    EXPECT_EQ(small, f.small) << f.what;
  }
}

// Bytes of the mappings within [p, p + bytes) that are advised against huge
// pages, from /proc/self/smaps.
std::size_t small_advised_bytes(const void *p, std::size_t bytes) {
  const auto lo = reinterpret_cast<std::uintptr_t>(p), hi = lo + bytes;
  std::ifstream smaps("/proc/self/smaps");
  std::size_t total = 0;
  std::uintptr_t start = 0, end = 0;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long a = 0, b = 0;
    char dash = 0;
    if (std::sscanf(line.c_str(), "%lx%c%lx", &a, &dash, &b) == 3 && dash == '-') {
      start = a, end = b;
    } else if (line.rfind("VmFlags:", 0) == 0 && line.find(" nh") != std::string::npos) {
      const std::uintptr_t from = std::max(start, lo), to = std::min(end, hi);
      if (from < to) total += to - from;
    }
  }
  return total;
}

// A clock whose every reading is further from the last than the one before,
// so that every huge page seems slower than the yardstick.
double accelerating_clock() {
  static std::atomic<std::int64_t> calls{0};
  const auto k = static_cast<double>(calls.fetch_add(1));
  return k * k;
}

double stopped_clock() {
  return 0;
}

TEST(Fill, MeasuredPagesMoveToSmallPagesWhenHugeOnesAreSlowAndStayExact) {
  const auto n = static_cast<std::int32_t>(24 * block + 12345);
  const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(std::int32_t);
  const std::size_t yardsticks = 4 * block * sizeof(std::int32_t);  // 4 MiB per half

  std::int32_t *got = workload_fill_block(n, workload_pages_measured, stopped_clock);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(first_mismatch(got, 0, static_cast<std::size_t>(n)), -1);
  EXPECT_EQ(small_advised_bytes(got, bytes), yardsticks) << "huge pages are not slower here";
  std::free(got);

  got = workload_fill_block(n, workload_pages_measured, accelerating_clock);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(first_mismatch(got, 0, static_cast<std::size_t>(n)), -1);
  EXPECT_GT(small_advised_bytes(got, bytes), bytes / 2) << "slow huge pages were kept";
  std::free(got);
}

TEST(RandSequence, IsRecognisedAsRandWhereRandIsGlibcs) {
#if defined(__GLIBC__)
  EXPECT_TRUE(rand_sequence_is_rand()) << "the start-up comparison with rand() failed on glibc";
#else
  GTEST_SKIP() << "rand() is not glibc's here; the fill calls rand() itself";
#endif
}

}  // namespace
