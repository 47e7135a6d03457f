// The bodies of the per-level kernels, included once by each level's source
// with that level's vector operations, and instantiated there for its table
// (see level.h for the contracts). Everything here has internal linkage, so
// no function compiled for a wider level can stand in for another level's
// copy at link time; a level's source includes nothing else that the linker
// could merge.
//
// The operations a level provides, on its register type `vector` of `width`
// 32-bit lanes: load, save (state words) and store (values), unaligned;
// zero, splat, add, the 16-bit-exact multiply mul, value (s >> 1) & 3 and an
// in-register transpose of `width` rows for the generator; for the count,
// matches (a compare straight from an aligned memory operand, giving a
// vector of -1 per match or a mask) and add_matches, with the shape of its
// loop: count_group registers whose matches are summed before one update of
// an accumulator, and count_accumulators independent accumulators.
#pragma once

#include "internal/level.h"

namespace {

// acc plus the matches among count_group registers at p. Where a compare
// gives a vector (-1 per match), four of them are added (0 to -4) before one
// update of the accumulator: half the updates, which measured fastest in
// cache. Where it gives a mask, each mask updates its accumulator directly.
template <class Ops>
typename Ops::vector accumulate(typename Ops::vector acc, typename Ops::vector target,
                                const std::int32_t *p) {
  constexpr std::size_t w = Ops::width;
  if constexpr (Ops::count_group == 1) {
    return Ops::add_matches(acc, Ops::matches(target, p));
  } else {
    static_assert(Ops::count_group == 4);
    return Ops::add_matches(
        acc, Ops::add(Ops::add(Ops::matches(target, p), Ops::matches(target, p + w)),
                      Ops::add(Ops::matches(target, p + 2 * w), Ops::matches(target, p + 3 * w))));
  }
}

// The count: scalar steps until p + i is aligned to a whole register, so that
// every compare takes its operand straight from memory (SSE2 compares fault
// on unaligned memory operands, and at the wider levels no load splits a
// cache line); then steps of count_accumulators groups, group a into
// accumulator a; then whole groups into the first accumulator; then the last
// elements one by one. A lane sees at most n / width elements, so with n up
// to INT32_MAX no lane can overflow and the sum of the lanes fits in 32 bits.
template <class Ops>
std::int32_t count_run(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  using V = typename Ops::vector;
  constexpr std::size_t accumulators = Ops::count_accumulators;
  constexpr std::size_t group = Ops::count_group * Ops::width;  // elements per update
  constexpr std::size_t step = accumulators * group;
  std::uint32_t count = 0;
  std::int32_t i = 0;
  for (; i < n && reinterpret_cast<std::uintptr_t>(p + i) % sizeof(V) != 0; i++)
    count += p[i] == value;

  const V target = Ops::splat(value);
  V acc[accumulators];
  for (V &a : acc) a = Ops::zero();
  const std::size_t steps = static_cast<std::size_t>(n - i) / step;
  for (const std::int32_t *q = p + i, *end = q + steps * step; q != end; q += step)
    for (std::size_t a = 0; a < accumulators; a++)
      acc[a] = accumulate<Ops>(acc[a], target, q + a * group);
  i += static_cast<std::int32_t>(steps * step);
  for (; n - i >= static_cast<std::int32_t>(group); i += static_cast<std::int32_t>(group))
    acc[0] = accumulate<Ops>(acc[0], target, p + i);

  // Through memory: it runs once per call, and GCC's lane-shuffling AVX-512
  // intrinsics warn about their own undefined operands.
  V sum = acc[0];
  for (std::size_t a = 1; a < accumulators; a++) sum = Ops::add(sum, acc[a]);
  std::int32_t lanes[Ops::width];
  Ops::store(lanes, sum);
  for (std::int32_t lane : lanes) count += static_cast<std::uint32_t>(lane);

  for (; i < n; i++) count += p[i] == value;
  return static_cast<std::int32_t>(count);
}

// The generator: a ring of 31 + rand_lanes_steps vectors holds the window;
// each round appends rand_lanes_steps new words per lane (word k = word k - 3
// + word k - 31), writes their values transposed, and moves the last 31
// words to the front.
template <class Ops>
void lanes_run(std::uint32_t *state, const std::uint32_t *jump, std::int32_t *out,
               std::size_t seg) {
  using V = typename Ops::vector;
  constexpr std::size_t W = Ops::width;
  constexpr std::size_t lag = 31;
  constexpr std::size_t steps = rand_lanes_steps;
  V ring[lag + steps];
  for (std::size_t i = 0; i < lag; i++) ring[i] = Ops::load(state + i * W);

  for (std::size_t t0 = 0; t0 < seg; t0 += steps) {
    for (std::size_t t = 0; t < steps; t++) ring[lag + t] = Ops::add(ring[lag - 3 + t], ring[t]);
    for (std::size_t g = 0; g < steps; g += W) {
      V rows[W];
      for (std::size_t r = 0; r < W; r++) rows[r] = Ops::value(ring[lag + g + r]);
      Ops::transpose(rows);
      for (std::size_t j = 0; j < W; j++) Ops::store(out + j * seg + t0 + g, rows[j]);
    }
    for (std::size_t i = 0; i < lag; i++) ring[i] = ring[steps + i];
  }

  if (jump != nullptr) {
    for (std::size_t i = 0; i < lag; i++) {
      V sum = Ops::zero();
      for (std::size_t m = 0; m < lag; m++)
        sum = Ops::add(sum, Ops::mul(ring[m], jump[i * lag + m]));
      ring[lag + i] = sum;
    }
    for (std::size_t i = 0; i < lag; i++) ring[i] = ring[lag + i];
  }
  for (std::size_t i = 0; i < lag; i++) Ops::save(state + i * W, ring[i]);
}

// The table a level's source exports.
template <class Ops>
constexpr tally_kernels_t kernels_of() {
  return tally_kernels_t{count_run<Ops>, lanes_run<Ops>, Ops::width};
}

}  // namespace
