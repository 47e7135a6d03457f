// The counting kernel on 16-byte SSE2 registers, which every x86-64 CPU has.
//
// Shape: a few scalar steps until p is 16-byte aligned, so that every vector
// compare takes its operand straight from memory (SSE2 compares fault on
// unaligned memory operands); then steps of eight registers (128 bytes): a
// match compares as all ones (-1), four compares are added (0 to -4) and the
// sum is subtracted from one of two accumulators; then the last elements one
// by one. Adding before subtracting halves the accumulator updates, which
// measured fastest in cache. A lane gains at most 4 per 32 elements, so with
// n up to INT32_MAX no lane can overflow and the lane sum fits in 32 bits.
#include <emmintrin.h>

#include <cstdint>

#include "count_levels.h"

std::int32_t workload_count_sse2(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  constexpr std::int32_t width = 4;  // elements per register
  std::uint32_t count = 0;
  std::int32_t i = 0;
  for (; i < n && reinterpret_cast<std::uintptr_t>(p + i) % 16 != 0; i++) count += p[i] == value;

  const __m128i target = _mm_set1_epi32(value);
  __m128i a0 = _mm_setzero_si128(), a1 = a0;
  const auto *v = reinterpret_cast<const __m128i *>(p + i);
  const std::int32_t steps = (n - i) / (8 * width);
  for (const auto *end = v + 8 * steps; v != end; v += 8) {
    a0 = _mm_sub_epi32(
        a0, _mm_add_epi32(_mm_add_epi32(_mm_cmpeq_epi32(target, _mm_load_si128(v + 0)),
                                        _mm_cmpeq_epi32(target, _mm_load_si128(v + 1))),
                          _mm_add_epi32(_mm_cmpeq_epi32(target, _mm_load_si128(v + 2)),
                                        _mm_cmpeq_epi32(target, _mm_load_si128(v + 3)))));
    a1 = _mm_sub_epi32(
        a1, _mm_add_epi32(_mm_add_epi32(_mm_cmpeq_epi32(target, _mm_load_si128(v + 4)),
                                        _mm_cmpeq_epi32(target, _mm_load_si128(v + 5))),
                          _mm_add_epi32(_mm_cmpeq_epi32(target, _mm_load_si128(v + 6)),
                                        _mm_cmpeq_epi32(target, _mm_load_si128(v + 7)))));
  }
  i += 8 * width * steps;

  __m128i sum = _mm_add_epi32(a0, a1);
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
  count += static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum));

  for (; i < n; i++) count += p[i] == value;
  return static_cast<std::int32_t>(count);
}
