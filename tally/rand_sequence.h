// The sequence that glibc's rand() returns after srand(0), computed directly.
//
// rand() after srand(0) is an additive lagged-Fibonacci generator on 32-bit
// words: with s the state words, s[k] = s[k - 3] + s[k - 31] (mod 2^32), and
// the k-th value of rand() is s[k + 31] >> 1, where s[0..30] is the state
// that srand(0) leaves once it has discarded its first 310 values. The
// recurrence is linear, so the 31 words at any position p follow from the
// first 31 by x^p mod (x^31 - x^28 - 1): each thread and each vector lane can
// start at its own position. Carries only move upwards, so the low bits of s
// obey the same recurrence on their own, and rand() % 4 = (s >> 1) & 3 needs
// only the low three.
//
// Nothing here calls rand() or touches its state; whether the C library's
// rand() is this generator is for the caller to check (fill.cpp does).
#pragma once

#include <cstddef>
#include <cstdint>

// Number of state words: the longer lag of the recurrence.
inline constexpr int rand_sequence_lag = 31;

// The instruction-set levels the vector generator is built for.
enum rand_level_t { rand_level_sse2, rand_level_avx2, rand_level_avx512 };

// Whether this CPU (and the operating system, which must save the wider
// registers) can run the given level. Safe to call from any thread.
bool rand_level_supported(rand_level_t level);

// The widest level this CPU supports: the one the fill uses.
rand_level_t rand_level_best();

// "sse2", "avx2" or "avx512".
const char *rand_level_name(rand_level_t level);

// Stores in window[0..30] the state words s[p], ..., s[p + 30], exactly
// (mod 2^32). Costs about 30 polynomial products whatever p is.
void rand_sequence_window(std::uint64_t p, std::uint32_t window[rand_sequence_lag]);

// Stores in dst[i] the (first + i)-th value of rand() after srand(0), all 31
// bits, for i from 0 to count - 1. Scalar; meant for checks, not for bulk.
void rand_sequence_values(std::int32_t *dst, std::uint64_t first, std::size_t count);

// Called before the fill writes dst[0, count): the caller may fault the pages
// in there. `ctx` is passed through.
using rand_prepare_fn = void (*)(void *ctx, std::int32_t *dst, std::size_t count);

// Stores in dst[i] the (first + i)-th value of rand() after srand(0), modulo
// 4, for i from 0 to count - 1, with the vector unit of `level` (which the CPU
// must support). Works in blocks of a little over 2 MiB of output, each
// written by all lanes at once, and calls `prepare` (if not null) once before
// each block is first written, in order, the calls together covering
// dst[0, count) exactly. Any number of threads may run it at once on disjoint
// ranges of dst.
void rand_sequence_fill(rand_level_t level, std::int32_t *dst, std::uint64_t first,
                        std::size_t count, rand_prepare_fn prepare = nullptr, void *ctx = nullptr);

// 2 MiB of output, in elements: the size that the blocks round up.
inline constexpr std::size_t rand_sequence_block = std::size_t{1} << 19;
