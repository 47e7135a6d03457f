// The rand() sequence after srand(0): seeding, jumps, the driver that
// splits a range over the vector lanes, and the check that rand() is it.
//
// Positions are counted in state words from the window s[0..30] that
// srand(0) leaves (see internal/fill.h); value k of rand() is
// s[k + 31] >> 1, so the window at position k is what generates value k. A jump to position
// p reduces x^p modulo P(x) = x^31 - x^28 - 1 (x^31 = x^28 + 1), and word i
// of the window there is the dot product of the coefficients of x^(p + i)
// with s[0..30]. All arithmetic wraps modulo 2^32, like the generator's.
#include "internal/fill.h"

#include <array>
#include <cstdlib>

namespace {

constexpr int lag = rand_sequence_lag;
using poly_t = std::array<std::uint32_t, lag>;  // coefficients of x^0 .. x^30
using window_t = std::array<std::uint32_t, lag>;

// srand(0) seeds with 1: r[0] = 1, r[i] = 16807 r[i - 1] mod (2^31 - 1) for
// i < 31, r[31..33] = r[0..2], then the recurrence; srand discards 310
// values, so s[i] = r[313 + i].
window_t make_base() {
  std::uint32_t r[344];
  r[0] = 1;
  for (int i = 1; i < lag; i++)
    r[i] = static_cast<std::uint32_t>(std::uint64_t{16807} * r[i - 1] % 2147483647);
  for (int i = lag; i < 34; i++) r[i] = r[i - lag];
  for (int i = 34; i < 344; i++) r[i] = r[i - 3] + r[i - lag];
  window_t s;
  for (int i = 0; i < lag; i++) s[static_cast<std::size_t>(i)] = r[313 + i];
  return s;
}

const window_t base = make_base();

poly_t mulmod(const poly_t &a, const poly_t &b) {
  std::uint32_t t[2 * lag - 1] = {};
  for (int i = 0; i < lag; i++)
    for (int j = 0; j < lag; j++)
      t[i + j] += a[static_cast<std::size_t>(i)] * b[static_cast<std::size_t>(j)];
  for (int d = 2 * lag - 2; d >= lag; d--) {  // x^d = x^(d - 3) + x^(d - 31)
    t[d - 3] += t[d];
    t[d - lag] += t[d];
  }
  poly_t r;
  for (int i = 0; i < lag; i++) r[static_cast<std::size_t>(i)] = t[i];
  return r;
}

poly_t times_x(const poly_t &a) {
  poly_t r;
  const std::uint32_t top = a[lag - 1];
  r[0] = 0;
  for (int i = 1; i < lag; i++) r[static_cast<std::size_t>(i)] = a[static_cast<std::size_t>(i - 1)];
  r[28] += top;
  r[0] += top;
  return r;
}

// x^p mod P.
poly_t power(std::uint64_t p) {
  poly_t result{};
  result[0] = 1;
  poly_t square{};
  square[1] = 1;
  for (; p != 0; p >>= 1) {
    if (p & 1) result = mulmod(result, square);
    if (p > 1) square = mulmod(square, square);
  }
  return result;
}

std::uint32_t apply(const poly_t &c, const window_t &w) {
  std::uint32_t sum = 0;
  for (std::size_t m = 0; m < lag; m++) sum += c[m] * w[m];
  return sum;
}

// Word i of the window at the position whose power is c, at dst[i * stride].
void window_from(poly_t c, std::uint32_t *dst, std::size_t stride) {
  for (std::size_t i = 0; i < lag; i++) {
    dst[i * stride] = apply(c, base);
    c = times_x(c);
  }
}

// The words after a window, one at a time: the window is a ring whose
// oldest word is replaced by each new one.
struct stepper_t {
  window_t w;
  std::size_t oldest = 0;
  std::uint32_t next() {
    const std::size_t at28 = oldest + 28 < lag ? oldest + 28 : oldest + 28 - lag;
    const std::uint32_t word = w[at28] + w[oldest];
    w[oldest] = word;
    oldest = oldest + 1 < lag ? oldest + 1 : 0;
    return word;
  }
};

stepper_t stepper_at(std::uint64_t p) {
  stepper_t s;
  window_from(power(p), s.w.data(), 1);
  return s;
}

constexpr std::size_t max_width = 16;

// Windows of W lanes, lane j at position first + j * seg, vector-major.
void lane_windows(std::uint32_t *state, std::size_t width, std::uint64_t first, std::size_t seg) {
  poly_t c = power(first);
  const poly_t step = power(seg);
  for (std::size_t j = 0; j < width; j++) {
    window_from(c, state + j, width);
    c = mulmod(c, step);
  }
}

}  // namespace

