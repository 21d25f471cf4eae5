// Expectation values against the read-only baseline: a Pauli string (a reduction on all
// workers) with only Z letters and with X or Y on a low, the middle and the top slot, and the
// dense one- and two-qubit operators, which run on the caller's thread by definition and so
// also get ratio_read_seq, against a single-threaded read-only pass.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "baseline.hpp"
#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

// The fastest single-piece read-only pass over `a`, once per qubit count.
double sequential_read(std::span<const Amp> a) {
  static std::map<size_t, double> cache;
  auto it = cache.find(a.size());
  if (it != cache.end()) return it->second;
  benchmark::DoNotOptimize(read_pass(a, 1));  // untimed: settles caches and clocks
  double best = std::numeric_limits<double>::infinity();
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(read_pass(a, 1));
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return cache.emplace(a.size(), best).first->second;
}

using Op = void (*)(const TavroSV& sv, uint32_t n);

void observable(benchmark::State& st, uint32_t n, Op op, bool seq_ratio) {
  RatioTimer timer(st, n, Against::StreamAndRead);
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return;
  }
  fill_uniform(sv->amps());
  op(*sv, n);  // untimed, as in add_state_bench
  for (auto _ : st) timer.time([&] { op(*sv, n); });
  timer.report();
  if (seq_ratio) {
    st.counters["ratio_read_seq"] = timer.best_seconds() / sequential_read(sv->amplitudes());
  }
}

// A Hermitian operator with no zero or trivial entry, so no product is easy.
std::array<Amp, 4> op_1q() {
  return {Amp(0.3, 0.0), Amp(0.4, 0.7), Amp(0.4, -0.7), Amp(-1.1, 0.0)};
}
std::array<Amp, 16> op_2q() {
  std::array<Amp, 16> m;
  for (size_t r = 0; r < 4; ++r)
    for (size_t c = 0; c < 4; ++c)
      m[r + 4 * c] = r == c ? Amp(0.5 + 0.25 * r, 0.0) : Amp(0.1 * (r + c), 0.05 * (double(c) - r));
  return m;
}

// Pauli strings by the qubit count: Z on three spread qubits; X or Y on slot 0, 3, the middle or
// the top slot together with two Z letters elsewhere.
std::vector<PauliTerm> pauli_string(uint32_t n, Pauli::Code letter, size_t slot) {
  std::vector<PauliTerm> terms{{1, Pauli{Pauli::Z}}, {n - 2, Pauli{Pauli::Z}}};
  if (letter != Pauli::Z) terms.push_back({slot, Pauli{letter}});
  if (letter == Pauli::Z) terms.push_back({n / 2, Pauli{Pauli::Z}});
  return terms;
}

struct Row {
  const char* name;
  Op op;
  bool seq;
};

template <Pauli::Code L, int SLOT>  // SLOT -1: the middle slot, -2: the top slot
void pauli_op(const TavroSV& sv, uint32_t n) {
  const size_t slot = SLOT == -1 ? n / 2 : SLOT == -2 ? n - 1 : SLOT;
  benchmark::DoNotOptimize(sv.expectation_pauli(pauli_string(n, L, slot)));
}

template <int SLOT>
void op1q(const TavroSV& sv, uint32_t n) {
  static const std::array<Amp, 4> m = op_1q();
  benchmark::DoNotOptimize(sv.expectation_1q(m, SLOT == -1 ? n / 2 : SLOT == -2 ? n - 1 : SLOT));
}

template <int A, int B>
void op2q(const TavroSV& sv, uint32_t n) {
  static const std::array<Amp, 16> m = op_2q();
  const auto slot = [n](int s) -> size_t { return s == -1 ? n / 2 : s == -2 ? n - 1 : s; };
  benchmark::DoNotOptimize(sv.expectation_2q(m, slot(A), slot(B)));
}

const std::array<Row, 16> ROWS{{
    {"obs/pauli_z", pauli_op<Pauli::Z, 0>, false},
    {"obs/pauli_x_t0", pauli_op<Pauli::X, 0>, false},
    {"obs/pauli_x_t3", pauli_op<Pauli::X, 3>, false},
    {"obs/pauli_x_mid", pauli_op<Pauli::X, -1>, false},
    {"obs/pauli_x_top", pauli_op<Pauli::X, -2>, false},
    {"obs/pauli_y_t0", pauli_op<Pauli::Y, 0>, false},
    {"obs/pauli_y_top", pauli_op<Pauli::Y, -2>, false},
    {"obs/exp1q_t0", op1q<0>, true},
    {"obs/exp1q_t2", op1q<2>, true},
    {"obs/exp1q_mid", op1q<-1>, true},
    {"obs/exp1q_top", op1q<-2>, true},
    {"obs/exp2q_01", op2q<0, 1>, true},
    {"obs/exp2q_1_mid", op2q<1, -1>, true},
    {"obs/exp2q_3_mid", op2q<3, -1>, true},
    {"obs/exp2q_mid_top", op2q<-1, -2>, true},
    {"obs/exp2q_top_0", op2q<-2, 0>, true},
}};

const bool registered = [] {
  for (const Row& r : ROWS) {
    add_bench(r.name, [op = r.op, seq = r.seq](benchmark::State& st, uint32_t n) {
      observable(st, n, op, seq);
    });
  }
  return true;
}();

}  // namespace
}  // namespace tavro::bench
