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
// Returns false with errno set when the block cannot be allocated.
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

// The rand() sequence after srand(0), reduced modulo 4, written in pieces:
// each call continues where the previous one on the same state stopped.
// Where the C library has a reentrant interface to rand()'s generator
// (glibc's random_r) it runs on this private state and takes no lock per
// value; elsewhere rand() itself is used and the record is empty.
struct workload_rng_t {
#if defined(__GLIBC__)
  random_data data;
  char state[128];  // the size of rand()'s own state, which selects its algorithm
#endif
};
// Seeds like srand(0). The record must not move afterwards.
void workload_rng_start(workload_rng_t *rng);
void workload_rng_fill(workload_rng_t *rng, std::int32_t *dst, std::int32_t n);

// Number of elements of p[0, n) equal to value, with the widest vector unit
// the CPU has (chosen when the program loads).
std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value);
