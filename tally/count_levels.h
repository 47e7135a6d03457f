// The counting kernel built once per x86-64 instruction-set level. The
// programs call workload_count (workload.h), which the dynamic loader binds to
// one of these when the program loads; the tests and the benchmark call each
// level directly.
#pragma once

#include <cstdint>

enum count_level_t { count_level_sse2, count_level_avx2, count_level_avx512 };

// Number of elements of p[0, n) equal to value, for n from 0 to INT32_MAX.
// p must be 4-byte aligned (any element index is fine); nothing is written,
// so any number of threads may run them at once. Each requires the CPU to
// have its level: calling the AVX2 or AVX-512 build on a CPU without it
// faults with an illegal instruction (check workload_count_supported first).
std::int32_t workload_count_sse2(const std::int32_t *p, std::int32_t n, std::int32_t value);
std::int32_t workload_count_avx2(const std::int32_t *p, std::int32_t n, std::int32_t value);
std::int32_t workload_count_avx512(const std::int32_t *p, std::int32_t n, std::int32_t value);

// Whether this CPU (and the operating system, which must save the wider
// registers) can run the given level. Safe to call from any thread.
bool workload_count_supported(count_level_t level);

// The level that workload_count runs on this CPU: the widest supported one.
count_level_t workload_count_level();

// "sse2", "avx2" or "avx512".
const char *workload_count_level_name(count_level_t level);
