// Which x86-64 level this CPU runs, and the binding of the count: the one
// decision that the count and the fill share.
//
// workload_count is a GNU indirect function: the dynamic loader calls its
// resolver once, when the program loads, and binds the best level's count,
// so a call costs no more than any call into the library and the default
// build stays portable: it carries every level.
//
// The resolver runs before any constructor, also before a sanitizer's runtime
// is set up, so it and the level decision are kept free of sanitizer
// instrumentation and read nothing but the CPU model that libgcc fills in on
// request and the constant tables of the levels (constinit, so no
// constructor fills them; the loader applies an object's relative
// relocations, which the tables' addresses need, before it resolves any of
// its indirect functions).
#include "internal/level.h"

#define TALLY_UNINSTRUMENTED \
  __attribute__((no_sanitize("address"), no_sanitize("thread"), no_sanitize("undefined")))

TALLY_UNINSTRUMENTED bool tally_level_supported(const tally_level_t &level) {
  __builtin_cpu_init();
#define TALLY_LEVEL_SUPPORTED(name, feature) \
  if (level.kernels == &tally_kernels_##name) return __builtin_cpu_supports(#feature);
  TALLY_LEVELS(TALLY_LEVEL_SUPPORTED)
#undef TALLY_LEVEL_SUPPORTED
  return false;
}

TALLY_UNINSTRUMENTED const tally_level_t &tally_level_best() {
  const tally_level_t *best = &tally_levels[0];  // every x86-64 CPU has SSE2
  for (const tally_level_t &level : tally_levels)
    if (tally_level_supported(level)) best = &level;
  return *best;
}

using count_fn = std::int32_t (*)(const std::int32_t *, std::int32_t, std::int32_t);

extern "C" TALLY_UNINSTRUMENTED count_fn tally_resolve_workload_count() {
  return tally_level_best().kernels->count;
}

std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value)
    __attribute__((ifunc("tally_resolve_workload_count")));
