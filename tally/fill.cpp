// The fill: the array on transparent huge pages, the seed-0 rand() % 4
// sequence, and a helper thread that takes the page faults.
//
// The generator is strictly sequential, but faulting in the fresh block is
// not. While the calling thread generates from the front, a helper thread
// populates 2 MiB chunks from the back with MADV_POPULATE_WRITE and stops
// where it meets the generator. Populating maps zeroed pages and changes no
// contents that the generator has written, so the two never race on data.
// If the helper cannot start or the kernel lacks the call, the generator
// takes the faults itself; the contents are the same either way.
#include "workload.h"

#include <pthread.h>
#include <sys/mman.h>
#include <atomic>
#include <cerrno>
#include <cstddef>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::int32_t chunk_elements = huge_page / sizeof(std::int32_t);

struct prefault_job_t {
  char *base;
  std::size_t chunks;
  std::atomic<std::size_t> front;  // the chunk the generator is writing
};

void *prefault(void *arg) {
  auto *job = static_cast<prefault_job_t *>(arg);
  for (std::size_t c = job->chunks; c-- > 0;) {
    if (c <= job->front.load(std::memory_order_relaxed)) break;
    if (madvise(job->base + c * huge_page, huge_page, MADV_POPULATE_WRITE) != 0) break;
  }
  return nullptr;
}

}  // namespace

std::int32_t *workload_alloc(std::int32_t n) {
  const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(std::int32_t);
  if (bytes < huge_page)
    return static_cast<std::int32_t *>(std::malloc(bytes > 0 ? bytes : sizeof(std::int32_t)));
  const std::size_t rounded = (bytes + huge_page - 1) & ~(huge_page - 1);
  void *block = std::aligned_alloc(huge_page, rounded);
  if (block == nullptr) return nullptr;
  madvise(block, rounded, MADV_HUGEPAGE);  // a hint: without it the pages stay small
  return static_cast<std::int32_t *>(block);
}

void workload_rng_start(workload_rng_t *rng) {
#if defined(__GLIBC__)
  // srand(s) reseeds rand()'s 128-byte state with srandom(s); the same
  // steps on a private state of that size give the same sequence.
  *rng = workload_rng_t{};
  initstate_r(0, rng->state, sizeof rng->state, &rng->data);
  srandom_r(0, &rng->data);
#else
  (void)rng;
  std::srand(0);
#endif
}

void workload_rng_fill(workload_rng_t *rng, std::int32_t *dst, std::int32_t n) {
#if defined(__GLIBC__)
  for (std::int32_t i = 0; i < n; i++) {
    std::int32_t r;
    random_r(&rng->data, &r);
    dst[i] = r % 4;
  }
#else
  (void)rng;
  for (std::int32_t i = 0; i < n; i++) dst[i] = std::rand() % 4;
#endif
}

bool workload_fill(std::int32_t n) {
  std::int32_t *block = workload_alloc(n);
  if (block == nullptr) return false;
  array = block;
  tofind = 3;

  prefault_job_t job{
      reinterpret_cast<char *>(block), static_cast<std::size_t>(n) / chunk_elements, {0}};
  pthread_t helper;
  const bool helped = job.chunks > 1 && pthread_create(&helper, nullptr, prefault, &job) == 0;

  workload_rng_t rng;
  workload_rng_start(&rng);
  for (std::int32_t i = 0; i < n; i += chunk_elements) {
    job.front.store(static_cast<std::size_t>(i / chunk_elements), std::memory_order_relaxed);
    workload_rng_fill(&rng, block + i, n - i < chunk_elements ? n - i : chunk_elements);
  }
  if (helped) pthread_join(helper, nullptr);
  return true;
}
