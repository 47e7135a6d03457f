// The counting kernel on 64-byte AVX-512 registers (AVX-512F only).
//
// Shape: a few scalar steps until p is 64-byte aligned, so that every load is
// one whole cache line; then four streams per step, each a compare straight
// from memory into a mask register and a masked add of 1 into its own
// accumulator; then the last elements one by one. A lane sees at most n / 16
// elements, so with n up to INT32_MAX no lane can overflow and the lane sum
// fits in 32 bits. (Adding masks before the accumulator, as the narrower
// levels do, needs an extra move per register here and measured slower.)
#include <immintrin.h>

#include <cstdint>

#include "count_levels.h"

__attribute__((target("avx512f"))) std::int32_t workload_count_avx512(const std::int32_t *p,
                                                                      std::int32_t n,
                                                                      std::int32_t value) {
  constexpr std::int32_t width = 16;  // elements per register
  std::uint32_t count = 0;
  std::int32_t i = 0;
  for (; i < n && reinterpret_cast<std::uintptr_t>(p + i) % 64 != 0; i++) count += p[i] == value;

  const __m512i target = _mm512_set1_epi32(value);
  const __m512i one = _mm512_set1_epi32(1);
  __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
  const auto *v = reinterpret_cast<const __m512i *>(p + i);
  for (; n - i >= 4 * width; i += 4 * width, v += 4) {
    a0 = _mm512_mask_add_epi32(a0, _mm512_cmpeq_epi32_mask(target, _mm512_load_si512(v)), a0, one);
    a1 = _mm512_mask_add_epi32(a1, _mm512_cmpeq_epi32_mask(target, _mm512_load_si512(v + 1)), a1,
                               one);
    a2 = _mm512_mask_add_epi32(a2, _mm512_cmpeq_epi32_mask(target, _mm512_load_si512(v + 2)), a2,
                               one);
    a3 = _mm512_mask_add_epi32(a3, _mm512_cmpeq_epi32_mask(target, _mm512_load_si512(v + 3)), a3,
                               one);
  }
  for (; n - i >= width; i += width, v++)
    a0 = _mm512_mask_add_epi32(a0, _mm512_cmpeq_epi32_mask(target, _mm512_load_si512(v)), a0, one);

  // Through memory: GCC's lane-shuffling intrinsics warn about their own
  // undefined operands, and this runs once per call.
  alignas(64) std::uint32_t lanes[width];
  _mm512_store_si512(lanes, _mm512_add_epi32(_mm512_add_epi32(a0, a1), _mm512_add_epi32(a2, a3)));
  for (std::uint32_t lane : lanes) count += lane;

  for (; i < n; i++) count += p[i] == value;
  return static_cast<std::int32_t>(count);
}
