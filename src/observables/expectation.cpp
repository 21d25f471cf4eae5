// Expectation values of dense one- and two-qubit operators and of Pauli strings: validation,
// the shortcuts for untouched qubits of a dynamic state, and the Pauli sum's reduction.
#include <array>
#include <cstdint>
#include <span>

#include "gates/kernels/complex.hpp"
#include "observables/expectation_kernels.hpp"
#include "par/pool.hpp"
#include "par/reduce.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

// The slot of a qubit known to be live.
size_t live_slot(const TavroSV& sv, size_t q) { return sv.is_dynamic() ? (*sv.slots())[q] : q; }

// z times a real squared norm, both parts by one product: what an operator on an untouched
// qubit, which reads |0>, contributes.
Amp times_norm(Amp z, double norm_squared) {
  return {z.real() * norm_squared, z.imag() * norm_squared};
}

// i^k for k = ny mod 4.
constexpr double PHASE_RE[4] = {1.0, 0.0, -1.0, 0.0};
constexpr double PHASE_IM[4] = {0.0, 1.0, 0.0, -1.0};

// The Pauli sum of a state with xmask or zmask set: on the caller's thread below the cut-over,
// else one partial per range of the reduction, each from zero in index order.
Amp pauli_sum(bool simd, std::span<const Amp> amps, uint64_t xmask, uint64_t zmask) {
  const size_t n = amps.size();
  if (xmask == 0) {
    if (!par::runs_parallel(n)) return {kernels::pauli_z_sum(simd, amps, zmask, 0, n), 0.0};
    const double sum = par::par_reduce(
        n, 0.0,
        [&](size_t begin, size_t end) {
          return kernels::pauli_z_sum(simd, amps, zmask, begin, end);
        },
        [](double x, double y) { return x + y; });
    return {sum, 0.0};
  }
  if (!par::runs_parallel(n)) return kernels::pauli_xz_sum(simd, amps, xmask, zmask, 0, n);
  return par::par_reduce_xor_pairs(
      n, xmask, Amp(0.0, 0.0),
      [&](size_t begin, size_t end) {
        return kernels::pauli_xz_sum(simd, amps, xmask, zmask, begin, end);
      },
      [&](size_t a, size_t b, size_t len) {
        return kernels::pauli_xz_sum_pair(simd, amps, xmask, zmask, a, b, len);
      },
      [](Amp x, const Amp& y) { return kernels::add_plain(x, y); });
}

}  // namespace

Result<Amp> TavroSV::expectation_1q(const std::array<Amp, 4>& op, size_t q) const {
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  if (!is_allocated(q)) return times_norm(op[0], norm_squared());
  return kernels::expectation_1q_kernel(simd_, amps_.span(), live_slot(*this, q), op);
}

Result<Amp> TavroSV::expectation_2q(const std::array<Amp, 16>& op, size_t q1, size_t q2) const {
  if (q1 >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q1, num_qubits_});
  if (q2 >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q2, num_qubits_});
  if (q1 == q2) return std::unexpected(DuplicateQubits{q1});
  const bool live1 = is_allocated(q1), live2 = is_allocated(q2);
  if (!live1 && !live2) return times_norm(op[0], norm_squared());
  // One untouched qubit reads 0: the 2x2 block of the operator where its local bit is 0.
  if (!live1) {
    return kernels::expectation_1q_kernel(simd_, amps_.span(), live_slot(*this, q2),
                                          {op[0], op[1], op[4], op[5]});
  }
  if (!live2) {
    return kernels::expectation_1q_kernel(simd_, amps_.span(), live_slot(*this, q1),
                                          {op[0], op[2], op[8], op[10]});
  }
  return kernels::expectation_2q_kernel(simd_, amps_.span(), live_slot(*this, q1),
                                        live_slot(*this, q2), op);
}

Result<Amp> TavroSV::expectation_pauli(std::span<const PauliTerm> terms) const {
  uint64_t seen = 0;  // qubits are below num_qubits <= 59 once their range is checked
  for (const PauliTerm& term : terms) {
    if (term.qubit >= num_qubits_) {
      return std::unexpected(QubitIndexOutOfBounds{term.qubit, num_qubits_});
    }
    const uint64_t bit = uint64_t{1} << term.qubit;
    if ((seen & bit) != 0) return std::unexpected(DuplicateQubits{term.qubit});
    seen |= bit;
  }
  uint64_t xmask = 0, zmask = 0;
  size_t ny = 0;
  for (const PauliTerm& term : terms) {
    const Pauli::Code code = term.pauli.code;
    if (code == Pauli::I) continue;
    if (!is_allocated(term.qubit)) {
      // An untouched qubit is |0>: X or Y maps it to an orthogonal state, Z leaves it alone.
      if (code == Pauli::X || code == Pauli::Y) return Amp(0.0, 0.0);
      continue;
    }
    const uint64_t bit = uint64_t{1} << live_slot(*this, term.qubit);
    if (code == Pauli::X || code == Pauli::Y) xmask |= bit;
    if (code == Pauli::Y || code == Pauli::Z) zmask |= bit;
    ny += code == Pauli::Y;
  }
  if (xmask == 0 && zmask == 0) return Amp(norm_squared(), 0.0);
  const Amp sum = pauli_sum(simd_, amps_.span(), xmask, zmask);
  return kernels::mul_plain(Amp(PHASE_RE[ny % 4], PHASE_IM[ny % 4]), sum);
}

}  // namespace tavro
