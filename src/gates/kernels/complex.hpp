#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "amp.hpp"

// The arithmetic of the amplitude kernels, fixed to the bit. Results never come from the
// std::complex operators: GCC's complex multiply adds NaN recovery and other roundings.
// Every vector body (complex-inl.h) does, per amplitude, exactly what these helpers do.
//
// Two forms exist. The plain form rounds every real product on its own and then each addition
// or subtraction. The fused form chains fused multiply-adds (std::fma: one rounding for a
// product and a sum) and is only used where a kernel says so; -ffp-contract=off keeps the
// compiler from fusing anything else.

namespace tavro::kernels {

// Plain complex product a * b: re = a.re*b.re - a.im*b.im, im = a.re*b.im + a.im*b.re.
inline Amp mul_plain(Amp a, Amp b) {
  const double re = a.real() * b.real() - a.imag() * b.imag();
  const double im = a.real() * b.imag() + a.imag() * b.real();
  return {re, im};
}

// Plain product conj(a) * b: re = a.re*b.re + a.im*b.im, im = a.re*b.im - a.im*b.re.
inline Amp conj_mul_plain(Amp a, Amp b) {
  const double re = a.real() * b.real() + a.imag() * b.imag();
  const double im = a.real() * b.imag() - a.imag() * b.real();
  return {re, im};
}

// Plain componentwise sum and difference.
inline Amp add_plain(Amp a, Amp b) { return {a.real() + b.real(), a.imag() + b.imag()}; }
inline Amp sub_plain(Amp a, Amp b) { return {a.real() - b.real(), a.imag() - b.imag()}; }

// Fused complex product of a factor m and an amplitude a; the inner products round on their own:
// re = fma(m.re, a.re, a.im * (-m.im)), im = fma(m.re, a.im, a.re * m.im).
inline Amp mul_fused(Amp m, Amp a) {
  const double re = std::fma(m.real(), a.real(), a.imag() * (-m.imag()));
  const double im = std::fma(m.real(), a.imag(), a.real() * m.imag());
  return {re, im};
}

// -x as a sign-bit flip the compiler cannot see through. Where a fused multiply-add is native,
// GCC folds -fma(a, b, c) into the single instruction -(a*b) - c, which turns the -0.0 of an
// exactly cancelling sum into +0.0; the flip keeps the negation of the rounded result.
inline double flip_sign(double x) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(x) ^ (uint64_t{1} << 63));
}

// Fused accumulate of m * a onto acc, two roundings per part:
// re = fma(m.re, a.re, -fma(m.im, a.im, -acc.re)), im = fma(m.re, a.im, fma(m.im, a.re, acc.im)).
inline Amp acc_fused(Amp m, Amp a, Amp acc) {
  const double re =
      std::fma(m.real(), a.real(), flip_sign(std::fma(m.imag(), a.imag(), -acc.real())));
  const double im = std::fma(m.real(), a.imag(), std::fma(m.imag(), a.real(), acc.imag()));
  return {re, im};
}

// ---- two-qubit helpers ----

// One further link of the fused chain that forms a row of a matrix-vector product (the chain
// starts with mul_fused(g0, z0)): t + g * z as
// re = fma(g.re, z.re, fma(-g.im, z.im, t.re)), im = fma(g.re, z.im, fma(g.im, z.re, t.im)).
// Unlike acc_fused the inner fma adds t itself instead of negating a sum with -t, so an exact
// zero there is +0.0 (acc_fused gives -0.0): the two differ in the sign of some zero results.
inline Amp acc_chain_fused(Amp g, Amp z, Amp t) {
  const double re = std::fma(g.real(), z.real(), std::fma(-g.imag(), z.imag(), t.real()));
  const double im = std::fma(g.real(), z.imag(), std::fma(g.imag(), z.real(), t.imag()));
  return {re, im};
}

// ---- the two forms of a matrix row ----
// A row of a matrix-vector product, term by term: first(g0, z0), then t = next(g, z, t) for each
// further term in column order. The plain form rounds each product and each sum; the fused
// form is the chain of mul_fused and acc_chain_fused.

struct PlainForm {
  static Amp first(Amp g, Amp z) { return mul_plain(g, z); }
  static Amp next(Amp g, Amp z, Amp t) { return add_plain(t, mul_plain(g, z)); }
};

struct FusedForm {
  static Amp first(Amp g, Amp z) { return mul_fused(g, z); }
  static Amp next(Amp g, Amp z, Amp t) { return acc_chain_fused(g, z, t); }
};

}  // namespace tavro::kernels
