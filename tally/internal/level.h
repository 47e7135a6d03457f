// The x86-64 instruction-set levels that the count and the generator are
// built for, each level's kernels, and the one decision of which level this
// CPU runs.
//
// Every per-level kernel is compiled once per level, from the level's own
// source level_NAME.cpp built for its instruction set, so the default build
// stays portable: it carries every level and runs the widest one the CPU
// has. The programs' count and fill both run tally_level_best().
#pragma once

#include <cstddef>
#include <cstdint>

// Every level, narrowest first: X(NAME, FEATURE), FEATURE being the CPU
// feature that the level needs, as the compiler's -m option and
// /proc/cpuinfo spell it. tally/CMakeLists.txt reads this list: it compiles
// level_NAME.cpp with -mFEATURE, and that source defines tally_kernels_NAME.
#define TALLY_LEVELS(X) \
  X(sse2, sse2)         \
  X(avx2, avx2)         \
  X(avx512, avx512f)

// seg (below) must be a multiple of this.
inline constexpr std::size_t rand_lanes_steps = 256;

// One level's kernels, compiled for its instruction set: they may run only
// where tally_level_supported holds for the level.
struct tally_kernels_t {
  // The count of workload_count (below).
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

#define TALLY_LEVEL_KERNELS(name, feature) extern const tally_kernels_t tally_kernels_##name;
TALLY_LEVELS(TALLY_LEVEL_KERNELS)
#undef TALLY_LEVEL_KERNELS

// A level: its name, the feature it needs and its kernels.
struct tally_level_t {
  const char *name;     // "sse2", "avx2", "avx512"
  const char *feature;  // the CPU feature it needs, as /proc/cpuinfo lists it
  const tally_kernels_t *kernels;
};

// Every level, in the order of TALLY_LEVELS.
#define TALLY_LEVEL_ENTRY(name, feature) tally_level_t{#name, #feature, &tally_kernels_##name},
inline constexpr tally_level_t tally_levels[] = {TALLY_LEVELS(TALLY_LEVEL_ENTRY)};
#undef TALLY_LEVEL_ENTRY

// Whether this CPU, and the operating system, which must save the wider
// registers, can run `level`, an entry of tally_levels. Any thread may call
// it.
bool tally_level_supported(const tally_level_t &level);

// The widest supported level: the one the programs run.
const tally_level_t &tally_level_best();

// Number of elements of p[0, n) equal to value, for n from 0 to INT32_MAX.
// p must be 4-byte aligned (any element index is fine). Reads p[0, n) only,
// so any number of threads may count at once. The loader binds the best
// level's count when the program loads; no environment variable or setting
// changes it.
std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value);
