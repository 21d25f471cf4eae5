// Complex arithmetic on interleaved (re, im) lanes, compiled once per Highway target.
//
// Each helper does, per amplitude, exactly the operations of its scalar namesake in
// complex.hpp: the same products in the same operand order, MulAdd only where the scalar code
// calls std::fma, and OddEven to pick Sub in the real lanes and Add in the imaginary lanes
// where the scalar code subtracts for re and adds for im. A subtraction is never rewritten as
// the sum with a negated operand, which would change the sign of a NaN. Negations are sign
// flips (Xor with -0.0), as the scalar unary minus is.
//
// The fused helpers are exact only on targets with a native fused multiply-add
// (HWY_NATIVE_FMA); elsewhere Highway emulates MulAdd with two roundings.

// Per-target include guard (Highway's toggle): re-included once per target.
#if defined(TAVRO_GATES_KERNELS_COMPLEX_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TAVRO_GATES_KERNELS_COMPLEX_INL_H_
#undef TAVRO_GATES_KERNELS_COMPLEX_INL_H_
#else
#define TAVRO_GATES_KERNELS_COMPLEX_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// -0.0 in the real (even) lanes, +0.0 in the imaginary (odd) lanes.
template <class D>
HWY_INLINE hn::Vec<D> SignRe(D d) {
  return hn::OddEven(hn::Zero(d), hn::Set(d, -0.0));
}

// +0.0 in the real lanes, -0.0 in the imaginary lanes.
template <class D>
HWY_INLINE hn::Vec<D> SignIm(D d) {
  return hn::OddEven(hn::Set(d, -0.0), hn::Zero(d));
}

// (re, im) -> (im, re) in every amplitude.
template <class D>
HWY_INLINE hn::Vec<D> SwapReIm(D d, hn::Vec<D> v) {
  return hn::Reverse2(d, v);
}

// (re, im) -> (-re, im): the scalar unary minus on the real part.
template <class D>
HWY_INLINE hn::Vec<D> NegRe(D d, hn::Vec<D> v) {
  return hn::Xor(v, SignRe(d));
}

// (re, im) -> (re, -im).
template <class D>
HWY_INLINE hn::Vec<D> NegIm(D d, hn::Vec<D> v) {
  return hn::Xor(v, SignIm(d));
}

// (p.re - q.re, p.im + q.im).
template <class D>
HWY_INLINE hn::Vec<D> SubReAddIm(hn::Vec<D> p, hn::Vec<D> q) {
  return hn::OddEven(hn::Add(p, q), hn::Sub(p, q));
}

// (p.re + q.re, p.im - q.im).
template <class D>
HWY_INLINE hn::Vec<D> AddReSubIm(hn::Vec<D> p, hn::Vec<D> q) {
  return hn::OddEven(hn::Sub(p, q), hn::Add(p, q));
}

// mul_plain(m, a) with m broadcast as mre = (m.re, m.re), mim = (m.im, m.im):
// re = m.re*a.re - m.im*a.im, im = m.re*a.im + m.im*a.re.
template <class D>
HWY_INLINE hn::Vec<D> MulPlain(D d, hn::Vec<D> mre, hn::Vec<D> mim, hn::Vec<D> a) {
  const hn::Vec<D> p = hn::Mul(mre, a);               // (m.re*a.re, m.re*a.im)
  const hn::Vec<D> q = hn::Mul(mim, SwapReIm(d, a));  // (m.im*a.im, m.im*a.re)
  return SubReAddIm<D>(p, q);
}

// mul_fused(m, a): re = fma(m.re, a.re, a.im * (-m.im)), im = fma(m.re, a.im, a.re * m.im).
template <class D>
HWY_INLINE hn::Vec<D> MulFused(D d, hn::Vec<D> mre, hn::Vec<D> mim, hn::Vec<D> a) {
  // (a.im * (-m.im), a.re * m.im), each product rounded on its own.
  const hn::Vec<D> inner = hn::Mul(SwapReIm(d, a), NegRe(d, mim));
  return hn::MulAdd(mre, a, inner);  // fma: one rounding here is part of the result
}

// acc_fused(m, a, acc): re = fma(m.re, a.re, -fma(m.im, a.im, -acc.re)),
// im = fma(m.re, a.im, fma(m.im, a.re, acc.im)).
template <class D>
HWY_INLINE hn::Vec<D> AccFused(D d, hn::Vec<D> mre, hn::Vec<D> mim, hn::Vec<D> a, hn::Vec<D> acc) {
  const hn::Vec<D> inner = hn::MulAdd(mim, SwapReIm(d, a), NegRe(d, acc));
  return hn::MulAdd(mre, a, NegRe(d, inner));
}

// ---- two-qubit helpers ----

// acc_chain_fused(m, a, acc): re = fma(m.re, a.re, fma(-m.im, a.im, acc.re)),
// im = fma(m.re, a.im, fma(m.im, a.re, acc.im)).
template <class D>
HWY_INLINE hn::Vec<D> AccChainFused(D d, hn::Vec<D> mre, hn::Vec<D> mim, hn::Vec<D> a,
                                    hn::Vec<D> acc) {
  // (a.im * (-m.im) + acc.re, a.re * m.im + acc.im), one rounding each
  const hn::Vec<D> inner = hn::MulAdd(SwapReIm(d, a), NegRe(d, mim), acc);
  return hn::MulAdd(mre, a, inner);
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
