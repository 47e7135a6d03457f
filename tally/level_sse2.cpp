// The kernels on 16-byte SSE2 registers, which every x86-64 CPU has: 4 lanes.
//
// Count: two accumulators, each taking the sum of four compares per update
// (eight registers, 128 bytes, per step). Generator: the 4 x 4 transpose is
// two rounds of unpacks; there is no 32-bit multiply below SSE4.1, so the
// 16-bit one keeps the low half of the state exact.
#include <emmintrin.h>

#include "internal/kernels_impl.h"

namespace {

struct sse2_ops {
  using vector = __m128i;
  static constexpr std::size_t width = 4;
  static constexpr std::size_t count_group = 4;
  static constexpr std::size_t count_accumulators = 2;

  static vector load(const std::uint32_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  }
  static void save(std::uint32_t *p, vector v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
  }
  static void store(std::int32_t *p, vector v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
  }
  static vector zero() { return _mm_setzero_si128(); }
  static vector splat(std::int32_t x) { return _mm_set1_epi32(x); }
  static vector add(vector a, vector b) { return _mm_add_epi32(a, b); }
  static vector mul(vector a, std::uint32_t c) {
    return _mm_mullo_epi16(a, _mm_set1_epi32(static_cast<int>(c & 0xFFFF)));
  }
  static vector value(vector s) { return _mm_and_si128(_mm_srli_epi32(s, 1), _mm_set1_epi32(3)); }
  static void transpose(vector *r) {
    const vector t0 = _mm_unpacklo_epi32(r[0], r[1]);
    const vector t1 = _mm_unpackhi_epi32(r[0], r[1]);
    const vector t2 = _mm_unpacklo_epi32(r[2], r[3]);
    const vector t3 = _mm_unpackhi_epi32(r[2], r[3]);
    r[0] = _mm_unpacklo_epi64(t0, t2);
    r[1] = _mm_unpackhi_epi64(t0, t2);
    r[2] = _mm_unpacklo_epi64(t1, t3);
    r[3] = _mm_unpackhi_epi64(t1, t3);
  }

  static vector matches(vector target, const std::int32_t *p) {
    return _mm_cmpeq_epi32(target, _mm_load_si128(reinterpret_cast<const __m128i *>(p)));
  }
  static vector add_matches(vector acc, vector m) { return _mm_sub_epi32(acc, m); }
};

}  // namespace

constinit const tally_kernels_t tally_kernels_sse2 = kernels_of<sse2_ops>();
