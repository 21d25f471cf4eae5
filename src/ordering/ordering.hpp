#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "rng.hpp"

namespace tavro {

// Two-qubit work on a pair of qubits; i and j need not differ or be ordered.
struct WeightedPair {
  size_t qubit_i;
  size_t qubit_j;
  double weight;
};

// A placement and its estimated cost: perm[qubit] = slot.
struct OrderingResult {
  std::vector<size_t> perm;
  double cost;
};

// A placement of n qubits on slots from the per-qubit weights (n of them) and the pairs, never
// costing more than the identity; with `anneal` a simulated-annealing search drawing from `rng`.
// Returns no Error: a pair index of n or more, or a qubit the greedy placement cannot place,
// throws a Fault.
OrderingResult optimize_ordering(size_t n, std::span<const double> one_qubit_weights,
                                 std::span<const WeightedPair> pairs, bool anneal,
                                 Xoshiro256PlusPlus& rng);

}  // namespace tavro
