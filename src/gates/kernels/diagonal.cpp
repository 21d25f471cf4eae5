// The diagonal kernel: groups of 8 consecutive amplitudes over the indexed walk, a portable body
// and a Highway body per target. Both form the plain product only (no fused multiply-add on any
// target), so every target gives the same bits and the kernel needs no vector flag.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gates/kernels/diagonal.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gates/kernels/complex.hpp"
#include "gates/kernels/diagonal.hpp"
#include "par/reduce.hpp"

// ---- portable body (compiled once, at baseline) ----
#ifndef TAVRO_GATES_KERNELS_DIAGONAL_PORTABLE_
#define TAVRO_GATES_KERNELS_DIAGONAL_PORTABLE_
namespace tavro::kernels::detail::diagonal {

// Amplitudes per group: a target on slot 3 or above has one bit value across an aligned group.
constexpr size_t GROUP = 8;

// The tables of one call, on the caller's stack. lowmask[p] holds the entry-index bits of the
// low targets (slots 0 to 2) at position p of a group; a high target (slot >= 3) gives its slot
// bit to the entry index at bit k-1-j.
struct DiagTables {
  std::array<size_t, GROUP> lowmask{};
  struct High {
    size_t slot;
    size_t bit;
  };
  std::array<High, 10> high{};  // at most MAX_DIAG_KQ targets
  size_t n_high = 0;
  // flips[c]: the index bits of the high targets on slots 3 to c. From one group to the next,
  // g + 8 flips the bits 3 to c of g, c = 3 + the number of trailing ones of g >> 3.
  std::array<size_t, 64> flips{};

  // Slots (1, 4) (k = 2): lowmask = {0, 0, 2, 2, 0, 0, 2, 2}, high = {(4, 0)}, flips[c] = 1
  // from c = 4 on.
  explicit DiagTables(std::span<const size_t> slots) {
    const size_t k = slots.size();
    std::array<size_t, 64> bit_of_slot{};
    for (size_t j = 0; j < k; ++j) {
      const size_t bit = k - 1 - j;
      if (slots[j] >= 3) {
        high[n_high++] = {slots[j], bit};
        bit_of_slot[slots[j]] = size_t{1} << bit;
        continue;
      }
      for (size_t p = 0; p < GROUP; ++p) lowmask[p] |= ((p >> slots[j]) & 1) << bit;
    }
    size_t acc = 0;
    for (size_t c = 3; c < 64; ++c) flips[c] = acc ^= bit_of_slot[c];
  }

  // The index bits of the high targets for the group whose first amplitude has global index g.
  size_t high_bits(size_t g) const {
    size_t hi = 0;
    for (size_t h = 0; h < n_high; ++h) hi |= ((g >> high[h].slot) & 1) << high[h].bit;
    return hi;
  }
  // high_bits(g + 8) from hi = high_bits(g), g a multiple of 8.
  size_t next_high(size_t g, size_t hi) const { return hi ^ flips[3 + std::countr_one(g >> 3)]; }
};

// One piece whose first amplitude has global index `offset` (a multiple of 8): whole groups,
// the last one shorter when the piece is shorter than a group.
inline void diag_portable(size_t offset, Amp* __restrict a, size_t n, const DiagTables& t,
                          const Amp* __restrict diag) {
  size_t hi = t.high_bits(offset);
  size_t e = 0;
  for (; e + GROUP <= n; e += GROUP) {
    for (size_t p = 0; p < GROUP; ++p) a[e + p] = mul_plain(diag[t.lowmask[p] | hi], a[e + p]);
    hi = t.next_high(offset + e, hi);
  }
  for (size_t p = 0; e + p < n; ++p) a[e + p] = mul_plain(diag[t.lowmask[p] | hi], a[e + p]);
}

}  // namespace tavro::kernels::detail::diagonal
#endif  // TAVRO_GATES_KERNELS_DIAGONAL_PORTABLE_

#include "gates/kernels/complex-inl.h"

