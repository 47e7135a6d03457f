// The fill's parts, for the fill itself, the tests and the benchmarks: the
// sequence that glibc's rand() returns after srand(0), computed directly
// (rand_sequence.cpp), and the block that it is written into, on either page
// size or on the ones measured fastest while filling (fill.cpp).
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

#include "internal/level.h"

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

// Stores in dst[i] the (first + i)-th value of rand() after srand(0), modulo
// 4, for i from 0 to count - 1, with `level`'s kernels, which the CPU must
// run. It neither calls rand() nor touches its state: whether rand() is this
// sequence is rand_sequence_is_rand(). Any number of threads may run it at
// once on disjoint ranges of dst. It writes in blocks of a little over
// rand_sequence_block values, each by all lanes at once, calling `prepare`
// (if not null) once before each block is first written, in order, the
// calls together covering dst[0, count) exactly.
void rand_sequence_fill(const tally_level_t &level, std::int32_t *dst, std::uint64_t first,
                        std::size_t count, rand_prepare_fn prepare = nullptr, void *ctx = nullptr);

// Whether the C library's rand() after srand(0) is the sequence that
// rand_sequence_fill computes, which is what lets the fill compute the array
// instead of calling rand(). Decided once per process: the first call
// reseeds rand() and draws a few dozen values from it; later calls leave
// rand() alone. Call it before other threads use rand().
bool rand_sequence_is_rand();

// The pages the fill can put the block on. With small pages the block is
// advised against huge pages and each 2 MiB of it is populated just before it
// is written. Measured: each filling thread starts on huge pages and moves
// the rest of its half to small pages, populated so, once huge pages prove
// slower to fault in than small ones (page_choice_next).
enum workload_pages_t { workload_pages_huge, workload_pages_small, workload_pages_measured };

// A block for n elements that free() releases, 2 MiB-aligned when it spans a
// huge page, advised for the given page size. Null with errno set on failure.
std::int32_t *workload_alloc_pages(std::int32_t n, workload_pages_t pages);

// A block from workload_alloc_pages holding in element i the i-th value of
// rand() after srand(0), modulo 4; the caller owns it. Null with errno set
// when it cannot be allocated. It runs a helper thread of its own and has
// joined it on return, and it may reseed and draw from rand(). `clock_ms`
// (milliseconds, any origin; called from both filling threads) times the
// measured choice, so that tests can drive it; null for the monotonic clock.
std::int32_t *workload_fill_block(std::int32_t n, workload_pages_t pages,
                                  double (*clock_ms)() = nullptr);

// One filling thread's measured choice. Feed page_choice_next first the time
// small pages took to fault in 2 MiB (the yardstick), then, block after
// block, the time per huge page: it returns true, and stays true, once
// page_choice_run huge pages in a row have each taken more than
// page_choice_margin times the yardstick. Zero-initialise.
inline constexpr double page_choice_margin = 2;
inline constexpr int page_choice_run = 3;
struct page_choice_t {
  double yardstick_ms = -1;
  int slow = 0;  // huge pages in a row past the margin
  bool small = false;
};
bool page_choice_next(page_choice_t *choice, double ms);
