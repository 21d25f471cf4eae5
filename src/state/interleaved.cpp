// Construction, copying, reset and reads by physical index of the state vector.
#include <algorithm>
#include <cstring>
#include <string>

#include "gates/kernels/simd.hpp"
#include "par/reduce.hpp"
#include "state/sv.hpp"
#include "stream_store.hpp"

namespace tavro {
namespace {

using std::to_string;

// Whether a run of this many bytes is written with streaming stores: a run larger than the
// last-level cache will not be in it when next read, so reading its old lines in (a reused
// buffer's contents) is wasted.
bool streamed(size_t bytes) { return bytes >= last_level_cache_bytes(); }

// Zeroes a run of amplitudes, on all workers when it is large.
void fill_zero(std::span<Amp> a) {
  par::par_walk_indexed(a, [stream = streamed(a.size_bytes())](size_t, std::span<Amp> piece) {
    if (!stream) {
      std::memset(static_cast<void*>(piece.data()), 0, piece.size_bytes());
      return;
    }
    stream_zero(piece.data(), piece.size());
    stream_fence();
  });
}

// Reserves 2^n amplitudes at full length, all zero.
Result<AmpBuffer> reserve_zeroed(size_t amplitudes) {
  AmpBuffer b = AmpBuffer::reserve(amplitudes);
  if (!b.ok()) return std::unexpected(AllocationFailed{amplitudes});
  b.set_size(amplitudes);
  if (!b.zeroed()) fill_zero(b.span());
  return b;
}

}  // namespace

void detail::copy_amps(std::span<Amp> dst, const Amp* src) {
  par::par_walk_indexed(
      dst, [src, stream = streamed(dst.size_bytes())](size_t offset, std::span<Amp> piece) {
        if (!stream) {
          std::memcpy(static_cast<void*>(piece.data()), src + offset, piece.size_bytes());
          return;
        }
        stream_copy(piece.data(), src + offset, piece.size());
        stream_fence();
      });
}

Error detail::basis_index_error(size_t idx, uint32_t num_qubits) {
  return InvalidBasisIndex{"index " + to_string(idx) + " >= 2^" + to_string(num_qubits)};
}

Result<size_t> amplitudes_for(uint64_t n) {
  if (n > MAX_QUBITS) {
    return std::unexpected(InvalidNumQubits{to_string(n) + " qubits: 2^" + to_string(n) +
                                            " amplitudes of 16 bytes each cannot be addressed "
                                            "on a 64-bit host"});
  }
  return size_t{1} << n;
}

TavroSV::TavroSV(AmpBuffer amps, std::unique_ptr<SlotTable> slots, uint32_t num_qubits,
                 uint32_t live_qubits)
    : amps_(std::move(amps)),
      slots_(std::move(slots)),
      num_qubits_(num_qubits),
      live_qubits_(live_qubits),
      simd_(kernels::simd_available()) {}

Result<TavroSV> TavroSV::zero(uint32_t num_qubits) {
  auto count = amplitudes_for(num_qubits);
  if (!count) return std::unexpected(count.error());
  auto amps = reserve_zeroed(*count);
  if (!amps) return std::unexpected(amps.error());
  amps->data()[0] = Amp(1.0, 0.0);
  return TavroSV(std::move(*amps), nullptr, num_qubits, num_qubits);
}

Result<TavroSV> TavroSV::zero_dynamic(uint32_t num_qubits) {
  auto count = amplitudes_for(num_qubits);
  if (!count) return std::unexpected(count.error());
  AmpBuffer amps = AmpBuffer::reserve(*count);
  if (!amps.ok()) return std::unexpected(AllocationFailed{*count});
  amps.set_size(1);
  amps.data()[0] = Amp(1.0, 0.0);
  auto slots = std::make_unique<SlotTable>();
  slots->fill(NO_SLOT);
  return TavroSV(std::move(amps), std::move(slots), num_qubits, 0);
}

Result<TavroSV> TavroSV::from_bitstring(std::span<const uint8_t> bits) {
  if (bits.size() > UINT32_MAX) {
    return std::unexpected(InvalidNumQubits{"bitstring too long (" + to_string(bits.size()) + ")"});
  }
  const auto n = static_cast<uint32_t>(bits.size());
  auto count = amplitudes_for(n);
  if (!count) return std::unexpected(count.error());
  size_t index = 0;
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] > 1) {
      return std::unexpected(InvalidBasisIndex{"bitstring entries must be 0 or 1, got " +
                                               to_string(bits[i]) + " at qubit " + to_string(i)});
    }
    index |= size_t{bits[i]} << i;
  }
  auto amps = reserve_zeroed(*count);
  if (!amps) return std::unexpected(amps.error());
  amps->data()[index] = Amp(1.0, 0.0);
  return TavroSV(std::move(*amps), nullptr, n, n);
}

Result<TavroSV> TavroSV::from_amplitudes(uint32_t num_qubits, std::span<const Amp> amplitudes) {
  auto count = amplitudes_for(num_qubits);
  if (!count) return std::unexpected(count.error());
  if (amplitudes.size() != *count) {
    return std::unexpected(InvalidStateLength{*count, amplitudes.size()});
  }
  AmpBuffer amps = AmpBuffer::reserve(*count);
  if (!amps.ok()) return std::unexpected(AllocationFailed{*count});
  amps.set_size(*count);
  detail::copy_amps(amps.span(), amplitudes.data());
  return TavroSV(std::move(amps), nullptr, num_qubits, num_qubits);
}

TavroSV TavroSV::clone() const {
  // A static copy holds exactly its length; a dynamic one its full capacity again.
  const size_t capacity = is_dynamic() ? size_t{1} << num_qubits_ : len();
  AmpBuffer amps = AmpBuffer::reserve(capacity);
  if (!amps.ok()) {
    const Error e = AllocationFailed{capacity};
    throw Fault((is_dynamic() ? "cloning a dynamic state re-reserves what it already held: "
                              : "cloning a static state reserves what the source holds: ") +
                e.debug());
  }
  amps.set_size(len());
  detail::copy_amps(amps.span(), amps_.data());
  std::unique_ptr<SlotTable> slots;
  if (slots_) slots = std::make_unique<SlotTable>(*slots_);
  TavroSV copy(std::move(amps), std::move(slots), num_qubits_, live_qubits_);
  copy.simd_ = simd_;
  return copy;
}

void TavroSV::reset_to_zero() {
  fill_zero(amps_.span());
  amps_.data()[0] = Amp(1.0, 0.0);
}

Result<Amp> TavroSV::get(size_t idx) const {
  if (idx >= len()) return std::unexpected(detail::basis_index_error(idx, num_qubits_));
  return amps_.data()[idx];
}

Result<double> TavroSV::probability(size_t idx) const {
  if (idx >= len()) return std::unexpected(detail::basis_index_error(idx, num_qubits_));
  const Amp a = amps_.data()[idx];
  const double re2 = a.real() * a.real();
  const double im2 = a.imag() * a.imag();
  return re2 + im2;
}

}  // namespace tavro
