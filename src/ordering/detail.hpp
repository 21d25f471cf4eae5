#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ordering/ordering.hpp"
#include "rng.hpp"

// The steps of the ordering optimizer: the cost model, the exact exchange delta, the adjacency
// lists, the greedy placement, the local search and the annealing walk. Nothing here validates;
// an index past its sequence throws Fault "index out of bounds: the len is {len} but the index
// is {index}". None of these return an Error.

namespace tavro::detail {

// Throws the index-out-of-range fault for `index` into a sequence of `len` entries.
[[noreturn]] void index_fault(size_t len, size_t index);

// Faults as the first out-of-range read would when the weight list holds fewer than n entries.
void require_weights(std::span<const double> one_qubit_weights, size_t n);

// Slowdown scale of the low slots: 1.0 up to 20 qubits, then (n - 20) * 0.12 + 1.0 (product and
// sum rounded separately) capped at 1.6.
double ordering_scale(size_t n);

// The cost factors for n qubits: f1 of a one-qubit kernel by slot, f2 of a two-qubit kernel by
// the lower of its two slots. Built once per call; lookups clamp the slot, so they never fail.
struct CostModel {
  double f1_by_slot[4];  // slots 0, 1, 2, then every slot from 3 on
  double f2_by_lo[3];    // lower slot 0, 1, then every lower slot from 2 on

  static CostModel for_qubits(size_t n);
  double f1(size_t slot) const { return f1_by_slot[std::min<size_t>(slot, 3)]; }
  double f2(size_t lo) const { return f2_by_lo[std::min<size_t>(lo, 2)]; }
};

// One neighbour of a qubit and the weight of the pair joining them.
struct AdjEntry {
  size_t neighbour;
  double weight;
};

// One list per qubit, in the order the pairs were given: pair (i, j, w) adds (j, w) to list i,
// then (i, w) to list j, so a pair (q, q) lands in q's list twice. Stored as one array of
// entries with an offset per qubit.
class AdjacencyLists {
 public:
  size_t size() const { return start_.empty() ? 0 : start_.size() - 1; }
  std::span<const AdjEntry> operator[](size_t q) const {
    return {entries_.data() + start_[q], entries_.data() + start_[q + 1]};
  }

 private:
  friend AdjacencyLists build_adjacency_lists(size_t n, std::span<const WeightedPair> pairs);
  std::vector<size_t> start_;  // n + 1 offsets into entries_
  std::vector<AdjEntry> entries_;
};

// The lists of n qubits. Faults on a pair index of n or more (qubit_i checked before qubit_j).
AdjacencyLists build_adjacency_lists(size_t n, std::span<const WeightedPair> pairs);

// Estimated relative run time of `perm` (perm[qubit] = slot) for n qubits: the non-zero
// one-qubit weights times f1 of their slot, then each pair's weight times f2 of its lower slot,
// added in that order from +0.0. Faults on a non-zero weight or a pair index past `perm`.
double estimate_cost(std::span<const size_t> perm, std::span<const double> one_qubit_weights,
                     std::span<const WeightedPair> pairs, size_t n);

// The change of the cost if qubits a and b exchanged slots; `perm` is read as it stands. Only a's
// and b's lists are visited. perm, the weights and the lists cover qubits a and b and every
// neighbour of theirs.
double swap_delta(const CostModel& model, std::span<const size_t> perm,
                  std::span<const double> one_qubit_weights, const AdjacencyLists& adj, size_t a,
                  size_t b);
double swap_delta(std::span<const size_t> perm, std::span<const double> one_qubit_weights,
                  const AdjacencyLists& adj, size_t a, size_t b, size_t n);

// A placement built qubit by qubit, highest score (own weight plus pair weights) first, each
// qubit taking the free slot that is cheapest against the qubits already placed (lowest slot
// on ties). Faults on a weight list shorter than n and on a qubit no slot can take (every
// candidate cost NaN or +infinity).
std::vector<size_t> greedy_ordering(size_t n, std::span<const double> one_qubit_weights,
                                    const AdjacencyLists& adj);

// First-improvement exchanges on `perm` (n entries, changed in place), restarting the scan after
// each exchange that lowers the cost by more than 1e-12. Returns the starting cost plus the
// accepted deltas, not a fresh estimate. Faults on a weight list shorter than n (n >= 2).
double local_search(std::vector<size_t>& perm, std::span<const double> one_qubit_weights,
                    std::span<const WeightedPair> pairs, const AdjacencyLists& adj, size_t n);

// An integer in [low, high) from one generator output, or two when the first lands in the
// biased sliver. An upper bound of at most 2^32 - 1 works on the top 32 bits of each output, any
// other on all 64. Faults "cannot sample empty range" when high <= low, before any output.
size_t random_range(Xoshiro256PlusPlus& rng, size_t low, size_t high);

// Annealing steps for n qubits: n^3 (wrapping) held within [2000, 200000].
uint64_t anneal_iterations(size_t n);

// Starting temperature: the mean weight per qubit (one-qubit sum plus pair sum), at least 1.0;
// a NaN mean gives 1.0. n >= 1.
double anneal_start_temperature(size_t n, std::span<const double> one_qubit_weights,
                                std::span<const WeightedPair> pairs);

// The annealing walk from `start` (n >= 2 entries): the best placement it visited and that
// placement's accumulated cost, before any local search. Draws i, j, then a uniform on uphill
// moves only.
OrderingResult anneal(size_t n, std::span<const double> one_qubit_weights,
                      std::span<const WeightedPair> pairs, const AdjacencyLists& adj,
                      std::span<const size_t> start, Xoshiro256PlusPlus& rng);

}  // namespace tavro::detail
