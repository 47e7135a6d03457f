// The kernels on 64-byte AVX-512 registers (AVX-512F only): 16 lanes.
//
// Count: every load is one whole cache line, each compare going straight
// from memory into a mask register and a masked add of 1 into one
// accumulator. (Adding compares before the accumulator, as the narrower
// levels do, needs an extra move per register here and measured slower. Four
// accumulators are as fast in cache, but one thread's first pass over the
// whole array after a fork measured about 9% slower with them, on a 2-CPU
// AMD EPYC VM.) Generator: the 16 x 16 transpose runs the 4 x 4 one inside each
// 128-bit block of each group of four rows, then transposes the 4 x 4 grid
// of blocks with two rounds of shuffle_i32x4.
#include <immintrin.h>

// GCC 12's AVX-512 headers start some intrinsics from an undefined vector and
// then warn that it may be used uninitialized when they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "internal/kernels_impl.h"

namespace {

struct avx512_ops {
  using vector = __m512i;
  static constexpr std::size_t width = 16;
  static constexpr std::size_t count_group = 1;
  static constexpr std::size_t count_accumulators = 1;

  static vector load(const std::uint32_t *p) { return _mm512_loadu_si512(p); }
  static void save(std::uint32_t *p, vector v) { _mm512_storeu_si512(p, v); }
  static void store(std::int32_t *p, vector v) { _mm512_storeu_si512(p, v); }
  static vector zero() { return _mm512_setzero_si512(); }
  static vector splat(std::int32_t x) { return _mm512_set1_epi32(x); }
  static vector add(vector a, vector b) { return _mm512_add_epi32(a, b); }
  static vector mul(vector a, std::uint32_t c) {
    return _mm512_mullo_epi32(a, _mm512_set1_epi32(static_cast<int>(c)));
  }
  static vector value(vector s) {
    return _mm512_and_si512(_mm512_srli_epi32(s, 1), _mm512_set1_epi32(3));
  }
  // For the four rows at r: r[k] becomes, in block b, lane k + 4b of them.
  static void transpose4(vector *r) {
    const vector t0 = _mm512_unpacklo_epi32(r[0], r[1]);
    const vector t1 = _mm512_unpackhi_epi32(r[0], r[1]);
    const vector t2 = _mm512_unpacklo_epi32(r[2], r[3]);
    const vector t3 = _mm512_unpackhi_epi32(r[2], r[3]);
    r[0] = _mm512_unpacklo_epi64(t0, t2);
    r[1] = _mm512_unpackhi_epi64(t0, t2);
    r[2] = _mm512_unpacklo_epi64(t1, t3);
    r[3] = _mm512_unpackhi_epi64(t1, t3);
  }
  static void transpose(vector *r) {
    for (int g = 0; g < 4; g++) transpose4(r + 4 * g);
    vector lanes[16];
    for (int k = 0; k < 4; k++) {
      // a[g] = r[4g + k]: block b holds lane k + 4b, rows 4g .. 4g + 3.
      const vector u0 = _mm512_shuffle_i32x4(r[k], r[4 + k], 0x44);
      const vector u1 = _mm512_shuffle_i32x4(r[k], r[4 + k], 0xEE);
      const vector u2 = _mm512_shuffle_i32x4(r[8 + k], r[12 + k], 0x44);
      const vector u3 = _mm512_shuffle_i32x4(r[8 + k], r[12 + k], 0xEE);
      lanes[k] = _mm512_shuffle_i32x4(u0, u2, 0x88);
      lanes[k + 4] = _mm512_shuffle_i32x4(u0, u2, 0xDD);
      lanes[k + 8] = _mm512_shuffle_i32x4(u1, u3, 0x88);
      lanes[k + 12] = _mm512_shuffle_i32x4(u1, u3, 0xDD);
    }
    for (int k = 0; k < 16; k++) r[k] = lanes[k];
  }

  static __mmask16 matches(vector target, const std::int32_t *p) {
    return _mm512_cmpeq_epi32_mask(target, _mm512_load_si512(p));
  }
  static vector add_matches(vector acc, __mmask16 m) {
    return _mm512_mask_add_epi32(acc, m, acc, _mm512_set1_epi32(1));
  }
};

}  // namespace

constinit const tally_kernels_t tally_kernels_avx512 = kernels_of<avx512_ops>();
