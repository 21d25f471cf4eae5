// Logical qubits and physical slots: allocation on first touch and resolution.
#include <algorithm>
#include <bit>
#include <cstring>

#include "gates/kernels/one_qubit.hpp"
#include "par/reduce.hpp"
#include "rng.hpp"
#include "sample/measure.hpp"
#include "state/sv.hpp"

namespace tavro {

size_t TavroSV::allocate(size_t q) {
  if (!slots_) throw Fault("allocate called in static mode");
  const size_t slot = live_qubits_;
  const size_t old_len = len();
  amps_.set_size(old_len * 2);
  // The new qubit is the top slot and reads |0>: old amplitudes keep their index.
  par::par_walk_indexed(amps_.span().subspan(old_len), [](size_t, std::span<Amp> piece) {
    std::memset(static_cast<void*>(piece.data()), 0, piece.size_bytes());
  });
  live_qubits_ += 1;
  (*slots_)[q] = static_cast<uint8_t>(slot);
  (*slots_)[64 + slot] = static_cast<uint8_t>(q);
  return slot;
}

bool TavroSV::is_allocated(size_t q) const {
  if (q >= num_qubits_) return false;
  return !slots_ || (*slots_)[q] != NO_SLOT;
}

Result<size_t> TavroSV::resolve(size_t q) {
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  if (!slots_) return q;
  const uint8_t slot = (*slots_)[q];
  return slot != NO_SLOT ? size_t{slot} : allocate(q);
}

Result<std::pair<size_t, size_t>> TavroSV::phys2(size_t q1, size_t q2) {
  if (q1 >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q1, num_qubits_});
  if (q2 >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q2, num_qubits_});
  if (q1 == q2) return std::unexpected(DuplicateQubits{q1});
  const size_t s1 = *resolve(q1);
  const size_t s2 = *resolve(q2);
  return std::pair{s1, s2};
}

uint64_t TavroSV::map_controls(std::span<const size_t> controls, size_t* out) {
  uint64_t mask = 0;
  const size_t count = std::min<size_t>(controls.size(), 64);
  for (size_t i = 0; i < count; ++i) {
    auto slot = resolve(controls[i]);
    if (!slot) throw Fault("controls were validated by check_controls: " + slot.error().debug());
    out[i] = *slot;
    mask |= uint64_t{1} << *slot;
  }
  return mask;
}

Result<Amp> TavroSV::get_logical(size_t idx) const {
  if (num_qubits_ < 64 && (idx >> num_qubits_) != 0) {
    return std::unexpected(detail::basis_index_error(idx, num_qubits_));
  }
  if (!slots_) return amps_.data()[idx];
  size_t p = 0;
  // k = 0b101 with qubit 0 in slot 1 and qubit 2 in slot 0 -> physical 0b011.
  for (size_t rest = idx; rest != 0; rest &= rest - 1) {
    const uint8_t slot = (*slots_)[std::countr_zero(rest)];
    if (slot == NO_SLOT) return Amp(0.0, 0.0);
    p |= size_t{1} << slot;
  }
  return amps_.data()[p];
}

Result<double> TavroSV::probability_logical(size_t idx) const {
  auto a = get_logical(idx);
  if (!a) return std::unexpected(a.error());
  const double re2 = a->real() * a->real();
  const double im2 = a->imag() * a->imag();
  return re2 + im2;
}

}  // namespace tavro

// ---- release of a dynamic qubit ----

namespace tavro {

Result<uint8_t> TavroSV::free_qubit(size_t q, Xoshiro256PlusPlus& rng) {
  if (!slots_) return reset_qubit(q, rng);
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  SlotTable& table = *slots_;
  const uint8_t p = table[q];
  if (p == NO_SLOT) {
    rng.next_u64();  // one step, as a live release draws once
    return uint8_t{0};
  }
  // A refused projection changed nothing: the state is returned as it was.
  auto outcome = measure_slot(amps_.span(), p, rng);
  if (!outcome) return outcome;
  if (*outcome == 1) kernels::apply_x_kernel(amps_.span(), p);
  // Move q to the top slot so the live slots stay 0..live-1; the top half is then all zero.
  // Qubit q in slot 0, qubit 1 in top slot 1: after the exchange qubit 1 -> slot 0, q -> 1.
  const size_t top = live_qubits_ - 1;
  if (p != top) {
    (void)apply_swap_slots(p, top);  // never fails
    std::swap(table[64 + p], table[64 + top]);
    for (const size_t slot : {size_t{p}, top}) {
      const uint8_t owner = table[64 + slot];
      if (owner != NO_SLOT) table[owner] = static_cast<uint8_t>(slot);
    }
  }
  amps_.set_size(std::min(len(), size_t{1} << top));
  live_qubits_ -= 1;
  table[q] = NO_SLOT;
  table[64 + top] = NO_SLOT;
  return outcome;
}

}  // namespace tavro
