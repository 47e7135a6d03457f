// The generator's vector core for the x86-64 baseline: 4 lanes of SSE2.
// 4 x 4 transpose: two rounds of unpacks.
#include <emmintrin.h>

#include "rand_lanes_impl.h"

namespace {

struct sse2_ops {
  using vector = __m128i;
  static constexpr std::size_t width = 4;
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
  static vector add(vector a, vector b) { return _mm_add_epi32(a, b); }
  // No 32-bit multiply below SSE4.1: the 16-bit one keeps the low half exact.
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
};

}  // namespace

void rand_lanes_sse2(std::uint32_t *state, const std::uint32_t *jump, std::int32_t *out,
                     std::size_t seg) {
  lanes_run<sse2_ops>(state, jump, out, seg);
}
