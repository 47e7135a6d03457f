// WORKLOAD_CLONES builds a function once per instruction set (AVX-512F,
// AVX2, baseline) and lets the loader pick the best for the CPU, so the
// default build stays portable. Under ThreadSanitizer it builds the baseline
// only: the loader runs the picker before the sanitizer's runtime is set up,
// and the instrumented picker crashes there.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define WORKLOAD_NO_CLONES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WORKLOAD_NO_CLONES 1
#endif
#endif

#if defined(WORKLOAD_NO_CLONES)
#define WORKLOAD_CLONES
#else
#define WORKLOAD_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
