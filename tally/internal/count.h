// The counting kernel: the count that workload_scan runs, and each level's
// build of it for the tests and the benchmarks.
#pragma once

#include <cstdint>

#include "internal/level.h"

// Number of elements of p[0, n) equal to value, for n from 0 to INT32_MAX.
// p must be 4-byte aligned (any element index is fine). Reads p[0, n) only,
// so any number of threads may count at once. The widest level the CPU runs
// is bound when the program loads; no environment variable or setting
// changes it.
std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value);

// The same count computed at `level`, which the CPU must support: another
// level's instructions fault on a CPU without them (check
// tally_level_supported first).
std::int32_t workload_count_at(tally_level_t level, const std::int32_t *p, std::int32_t n,
                               std::int32_t value);
