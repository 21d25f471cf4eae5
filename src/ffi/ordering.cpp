// The C face of the qubit-ordering optimizer: no state handle, a generator of its own seeded
// from the caller's seed, and no Error to report: 0 or -1 only.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "ordering/ordering.hpp"
#include "rng.hpp"
#include "tavro.h"

using tavro::OrderingResult;
using tavro::WeightedPair;
using tavro::Xoshiro256PlusPlus;
using tavro::ffi::list_view;
using tavro::ffi::present;

extern "C" int32_t tavro_optimize_ordering(size_t num_qubits, const double* one_qubit_weights,
                                           const size_t* pair_i, const size_t* pair_j,
                                           const double* pair_w, size_t npairs, uint32_t method,
                                           uint64_t seed, size_t* perm_out, double* cost_out) {
  return tavro::ffi::trap("tavro_optimize_ordering", int32_t{-1}, [&]() -> int32_t {
    if (method > 1 || cost_out == nullptr) return -1;
    if (!present(one_qubit_weights, num_qubits) || !present(perm_out, num_qubits)) return -1;
    if (!present(pair_i, npairs) || !present(pair_j, npairs) || !present(pair_w, npairs)) {
      return -1;
    }
    std::vector<WeightedPair> pairs;
    pairs.reserve(npairs);
    for (size_t k = 0; k < npairs; ++k) pairs.push_back({pair_i[k], pair_j[k], pair_w[k]});
    // Seeded for both methods, so that greedy and annealing calls share one shape.
    auto rng = Xoshiro256PlusPlus::seed_from_u64(seed);
    const OrderingResult r = tavro::optimize_ordering(
        num_qubits, list_view(one_qubit_weights, num_qubits), pairs, method == 1, rng);
    std::copy_n(r.perm.begin(), num_qubits, perm_out);
    *cost_out = r.cost;
    tavro::ffi::clear_last_error();
    return 0;
  });
}
