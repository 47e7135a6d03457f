// Reference kernels the benchmarks compare the workload against.
#pragma once

#include <cstdint>

// Reads every element of p[0, n) once with the widest vector unit the CPU
// has and returns their bitwise OR: the read limit of the memory system.
std::int32_t read_all(const std::int32_t *p, std::int32_t n);

// The straightforward count: one comparison per element in a plain loop,
// compiled for the baseline instruction set only.
std::int32_t plain_count(const std::int32_t *p, std::int32_t n, std::int32_t value);