void rand_sequence_window(std::uint64_t p, std::uint32_t window[rand_sequence_lag]) {
  window_from(power(p), window, 1);
}

void rand_sequence_values(std::int32_t *dst, std::uint64_t first, std::size_t count) {
  stepper_t s = stepper_at(first);
  for (std::size_t t = 0; t < count; t++) dst[t] = static_cast<std::int32_t>(s.next() >> 1);
}

bool rand_sequence_is_rand() {
#if defined(__GLIBC__)
  static const bool same = [] {
    constexpr int checked = 64;
    std::int32_t want[checked];
    rand_sequence_values(want, 0, checked);
    std::srand(0);
    for (std::int32_t v : want)
      if (std::rand() != v) return false;
    return true;
  }();
  return same;
#else
  return false;
#endif
}

void rand_sequence_fill(const tally_level_t &level, std::int32_t *dst, std::uint64_t first,
                        std::size_t count, rand_prepare_fn prepare, void *ctx) {
  const tally_kernels_t &kernels = *level.kernels;
  const std::size_t width = kernels.lanes_width;
  // About 2 MiB per block. Each lane's stretch is one round of the vector
  // core longer than an even share, so that the lanes' stores, which advance
  // in step, fall into different cache sets instead of all into one.
  const std::size_t seg = rand_sequence_block / width + rand_lanes_steps;
  const std::size_t block = seg * width;
  alignas(64) std::uint32_t state[lag * max_width];

  // Whole blocks: lane j writes [j * seg, (j + 1) * seg) of each block and
  // then jumps over the other lanes' stretches to its place in the next.
  const std::size_t blocks = count / block;
  if (blocks > 0) {
    std::uint32_t jump[lag * lag];  // row i: x^(block - seg + i)
    poly_t c = power(block - seg);
    for (std::size_t i = 0; i < lag; i++) {
      for (std::size_t m = 0; m < lag; m++) jump[i * lag + m] = c[m];
      c = times_x(c);
    }
    lane_windows(state, width, first, seg);
    for (std::size_t b = 0; b < blocks; b++) {
      std::int32_t *out = dst + b * block;
      if (prepare != nullptr) prepare(ctx, out, block);
      kernels.lanes(state, b + 1 < blocks ? jump : nullptr, out, seg);
    }
  }

  // The rest: once more on all lanes with a shorter stretch, then scalar.
  std::int32_t *out = dst + blocks * block;
  const std::uint64_t at = first + blocks * block;
  const std::size_t rest = count - blocks * block;
  if (rest == 0) return;
  if (prepare != nullptr) prepare(ctx, out, rest);
  const std::size_t short_seg = rest / (width * rand_lanes_steps) * rand_lanes_steps;
  if (short_seg > 0) {
    lane_windows(state, width, at, short_seg);
    kernels.lanes(state, nullptr, out, short_seg);
  }
  const std::size_t done = width * short_seg;
  stepper_t s = stepper_at(at + done);
  for (std::size_t t = done; t < rest; t++) out[t] = static_cast<std::int32_t>((s.next() >> 1) & 3);
}
