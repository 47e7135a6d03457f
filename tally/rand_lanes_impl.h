// The body of the vector generator, included once by each level's source
// with that level's vector operations (see rand_lanes.h for the contract).
// Everything here has internal linkage, so no function compiled for a wider
// level can stand in for another level's copy at link time.
//
// A ring of 31 + rand_lanes_steps vectors holds the window: each round
// appends rand_lanes_steps new words per lane (word k = word k - 3 + word
// k - 31), writes their values transposed, and moves the last 31 words to the
// front.
#pragma once

#include "rand_lanes.h"

namespace {

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

}  // namespace
