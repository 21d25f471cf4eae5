#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "amp.hpp"
#include "rng.hpp"

namespace tavro::channels {

// The index of the operator a channel applies, chosen with probability proportional to its
// weight. The total is the weights added in order from -0.0; a total of 0.0 or less picks 0
// without touching `rng`. Otherwise (a NaN total included) one draw u, target = total * u, and
// the first index whose running sum (from +0.0, in order) exceeds the target strictly, else
// the last index: a zero weight is never picked while the total is positive, not even by
// u = 0. An empty list picks 0 without a draw.
size_t select_index(std::span<const double> weights, Xoshiro256PlusPlus& rng);

// Operator k of a flat list of N-entry operators: entries [N k, N k + N).
template <size_t N>
std::array<Amp, N> operator_at(std::span<const Amp> ops, size_t k) {
  std::array<Amp, N> m;
  for (size_t i = 0; i < N; ++i) m[i] = ops[N * k + i];
  return m;
}

}  // namespace tavro::channels
