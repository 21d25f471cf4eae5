#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "amp.hpp"

// One-qubit amplitude kernels on a raw interleaved buffer. A kernel validates nothing and
// cannot fail: `amps` is the whole buffer, a power of two at least 2^(t+1) long, and t a live
// physical slot. `simd` (the state's flag) picks the vector bodies; they give the same bits
// as the portable ones. Slots 0-2 use fixed-group bodies through the chunked runner, higher
// slots hand a pair body to the pair walker (X keeps the runner, the diagonal body always
// walks pairs). Only the H, RX, RY and RZ pair bodies (slot 3 and up) use the fused form.

namespace tavro::kernels {

// The H factor: 0x3FE6A09E667F3BCD, the correctly rounded sqrt(1/2), one ulp above
// 1/sqrt(2) computed in binary64.
inline constexpr double H_FACTOR = std::bit_cast<double>(uint64_t{0x3FE6A09E667F3BCD});

// ---- kernels ----

// X on slot t: exchanges the two amplitudes of every pair.
void apply_x_kernel(std::span<Amp> amps, size_t t);
// Y on slot t: a0' = (y1, -x1), a1' = (-y0, x0); moves and sign flips only.
void apply_y_kernel(bool simd, std::span<Amp> amps, size_t t);
// Z on slot t: negates both parts of every amplitude with bit t set.
void apply_z_kernel(bool simd, std::span<Amp> amps, size_t t);
// H on slot t, with factor H_FACTOR.
void apply_h_kernel(bool simd, std::span<Amp> amps, size_t t);
// RX, RY, RZ on slot t; c and s are the cosine and sine of half the angle.
void apply_rx_kernel(bool simd, std::span<Amp> amps, size_t t, double c, double s);
void apply_ry_kernel(bool simd, std::span<Amp> amps, size_t t, double c, double s);
void apply_rz_kernel(bool simd, std::span<Amp> amps, size_t t, double c, double s);
// diag(d0, d1) on slot t, plain products; the amplitudes with bit t clear are not touched at
// all when d0 equals (1, 0) by value.
void apply_diag_1q(bool simd, std::span<Amp> amps, size_t t, Amp d0, Amp d1);
// The dense 2x2 matrix m = [U00, U10, U01, U11] (column-major) on slot t, plain products,
// no shortcut for special matrices.
void apply_1q(bool simd, std::span<Amp> amps, size_t t, const std::array<Amp, 4>& m);

// ---- slot bodies: one run of whole groups of 2^(t+1) amplitudes (t = 0, 1, 2) ----

void apply_x_t0_inner(std::span<Amp> run);
void apply_x_t1_inner(std::span<Amp> run);
void apply_x_t2_inner(std::span<Amp> run);
// X above slot 2: exchanges the halves of every block of 2 * half amplitudes of the run.
void apply_x_half_swap(std::span<Amp> run, size_t half);

void apply_y_t0_inner(bool simd, std::span<Amp> run);
void apply_y_t1_inner(bool simd, std::span<Amp> run);
void apply_y_t2_inner(bool simd, std::span<Amp> run);
void apply_z_t0_inner(bool simd, std::span<Amp> run);
void apply_z_t1_inner(bool simd, std::span<Amp> run);
void apply_z_t2_inner(bool simd, std::span<Amp> run);
void apply_h_t0_inner(bool simd, std::span<Amp> run);
void apply_h_t1_inner(bool simd, std::span<Amp> run);
void apply_h_t2_inner(bool simd, std::span<Amp> run);
void apply_rx_t0_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_rx_t1_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_rx_t2_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_ry_t0_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_ry_t1_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_ry_t2_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_rz_t0_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_rz_t1_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_rz_t2_inner(bool simd, std::span<Amp> run, double c, double s);
void apply_1q_t0_inner(bool simd, std::span<Amp> run, const std::array<Amp, 4>& m);
void apply_1q_t1_inner(bool simd, std::span<Amp> run, const std::array<Amp, 4>& m);
void apply_1q_t2_inner(bool simd, std::span<Amp> run, const std::array<Amp, 4>& m);

// ---- pair bodies: lo[j] pairs with hi[j] for j below min(lo.size(), hi.size()) ----

void apply_y_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi);
// Touches only the high run.
void apply_z_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi);
void apply_h_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi);
void apply_rx_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, double c, double s);
void apply_ry_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, double c, double s);
void apply_rz_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, double c, double s);
// Leaves the low run untouched when d0 equals (1, 0) by value.
void apply_diag_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, Amp d0, Amp d1);
void apply_1q_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, const std::array<Amp, 4>& m);

// Whether the vector bodies that dispatch would pick right now fuse natively, that is whether
// simd = true gives the portable bits on the current (possibly test-selected) target.
bool vector_bodies_exact();

}  // namespace tavro::kernels
