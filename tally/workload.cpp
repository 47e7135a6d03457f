// The counting workload's globals, the fill that sets them, the scan, the
// slicing rule and the report. The block and its contents come from
// fill.cpp, the counting kernel from the level sources.
#include "workload.h"

#include "internal/fill.h"
#include "internal/level.h"

std::int32_t *array = nullptr;
std::int32_t tofind = 0;

bool workload_fill(std::int32_t n, workload_use_t use) {
  std::int32_t *block = workload_fill_block(
      n, use == workload_use_forks ? workload_pages_huge : workload_pages_measured);
  if (block == nullptr) return false;
  array = block;
  tofind = 3;
  return true;
}

std::int32_t workload_scan(std::int32_t first, std::int32_t length) {
  return workload_count(array + first, length, tofind);
}

slice_t workload_slice(std::int32_t size, std::int32_t workers, std::int32_t p) {
  const std::int32_t regular = size / workers;
  const std::int32_t first = regular * p;  // at most size - regular
  const std::int32_t length = p == workers - 1 ? size - first : regular;
  return slice_t{first, length};
}

double workload_elapsed_ms(const timeval &start, const timeval &end) {
  const std::int64_t us = (static_cast<std::int64_t>(end.tv_sec) - start.tv_sec) * 1000000 +
                          (static_cast<std::int64_t>(end.tv_usec) - start.tv_usec);
  return static_cast<double>(us) / 1000.0;
}

void workload_report(std::FILE *out, std::int32_t total, const timeval &start, const timeval &end) {
  std::fprintf(out, "Count of %d = %d\n", tofind, total);
  std::fprintf(out, "Elapsed time (ms) = %lf\n", workload_elapsed_ms(start, end));
}
