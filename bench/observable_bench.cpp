// Expectation values against the read-only baseline: a Pauli string (a reduction on all workers)
// with only Z letters and with X or Y on a low, the middle and the top slot, and the dense one-
// and two-qubit operators on several slots. The dense operators run on the caller's thread by
// definition, so their figure is ratio_read of the one-worker run (RAYON_NUM_THREADS=1).
#include <array>
#include <string>
#include <vector>

#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

// A Hermitian operator with no zero or trivial entry, so that no product is easy.
const std::array<Amp, 4> OP_1Q{Amp(0.3, 0.0), Amp(0.4, 0.7), Amp(0.4, -0.7), Amp(-1.1, 0.0)};

std::array<Amp, 16> op_2q() {
  std::array<Amp, 16> m;
  for (size_t r = 0; r < 4; ++r)
    for (size_t c = 0; c < 4; ++c)
      m[r + 4 * c] = r == c ? Amp(0.5 + 0.25 * r, 0.0) : Amp(0.1 * (r + c), 0.05 * (double(c) - r));
  return m;
}

// A slot by the qubit count: MID is n/2, TOP is n - 1, others are themselves.
constexpr int MID = -1, TOP = -2;
size_t slot(int s, size_t n) { return s == MID ? n / 2 : s == TOP ? n - 1 : size_t(s); }

// Z on qubits 1 and n - 2, and `letter` on `at` (Z: on n/2).
std::vector<PauliTerm> pauli_string(size_t n, Pauli::Code letter, int at) {
  return {{1, Pauli{Pauli::Z}},
          {n - 2, Pauli{Pauli::Z}},
          {letter == Pauli::Z ? n / 2 : slot(at, n), Pauli{letter}}};
}

const bool registered = [] {
  const struct {
    const char* name;
    Pauli::Code letter;
    int at;
  } strings[] = {{"z", Pauli::Z, 0},       {"x_t0", Pauli::X, 0},    {"x_t3", Pauli::X, 3},
                 {"x_mid", Pauli::X, MID}, {"x_top", Pauli::X, TOP}, {"y_t0", Pauli::Y, 0},
                 {"y_top", Pauli::Y, TOP}};
  for (const auto& s : strings) {
    add_state_bench(std::string("obs/pauli_") + s.name, Against::StreamAndRead,
                    [letter = s.letter, at = s.at](TavroSV& sv) {
                      const auto terms = pauli_string(sv.num_qubits(), letter, at);
                      benchmark::DoNotOptimize(sv.expectation_pauli(terms));
                    });
  }
  const struct {
    const char* name;
    int t;
  } one[] = {{"t0", 0}, {"t1", 1}, {"t3", 3}, {"t8", 8}, {"mid", MID}, {"top", TOP}};
  for (const auto& o : one) {
    add_state_bench(std::string("obs/exp1q_") + o.name, Against::StreamAndRead,
                    [t = o.t](TavroSV& sv) {
                      benchmark::DoNotOptimize(sv.expectation_1q(OP_1Q, slot(t, sv.num_qubits())));
                    });
  }
  const struct {
    const char* name;
    int q1, q2;
  } two[] = {
      {"01", 0, 1}, {"1_mid", 1, MID}, {"3_mid", 3, MID}, {"mid_top", MID, TOP}, {"top_0", TOP, 0}};
  for (const auto& t : two) {
    add_state_bench(std::string("obs/exp2q_") + t.name, Against::StreamAndRead,
                    [q1 = t.q1, q2 = t.q2](TavroSV& sv) {
                      static const std::array<Amp, 16> m = op_2q();
                      const size_t n = sv.num_qubits();
                      benchmark::DoNotOptimize(sv.expectation_2q(m, slot(q1, n), slot(q2, n)));
                    });
  }
  return true;
}();

}  // namespace
}  // namespace tavro::bench
