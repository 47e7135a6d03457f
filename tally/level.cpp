// Which x86-64 level this CPU runs, and the binding of each level's kernels:
// the one decision that the count and the fill share.
//
// workload_count is a GNU indirect function: the dynamic loader calls its
// resolver once, when the program loads, and binds the best level's count,
// so a call costs no more than any call into the library and the default
// build stays portable: it carries all three levels.
//
// The resolver runs before any constructor, also before a sanitizer's runtime
// is set up, so it and the level decision are kept free of sanitizer
// instrumentation and read nothing but the CPU model that libgcc fills in on
// request and the constant tables of the levels (constinit, so no
// constructor fills them; the loader applies an object's relative
// relocations, which the tables' addresses need, before it resolves any of
// its indirect functions).
#include "internal/level.h"
#include "internal/count.h"
#include "internal/kernels.h"

#define TALLY_UNINSTRUMENTED \
  __attribute__((no_sanitize("address"), no_sanitize("thread"), no_sanitize("undefined")))

TALLY_UNINSTRUMENTED bool tally_level_supported(tally_level_t level) {
  __builtin_cpu_init();
  switch (level) {
    case tally_level_avx512:
      return __builtin_cpu_supports("avx512f");
    case tally_level_avx2:
      return __builtin_cpu_supports("avx2");
    case tally_level_sse2:
      break;
  }
  return true;  // every x86-64 CPU has SSE2
}

TALLY_UNINSTRUMENTED tally_level_t tally_level_best() {
  if (tally_level_supported(tally_level_avx512)) return tally_level_avx512;
  if (tally_level_supported(tally_level_avx2)) return tally_level_avx2;
  return tally_level_sse2;
}

const char *tally_level_name(tally_level_t level) {
  static const char *const names[] = {"sse2", "avx2", "avx512"};
  return names[level];
}

TALLY_UNINSTRUMENTED const tally_kernels_t &tally_kernels_of(tally_level_t level) {
  switch (level) {
    case tally_level_avx512:
      return tally_kernels_avx512;
    case tally_level_avx2:
      return tally_kernels_avx2;
    case tally_level_sse2:
      break;
  }
  return tally_kernels_sse2;
}

using count_fn = std::int32_t (*)(const std::int32_t *, std::int32_t, std::int32_t);

extern "C" TALLY_UNINSTRUMENTED count_fn tally_resolve_workload_count() {
  return tally_kernels_of(tally_level_best()).count;
}

std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value)
    __attribute__((ifunc("tally_resolve_workload_count")));

std::int32_t workload_count_at(tally_level_t level, const std::int32_t *p, std::int32_t n,
                               std::int32_t value) {
  return tally_kernels_of(level).count(p, n, value);
}
