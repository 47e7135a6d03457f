// The vector core of the rand() sequence generator, built once per x86-64
// level (rand_lanes_sse2.cpp, rand_lanes_avx2.cpp, rand_lanes_avx512.cpp,
// each compiled for its own instruction set; the caller picks one at run
// time, so the default build stays portable and needs no loader resolver).
//
// W lanes (4, 8 or 16 32-bit lanes) each run their own stretch of the
// sequence. The state is 31 vectors, vector-major: state[i * W + j] is word i
// of lane j's window. A call writes `seg` values for each lane, lane j into
// out[j * seg, (j + 1) * seg), transposing blocks of W steps in registers so
// that every store is a contiguous run of W values. Afterwards the state is
// advanced by `seg` steps, and then, if `jump` is not null, multiplied by the
// 31 x 31 matrix jump[i * 31 + m] (row i gives new word i from the old words).
//
// Only the low 16 bits of each state word are kept exact (the baseline level
// has no 32-bit multiply); the values written need bits 1 and 2 alone.
#pragma once

#include <cstddef>
#include <cstdint>

// seg must be a multiple of this.
inline constexpr std::size_t rand_lanes_steps = 256;

void rand_lanes_sse2(std::uint32_t *state, const std::uint32_t *jump, std::int32_t *out,
                     std::size_t seg);
void rand_lanes_avx2(std::uint32_t *state, const std::uint32_t *jump, std::int32_t *out,
                     std::size_t seg);
void rand_lanes_avx512(std::uint32_t *state, const std::uint32_t *jump, std::int32_t *out,
                       std::size_t seg);
