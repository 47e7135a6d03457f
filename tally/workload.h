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

// What the program does with the array once it is filled, which decides the
// pages it goes on for the whole run: child processes that inherit it by
// fork (huge pages, whose page tables fork fast), or threads of this process
// (the pages the host provides fastest, measured while filling).
enum workload_use_t { workload_use_threads, workload_use_forks };

// Allocates `array` with `n` elements, sets `tofind` to 3 and stores in
// element i the i-th value of the C library's rand() after srand(0), modulo 4.
// Returns false with errno set when the block cannot be allocated. Call it
// before any other thread uses `array`; it runs a helper thread of its own
// and has joined it on return. It may reseed and draw from rand().
bool workload_fill(std::int32_t n, workload_use_t use);

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
