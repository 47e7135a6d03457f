// The counting workload that forktally and duotally share: the process-wide
// array of pseudo-random values 0..3 filled from seed 0, the value counted,
// the scan of one slice, the slicing rule for N workers, and the two report
// lines with the elapsed-time arithmetic.
//
// Invariants: `array` is allocated once, before any worker exists, and only
// read after the fill; `tofind` is 3 from the fill on. Every function takes
// the element count it works on, so tests can use small arrays while the
// programs use `array_size`.
#pragma once

#include <sys/time.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// 209,715,200 elements of 4 bytes: one 838,860,800-byte block.
inline constexpr std::int32_t array_size = 0xC800000;

extern std::int32_t *array;
extern std::int32_t tofind;

// One worker's share of the array: elements [first, first + length).
struct slice_t {
  std::int32_t first;
  std::int32_t length;
};

// Allocates `array` with `n` elements, sets `tofind` to 3 and stores in
// element i the i-th value of the C library's rand() after srand(0), modulo 4.
// Returns false with errno set when the block cannot be allocated. Call it
// before any other thread uses `array`; it runs a helper thread of its own
// and has joined it on return. It may reseed and draw from rand().
bool workload_fill(std::int32_t n);

// Number of elements of array[first, first + length) equal to `tofind`.
std::int32_t workload_scan(std::int32_t first, std::int32_t length);

// Worker p's slice when `size` elements are divided over `workers` workers
// (workers >= 1, 0 <= p < workers): every slice has size / workers elements,
// except the last, which runs from its regular start to the end.
slice_t workload_slice(std::int32_t size, std::int32_t workers, std::int32_t p);

// Milliseconds from start to end. The microsecond parts are subtracted as
// they stand, without a borrow; the difference is exact in 64 bits.
double workload_elapsed_ms(const timeval &start, const timeval &end);

// "Count of <tofind> = <total>" and "Elapsed time (ms) = <ms>" on `out`.
void workload_report(std::FILE *out, std::int32_t total, const timeval &start, const timeval &end);

// Building blocks of the fill and the scan, also measured by the benchmarks.

// A block for n elements that free() releases: 2 MiB-aligned and marked for
// transparent huge pages when it spans at least one huge page. Null with
// errno set on failure.
std::int32_t *workload_alloc(std::int32_t n);

// The page sizes the fill can put the array on; workload_fill uses the huge
// ones. With small pages the block is marked against huge pages and each
// 2 MiB of it is populated just before it is written.
enum workload_pages_t { workload_pages_huge, workload_pages_small };
std::int32_t *workload_alloc_pages(std::int32_t n, workload_pages_t pages);
bool workload_fill_pages(std::int32_t n, workload_pages_t pages);

// The rand() sequence after srand(0), reduced modulo 4, written in pieces on
// the calling thread: each call continues where the previous one on the same
// record stopped. Where rand() is the generator that the fill reproduces
// (checked once per process) the pieces are computed with vector code and
// rand() is left alone afterwards; elsewhere rand() itself is reseeded and
// drawn from, so only one record may be in use at a time.
struct workload_rng_t {
  std::uint64_t next;  // index of the next value
  bool fast;
};
void workload_rng_start(workload_rng_t *rng);
void workload_rng_fill(workload_rng_t *rng, std::int32_t *dst, std::int32_t n);

// Number of elements of p[0, n) equal to value, for n from 0 to INT32_MAX.
// Reads p[0, n) only, so any number of threads may count at once. The widest
// build the CPU runs (SSE2, AVX2 or AVX-512, see count_levels.h) is bound
// when the program loads; no environment variable or setting changes it.
std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value);
