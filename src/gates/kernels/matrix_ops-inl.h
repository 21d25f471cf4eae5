// Vector shapes for runs of amplitudes and the matrix updates on them, compiled once
// per Highway target: each op does, lane for lane, what its scalar namesake in matrix_ops.hpp
// does to one amplitude.

// Per-target include guard (Highway's toggle): re-included once per target.
#if defined(TAVRO_GATES_KERNELS_MATRIX_OPS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TAVRO_GATES_KERNELS_MATRIX_OPS_INL_H_
#undef TAVRO_GATES_KERNELS_MATRIX_OPS_INL_H_
#else
#define TAVRO_GATES_KERNELS_MATRIX_OPS_INL_H_
#endif

#include <hwy/highway.h>

#include <array>
#include <cstddef>

#include "amp.hpp"
#include "gates/kernels/complex-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

inline double* Doubles(Amp* a) { return reinterpret_cast<double*>(a); }

// No scalar complex arithmetic is compiled in per-target code on targets with FMA: GCC 12's
// SLP vectorizer turns the scalar complex product (a*b - c*d, a*e + f*g) into vfmaddsub there,
// although -ffp-contract=off. So runs of odd length go through the same ops on vectors of one
// amplitude.
using DAll = hn::ScalableTag<double>;
using DTwo = hn::CappedTag<double, 4>;
using DOne = hn::CappedTag<double, 2>;

template <class D>
HWY_INLINE size_t PerVector(D d) {
  return hn::Lanes(d) / 2;
}

// f(d) with the widest vector whose amplitude count divides the run length, so that a vector
// never holds two roles: on AVX-512 runs of 4k amplitudes (lo >= 2) go 4 at a time, runs of 2
// (lo = 1) in 256-bit vectors and single amplitudes (lo = 0) in 128-bit ones.
template <class F>
HWY_INLINE void WithRunTag(size_t len, const F& f) {
  const DAll d;
  if (len % PerVector(d) == 0) return f(d);
  const DTwo d2;
  if (len % PerVector(d2) == 0) return f(d2);
  f(DOne());
}

// The vector forms of a matrix row, lane for lane PlainForm and FusedForm of complex.hpp. The
// fused one is exact only where MulAdd is native.
struct PlainVecForm {
  template <class D, class V>
  static HWY_INLINE V First(D d, Amp g, V z) {
    return MulPlain(d, hn::Set(d, g.real()), hn::Set(d, g.imag()), z);
  }
  template <class D, class V>
  static HWY_INLINE V Next(D d, Amp g, V z, V t) {
    return hn::Add(t, First(d, g, z));
  }
};

struct FusedVecForm {
  template <class D, class V>
  static HWY_INLINE V First(D d, Amp g, V z) {
    return MulFused(d, hn::Set(d, g.real()), hn::Set(d, g.imag()), z);
  }
  template <class D, class V>
  static HWY_INLINE V Next(D d, Amp g, V z, V t) {
    return AccChainFused(d, hn::Set(d, g.real()), hn::Set(d, g.imag()), z, t);
  }
};

template <class Form>
struct Ctrl2x2Op {
  std::array<Amp, 4> m;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& x, V& y) const {
    const V nx = Form::Next(d, m[2], y, Form::First(d, m[0], x));
    y = Form::Next(d, m[3], y, Form::First(d, m[1], x));
    x = nx;
  }
};

template <class Form>
struct Dense4x4Op {
  std::array<Amp, 16> m;
  template <class D, class V>
  HWY_INLINE V Row(D d, size_t r, V a0, V a1, V a2, V a3) const {
    V t = Form::First(d, m[r], a0);
    t = Form::Next(d, m[r + 4], a1, t);
    t = Form::Next(d, m[r + 8], a2, t);
    return Form::Next(d, m[r + 12], a3, t);
  }
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1, V& a2, V& a3) const {
    const V n0 = Row(d, 0, a0, a1, a2, a3);
    const V n1 = Row(d, 1, a0, a1, a2, a3);
    const V n2 = Row(d, 2, a0, a1, a2, a3);
    const V n3 = Row(d, 3, a0, a1, a2, a3);
    a0 = n0;
    a1 = n1;
    a2 = n2;
    a3 = n3;
  }
};

using Ctrl2x2PlainOp = Ctrl2x2Op<PlainVecForm>;
using Ctrl2x2FusedOp = Ctrl2x2Op<FusedVecForm>;
using Dense4x4PlainOp = Dense4x4Op<PlainVecForm>;
using Dense4x4FusedOp = Dense4x4Op<FusedVecForm>;

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
