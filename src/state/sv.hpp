#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "aligned_buffer.hpp"
#include "amp.hpp"
#include "error.hpp"
#include "observables/pauli.hpp"
#include "rng.hpp"

namespace tavro {

// Bytes 0..63 map a logical qubit to its slot, bytes 64..127 a slot to its qubit; 255 = none.
using SlotTable = std::array<uint8_t, 128>;
inline constexpr uint8_t NO_SLOT = 255;
// 16 * 2^n bytes must stay below 2^64.
inline constexpr uint32_t MAX_QUBITS = 59;
// The largest target counts of the dense and the diagonal k-qubit gates.
inline constexpr size_t MAX_GATE_KQ = 5;
inline constexpr size_t MAX_DIAG_KQ = 10;

namespace detail {
// InvalidBasisIndex "index {idx} >= 2^{num_qubits}", shared by the physical and logical reads.
Error basis_index_error(size_t idx, uint32_t num_qubits);
// Copies dst.size() amplitudes from src into dst, on all workers when large.
void copy_amps(std::span<Amp> dst, const Amp* src);
}  // namespace detail

// 2^n, or InvalidNumQubits with the addressing text for n of 60 and more.
Result<size_t> amplitudes_for(uint64_t n);

// The state vector: 2^live_qubits interleaved amplitudes in a buffer reserved once at
// 2^num_qubits, plus the slot table of a dynamic state.
class TavroSV {
 public:
  // The all-zero state. InvalidNumQubits, AllocationFailed.
  static Result<TavroSV> zero(uint32_t num_qubits);
  // The all-zero state with no qubit live; qubits are allocated on first touch.
  // InvalidNumQubits, AllocationFailed.
  static Result<TavroSV> zero_dynamic(uint32_t num_qubits);
  // The basis state whose qubit i is bits[i]. InvalidNumQubits, InvalidBasisIndex,
  // AllocationFailed.
  static Result<TavroSV> from_bitstring(std::span<const uint8_t> bits);
  // A copy of `amplitudes`, not normalised. InvalidNumQubits, InvalidStateLength,
  // AllocationFailed.
  static Result<TavroSV> from_amplitudes(uint32_t num_qubits, std::span<const Amp> amplitudes);

  // A deep copy. A dynamic state whose capacity cannot be reserved again is a Fault.
  TavroSV clone() const;
  // Every amplitude of the current buffer to 0, amplitude 0 to 1; slots stay allocated.
  void reset_to_zero();

  // The amplitude at buffer index idx. InvalidBasisIndex.
  Result<Amp> get(size_t idx) const;
  // re*re + im*im of that amplitude. InvalidBasisIndex.
  Result<double> probability(size_t idx) const;
  // The amplitude of logical basis index idx, 0 when it sets an untouched qubit.
  // InvalidBasisIndex.
  Result<Amp> get_logical(size_t idx) const;
  Result<double> probability_logical(size_t idx) const;

  std::span<const Amp> amplitudes() const { return amps_.span(); }
  std::span<Amp> amps() { return amps_.span(); }
  size_t len() const { return amps_.size(); }
  size_t capacity() const { return amps_.capacity(); }
  uint32_t num_qubits() const { return num_qubits_; }
  uint32_t live_qubits() const { return live_qubits_; }
  bool is_dynamic() const { return slots_ != nullptr; }
  bool simd() const { return simd_; }
  const SlotTable* slots() const { return slots_.get(); }

  // Whether qubit q occupies a slot; false out of range, never an error.
  bool is_allocated(size_t q) const;
  // The slot of qubit q, allocating it on a dynamic state. QubitIndexOutOfBounds.
  Result<size_t> resolve(size_t q);
  // The slots of two distinct qubits, checked in argument order before either is allocated.
  // QubitIndexOutOfBounds, DuplicateQubits.
  Result<std::pair<size_t, size_t>> phys2(size_t q1, size_t q2);
  // The slots of validated controls, allocating untouched ones; returns their mask.
  uint64_t map_controls(std::span<const size_t> controls, size_t* out);

  // Sum of re*re + im*im in index order (per piece when parallel); never fails.
  double norm_squared() const;
  // Scales to unit norm when the squared norm is > 0; returns the norm before scaling.
  double normalize();

