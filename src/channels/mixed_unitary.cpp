// Mixed-unitary channels: one unitary picked by the caller's probabilities, applied as a gate.
#include <array>
#include <span>
#include <string>

#include "channels/select.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

// unitaries holds `entries` entries per probability, and there is at least one.
Status check_lengths(const char* name, std::span<const Amp> unitaries,
                     std::span<const double> probs, size_t entries) {
  // Compared by division: entries * len(probs) cannot wrap here.
  if (probs.empty() || unitaries.size() % entries != 0 ||
      unitaries.size() / entries != probs.size()) {
    const std::string e = std::to_string(entries);
    return std::unexpected(InvalidGateMatrix{std::string(name) + ": unitaries length must be " + e +
                                             " \u00d7 len(probs) (" + std::to_string(probs.size()) +
                                             " \u00d7 " + e + " = " +
                                             std::to_string(probs.size() * entries) + ", got " +
                                             std::to_string(unitaries.size()) + ")"});
  }
  return {};
}

}  // namespace

Result<size_t> TavroSV::apply_mixed_unitary_1q(std::span<const Amp> unitaries,
                                               std::span<const double> probs, size_t q,
                                               Xoshiro256PlusPlus& rng) {
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  TAVRO_TRY(check_lengths("mixed_unitary_1q", unitaries, probs, 4));
  const size_t k = channels::select_index(probs, rng);
  // Only now, after the draw, may an untouched qubit get its slot.
  TAVRO_TRY(apply_gate_1q(channels::operator_at<4>(unitaries, k), q));
  return k;
}

Result<size_t> TavroSV::apply_mixed_unitary_2q(std::span<const Amp> unitaries,
                                               std::span<const double> probs, size_t q1, size_t q2,
                                               Xoshiro256PlusPlus& rng) {
  // phys2's checks, without its allocation: that waits for the draw.
  if (q1 >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q1, num_qubits_});
  if (q2 >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q2, num_qubits_});
  if (q1 == q2) return std::unexpected(DuplicateQubits{q1});
  TAVRO_TRY(check_lengths("mixed_unitary_2q", unitaries, probs, 16));
  const size_t k = channels::select_index(probs, rng);
  TAVRO_TRY(apply_gate_2q(channels::operator_at<16>(unitaries, k), q1, q2));
  return k;
}

}  // namespace tavro
