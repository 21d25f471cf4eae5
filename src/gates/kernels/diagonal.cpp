// The diagonal kernel: groups of 8 consecutive amplitudes over the indexed walk.
//
// One portable body, compiled at baseline x86-64: the products may be vectorised there (SSE2
// has no fused multiply-add), so every amplitude gets the plain product's bits. It is not a
// Highway file on purpose: in per-target code with FMA, GCC contracts scalar complex products.
#include "gates/kernels/diagonal.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gates/kernels/complex.hpp"
#include "par/reduce.hpp"

namespace tavro::kernels {

namespace {

// Amplitudes per group: a target on slot 3 or above has one bit value across an aligned group.
constexpr size_t GROUP = 8;

// The tables of one call, on the caller's stack. A high target (slot >= 3) contributes its slot
// bit to the entry index at `bit`; the low targets (slots 0 to 2) are folded into lowmask, the
// index bits of position p within a group.
struct DiagTables {
  struct High {
    size_t slot;
    size_t bit;
  };
  std::array<High, 10> high;  // at most MAX_DIAG_KQ targets
  size_t n_high = 0;
  std::array<size_t, GROUP> lowmask{};

  // Slots (1, 4) (k = 2): high = {(4, 0)}; lowmask = {0, 0, 2, 2, 0, 0, 2, 2}.
  explicit DiagTables(std::span<const size_t> slots) {
    const size_t k = slots.size();
    for (size_t j = 0; j < k; ++j) {
      const size_t bit = k - 1 - j;
      if (slots[j] >= 3) {
        high[n_high++] = {slots[j], bit};
        continue;
      }
      for (size_t p = 0; p < GROUP; ++p) lowmask[p] |= ((p >> slots[j]) & 1) << bit;
    }
  }

  // The index bits of the high targets for the group whose first amplitude has global index g.
  size_t high_bits(size_t g) const {
    size_t hi = 0;
    for (size_t h = 0; h < n_high; ++h) hi |= ((g >> high[h].slot) & 1) << high[h].bit;
    return hi;
  }
};

// One piece whose first amplitude has global index `offset` (a multiple of 8): whole groups,
// the last one shorter when the piece is.
void diag_piece(size_t offset, std::span<Amp> piece, const DiagTables& t,
                const Amp* __restrict diag) {
  Amp* __restrict a = piece.data();
  const size_t n = piece.size();
  size_t e = 0;
  for (; e + GROUP <= n; e += GROUP) {
    const size_t hi = t.high_bits(offset + e);
    for (size_t p = 0; p < GROUP; ++p) a[e + p] = mul_plain(diag[t.lowmask[p] | hi], a[e + p]);
  }
  if (e == n) return;
  const size_t hi = t.high_bits(offset + e);
  for (size_t p = 0; e + p < n; ++p) a[e + p] = mul_plain(diag[t.lowmask[p] | hi], a[e + p]);
}

}  // namespace

void apply_diag_kq(std::span<Amp> amps, std::span<const size_t> slots, std::span<const Amp> diag) {
  const DiagTables tables(slots);
  const Amp* d = diag.data();
  par::par_walk_indexed(
      amps, [&](size_t offset, std::span<Amp> piece) { diag_piece(offset, piece, tables, d); });
}

}  // namespace tavro::kernels
