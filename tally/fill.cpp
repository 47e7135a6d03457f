// The fill: the array, and in it the seed-0 rand() % 4 sequence, written by
// two threads with vector code at the speed of memory.
//
// internal/rand_sequence.h computes the sequence from any position, so the
// calling thread writes the first half of the array while a helper thread
// writes the second, each from its own jumped-ahead state and each taking the
// page faults of its own half just before it writes those pages, while they
// are still in cache. The halves meet on a 2 MiB boundary, so no page is
// shared.
//
// The fast path runs only where the C library's rand() is the generator it
// reproduces: on glibc, and only after the first values of rand() after
// srand(0) have been compared with it. Otherwise the fill calls rand() itself,
// reseeded, so the array always holds exactly what rand() would give.
//
// Pages: huge pages (MADV_HUGEPAGE on the 2 MiB-aligned block), chosen by
// the whole run of both programs rather than by the fill alone. Small pages,
// even populated ahead in batches, cost a fault-path step and a host-side
// mapping per 4 KiB, and the writes that follow pay for a TLB entry per
// 4 KiB; after forktally forks, every child copies half a million page table
// entries instead of four hundred and its first pass is slower. Where the
// host has taken freed memory back, a huge page is slow to fault in too, but
// not slower than the small pages it replaces.
#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "internal/fill.h"
#include "internal/rand_sequence.h"
#include "workload.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t helper_stack = std::size_t{256} << 10;

void fill_with_rand(std::int32_t *dst, std::int32_t n) {
  std::srand(0);
  for (std::int32_t i = 0; i < n; i++) dst[i] = std::rand() % 4;
}

// Maps a block's small pages, zeroed, in one call instead of one fault per
// page. A failure (an older kernel) only leaves the faults to the writes.
void populate(void *, std::int32_t *dst, std::size_t count) {
  const auto first = reinterpret_cast<std::uintptr_t>(dst);
  const std::uintptr_t page = first & ~std::uintptr_t{4095};
  madvise(reinterpret_cast<void *>(page), first - page + count * sizeof(std::int32_t),
          MADV_POPULATE_WRITE);
}

struct half_t {
  tally_level_t level;
  std::int32_t *dst;
  std::size_t first;
  std::size_t count;
  rand_prepare_fn prepare;
};

void fill_half(const half_t &h) {
  rand_sequence_fill(h.level, h.dst + h.first, h.first, h.count, h.prepare, nullptr);
}

void *fill_half_thread(void *arg) {
  fill_half(*static_cast<const half_t *>(arg));
  return nullptr;
}

// Writes the sequence into block[0, n): the second half on a helper thread
// when one can be started, otherwise everything on the calling thread.
void fill_fast(std::int32_t *block, std::int32_t n, bool populate_small) {
  const tally_level_t level = tally_level_best();
  const auto size = static_cast<std::size_t>(n);
  const bool aligned = reinterpret_cast<std::uintptr_t>(block) % huge_page == 0;
  const rand_prepare_fn prepare = populate_small && aligned ? populate : nullptr;
  const std::size_t blocks = size / rand_sequence_block;
  const std::size_t split = blocks >= 2 ? blocks / 2 * rand_sequence_block : 0;

  half_t first{level, block, 0, split, prepare};
  half_t second{level, block, split, size - split, prepare};
  pthread_t helper;
  bool helped = false;
  if (split > 0) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) == 0) {
      pthread_attr_setstacksize(&attr, helper_stack);
      helped = pthread_create(&helper, &attr, fill_half_thread, &second) == 0;
      pthread_attr_destroy(&attr);
    }
  }
  fill_half(first);
  if (helped)
    pthread_join(helper, nullptr);
  else
    fill_half(second);
}

}  // namespace

bool rand_sequence_is_rand() {
#if defined(__GLIBC__)
  static const bool same = [] {
    constexpr int checked = 64;
    std::int32_t want[checked];
    rand_sequence_values(want, 0, checked);
    std::srand(0);
    for (std::int32_t v : want)
      if (std::rand() != v) return false;
    return true;
  }();
  return same;
#else
  return false;
#endif
}

std::int32_t *workload_alloc_pages(std::int32_t n, workload_pages_t pages) {
  const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(std::int32_t);
  if (bytes < huge_page)
    return static_cast<std::int32_t *>(std::malloc(bytes > 0 ? bytes : sizeof(std::int32_t)));
  const std::size_t rounded = (bytes + huge_page - 1) & ~(huge_page - 1);
  void *block = std::aligned_alloc(huge_page, rounded);
  if (block == nullptr) return nullptr;
  // Hints: without them the kernel's default page size applies.
  madvise(block, rounded, pages == workload_pages_huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  return static_cast<std::int32_t *>(block);
}

bool workload_fill_pages(std::int32_t n, workload_pages_t pages) {
  std::int32_t *block = workload_alloc_pages(n, pages);
  if (block == nullptr) return false;
  array = block;
  tofind = 3;
  if (rand_sequence_is_rand())
    fill_fast(block, n, pages == workload_pages_small);
  else
    fill_with_rand(block, n);
  return true;
}

bool workload_fill(std::int32_t n) {
  return workload_fill_pages(n, workload_pages_huge);
}
