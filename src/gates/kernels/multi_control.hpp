#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "amp.hpp"
#include "gates/kernels/runner.hpp"

// Multi-controlled amplitude kernels on a raw interleaved buffer. A kernel validates nothing and
// cannot fail: `amps` is the whole buffer (2^live_qubits amplitudes), `ctrl` the nonzero mask of
// the control slots and the target slots live, distinct and outside `ctrl`.
//
// The walk visits, in increasing order, exactly the base indices whose control bits are all 1
// and whose target bits are 0, in runs of `run` = 2^(lowest involved slot) consecutive indices;
// nothing else is read or written. Arithmetic is always the plain form (every real product
// rounded on its own), whatever the slots and the `simd` flag; `simd` picks the vector bodies,
// which move runs of two or more amplitudes as vectors and give the same bits.

namespace tavro::kernels {

// ---- kernels ----

// X on slot `target` where every control bit is 1: exchanges amplitudes i and i + 2^target.
void apply_mcx_general_kernel(bool simd, std::span<Amp> amps, uint64_t ctrl, size_t target);
// The 2x2 matrix m = [U00, U10, U01, U11] (column-major) on slot `target` where every control bit
// is 1: (x, y) -> (U00 x + U01 y, U10 x + U11 y), each output the plain sum of two products.
void apply_mctrl_2x2_general_kernel(bool simd, std::span<Amp> amps, uint64_t ctrl, size_t target,
                                    const std::array<Amp, 4>& m);
// The 4x4 matrix m (entry r + 4c = row r, column c) already in the local order (bit hi << 1) |
// bit lo, lo < hi, where every control bit is 1: a_r' = ((m[r] a0 + m[r+4] a1) + m[r+8] a2) +
// m[r+12] a3 of the quartet i, i + 2^lo, i + 2^hi, i + 2^lo + 2^hi.
void apply_mctrl_4x4_general_kernel(bool simd, std::span<Amp> amps, uint64_t ctrl, size_t lo,
                                    size_t hi, const std::array<Amp, 16>& m);

// ---- the walk ----

// The captured walk of one gate: the control mask, every involved bit, and the run length
// 2^countr_zero(all).
struct ControlledWalk {
  uint64_t ctrl;
  uint64_t walk;  // controls, targets and the low bits a run covers (group_walk)
  size_t run;
};

inline ControlledWalk controlled_walk(uint64_t ctrl, uint64_t targets) {
  const GroupWalk g = group_walk(ctrl | targets);
  return {ctrl, g.walk, g.run};
}

// f(i) for the first index i of each of `runs` runs from `base` (all bits of w.walk clear):
// i = base | ctrl, then base steps to the next run whose walk bits are clear by carrying
// through them. walk = 0b0111, ctrl = 0b0011: bases 0, 8, 16 -> i = 3, 11, 19. Always inlined,
// so that a vector body's f is inlined into its loop too.
template <class F>
[[gnu::always_inline]] inline void for_each_controlled_run(size_t base, size_t runs,
                                                           const ControlledWalk& w, const F& f) {
  const uint64_t ctrl = w.ctrl, walk = w.walk;  // in registers: the body's stores may not alias
  for (; runs > 0; --runs, base = ((base | walk) + 1) & ~walk) f(base | ctrl);
}

}  // namespace tavro::kernels
