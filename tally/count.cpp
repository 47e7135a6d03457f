// Binds workload_count to the widest counting kernel the CPU runs. The
// dynamic loader calls the resolver once, when the program loads (a GNU
// indirect function), so a call costs no more than any call into the
// library and the default build stays portable: it carries all three levels.
//
// The resolver runs before any constructor, also before a sanitizer's runtime
// is set up, so it is kept free of sanitizer instrumentation and reads
// nothing but the CPU model that libgcc fills in on request.
#include "count_levels.h"
#include "workload.h"

#define COUNT_UNINSTRUMENTED \
  __attribute__((no_sanitize("address"), no_sanitize("thread"), no_sanitize("undefined")))

namespace {

using count_fn = std::int32_t (*)(const std::int32_t *, std::int32_t, std::int32_t);

COUNT_UNINSTRUMENTED bool cpu_has(count_level_t level) {
  __builtin_cpu_init();
  switch (level) {
    case count_level_avx512:
      return __builtin_cpu_supports("avx512f");
    case count_level_avx2:
      return __builtin_cpu_supports("avx2");
    case count_level_sse2:
      break;
  }
  return true;  // every x86-64 CPU has SSE2
}

COUNT_UNINSTRUMENTED count_level_t widest_level() {
  if (cpu_has(count_level_avx512)) return count_level_avx512;
  if (cpu_has(count_level_avx2)) return count_level_avx2;
  return count_level_sse2;
}

}  // namespace

extern "C" COUNT_UNINSTRUMENTED count_fn tally_resolve_workload_count() {
  switch (widest_level()) {
    case count_level_avx512:
      return workload_count_avx512;
    case count_level_avx2:
      return workload_count_avx2;
    case count_level_sse2:
      break;
  }
  return workload_count_sse2;
}

std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value)
    __attribute__((ifunc("tally_resolve_workload_count")));

bool workload_count_supported(count_level_t level) {
  return cpu_has(level);
}

count_level_t workload_count_level() {
  return widest_level();
}

const char *workload_count_level_name(count_level_t level) {
  switch (level) {
    case count_level_avx512:
      return "avx512";
    case count_level_avx2:
      return "avx2";
    case count_level_sse2:
      break;
  }
  return "sse2";
}
