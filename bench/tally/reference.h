// Reference kernels for the benchmarks, built apart from the project's code:
// their own translation unit, compiled with -O3 -march=native, including no
// header of the project. Each reads p[0, n) once; none writes memory. The
// fastest of them on a given array is the read limit the counting kernel is
// judged against.
#pragma once

#include <cstdint>

// The plain counting loop, left to the compiler for this very CPU.
std::int32_t native_plain_count(const std::int32_t *p, std::int32_t n, std::int32_t value);

// A pure read: the bitwise OR of every element, left to the compiler.
std::int32_t native_or_reduce(const std::int32_t *p, std::int32_t n);

// A count written with intrinsics for the widest unit this CPU has:
// unaligned loads, two streams, each compare's mask popcounted into a scalar.
std::int32_t native_intrinsics_count(const std::int32_t *p, std::int32_t n, std::int32_t value);

// The vector unit native_intrinsics_count was built for: "avx512", "avx2" or "sse2".
const char *native_intrinsics_unit();
