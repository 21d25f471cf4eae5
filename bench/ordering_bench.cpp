// The annealing walk of the ordering optimizer, per step. Each step draws two qubits, evaluates
// one exchange over their two adjacency lists and the schedule's exp, so ns_per_step follows the
// list length (2 * pairs / n), not n or the pair count. Not a state benchmark: no ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "ordering/detail.hpp"
#include "rng.hpp"

namespace tavro::bench {
namespace {

void anneal_steps(benchmark::State& st, size_t n, size_t pairs_per_qubit) {
  std::mt19937_64 gen(n * 1000 + pairs_per_qubit);
  std::uniform_real_distribution<double> u(0.5, 4.0);
  std::vector<double> w1(n);
  for (double& w : w1) w = u(gen);
  std::vector<WeightedPair> pairs;
  for (size_t k = 0; k < pairs_per_qubit * n; ++k) {
    const size_t i = gen() % n;
    pairs.push_back({i, (i + 1 + gen() % (n - 1)) % n, u(gen)});
  }
  const detail::AdjacencyLists adj = detail::build_adjacency_lists(n, pairs);
  std::vector<size_t> start = detail::greedy_ordering(n, w1, adj);
  detail::local_search(start, w1, pairs, adj, n);
  auto rng = Xoshiro256PlusPlus::seed_from_u64(1);
  const uint64_t steps = detail::anneal_iterations(n);
  double seconds = 0.0;
  for (auto _ : st) {
    const auto t0 = std::chrono::steady_clock::now();
    const OrderingResult r = detail::anneal(n, w1, pairs, adj, start, rng);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(r.cost);
  }
  st.counters["steps"] = static_cast<double>(steps);
  st.counters["list_len"] = 2.0 * static_cast<double>(pairs_per_qubit);
  st.counters["ns_per_step"] =
      seconds * 1e9 / (static_cast<double>(steps) * static_cast<double>(st.iterations()));
}

const bool registered = [] {
  const auto add = [](size_t n, size_t per) {
    const std::string name = "ordering/anneal_" + std::to_string(per) + "n/" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), [n, per](benchmark::State& st) {
      anneal_steps(st, n, per);
    })->Unit(benchmark::kMillisecond);
  };
  for (const size_t n : {20, 40, 58}) add(n, 4);
  add(40, 16);  // four times the list length at the same n
  return true;
}();

}  // namespace
}  // namespace tavro::bench
