// The fill: a block holding the seed-0 rand() % 4 sequence, written by two
// threads with vector code at the speed of memory. The caller owns the block.
//
// rand_sequence_fill computes the sequence from any position, so the
// calling thread writes the first half of the block while a helper thread
// writes the second, each from its own jumped-ahead state and each taking the
// page faults of its own half just before it writes those pages, while they
// are still in cache. The halves meet on a 2 MiB boundary, so no page is
// shared.
//
// The fast path runs only where the C library's rand() is the generator it
// reproduces: on glibc, and only after the first values of rand() after
// srand(0) have been compared with it. Otherwise the fill calls rand() itself,
// reseeded, so the block always holds exactly what rand() would give.
//
// Pages: each program says how it will use the array, and the workload asks
// the fill for the pages that suit that use for the whole run (measured on
// 2-CPU AMD EPYC Firecracker VMs whose balloon reports free memory to the
// host in 8 MiB blocks after about a second idle; docs/design.md has the
// numbers):
//  - forks: huge pages. A fork copies one entry per page table and a child's
//    first pass walks them: 400 huge pages fork in about a millisecond, half
//    a million small ones in 20-30 ms, and the children read them slower.
//  - threads: measured. Where free memory is still the guest's, a huge page
//    faults in and is written in about 0.2 ms, small pages populated ahead
//    in 0.7-0.9 ms per 2 MiB; where the host has taken it back, the huge
//    page costs 4.5-9 ms and the small pages still about 1 ms, since only
//    whole reported blocks pay the host's price. Which case holds shows only
//    while filling (the first huge pages of a run are often still cheap), so
//    each thread puts its first 4 MiB on small pages as a yardstick, goes on
//    with huge pages, and moves the rest of its half to small pages for good
//    once three huge blocks in a row have each taken more than twice the
//    yardstick (page_choice_next). Pages the host took back cost 5-10
//    yardsticks each, in runs of dozens; a hiccup of the host slows one or
//    two blocks, small pages as much as huge ones, and must not cost the
//    rest of the fill its huge pages. A wrong guess costs a few blocks.
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>

#include "internal/fill.h"

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

std::uintptr_t round_down(std::uintptr_t a, std::uintptr_t to) {
  return a & ~(to - 1);
}
std::uintptr_t round_up(std::uintptr_t a, std::uintptr_t to) {
  return round_down(a + to - 1, to);
}

// Maps the small pages of dst[0, count), zeroed, in one call instead of one
// fault per page. A failure (an older kernel) only leaves the faults to the
// writes.
void populate(std::int32_t *dst, std::size_t count) {
  const auto first = reinterpret_cast<std::uintptr_t>(dst);
  const std::uintptr_t page = round_down(first, 4096);
  madvise(reinterpret_cast<void *>(page), first - page + count * sizeof(std::int32_t),
          MADV_POPULATE_WRITE);
}

void populate_block(void *, std::int32_t *dst, std::size_t count) {
  populate(dst, count);
}

// Advises the whole huge pages of [from, to) against huge pages. Huge pages
// already mapped in front of `from` stay whole.
void advise_small(const void *from, const void *to) {
  const std::uintptr_t a = round_up(reinterpret_cast<std::uintptr_t>(from), huge_page);
  const std::uintptr_t b = round_up(reinterpret_cast<std::uintptr_t>(to), huge_page);
  if (a < b) madvise(reinterpret_cast<void *>(a), b - a, MADV_NOHUGEPAGE);
}

// One thread's measured page choice (see the top of the file). Each block's
// pages are faulted in by populate() before the block is written, and timed:
// first the half's first two huge pages' worth on small pages, the
// yardstick, then the huge pages each block brings, until the choice moves the rest of the half
// to small pages.
struct measured_t {
  double (*clock_ms)();
  std::int32_t *end;  // the end of the half
  page_choice_t choice;
  bool started = false;
  bool measuring = false;
};

// Faults in dst[0, count) on the pages the VMA says and returns the time it
// took per huge page that it brought in (the one around dst, if dst is not
// aligned, was brought in with the block before).
double timed_populate(const measured_t &m, std::int32_t *dst, std::size_t count) {
  const auto a = reinterpret_cast<std::uintptr_t>(dst);
  const auto b = reinterpret_cast<std::uintptr_t>(dst + count);
  const double start = m.clock_ms();
  populate(dst, count);
  const double ms = m.clock_ms() - start;
  const std::uintptr_t pages = (round_up(b, huge_page) - round_up(a, huge_page)) / huge_page;
  return pages > 0 ? ms / static_cast<double>(pages) : 0;
}