  // ---- one-qubit gates (gates/one_qubit.cpp) ----
  // Each checks target < num_qubits (the declared count), then resolves its slot, allocating
  // an untouched qubit of a dynamic state, then applies the gate; on error nothing changed.
  // Angles and matrices are applied as given.

  // Hadamard, factor 0x3FE6A09E667F3BCD. QubitIndexOutOfBounds.
  Status apply_h(size_t target);
  // Pauli X: exchanges the pair amplitudes. QubitIndexOutOfBounds.
  Status apply_x(size_t target);
  // Pauli Y: moves and sign flips only. QubitIndexOutOfBounds.
  Status apply_y(size_t target);
  // Pauli Z: negates the amplitudes with the target bit set. QubitIndexOutOfBounds.
  Status apply_z(size_t target);
  // diag(1, i); amplitudes with the target bit clear stay bit-identical. QubitIndexOutOfBounds.
  Status apply_s(size_t target);
  // diag(1, -i), likewise. QubitIndexOutOfBounds.
  Status apply_sdg(size_t target);
  // diag(1, e^(i pi/4)) with the fixed binary64 cosine and sine of pi/4. QubitIndexOutOfBounds.
  Status apply_t(size_t target);
  // diag(1, e^(-i pi/4)), likewise. QubitIndexOutOfBounds.
  Status apply_tdg(size_t target);
  // 1/2 [[1 + i, 1 - i], [1 - i, 1 + i]] through the dense kernel. QubitIndexOutOfBounds.
  Status apply_sx(size_t target);
  // diag(1, e^(i lambda)). QubitIndexOutOfBounds.
  Status apply_p(double lambda, size_t target);
  // [[c, -i s], [-i s, c]], c and s of theta/2. QubitIndexOutOfBounds.
  Status apply_rx(double theta, size_t target);
  // [[c, -s], [s, c]], c and s of theta/2. QubitIndexOutOfBounds.
  Status apply_ry(double theta, size_t target);
  // diag(e^(-i lmbda/2), e^(i lmbda/2)). QubitIndexOutOfBounds.
  Status apply_rz(double lmbda, size_t target);
  // [[c, -e^(i lmbda) s], [e^(i phi) s, e^(i(phi + lmbda)) c]], no global phase.
  // QubitIndexOutOfBounds.
  Status apply_u(double theta, double phi, double lmbda, size_t target);
  // The column-major matrix [U00, U10, U01, U11], neither unitarity nor finiteness checked.
  // QubitIndexOutOfBounds.
  Status apply_gate_1q(const std::array<Amp, 4>& gate, size_t target);
  // ---- end of one-qubit gates ----

  // ---- two-qubit gates (gates/two_qubit.cpp) ----
  // Each passes its two qubits to phys2 in argument order (range of the first, range of the
  // second, then equality; on a dynamic state the first untouched one gets a slot first), then
  // applies the gate; on error nothing changed. In the local basis (bit of the first qubit << 1)
  // | bit of the second; angles and matrices are applied as given. c and s are the cosine and
  // sine of half the angle, from one ::sincos of angle * 0.5.

  // Exchanges two distinct live slots of the buffer, amplitudes only (the slot table is the
  // caller's); never fails.
  Status apply_swap_slots(size_t a, size_t b);
  // X on target where control is 1. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_cx(size_t control, size_t target);
  // Y on target where control is 1. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_cy(size_t control, size_t target);
  // diag(1, 1, 1, -1). QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_cz(size_t q1, size_t q2);
  // diag(1, 1, 1, e^(i lmbda)), the full angle. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_cp(double lmbda, size_t q1, size_t q2);
  // [[c, -i s], [-i s, c]] on target where control is 1. QubitIndexOutOfBounds,
  // DuplicateQubits.
  Status apply_crx(double theta, size_t control, size_t target);
  // [[c, -s], [s, c]] on target where control is 1. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_cry(double theta, size_t control, size_t target);
  // diag(c - i s, c + i s) on target where control is 1. QubitIndexOutOfBounds,
  // DuplicateQubits.
  Status apply_crz(double lmbda, size_t control, size_t target);
  // Exchanges the two qubits' amplitudes (the slot table stays). QubitIndexOutOfBounds,
  // DuplicateQubits.
  Status apply_swap(size_t q1, size_t q2);
  // |01> -> i |10>, |10> -> i |01>. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_iswap(size_t q1, size_t q2);
  // c I - i s (X x X), through the dense 4x4 kernel. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_rxx(double theta, size_t q1, size_t q2);
  // c I - i s (Y x Y), through the dense 4x4 kernel. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_ryy(double theta, size_t q1, size_t q2);
  // diag(c - i s, c + i s, c + i s, c - i s). QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_rzz(double theta, size_t q1, size_t q2);
  // gate (entry r + 4c = row r, column c), q1 the most significant local bit; unitarity not
  // checked. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_gate_2q(const std::array<Amp, 16>& gate, size_t q1, size_t q2);
  // ---- end of two-qubit gates ----