// ---- vector body, one copy per target ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
namespace dg = detail::diagonal;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold an amplitude: the portable body serves.
void DiagPiece(size_t offset, Amp* a, size_t n, const dg::DiagTables& t, const Amp* diag) {
  dg::diag_portable(offset, a, n, t, diag);
}

#else  // HWY_TARGET != HWY_SCALAR

// No scalar complex arithmetic here: on targets with FMA, GCC 12's SLP vectorizer turns a scalar
// a*b - c*d into vfmaddsub despite -ffp-contract=off. Every product is MulPlain's, lane for lane
// mul_plain(entry, amplitude).

inline double* Doubles(Amp* a) { return reinterpret_cast<double*>(a); }
inline const double* Doubles(const Amp* a) { return reinterpret_cast<const double*>(a); }

// The entries of the amplitudes at group positions low[0 .. per) for the high bits hi, as
// interleaved (re, im) lanes.
template <class D>
HWY_INLINE hn::Vec<D> Entries(D d, const Amp* diag, const size_t* low, size_t hi) {
  const hn::Full128<double> d1;
  const auto at = [&](size_t q) { return hn::LoadU(d1, Doubles(diag + (low[q] | hi))); };
  if constexpr (hn::MaxLanes(d) == 2) {
    return at(0);
  } else if constexpr (hn::MaxLanes(d) == 4) {
    return hn::Combine(d, at(1), at(0));
  } else {
    static_assert(hn::MaxLanes(d) == 8);
    const hn::Half<D> dh;
    return hn::Combine(d, hn::Combine(dh, at(3), at(2)), hn::Combine(dh, at(1), at(0)));
  }
}

// A group's factors are rebuilt only where its high bits were not those of one of the last two
// factor sets built: with the lowest high target on slot 3 they alternate from group to group.
void DiagPiece(size_t offset, Amp* a, size_t n, const dg::DiagTables& t, const Amp* diag) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  constexpr size_t kPer = hn::MaxLanes(d) / 2;  // amplitudes per vector
  constexpr size_t kVecs = dg::GROUP / kPer;
  V re[2][kVecs], im[2][kVecs];
  size_t key[2] = {~size_t{0}, ~size_t{0}};
  size_t set = 0;
  size_t hi = t.high_bits(offset);
  size_t e = 0;
  for (; e + dg::GROUP <= n; e += dg::GROUP) {
    if (hi != key[set] && hi != key[set ^= 1]) {
      for (size_t v = 0; v < kVecs; ++v) {
        const V entries = Entries(d, diag, t.lowmask.data() + v * kPer, hi);
        re[set][v] = hn::DupEven(entries);
        im[set][v] = hn::DupOdd(entries);
      }
      key[set] = hi;
    }
    for (size_t v = 0; v < kVecs; ++v) {
      double* q = Doubles(a + e + v * kPer);
      hn::StoreU(MulPlain(d, re[set][v], im[set][v], hn::LoadU(d, q)), d, q);
    }
    hi = t.next_high(offset + e, hi);
  }
  // A piece shorter than a group (a buffer of 4 amplitudes): one amplitude per vector.
  const hn::Full128<double> d1;
  for (size_t p = 0; e + p < n; ++p) {
    const auto entry = hn::LoadU(d1, Doubles(diag + (t.lowmask[p] | hi)));
    double* q = Doubles(a + e + p);
    hn::StoreU(MulPlain(d1, hn::DupEven(entry), hn::DupOdd(entry), hn::LoadU(d1, q)), d1, q);
  }
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(DiagPiece);

void apply_diag_kq(std::span<Amp> amps, std::span<const size_t> slots, std::span<const Amp> diag) {
  const detail::diagonal::DiagTables tables(slots);
  const Amp* d = diag.data();
  par::par_walk_indexed(amps, [&](size_t offset, std::span<Amp> piece) {
    HWY_DYNAMIC_DISPATCH(DiagPiece)(offset, piece.data(), piece.size(), tables, d);
  });
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
