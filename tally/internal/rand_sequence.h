// The sequence that glibc's rand() returns after srand(0), computed directly:
// the generator behind rand_sequence_fill (internal/fill.h) and the pieces of
// it that the tests check on their own.
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
#pragma once

#include <cstddef>
#include <cstdint>

#include "internal/fill.h"

// Number of state words: the longer lag of the recurrence.
inline constexpr int rand_sequence_lag = 31;

// 2 MiB of output, in elements: the size that the fill's blocks round up.
inline constexpr std::size_t rand_sequence_block = std::size_t{1} << 19;

// Stores in window[0..30] the state words s[p], ..., s[p + 30], exactly
// (mod 2^32). Costs about 30 polynomial products whatever p is.
void rand_sequence_window(std::uint64_t p, std::uint32_t window[rand_sequence_lag]);

// Stores in dst[i] the (first + i)-th value of rand() after srand(0), all 31
// bits, for i from 0 to count - 1. Scalar; meant for checks, not for bulk.
void rand_sequence_values(std::int32_t *dst, std::uint64_t first, std::size_t count);

// Called before the fill writes dst[0, count): the caller may fault the pages
// in there. `ctx` is passed through.
using rand_prepare_fn = void (*)(void *ctx, std::int32_t *dst, std::size_t count);

// rand_sequence_fill in blocks of a little over rand_sequence_block values,
// each written by all lanes at once, calling `prepare` (if not null) once
// before each block is first written, in order, the calls together covering
// dst[0, count) exactly.
void rand_sequence_fill(tally_level_t level, std::int32_t *dst, std::uint64_t first,
                        std::size_t count, rand_prepare_fn prepare, void *ctx);