  // ---- measurement and sampling (sample/measure.cpp, sample/born.cpp, state/dynamic.cpp) ----
  // A qubit is checked against num_qubits before anything else; none of these allocates a
  // slot, and an untouched qubit of a dynamic state reads as |0>. Measure, reset and free
  // advance the generator exactly once after the range check (a step for an untouched
  // qubit); on error the state is unchanged.

  // The raw sum of |a|^2 over the amplitudes whose qubit q is 0 (1.0 for an untouched
  // qubit), never divided by the norm. QubitIndexOutOfBounds.
  Result<double> prob_zero(size_t q) const;
  // Measures qubit q with one draw and collapses it. QubitIndexOutOfBounds; InvalidBasisIndex
  // when the drawn outcome's sum is at most 1e-300 (after the draw).
  Result<uint8_t> measure_qubit(size_t q, Xoshiro256PlusPlus& rng);
  // Measures qubit q, then flips it back to |0> when the outcome was 1; returns the outcome.
  // QubitIndexOutOfBounds, InvalidBasisIndex.
  Result<uint8_t> reset_qubit(size_t q, Xoshiro256PlusPlus& rng);
  // Resets qubit q and, on a dynamic state, releases its slot and halves the buffer (exactly
  // reset_qubit on a static state); returns the outcome. QubitIndexOutOfBounds,
  // InvalidBasisIndex.
  Result<uint8_t> free_qubit(size_t q, Xoshiro256PlusPlus& rng);
  // nshots rows of num_qubits bytes (byte q = bit of logical qubit q) drawn from the
  // normalised Born distribution without collapse; nshots draws, none on error.
  // DegenerateState (squared norm not finite or below 1e-300); AllocationFailed when the
  // uniforms or the output cannot be reserved.
  Result<std::vector<uint8_t>> sample(size_t nshots, Xoshiro256PlusPlus& rng) const;
  // Exactly sample(1, rng). DegenerateState, AllocationFailed.
  Result<std::vector<uint8_t>> sample_bitstring(Xoshiro256PlusPlus& rng) const;
  // ---- end of measurement and sampling ----

  // ---- dense k-qubit and diagonal gates (gates/multi_qubit.cpp) ----
  // The targets are checked in argument order (range, then repetition) after the lengths and
  // before any slot is allocated; on a dynamic state untouched targets then get slots in
  // argument order. targets[0] is the most significant bit of the local index.

  // The dense column-major matrix `gate` (4^k entries, k = targets.size() from 1 to
  // MAX_GATE_KQ); unitarity not checked. InvalidGateMatrix, QubitIndexOutOfBounds,
  // DuplicateQubits.
  Status apply_gate_kq(std::span<const Amp> gate, std::span<const size_t> targets);
  // The diagonal gate with entries `diag` (2^k of them, k from 1 to MAX_DIAG_KQ); every
  // amplitude is multiplied, also by an entry of 1 (but for k = 1, whose bit-0 half stays
  // untouched when diag[0] is exactly 1). InvalidGateMatrix, QubitIndexOutOfBounds,
  // DuplicateQubits.
  Status apply_diag_kq(std::span<const Amp> diag, std::span<const size_t> targets);
  // ---- end of dense k-qubit and diagonal gates ----

