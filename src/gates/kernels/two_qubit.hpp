#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "amp.hpp"

// Two-qubit amplitude kernels on a raw interleaved buffer. A kernel validates nothing and cannot
// fail: `amps` is the whole buffer (2^live_qubits amplitudes) and the two slots are distinct
// live physical slots. `simd` (the state's flag) picks the vector bodies; they give the same
// bits as the portable ones.
//
// Inside a kernel lo = min(slots), hi = max(slots), and the four amplitudes of a quartet (indices
// that differ only in bits lo and hi) are a0, a1, a2, a3 by the local index (bit hi << 1) | bit
// lo. CX, CZ and SWAP on the slot pairs {0, 1}, {0, 2}, {1, 2} run fixed-group bodies through
// the chunked runner; everything else walks quartets. Where lo >= 2 a run of 2^lo consecutive
// amplitudes shares one role; RZZ, the controlled 2x2 and the dense 4x4 kernels switch there from
// the plain to the fused arithmetic form. The vector bodies serve every slot pair.

namespace tavro::kernels {

// ---- kernels ----

// CX: exchanges the two amplitudes whose control bit is 1.
void apply_cx_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target);
// CY: on control bit 1, (x, y) -> (-i y, i x), x and y the target-bit-0 and -1 amplitudes.
void apply_cy_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target);
// CZ: negates a3; touches nothing else.
void apply_cz_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b);
// CP: a3 times (cos lambda, sin lambda), plain product; touches nothing else.
void apply_cp_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b, double lambda);
// CRZ: on control bit 1, x times (c, -s) and y times (c, s), c and s of lambda * 0.5; plain.
void apply_crz_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target, double lambda);
// SWAP: exchanges a1 and a2.
void apply_swap_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b);
// iSWAP: a1 -> i a2, a2 -> i a1 (moves and sign flips only).
void apply_iswap_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b);
// RZZ: a0, a3 times (c, -s) and a1, a2 times (c, s), c and s of theta * 0.5; plain form for
// lo < 2, fused from lo = 2.
void apply_rzz_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b, double theta);
// The 2x2 matrix m = [U00, U10, U01, U11] (column-major) on the target where the control bit is
// 1: (x, y) -> (U00 x + U01 y, U10 x + U11 y). Amplitudes with control bit 0 are never read or
// written. Plain form for lo < 2, fused from lo = 2; no shortcut for special matrices.
void apply_ctrl_2x2_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target,
                           const std::array<Amp, 4>& m);
// The dense 4x4 matrix m (entry r + 4c = row r, column c) on slots s1, s2, the first slot the
// most significant bit of the local index. Plain form for lo < 2, fused from lo = 2.
void apply_2q(bool simd, std::span<Amp> amps, size_t s1, size_t s2, const std::array<Amp, 16>& m);

// m (first slot the most significant local bit) in the 4x4 kernels' local order (bit hi << 1) |
// bit lo: with the first slot the lower one, local indices 1 and 2 are exchanged in rows and
// columns, M'[r + 4c] = M[p(r) + 4 p(c)] with p = (0, 2, 1, 3); otherwise m itself.
std::array<Amp, 16> in_local_order(const std::array<Amp, 16>& m, bool first_is_lo);

// ---- bodies ----

// The role runs of one body call of the quartet walk: `blocks` high blocks `block_stride` apart,
// each with `count` runs of `len` amplitudes per role, run i of high block h of role k starting
// at rk + h * block_stride + i * stride. A pair body (halves A and B of a high block, half =
// 2^lo) gives r0 = A, r1 = A + half, r2 = B, r3 = B + half, len = half, stride = 2 half and one
// block; a segment of whole high blocks gives the same runs for each of its blocks, block_stride
// = 2^(hi+1); a quartet body gives its four slices as one run each.
struct QuartetRuns {
  Amp* r0;
  Amp* r1;
  Amp* r2;
  Amp* r3;
  size_t len;
  size_t stride;
  size_t count;
  size_t blocks = 1;
  size_t block_stride = 0;
};

// The per-quartet operations of the kernels above on the runs of one body call. `simd` selects
// the vector loops (any run length); `runs` is lo >= 2: for RZZ, the controlled 2x2 and the 4x4
// it selects the fused form. Each touches only the roles its gate changes.
void apply_cx_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo);
void apply_cy_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo);
void apply_cz_runs(bool simd, bool runs, const QuartetRuns& q);
// a3 times `phase` (cos lambda, sin lambda).
void apply_cp_runs(bool simd, bool runs, const QuartetRuns& q, Amp phase);
void apply_crz_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo, double c,
                    double s);
void apply_swap_runs(bool simd, bool runs, const QuartetRuns& q);
void apply_iswap_runs(bool simd, bool runs, const QuartetRuns& q);
void apply_rzz_runs(bool simd, bool runs, const QuartetRuns& q, double c, double s);
void apply_ctrl_2x2_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo,
                         const std::array<Amp, 4>& m);
// m in the kernel's local order (a0..a3 by (bit hi, bit lo)), already exchanged.
void apply_2q_runs(bool simd, bool runs, const QuartetRuns& q, const std::array<Amp, 16>& m);

}  // namespace tavro::kernels
