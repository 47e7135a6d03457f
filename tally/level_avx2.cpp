// The kernels on 32-byte AVX2 registers: 8 lanes.
//
// Count: two accumulators, each taking the sum of four compares per update
// (eight registers, 256 bytes, per step). Generator: the 8 x 8 transpose runs
// the 4 x 4 one inside each 128-bit half of rows 0-3 and of rows 4-7, then
// pairs the halves.
#include <immintrin.h>

#include "internal/kernels_impl.h"

namespace {

struct avx2_ops {
  using vector = __m256i;
  static constexpr std::size_t width = 8;
  static constexpr std::size_t count_group = 4;
  static constexpr std::size_t count_accumulators = 2;

  static vector load(const std::uint32_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  }
  static void save(std::uint32_t *p, vector v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
  }
  static void store(std::int32_t *p, vector v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
  }
  static vector zero() { return _mm256_setzero_si256(); }
  static vector splat(std::int32_t x) { return _mm256_set1_epi32(x); }
  static vector add(vector a, vector b) { return _mm256_add_epi32(a, b); }
  static vector mul(vector a, std::uint32_t c) {
    return _mm256_mullo_epi32(a, _mm256_set1_epi32(static_cast<int>(c)));
  }
  static vector value(vector s) {
    return _mm256_and_si256(_mm256_srli_epi32(s, 1), _mm256_set1_epi32(3));
  }
  // r[k] (k < 4) becomes [lane k | lane k + 4] of rows 4h .. 4h + 3, for the
  // four rows starting at r.
  static void transpose4(vector *r) {
    const vector t0 = _mm256_unpacklo_epi32(r[0], r[1]);
    const vector t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    const vector t2 = _mm256_unpacklo_epi32(r[2], r[3]);
    const vector t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    r[0] = _mm256_unpacklo_epi64(t0, t2);
    r[1] = _mm256_unpackhi_epi64(t0, t2);
    r[2] = _mm256_unpacklo_epi64(t1, t3);
    r[3] = _mm256_unpackhi_epi64(t1, t3);
  }
  static void transpose(vector *r) {
    transpose4(r);
    transpose4(r + 4);
    vector lanes[8];
    for (int k = 0; k < 4; k++) {
      lanes[k] = _mm256_permute2x128_si256(r[k], r[k + 4], 0x20);
      lanes[k + 4] = _mm256_permute2x128_si256(r[k], r[k + 4], 0x31);
    }
    for (int k = 0; k < 8; k++) r[k] = lanes[k];
  }

  static vector matches(vector target, const std::int32_t *p) {
    return _mm256_cmpeq_epi32(target, _mm256_load_si256(reinterpret_cast<const __m256i *>(p)));
  }
  static vector add_matches(vector acc, vector m) { return _mm256_sub_epi32(acc, m); }
};

}  // namespace

constinit const tally_kernels_t tally_kernels_avx2 = kernels_of<avx2_ops>();
