// The annealing walk, the integer range draw it takes its moves from, and the choice among the
// identity, the greedy placement and the annealed one.
#include <cmath>
#include <numeric>

#include "error.hpp"
#include "ordering/detail.hpp"

namespace tavro::detail {

size_t random_range(Xoshiro256PlusPlus& rng, size_t low, size_t high) {
  if (high <= low) throw Fault("cannot sample empty range");
  const uint64_t range = high - low;
  // Widening multiply: the high half is the draw, the low half tells whether the output fell in
  // the sliver where one more output can carry into it. The width follows the upper bound, not
  // the range: [2^40, 2^40 + 3) works in 64 bits. Range 3, top half x = 0x55555555: m =
  // 0xFFFFFFFF, r = 0, lo = 2^32 - 1 > 2^32 - 3, so a second top half of 0x55555556 or more
  // carries and the draw is 1.
  if (high <= 0xFFFFFFFFu) {
    const uint64_t m = (rng.next_u64() >> 32) * range;
    uint64_t r = m >> 32;
    const uint64_t lo = m & 0xFFFFFFFFu;
    if (lo > (uint64_t{1} << 32) - range) {
      const uint64_t carry_in = ((rng.next_u64() >> 32) * range) >> 32;
      r += (lo + carry_in) >> 32;  // 1 when the 32-bit sum overflows
    }
    return low + r;
  }
  const unsigned __int128 m = static_cast<unsigned __int128>(rng.next_u64()) * range;
  uint64_t r = static_cast<uint64_t>(m >> 64);
  const uint64_t lo = static_cast<uint64_t>(m);
  if (lo > 0 - range) {  // 2^64 - range
    const uint64_t carry_in =
        static_cast<uint64_t>((static_cast<unsigned __int128>(rng.next_u64()) * range) >> 64);
    r += lo + carry_in < lo ? 1 : 0;
  }
  return low + r;
}

uint64_t anneal_iterations(size_t n) {
  const uint64_t cube = uint64_t{n} * n * n;
  return std::min<uint64_t>(std::max<uint64_t>(cube, 2000), 200000);
}

double anneal_start_temperature(size_t n, std::span<const double> one_qubit_weights,
                                std::span<const WeightedPair> pairs) {
  double w1 = -0.0;
  for (const double w : one_qubit_weights) w1 += w;
  double w2 = -0.0;
  for (const WeightedPair& p : pairs) w2 += p.weight;
  return std::fmax((w1 + w2) / static_cast<double>(n), 1.0);  // fmax drops a NaN mean
}

OrderingResult anneal(size_t n, std::span<const double> one_qubit_weights,
                      std::span<const WeightedPair> pairs, const AdjacencyLists& adj,
                      std::span<const size_t> start, Xoshiro256PlusPlus& rng) {
  require_weights(one_qubit_weights, n);
  const CostModel m = CostModel::for_qubits(n);
  const uint64_t iters = anneal_iterations(n);
  const double t0 = anneal_start_temperature(n, one_qubit_weights, pairs);
  const double log_ratio = std::log((t0 * 0.001) / t0);
  const double inv = 1.0 / static_cast<double>(iters);

  std::vector<size_t> cur(start.begin(), start.end());
  double cur_cost = estimate_cost(cur, one_qubit_weights, pairs, n);
  std::vector<size_t> best = cur;  // both allocated here; the loop only copies
  double best_cost = cur_cost;
  for (uint64_t t = 1; t <= iters; ++t) {
    // Square-root schedule from T0 down to T0 * 0.001 at the last step.
    const double e = std::exp(log_ratio * std::sqrt(inv * static_cast<double>(t)));
    const size_t i = random_range(rng, 0, n - 1);
    const size_t j = random_range(rng, i + 1, n);
    const double d = swap_delta(m, cur, one_qubit_weights, adj, i, j);
    // Downhill moves take no draw; a NaN delta draws and is refused.
    if (!(d < 0.0) && !(rng.next_f64() < std::exp(-d / (t0 * e)))) continue;
    std::swap(cur[i], cur[j]);
    cur_cost = cur_cost + d;
    if (cur_cost < best_cost) {
      std::copy(cur.begin(), cur.end(), best.begin());
      best_cost = cur_cost;
    }
  }
  return {std::move(best), best_cost};
}

}  // namespace tavro::detail

namespace tavro {

OrderingResult optimize_ordering(size_t n, std::span<const double> one_qubit_weights,
                                 std::span<const WeightedPair> pairs, bool anneal,
                                 Xoshiro256PlusPlus& rng) {
  using namespace detail;
  std::vector<size_t> identity(n);
  std::iota(identity.begin(), identity.end(), size_t{0});
  if (n <= 1) {
    const double cost = estimate_cost(identity, one_qubit_weights, pairs, n);
    return {std::move(identity), cost};
  }
  const AdjacencyLists adj = build_adjacency_lists(n, pairs);
  const double id_cost = estimate_cost(identity, one_qubit_weights, pairs, n);
  OrderingResult chosen{greedy_ordering(n, one_qubit_weights, adj), 0.0};
  chosen.cost = local_search(chosen.perm, one_qubit_weights, pairs, adj, n);
  if (anneal) {
    OrderingResult walked = detail::anneal(n, one_qubit_weights, pairs, adj, chosen.perm, rng);
    const double ls_cost = local_search(walked.perm, one_qubit_weights, pairs, adj, n);
    if (ls_cost < chosen.cost) chosen = {std::move(walked.perm), ls_cost};
  }
  // Ties go to the identity; a NaN on either side keeps the chosen placement.
  if (id_cost <= chosen.cost) return {std::move(identity), id_cost};
  return chosen;
}

}  // namespace tavro
