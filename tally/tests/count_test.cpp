// Unit tests of the counting kernel: every instruction-set level this CPU
// runs against a plain loop, on lengths around the vector widths and unroll
// steps, at every start offset within a cache line, on all-match, no-match
// and random contents. Levels the CPU lacks are skipped with a message. And
// the count the loader binds: the widest level's that /proc/cpuinfo lists.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "internal/level.h"

namespace {

std::int32_t plain_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  std::int32_t c = 0;
  for (std::int32_t i = 0; i < n; i++) c += p[i] == value;
  return c;
}

class CountLevel : public ::testing::TestWithParam<tally_level_t> {
 protected:
  void SetUp() override {
    if (!tally_level_supported(GetParam())) GTEST_SKIP() << "this CPU lacks " << GetParam().name;
  }
  std::int32_t count(const std::int32_t *p, std::int32_t n, std::int32_t value) const {
    return GetParam().kernels->count(p, n, value);
  }
};

// Lengths on both sides of every register width (4, 8, 16 elements) and
// unroll step (16, 32, 64), and one long enough for many steps.
const std::int32_t awkward_lengths[] = {0,   1,   2,   3,   4,   5,   7,    8,    9,
                                        15,  16,  17,  31,  32,  33,  63,   64,   65,
                                        127, 128, 129, 255, 256, 257, 1000, 4099, 1000003};

// A buffer aligned to a cache line, so that offset k starts k elements past
// a 64-byte boundary.
std::vector<std::int32_t> buffer(std::size_t n) {
  return std::vector<std::int32_t>(n + 64);
}

const std::int32_t *line_start(const std::vector<std::int32_t> &b) {
  auto a = reinterpret_cast<std::uintptr_t>(b.data());
  return reinterpret_cast<const std::int32_t *>((a + 63) & ~std::uintptr_t{63});
}

TEST_P(CountLevel, MatchesPlainLoopOnRandomValuesForEveryLengthAndStart) {
  std::vector<std::int32_t> b = buffer(1000003 + 16);
  std::mt19937 gen(8);
  for (auto &x : b) x = static_cast<std::int32_t>(gen() % 4);
  const std::int32_t *base = line_start(b);
  for (std::int32_t offset = 0; offset < 16; offset++)
    for (std::int32_t n : awkward_lengths)
      ASSERT_EQ(count(base + offset, n, 3), plain_count(base + offset, n, 3))
          << "offset " << offset << " length " << n;
}

TEST_P(CountLevel, CountsEveryElementWhenAllMatchAndNoneWhenNoneDo) {
  std::vector<std::int32_t> b = buffer(1000003 + 16);
  const std::int32_t *base = line_start(b);
  for (auto &x : b) x = 3;
  for (std::int32_t offset : {0, 1, 5, 15})
    for (std::int32_t n : awkward_lengths) ASSERT_EQ(count(base + offset, n, 3), n) << n;
  for (auto &x : b) x = 2;
  for (std::int32_t offset : {0, 3, 8})
    for (std::int32_t n : awkward_lengths) ASSERT_EQ(count(base + offset, n, 3), 0) << n;
}

TEST_P(CountLevel, ComparesWholeValuesWithAnyTarget) {
  // Values that share bytes with the target, and targets at the range ends.
  std::vector<std::int32_t> b = buffer(300);
  std::int32_t *p = b.data();
  for (std::int32_t target : {0, -1, INT32_MIN, INT32_MAX, 0x01000003}) {
    for (std::int32_t i = 0; i < 300; i++) {
      const std::int32_t other[] = {target ^ 1, target ^ (1 << 31), target ^ 0x100, target};
      p[i] = other[i % 4];
    }
    EXPECT_EQ(count(p, 300, target), 75) << target;
    EXPECT_EQ(count(p + 1, 299, target), plain_count(p + 1, 299, target)) << target;
  }
}

TEST_P(CountLevel, ReadsNothingOutsideTheSlice) {
  // Matches right around the slice must not be counted.
  std::vector<std::int32_t> b = buffer(600);
  std::int32_t *base = const_cast<std::int32_t *>(line_start(b));
  for (std::int32_t i = 0; i < 600; i++) base[i] = 3;
  for (std::int32_t first : {1, 16, 17})
    for (std::int32_t n : {0, 1, 63, 64, 65, 300}) {
      base[first - 1] = 3;
      for (std::int32_t i = first; i < first + n; i++) base[i] = i % 2 == 0 ? 3 : 0;
      ASSERT_EQ(count(base + first, n, 3), plain_count(base + first, n, 3))
          << "first " << first << " length " << n;
      for (std::int32_t i = 0; i < 600; i++) base[i] = 3;
    }
}

TEST_P(CountLevel, KeepsExactCountsPastSixteenBitsPerLane) {
  // 2^22 elements, all but one matching: every lane of every level collects
  // far more than 65535. (With 32-bit lanes and n <= INT32_MAX no lane can
  // reach 2^31; an 8 GiB read to prove it would make the test slow.)
  constexpr std::int32_t n = 1 << 22;
  std::vector<std::int32_t> b(n, 3);
  b[n / 2] = 0;
  EXPECT_EQ(count(b.data(), n, 3), n - 1);
  EXPECT_EQ(count(b.data() + 1, n - 2, 3), n - 3);
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, CountLevel, ::testing::ValuesIn(tally_levels),
                         [](const auto &level) { return std::string(level.param.name); });

// The flags of the first CPU in /proc/cpuinfo; empty when it cannot be read.
std::set<std::string> cpu_flags() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("flags", 0) == 0) {
      std::istringstream words(line.substr(line.find(':') + 1));
      return {std::istream_iterator<std::string>(words), {}};
    }
  return {};
}

TEST(CountDispatch, LoaderBindsTheCountOfTheWidestLevelTheCpuLists) {
  const std::set<std::string> flags = cpu_flags();
  if (flags.empty()) GTEST_SKIP() << "/proc/cpuinfo lists no flags";
  const tally_level_t *widest = nullptr;
  for (const tally_level_t &level : tally_levels) {
    const bool listed = flags.count(level.feature) != 0;
    EXPECT_EQ(tally_level_supported(level), listed) << level.name;
    if (listed) widest = &level;
  }
  ASSERT_NE(widest, nullptr);
  EXPECT_EQ(&tally_level_best(), widest) << tally_level_best().name;
  EXPECT_TRUE(&workload_count == widest->kernels->count)
      << "the loader bound another level's count than " << widest->name << "'s";
}

}  // namespace