  // ---- multi-controlled gates (gates/multi_control.cpp) ----
  // The controls are checked first, each fully in list order (range, equality with a target,
  // repetition), then the targets; untouched targets get slots before untouched controls.
  // An empty control list is the uncontrolled gate with its own checks.

  // X on target where every control is 1. QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_mcx(std::span<const size_t> controls, size_t target);
  // The column-major 2x2 `gate` on target where every control is 1. QubitIndexOutOfBounds,
  // DuplicateQubits.
  Status apply_controlled_gate_1q(const std::array<Amp, 4>& gate, std::span<const size_t> controls,
                                  size_t target);
  // The 4x4 `gate` (q1 the most significant local bit) where every control is 1.
  // QubitIndexOutOfBounds, DuplicateQubits.
  Status apply_controlled_gate_2q(const std::array<Amp, 16>& gate, std::span<const size_t> controls,
                                  size_t q1, size_t q2);
  // ---- end of multi-controlled gates ----

  // ---- expectation values (observables/expectation.cpp) ----
  // Raw sums <psi|O|psi>, never divided by the squared norm; nothing is allocated or changed.

  // The column-major 2x2 operator on qubit q. QubitIndexOutOfBounds.
  Result<Amp> expectation_1q(const std::array<Amp, 4>& op, size_t q) const;
  // The 4x4 operator on (q1, q2), q1 the most significant local bit. QubitIndexOutOfBounds,
  // DuplicateQubits.
  Result<Amp> expectation_2q(const std::array<Amp, 16>& op, size_t q1, size_t q2) const;
  // The product of the terms' Pauli letters. QubitIndexOutOfBounds, DuplicateQubits.
  Result<Amp> expectation_pauli(std::span<const PauliTerm> terms) const;
  // ---- end of expectation values ----

  // ---- noise channels (channels/kraus.cpp, channels/mixed_unitary.cpp) ----
  // Each picks one operator with at most one draw (none on any validation error, none when
  // the weights sum to zero or less), applies it and returns its index.

  // Kraus operators (4 entries each) on qubit q, chosen by weight ||K psi||^2; the state is
  // renormalised when that weight is positive. The qubit is allocated before the list is
  // checked. QubitIndexOutOfBounds, InvalidGateMatrix, AllocationFailed (the weights of more
  // than 8 operators cannot be held; before any draw).
  Result<size_t> apply_kraus_1q(std::span<const Amp> ops, size_t q, Xoshiro256PlusPlus& rng);
  // Kraus operators (16 entries each) on (q1, q2), likewise, weighed one after another on a
  // single scratch copy of the amplitudes. QubitIndexOutOfBounds, DuplicateQubits,
  // InvalidGateMatrix, AllocationFailed (no scratch copy: amplitudes and generator untouched).
  Result<size_t> apply_kraus_2q(std::span<const Amp> ops, size_t q1, size_t q2,
                                Xoshiro256PlusPlus& rng);
  // One of `unitaries` (4 entries each), chosen by the caller's `probs`, applied as a gate on
  // qubit q; allocation only after the draw. QubitIndexOutOfBounds, InvalidGateMatrix.
  Result<size_t> apply_mixed_unitary_1q(std::span<const Amp> unitaries,
                                        std::span<const double> probs, size_t q,
                                        Xoshiro256PlusPlus& rng);
  // Likewise with 16 entries each on (q1, q2). QubitIndexOutOfBounds, DuplicateQubits,
  // InvalidGateMatrix.
  Result<size_t> apply_mixed_unitary_2q(std::span<const Amp> unitaries,
                                        std::span<const double> probs, size_t q1, size_t q2,
                                        Xoshiro256PlusPlus& rng);
  // ---- end of noise channels ----

 private:
  TavroSV(AmpBuffer amps, std::unique_ptr<SlotTable> slots, uint32_t num_qubits,
          uint32_t live_qubits);
  // Gives an untouched qubit the next slot and doubles the buffer with zeros.
  size_t allocate(size_t q);

  AmpBuffer amps_;
  std::unique_ptr<SlotTable> slots_;
  uint32_t num_qubits_ = 0;
  uint32_t live_qubits_ = 0;
  bool simd_ = false;
};

}  // namespace tavro
