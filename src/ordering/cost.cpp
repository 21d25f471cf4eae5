// The cost model of the ordering optimizer: factors by slot, the whole-placement estimate, the
// exact exchange delta and the adjacency lists it walks.
#include <cmath>
#include <string>

#include "error.hpp"
#include "ordering/detail.hpp"

namespace tavro::detail {

void index_fault(size_t len, size_t index) {
  throw Fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index));
}

void require_weights(std::span<const double> one_qubit_weights, size_t n) {
  if (one_qubit_weights.size() < n) index_fault(one_qubit_weights.size(), one_qubit_weights.size());
}

namespace {

size_t checked(std::span<const size_t> v, size_t i) {
  if (i >= v.size()) index_fault(v.size(), i);
  return v[i];
}

}  // namespace

double ordering_scale(size_t n) {
  if (n <= 20) return 1.0;
  // Two roundings, not one fused: n = 23 gives 1.3599999999999999.
  const double grown = static_cast<double>(n - 20) * 0.12 + 1.0;
  return std::min(grown, 1.6);
}

CostModel CostModel::for_qubits(size_t n) {
  const double s = ordering_scale(n);
  CostModel m{};
  const double pen1[4] = {0.15, 0.08, 0.03, 0.0};
  for (size_t k = 0; k < 4; ++k) m.f1_by_slot[k] = s * pen1[k] + 1.0;
  if (n <= 20) {
    m.f2_by_lo[0] = 1.3;
    m.f2_by_lo[1] = 1.22;
    m.f2_by_lo[2] = 1.0;
  } else {
    const double pen2[3] = {0.3, 0.22, 0.0};
    for (size_t k = 0; k < 3; ++k) m.f2_by_lo[k] = s * pen2[k] + 1.0;
  }
  return m;
}

double estimate_cost(std::span<const size_t> perm, std::span<const double> one_qubit_weights,
                     std::span<const WeightedPair> pairs, size_t n) {
  const CostModel m = CostModel::for_qubits(n);
  double cost = 0.0;
  for (size_t q = 0; q < one_qubit_weights.size(); ++q) {
    const double w = one_qubit_weights[q];
    // A zero weight is skipped before its slot is looked up: trailing zeros past the placement
    // are harmless.
    if (w == 0.0) continue;
    cost += w * m.f1(checked(perm, q));
  }
  for (const WeightedPair& p : pairs) {
    const size_t si = checked(perm, p.qubit_i);
    const size_t sj = checked(perm, p.qubit_j);
    cost += p.weight * m.f2(std::min(si, sj));
  }
  return cost;
}

double swap_delta(const CostModel& m, std::span<const size_t> perm,
                  std::span<const double> one_qubit_weights, const AdjacencyLists& adj, size_t a,
                  size_t b) {
  const size_t sa = perm[a];
  const size_t sb = perm[b];
  double d = one_qubit_weights[a] * (m.f1(sb) - m.f1(sa));
  d += one_qubit_weights[b] * (m.f1(sa) - m.f1(sb));
  // One side of the exchange: `q` moves from slot `from` to `to`. The pair (a, b) itself is
  // skipped, its lower slot does not change. A pair (q, q) moves with q and stands twice in
  // q's list, so each entry brings half its change: read at q's old slot instead, it would
  // count a move down twice and a move up not at all, and the local search could then
  // exchange the same qubits back and forth for ever.
  const auto side = [&](size_t q, size_t other, size_t from, size_t to) {
    for (const AdjEntry& e : adj[q]) {
      if (e.neighbour == other) continue;
      if (e.neighbour == q) {
        d += (e.weight * 0.5) * (m.f2(to) - m.f2(from));
        continue;
      }
      const size_t sc = perm[e.neighbour];
      d += e.weight * (m.f2(std::min(sc, to)) - m.f2(std::min(sc, from)));
    }
  };
  side(a, b, sa, sb);
  side(b, a, sb, sa);
  return d;
}

double swap_delta(std::span<const size_t> perm, std::span<const double> one_qubit_weights,
                  const AdjacencyLists& adj, size_t a, size_t b, size_t n) {
  return swap_delta(CostModel::for_qubits(n), perm, one_qubit_weights, adj, a, b);
}

AdjacencyLists build_adjacency_lists(size_t n, std::span<const WeightedPair> pairs) {
  AdjacencyLists adj;
  // Count first, in input order, so the first bad index faults as a list-by-list build would.
  std::vector<size_t> fill(n + 1, 0);
  for (const WeightedPair& p : pairs) {
    if (p.qubit_i >= n) index_fault(n, p.qubit_i);
    ++fill[p.qubit_i + 1];
    if (p.qubit_j >= n) index_fault(n, p.qubit_j);
    ++fill[p.qubit_j + 1];
  }
  for (size_t q = 0; q < n; ++q) fill[q + 1] += fill[q];
  adj.start_ = fill;
  adj.entries_.resize(2 * pairs.size());
  for (const WeightedPair& p : pairs) {
    adj.entries_[fill[p.qubit_i]++] = {p.qubit_j, p.weight};
    adj.entries_[fill[p.qubit_j]++] = {p.qubit_i, p.weight};
  }
  return adj;
}

}  // namespace tavro::detail
