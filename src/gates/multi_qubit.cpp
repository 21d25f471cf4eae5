// The dense k-qubit and diagonal gate operations of TavroSV: lengths, then every target, then
// the slots in argument order and one kernel call.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "gates/kernels/diagonal.hpp"
#include "gates/kernels/multi_qubit.hpp"
#include "gates/kernels/one_qubit.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "state/sv.hpp"

namespace tavro {

namespace {

using std::to_string;

Error gate_matrix_error(std::string text) { return InvalidGateMatrix{std::move(text)}; }

// Each target in argument order: its range, then whether an earlier one named it. Qubits are
// below 60, so one word records the targets seen.
Status check_targets(std::span<const size_t> targets, uint32_t num_qubits) {
  uint64_t seen = 0;
  for (const size_t q : targets) {
    if (q >= num_qubits) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits});
    if ((seen >> q) & 1) return std::unexpected(DuplicateQubits{q});
    seen |= uint64_t{1} << q;
  }
  return {};
}

}  // namespace

Status TavroSV::apply_gate_kq(std::span<const Amp> gate, std::span<const size_t> targets) {
  const size_t k = targets.size();
  if (k == 0 || k > MAX_GATE_KQ) {
    return std::unexpected(
        gate_matrix_error("apply_gate_kq supports 1..=" + to_string(MAX_GATE_KQ) +
                          " target qubits, got " + to_string(k)));
  }
  const size_t d = size_t{1} << k;
  if (gate.size() != d * d) {
    return std::unexpected(gate_matrix_error(
        "gate for " + to_string(k) + " qubits must be " + to_string(d) + "\u00d7" + to_string(d) +
        " = " + to_string(d * d) + " elements, got " + to_string(gate.size())));
  }
  TAVRO_TRY(check_targets(targets, num_qubits_));
  if (k == 1) return apply_gate_1q({gate[0], gate[1], gate[2], gate[3]}, targets[0]);
  if (k == 2) {
    const auto [s1, s2] = *phys2(targets[0], targets[1]);
    std::array<Amp, 16> m;
    std::copy(gate.begin(), gate.end(), m.begin());
    kernels::apply_2q(simd_, amps(), s1, s2, m);
    return {};
  }
  // Validated: resolve only allocates, in argument order, so earlier targets get lower slots.
  std::array<size_t, MAX_GATE_KQ> slots{};
  for (size_t j = 0; j < k; ++j) slots[j] = *resolve(targets[j]);
  kernels::apply_kq(simd_, amps(), slots, k, gate);
  return {};
}

Status TavroSV::apply_diag_kq(std::span<const Amp> diag, std::span<const size_t> targets) {
  const size_t k = targets.size();
  if (k == 0 || k > MAX_DIAG_KQ) {
    return std::unexpected(
        gate_matrix_error("apply_diag_kq supports 1..=" + to_string(MAX_DIAG_KQ) +
                          " target qubits, got " + to_string(k)));
  }
  const size_t d = size_t{1} << k;
  if (diag.size() != d) {
    return std::unexpected(gate_matrix_error("diagonal for " + to_string(k) + " qubits must have " +
                                             to_string(d) + " entries, got " +
                                             to_string(diag.size())));
  }
  TAVRO_TRY(check_targets(targets, num_qubits_));
  std::array<size_t, MAX_DIAG_KQ> slots{};
  for (size_t j = 0; j < k; ++j) slots[j] = *resolve(targets[j]);
  if (k == 1) {
    kernels::apply_diag_1q(simd_, amps(), slots[0], diag[0], diag[1]);
  } else {
    kernels::apply_diag_kq(amps(), std::span(slots).first(k), diag);
  }
  return {};
}

}  // namespace tavro
