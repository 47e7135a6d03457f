// The fill's building blocks, for the tests and the benchmarks: the block on
// either page size, the fill on either, and the generator alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "internal/level.h"

// The pages the fill can put the array on. With small pages the block is
// advised against huge pages and each 2 MiB of it is populated just before it
// is written. Measured: each filling thread starts on huge pages and moves
// the rest of its half to small pages, populated so, once huge pages prove
// slower to fault in than small ones (page_choice_next). workload_fill takes
// huge pages for workload_use_forks and measured ones for
// workload_use_threads.
enum workload_pages_t { workload_pages_huge, workload_pages_small, workload_pages_measured };

// A block for n elements that free() releases, 2 MiB-aligned when it spans a
// huge page, advised for the given page size. Null with errno set on failure.
std::int32_t *workload_alloc_pages(std::int32_t n, workload_pages_t pages);

// workload_fill on the given pages.
bool workload_fill_pages(std::int32_t n, workload_pages_t pages);

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

// workload_fill_pages(n, workload_pages_measured) timed by `clock_ms`
// (milliseconds, any origin; called from both filling threads), so that
// tests can drive the choice.
bool workload_fill_measured(std::int32_t n, double (*clock_ms)());

// Stores in dst[i] the (first + i)-th value of rand() after srand(0), modulo
// 4, for i from 0 to count - 1, computed at `level`, which the CPU must
// support. It neither calls rand() nor touches its state: whether rand() is
// this sequence is rand_sequence_is_rand(). Any number of threads may run it
// at once on disjoint ranges of dst.
void rand_sequence_fill(tally_level_t level, std::int32_t *dst, std::uint64_t first,
                        std::size_t count);

// Whether the C library's rand() after srand(0) is the sequence that
// rand_sequence_fill computes, which is what lets the fill compute the array
// instead of calling rand(). Decided once per process: the first call
// reseeds rand() and draws a few dozen values from it; later calls leave
// rand() alone. Call it before other threads use rand().
bool rand_sequence_is_rand();
