// Unit tests of the counting workload on small arrays: the scan, the slicing
// rule and the report lines (the fill has fill_test.cpp).
#include "workload.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "small_workload.h"

namespace {

std::int32_t naive_count(std::int32_t first, std::int32_t length) {
  std::int32_t c = 0;
  for (std::int32_t i = first; i < first + length; i++) c += array[i] == tofind;
  return c;
}

TEST_F(SmallWorkload, ScanMatchesNaiveCountForEverySliceShape) {
  constexpr std::int32_t n = small_size;
  for (std::int32_t first : {0, 1, 3, 15, 16, 17, 63, 64, 1000})
    for (std::int32_t length = 0; first + length <= n && length < 300; length++)
      ASSERT_EQ(workload_scan(first, length), naive_count(first, length))
          << "first " << first << " length " << length;
  EXPECT_EQ(workload_scan(0, n), naive_count(0, n));
}

TEST_F(SmallWorkload, ScanCountsOnlyTheTargetValue) {
  constexpr std::int32_t n = 1000;
  for (std::int32_t i = 0; i < n; i++) array[i] = 3;
  EXPECT_EQ(workload_scan(0, n), n);
  EXPECT_EQ(workload_scan(10, 0), 0);
  for (std::int32_t i = 0; i < n; i++) array[i] = i % 3;  // 0, 1, 2 only
  EXPECT_EQ(workload_scan(0, n), 0);
  array[0] = 3;
  array[n - 1] = 3;
  EXPECT_EQ(workload_scan(0, n), 2);
  EXPECT_EQ(workload_scan(1, n - 2), 0);
}

// Every element is covered by exactly one worker, slices are contiguous and
// in worker order, and only the last one differs from size / workers.
void expect_exact_cover(std::int32_t size, std::int32_t workers) {
  std::vector<int> hits(static_cast<std::size_t>(size), 0);
  std::int32_t next = 0;
  for (std::int32_t p = 0; p < workers; p++) {
    const slice_t s = workload_slice(size, workers, p);
    ASSERT_EQ(s.first, next) << size << "/" << workers << " worker " << p;
    ASSERT_GE(s.length, 0);
    if (p < workers - 1) {
      ASSERT_EQ(s.length, size / workers);
    }
    for (std::int32_t i = s.first; i < s.first + s.length; i++) hits[static_cast<std::size_t>(i)]++;
    next = s.first + s.length;
  }
  ASSERT_EQ(next, size) << size << "/" << workers;
  for (std::int32_t i = 0; i < size; i++)
    ASSERT_EQ(hits[static_cast<std::size_t>(i)], 1) << size << "/" << workers << " element " << i;
}

TEST(WorkloadSlice, CoversEveryElementOnceForManySizesAndWorkerCounts) {
  for (std::int32_t size : {1, 2, 7, 64, 100, 1009, 4096})
    for (std::int32_t workers = 1; workers <= 70; workers++)
      expect_exact_cover(size, workers);  // includes workers > size
}

TEST(WorkloadSlice, LastWorkerTakesTheRemainderOfTheFullArray) {
  const slice_t w0 = workload_slice(array_size, 3, 0);
  const slice_t w1 = workload_slice(array_size, 3, 1);
  const slice_t w2 = workload_slice(array_size, 3, 2);
  EXPECT_EQ(w0.first, 0);
  EXPECT_EQ(w0.length, 69905066);
  EXPECT_EQ(w1.first, 69905066);
  EXPECT_EQ(w1.length, 69905066);
  EXPECT_EQ(w2.first, 139810132);
  EXPECT_EQ(w2.length, 69905068);
  for (std::int32_t workers : {4, 8, 10})
    EXPECT_EQ(workload_slice(array_size, workers, workers - 1).length, array_size / workers);
  const slice_t big = workload_slice(array_size, 1000000000, 999999999);
  EXPECT_EQ(big.first, 0);
  EXPECT_EQ(big.length, array_size);
}

TEST(WorkloadElapsed, SubtractsMicrosecondsWithoutBorrow) {
  EXPECT_DOUBLE_EQ(workload_elapsed_ms({10, 900000}, {11, 100000}), 200.0);
  EXPECT_DOUBLE_EQ(workload_elapsed_ms({5, 100}, {5, 350}), 0.25);
  EXPECT_DOUBLE_EQ(workload_elapsed_ms({7, 0}, {7, 0}), 0.0);
  EXPECT_DOUBLE_EQ(workload_elapsed_ms({0, 999999}, {1, 0}), 0.001);
  // Spans beyond 32 bits of microseconds stay exact.
  EXPECT_DOUBLE_EQ(workload_elapsed_ms({0, 0}, {5000, 1}), 5000000.001);
}

std::string report_text(std::int32_t total, const timeval &start, const timeval &end) {
  char *buf = nullptr;
  std::size_t len = 0;
  std::FILE *out = open_memstream(&buf, &len);
  workload_report(out, total, start, end);
  std::fclose(out);
  std::string text(buf, len);
  std::free(buf);
  return text;
}

TEST(WorkloadReport, PrintsCountAndSixDecimalMilliseconds) {
  tofind = 3;
  EXPECT_EQ(report_text(52428800, {10, 900000}, {11, 100000}),
            "Count of 3 = 52428800\nElapsed time (ms) = 200.000000\n");
  EXPECT_EQ(report_text(0, {3, 0}, {3, 250}), "Count of 3 = 0\nElapsed time (ms) = 0.250000\n");
}

}  // namespace
