// What each level's source (level_sse2.cpp, level_avx2.cpp, level_avx512.cpp)
// exports: one table of that level's kernels, compiled for its instruction
// set. workload_count binds the best level's count when the program loads;
// workload_count_at and the generator look the table up by level. A table's
// functions may run only where tally_level_supported(level) holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "internal/level.h"

// seg (below) must be a multiple of this.
inline constexpr std::size_t rand_lanes_steps = 256;

struct tally_kernels_t {
  // The count of workload_count (internal/count.h).
  std::int32_t (*count)(const std::int32_t *p, std::int32_t n, std::int32_t value);

  // The vector core of the rand() sequence generator. `lanes_width` lanes
  // (4, 8 or 16 32-bit lanes) each run their own stretch of the sequence.
  // The state is 31 vectors, vector-major: state[i * width + j] is word i of
  // lane j's window. A call writes `seg` values for each lane, lane j into
  // out[j * seg, (j + 1) * seg), transposing blocks of width steps in
  // registers so that every store is a contiguous run of width values.
  // Afterwards the state is advanced by `seg` steps, and then, if `jump` is
  // not null, multiplied by the 31 x 31 matrix jump[i * 31 + m] (row i gives
  // new word i from the old words). Only the low 16 bits of each state word
  // are kept exact (the baseline level has no 32-bit multiply); the values
  // written need bits 1 and 2 alone.
  void (*lanes)(std::uint32_t *state, const std::uint32_t *jump, std::int32_t *out,
                std::size_t seg);
  std::size_t lanes_width;
};

extern const tally_kernels_t tally_kernels_sse2;
extern const tally_kernels_t tally_kernels_avx2;
extern const tally_kernels_t tally_kernels_avx512;

// The table of `level`.
const tally_kernels_t &tally_kernels_of(tally_level_t level);
