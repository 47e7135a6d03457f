// The straightforward count the benchmarks compare the workload against.
#pragma once

#include <cstdint>

// One comparison per element in a plain loop, compiled at -O3 for the
// baseline instruction set only, in a library of its own: "plain -O3".
std::int32_t plain_count(const std::int32_t *p, std::int32_t n, std::int32_t value);
