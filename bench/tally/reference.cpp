// Reference kernels, compiled with -O3 -march=native in a library of their
// own. They share no code with the project's counting kernel and differ in
// shape on purpose: plain loops the compiler vectorises as it sees fit, and
// an intrinsics count that turns each compare into a bit mask and adds its
// popcount to a scalar instead of keeping per-lane counts.
#include "reference.h"

#include <immintrin.h>

std::int32_t native_plain_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < n; i++)
    if (p[i] == value) count++;
  return count;
}

std::int32_t native_or_reduce(const std::int32_t *p, std::int32_t n) {
  std::int32_t bits = 0;
  for (std::int32_t i = 0; i < n; i++) bits |= p[i];
  return bits;
}

#if defined(__AVX512F__)

std::int32_t native_intrinsics_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  const __m512i target = _mm512_set1_epi32(value);
  std::int64_t c0 = 0, c1 = 0;
  std::int64_t i = 0;
  for (; i + 32 <= n; i += 32) {
    c0 += __builtin_popcount(_mm512_cmpeq_epi32_mask(_mm512_loadu_si512(p + i), target));
    c1 += __builtin_popcount(_mm512_cmpeq_epi32_mask(_mm512_loadu_si512(p + i + 16), target));
  }
  for (; i < n; i++) c0 += p[i] == value;
  return static_cast<std::int32_t>(c0 + c1);
}

const char *native_intrinsics_unit() {
  return "avx512";
}

#elif defined(__AVX2__)

std::int32_t native_intrinsics_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  const __m256i target = _mm256_set1_epi32(value);
  std::int64_t c0 = 0, c1 = 0;
  std::int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 8));
    c0 += __builtin_popcount(static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(x0, target)))));
    c1 += __builtin_popcount(static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(x1, target)))));
  }
  for (; i < n; i++) c0 += p[i] == value;
  return static_cast<std::int32_t>(c0 + c1);
}

const char *native_intrinsics_unit() {
  return "avx2";
}

#else

std::int32_t native_intrinsics_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  const __m128i target = _mm_set1_epi32(value);
  std::int64_t c0 = 0, c1 = 0;
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 4));
    c0 += __builtin_popcount(
        static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(x0, target)))));
    c1 += __builtin_popcount(
        static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(x1, target)))));
  }
  for (; i < n; i++) c0 += p[i] == value;
  return static_cast<std::int32_t>(c0 + c1);
}

const char *native_intrinsics_unit() {
  return "sse2";
}

#endif
