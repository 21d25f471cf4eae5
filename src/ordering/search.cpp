// Greedy placement and first-improvement local search over the cost model.
#include <limits>

#include "ordering/detail.hpp"

namespace tavro::detail {

std::vector<size_t> greedy_ordering(size_t n, std::span<const double> one_qubit_weights,
                                    const AdjacencyLists& adj) {
  require_weights(one_qubit_weights, n);
  const CostModel m = CostModel::for_qubits(n);
  std::vector<double> score(n);
  for (size_t q = 0; q < n; ++q) {
    double pair_sum = -0.0;
    for (const AdjEntry& e : adj[q]) pair_sum += e.weight;
    score[q] = one_qubit_weights[q] + pair_sum;
  }
  // Stable, by descending score: equal scores keep ascending qubit order. Insertion rather than
  // a library sort, because a NaN score (a self-pair of NaN weight) breaks the strict weak order
  // std::stable_sort needs; insertion stays well defined and is no slower than the O(n^2)
  // placement below.
  std::vector<size_t> order(n);
  for (size_t q = 0; q < n; ++q) {
    size_t at = q;
    for (; at > 0 && score[q] > score[order[at - 1]]; --at) order[at] = order[at - 1];
    order[at] = q;
  }

  std::vector<size_t> perm(n, 0);
  std::vector<char> slot_free(n, 1);
  std::vector<char> placed(n, 0);
  for (const size_t q : order) {
    double best = std::numeric_limits<double>::infinity();
    size_t best_slot = std::numeric_limits<size_t>::max();
    for (size_t k = 0; k < n; ++k) {
      if (!slot_free[k]) continue;
      double cost = one_qubit_weights[q] * m.f1(k);  // a zero weight is multiplied too
      for (const AdjEntry& e : adj[q])
        if (placed[e.neighbour]) cost += e.weight * m.f2(std::min(perm[e.neighbour], k));
      if (cost < best) {  // strictly: ties keep the lower slot
        best = cost;
        best_slot = k;
      }
    }
    // Every candidate NaN or +infinity: no slot to take.
    if (best_slot >= n) index_fault(n, best_slot);
    perm[q] = best_slot;
    slot_free[best_slot] = 0;
    placed[q] = 1;
  }
  return perm;
}

double local_search(std::vector<size_t>& perm, std::span<const double> one_qubit_weights,
                    std::span<const WeightedPair> pairs, const AdjacencyLists& adj, size_t n) {
  double cost = estimate_cost(perm, one_qubit_weights, pairs, n);
  if (n < 2) return cost;
  require_weights(one_qubit_weights, n);
  const CostModel m = CostModel::for_qubits(n);
  // Restart from (0, 1) after every exchange; stop after a full scan without one.
  for (bool improved = true; improved;) {
    improved = false;
    for (size_t i = 0; i < n && !improved; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        const double d = swap_delta(m, perm, one_qubit_weights, adj, i, j);
        if (d < -1e-12) {
          std::swap(perm[i], perm[j]);
          cost += d;  // accumulated, never re-estimated
          improved = true;
          break;
        }
      }
    }
  }
  return cost;
}

}  // namespace tavro::detail