void prepare_measured(void *ctx, std::int32_t *dst, std::size_t count) {
  auto *m = static_cast<measured_t *>(ctx);
  if (m->choice.small) {
    populate(dst, count);
    return;
  }
  constexpr std::size_t page = huge_page / sizeof(std::int32_t);
  if (!m->started) {
    // The yardstick: the faster of the half's first two huge pages' worth
    // of small pages, so that one preempted measurement does not skew it.
    // A half too short for it stays on huge pages.
    m->started = true;
    m->measuring = static_cast<std::size_t>(m->end - dst) > 2 * page;
    if (!m->measuring) return;
    madvise(dst, 2 * huge_page, MADV_NOHUGEPAGE);
    const double one = timed_populate(*m, dst, page);
    const double two = timed_populate(*m, dst + page, page);
    page_choice_next(&m->choice, std::min(one, two));
    if (count <= 2 * page) return;
    dst += 2 * page;
    count -= 2 * page;
  }
  if (m->measuring && page_choice_next(&m->choice, timed_populate(*m, dst, count)))
    advise_small(dst + count, m->end);
}

double monotonic_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct half_t {
  const tally_level_t *level;
  std::int32_t *dst;
  std::size_t first;
  std::size_t count;
  rand_prepare_fn prepare;
  void *ctx;
};

void fill_half(const half_t &h) {
  rand_sequence_fill(*h.level, h.dst + h.first, h.first, h.count, h.prepare, h.ctx);
}

void *fill_half_thread(void *arg) {
  fill_half(*static_cast<const half_t *>(arg));
  return nullptr;
}

// Writes the sequence into block[0, n) on the given pages: the second half on
// a helper thread when one can be started, otherwise everything on the
// calling thread. `clock_ms` times the measured choice.
void fill_fast(std::int32_t *block, std::int32_t n, workload_pages_t pages, double (*clock_ms)()) {
  const tally_level_t *level = &tally_level_best();
  const auto size = static_cast<std::size_t>(n);
  const bool aligned = reinterpret_cast<std::uintptr_t>(block) % huge_page == 0;
  const std::size_t blocks = size / rand_sequence_block;
  const std::size_t split = blocks >= 2 ? blocks / 2 * rand_sequence_block : 0;
  rand_prepare_fn prepare = nullptr;
  if (aligned && pages == workload_pages_small) prepare = populate_block;
  if (aligned && pages == workload_pages_measured) prepare = prepare_measured;
  measured_t measured[2] = {{clock_ms, block + split, {}}, {clock_ms, block + size, {}}};

  half_t first{level, block, 0, split, prepare, &measured[0]};
  half_t second{level, block, split, size - split, prepare, &measured[1]};
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

std::int32_t *workload_alloc_pages(std::int32_t n, workload_pages_t pages) {
  const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(std::int32_t);
  if (bytes < huge_page)
    return static_cast<std::int32_t *>(std::malloc(bytes > 0 ? bytes : sizeof(std::int32_t)));
  const std::size_t rounded = (bytes + huge_page - 1) & ~(huge_page - 1);
  void *block = std::aligned_alloc(huge_page, rounded);
  if (block == nullptr) return nullptr;
  // Hints: without them the kernel's default page size applies.
  madvise(block, rounded, pages == workload_pages_small ? MADV_NOHUGEPAGE : MADV_HUGEPAGE);
  return static_cast<std::int32_t *>(block);
}

bool page_choice_next(page_choice_t *choice, double ms) {
  if (choice->small) return true;
  if (choice->yardstick_ms < 0) {
    choice->yardstick_ms = ms;
    return false;
  }
  choice->slow = ms > page_choice_margin * choice->yardstick_ms ? choice->slow + 1 : 0;
  choice->small = choice->slow >= page_choice_run;
  return choice->small;
}

std::int32_t *workload_fill_block(std::int32_t n, workload_pages_t pages, double (*clock_ms)()) {
  std::int32_t *block = workload_alloc_pages(n, pages);
  if (block == nullptr) return nullptr;
  if (rand_sequence_is_rand())
    fill_fast(block, n, pages, clock_ms != nullptr ? clock_ms : monotonic_ms);
  else
    fill_with_rand(block, n);
  return block;
}
