#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "aligned_buffer.hpp"
#include "amp.hpp"
#include "error.hpp"

namespace tavro {

// Bytes 0..63 map a logical qubit to its slot, bytes 64..127 a slot to its qubit; 255 = none.
using SlotTable = std::array<uint8_t, 128>;
inline constexpr uint8_t NO_SLOT = 255;
// 16 * 2^n bytes must stay below 2^64.
inline constexpr uint32_t MAX_QUBITS = 59;

namespace detail {
// InvalidBasisIndex "index {idx} >= 2^{num_qubits}", shared by the physical and logical reads.
Error basis_index_error(size_t idx, uint32_t num_qubits);
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
