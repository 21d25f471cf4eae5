// Two-qubit amplitude kernels: portable bodies, Highway bodies per target, and the kernel entry
// points that pick the traversal from the two slots.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gates/kernels/two_qubit.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
#include <math.h>  // ::sincos, one call for both values of an angle

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "error.hpp"
#include "gates/kernels/complex.hpp"
#include "gates/kernels/runner.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "par/quartets.hpp"

// ---- portable bodies (compiled once, at baseline) ----
#ifndef TAVRO_GATES_KERNELS_TWO_QUBIT_PORTABLE_
#define TAVRO_GATES_KERNELS_TWO_QUBIT_PORTABLE_
namespace tavro::kernels::detail::two_qubit {

// Multiplication by i and -i, and negation: moves and sign flips, exact also for zeros and NaNs.
inline Amp times_i(Amp z) { return {-z.imag(), z.real()}; }
inline Amp times_minus_i(Amp z) { return {z.imag(), -z.real()}; }
inline Amp negated(Amp z) { return {-z.real(), -z.imag()}; }

// The update of the touched roles of one quartet, in place; every output comes from the old
// values. x and y are the target-bit-0 and target-bit-1 amplitudes of a controlled gate.

struct SwapOne {
  void operator()(Amp& x, Amp& y) const { std::swap(x, y); }
};

// (x, y) -> (-i y, i x)
struct CyOne {
  void operator()(Amp& x, Amp& y) const {
    const Amp nx = times_minus_i(y);
    y = times_i(x);
    x = nx;
  }
};

// (a1, a2) -> (i a2, i a1)
struct IswapOne {
  void operator()(Amp& x, Amp& y) const {
    const Amp nx = times_i(y);
    y = times_i(x);
    x = nx;
  }
};

struct NegOne {
  void operator()(Amp& z) const { z = negated(z); }
};

struct PhaseOne {
  Amp ph;
  void operator()(Amp& z) const { z = mul_plain(ph, z); }
};

// CRZ: x times px, y times py.
struct PhasePairOne {
  Amp px, py;
  void operator()(Amp& x, Amp& y) const {
    x = mul_plain(px, x);
    y = mul_plain(py, y);
  }
};

// RZZ: a0 and a3 times (c, -s), a1 and a2 times (c, s).
struct RzzPlainOne {
  Amp minus, plus;
  void operator()(Amp& a0, Amp& a1, Amp& a2, Amp& a3) const {
    a0 = mul_plain(minus, a0);
    a1 = mul_plain(plus, a1);
    a2 = mul_plain(plus, a2);
    a3 = mul_plain(minus, a3);
  }
};

// re = fma(pr, z.re, -(pi*z.im)), im = fma(pr, z.im, pi*z.re): the fused product.
struct RzzFusedOne {
  Amp minus, plus;
  void operator()(Amp& a0, Amp& a1, Amp& a2, Amp& a3) const {
    a0 = mul_fused(minus, a0);
    a1 = mul_fused(plus, a1);
    a2 = mul_fused(plus, a2);
    a3 = mul_fused(minus, a3);
  }
};

// m = [U00, U10, U01, U11]: x' = U00 x + U01 y, y' = U10 x + U11 y, terms added left to right.
struct Ctrl2x2PlainOne {
  std::array<Amp, 4> m;
  void operator()(Amp& x, Amp& y) const {
    const Amp nx = add_plain(mul_plain(m[0], x), mul_plain(m[2], y));
    const Amp ny = add_plain(mul_plain(m[1], x), mul_plain(m[3], y));
    x = nx;
    y = ny;
  }
};

// The fused chain: the first term's fused product, then one link per further term.
struct Ctrl2x2FusedOne {
  std::array<Amp, 4> m;
  void operator()(Amp& x, Amp& y) const {
    const Amp nx = acc_chain_fused(m[2], y, mul_fused(m[0], x));
    const Amp ny = acc_chain_fused(m[3], y, mul_fused(m[1], x));
    x = nx;
    y = ny;
  }
};

// a_r' = ((m[r] a0 + m[r+4] a1) + m[r+8] a2) + m[r+12] a3, plain products and sums.
struct Dense4x4PlainOne {
  std::array<Amp, 16> m;
  Amp row(size_t r, Amp a0, Amp a1, Amp a2, Amp a3) const {
    Amp t = mul_plain(m[r], a0);
    t = add_plain(t, mul_plain(m[r + 4], a1));
    t = add_plain(t, mul_plain(m[r + 8], a2));
    return add_plain(t, mul_plain(m[r + 12], a3));
  }
  void operator()(Amp& a0, Amp& a1, Amp& a2, Amp& a3) const {
    const Amp n0 = row(0, a0, a1, a2, a3), n1 = row(1, a0, a1, a2, a3);
    const Amp n2 = row(2, a0, a1, a2, a3), n3 = row(3, a0, a1, a2, a3);
    a0 = n0;
    a1 = n1;
    a2 = n2;
    a3 = n3;
  }
};

struct Dense4x4FusedOne {
  std::array<Amp, 16> m;
  Amp row(size_t r, Amp a0, Amp a1, Amp a2, Amp a3) const {
    Amp t = mul_fused(m[r], a0);
    t = acc_chain_fused(m[r + 4], a1, t);
    t = acc_chain_fused(m[r + 8], a2, t);
    return acc_chain_fused(m[r + 12], a3, t);
  }
  void operator()(Amp& a0, Amp& a1, Amp& a2, Amp& a3) const {
    const Amp n0 = row(0, a0, a1, a2, a3), n1 = row(1, a0, a1, a2, a3);
    const Amp n2 = row(2, a0, a1, a2, a3), n3 = row(3, a0, a1, a2, a3);
    a0 = n0;
    a1 = n1;
    a2 = n2;
    a3 = n3;
  }
};

// f(p[j]...) for every position j of every run: j = i * stride + k, i < count, k < len. Runs of
// one or two amplitudes (lo = 0, 1) get loops of their own, without an inner loop to set up.
template <class F, class... Ptr>
inline void for_runs(size_t len, size_t stride, size_t count, const F& f, Ptr... p) {
  if (len == 1) {
    for (size_t i = 0, b = 0; i < count; ++i, b += stride) f(p[b]...);
  } else if (len == 2) {
    for (size_t i = 0, b = 0; i < count; ++i, b += stride) {
      f(p[b]...);
      f(p[b + 1]...);
    }
  } else {
    for (size_t i = 0, b = 0; i < count; ++i, b += stride) {
      for (size_t j = b; j < b + len; ++j) f(p[j]...);
    }
  }
}

}  // namespace tavro::kernels::detail::two_qubit
#endif  // TAVRO_GATES_KERNELS_TWO_QUBIT_PORTABLE_

#include "gates/kernels/complex-inl.h"

// ---- vector bodies, one copy per target ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
namespace tq = detail::two_qubit;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold an amplitude: the portable bodies serve.
void SwapRuns(Amp* x, Amp* y, size_t len, size_t stride, size_t count) {
  tq::for_runs(len, stride, count, tq::SwapOne{}, x, y);
}
void CyRuns(Amp* x, Amp* y, size_t len, size_t stride, size_t count) {
  tq::for_runs(len, stride, count, tq::CyOne{}, x, y);
}
void IswapRuns(Amp* x, Amp* y, size_t len, size_t stride, size_t count) {
  tq::for_runs(len, stride, count, tq::IswapOne{}, x, y);
}
void NegRuns(Amp* p, size_t len, size_t stride, size_t count) {
  tq::for_runs(len, stride, count, tq::NegOne{}, p);
}
void PhaseRuns(Amp* p, size_t len, size_t stride, size_t count, double re, double im) {
  tq::for_runs(len, stride, count, tq::PhaseOne{Amp(re, im)}, p);
}
void PhasePairRuns(Amp* x, Amp* y, size_t len, size_t stride, size_t count, double c, double s) {
  tq::for_runs(len, stride, count, tq::PhasePairOne{Amp(c, -s), Amp(c, s)}, x, y);
}
void RzzFusedRuns(Amp* r0, Amp* r1, Amp* r2, Amp* r3, size_t len, size_t stride, size_t count,
                  double c, double s) {
  tq::for_runs(len, stride, count, tq::RzzFusedOne{Amp(c, -s), Amp(c, s)}, r0, r1, r2, r3);
}
void Ctrl2x2FusedRuns(Amp* x, Amp* y, size_t len, size_t stride, size_t count, const Amp* m) {
  tq::for_runs(len, stride, count, tq::Ctrl2x2FusedOne{{m[0], m[1], m[2], m[3]}}, x, y);
}
void Dense4x4FusedRuns(Amp* r0, Amp* r1, Amp* r2, Amp* r3, size_t len, size_t stride, size_t count,
                       const Amp* m) {
  tq::Dense4x4FusedOne one{};
  std::copy(m, m + 16, one.m.begin());
  tq::for_runs(len, stride, count, one, r0, r1, r2, r3);
}

#else  // HWY_TARGET != HWY_SCALAR

inline double* Doubles(Amp* a) { return reinterpret_cast<double*>(a); }

// No scalar complex arithmetic is compiled in this per-target code on targets with FMA: GCC 12's
// SLP vectorizer turns the scalar complex product (a*b - c*d, a*e + f*g) into vfmaddsub there,
// although -ffp-contract=off. So the tail of a run (none on x86, where a run of 2^lo >= 4
// amplitudes is whole vectors; the odd lengths of the innermost split) goes through the same op
// on a vector of one amplitude.
using DAll = hn::ScalableTag<double>;
using DOne = hn::CappedTag<double, 2>;

// The whole vectors of all runs, in address order: run i, vector k at i * stride + k * per
// amplitudes. One flat loop, so that the gate's constants stay outside it even when a run is a
// single vector (lo = 2 with 4 amplitudes per vector). Requires per | len.
template <class Step>
HWY_INLINE void ForVectors(size_t len, size_t stride, size_t count, size_t per, const Step& step) {
  const size_t per_run = len / per;
  const size_t total = per_run * count;
  size_t base = 0, k = 0;
  for (size_t v = 0; v < total; ++v) {
    step(base);
    base += per;
    if (++k == per_run) {
      k = 0;
      base += stride - len;
    }
  }
}

// op(d, v) on every amplitude of every run of one role: whole vectors, then one at a time.
template <class Op>
HWY_INLINE void ForRuns1(const Op& op, size_t len, size_t stride, size_t count,
                         Amp* HWY_RESTRICT p) {
  const DAll d;
  const DOne d1;
  const size_t per = hn::Lanes(d) / 2;  // amplitudes per vector
  double* HWY_RESTRICT pd = Doubles(p);
  if (len % per == 0) {
    return ForVectors(len, stride, count, per, [&](size_t at) {
      auto v = hn::LoadU(d, pd + 2 * at);
      op(d, v);
      hn::StoreU(v, d, pd + 2 * at);
    });
  }
  for (size_t i = 0; i < count; ++i) {
    double* HWY_RESTRICT r = pd + 2 * i * stride;
    size_t k = 0;
    for (; k + per <= len; k += per) {
      auto v = hn::LoadU(d, r + 2 * k);
      op(d, v);
      hn::StoreU(v, d, r + 2 * k);
    }
    for (; k < len; ++k) {
      auto v = hn::LoadU(d1, r + 2 * k);
      op(d1, v);
      hn::StoreU(v, d1, r + 2 * k);
    }
  }
}

// One step over two roles at amplitude offset `at`, vectors of d.
template <class D, class Op>
HWY_INLINE void Step2(D d, const Op& op, double* HWY_RESTRICT px, double* HWY_RESTRICT py,
                      size_t at) {
  auto vx = hn::LoadU(d, px + 2 * at);
  auto vy = hn::LoadU(d, py + 2 * at);
  op(d, vx, vy);
  hn::StoreU(vx, d, px + 2 * at);
  hn::StoreU(vy, d, py + 2 * at);
}

// The same over two roles.
template <class Op>
HWY_INLINE void ForRuns2(const Op& op, size_t len, size_t stride, size_t count, Amp* HWY_RESTRICT x,
                         Amp* HWY_RESTRICT y) {
  const DAll d;
  const DOne d1;
  const size_t per = hn::Lanes(d) / 2;
  double* HWY_RESTRICT px = Doubles(x);
  double* HWY_RESTRICT py = Doubles(y);
  if (len % per == 0) {
    return ForVectors(len, stride, count, per, [&](size_t at) { Step2(d, op, px, py, at); });
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t b = i * stride;
    size_t k = 0;
    for (; k + per <= len; k += per) Step2(d, op, px, py, b + k);
    for (; k < len; ++k) Step2(d1, op, px, py, b + k);
  }
}

// One step over the four roles at amplitude offset `at`, vectors of d.
template <class D, class Op>
HWY_INLINE void Step4(D d, const Op& op, double* HWY_RESTRICT p0, double* HWY_RESTRICT p1,
                      double* HWY_RESTRICT p2, double* HWY_RESTRICT p3, size_t at) {
  auto v0 = hn::LoadU(d, p0 + 2 * at);
  auto v1 = hn::LoadU(d, p1 + 2 * at);
  auto v2 = hn::LoadU(d, p2 + 2 * at);
  auto v3 = hn::LoadU(d, p3 + 2 * at);
  op(d, v0, v1, v2, v3);
  hn::StoreU(v0, d, p0 + 2 * at);
  hn::StoreU(v1, d, p1 + 2 * at);
  hn::StoreU(v2, d, p2 + 2 * at);
  hn::StoreU(v3, d, p3 + 2 * at);
}

// The same over all four roles.
template <class Op>
HWY_INLINE void ForRuns4(const Op& op, size_t len, size_t stride, size_t count,
                         Amp* HWY_RESTRICT r0, Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2,
                         Amp* HWY_RESTRICT r3) {
  const DAll d;
  const DOne d1;
  const size_t per = hn::Lanes(d) / 2;
  double* HWY_RESTRICT p0 = Doubles(r0);
  double* HWY_RESTRICT p1 = Doubles(r1);
  double* HWY_RESTRICT p2 = Doubles(r2);
  double* HWY_RESTRICT p3 = Doubles(r3);
  if (len % per == 0) {
    return ForVectors(len, stride, count, per,
                      [&](size_t at) { Step4(d, op, p0, p1, p2, p3, at); });
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t b = i * stride;
    size_t k = 0;
    for (; k + per <= len; k += per) Step4(d, op, p0, p1, p2, p3, b + k);
    for (; k < len; ++k) Step4(d1, op, p0, p1, p2, p3, b + k);
  }
}

// ---- the gates: each op is the scalar update of the same name, lane for lane ----

struct SwapOp {
  template <class D, class V>
  HWY_INLINE void operator()(D /*d*/, V& x, V& y) const {
    const V t = x;
    x = y;
    y = t;
  }
};

struct CyOp {
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& x, V& y) const {
    const V nx = NegIm(d, SwapReIm(d, y));  // -i y = (y.im, -y.re)
    y = NegRe(d, SwapReIm(d, x));           // i x = (-x.im, x.re)
    x = nx;
  }
};

struct IswapOp {
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& x, V& y) const {
    const V nx = NegRe(d, SwapReIm(d, y));  // i y
    y = NegRe(d, SwapReIm(d, x));           // i x
    x = nx;
  }
};

struct NegOp {
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& z) const {
    z = hn::Xor(z, hn::Set(d, -0.0));
  }
};

struct PhaseOp {
  double re, im;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& z) const {
    z = MulPlain(d, hn::Set(d, re), hn::Set(d, im), z);
  }
};

// One RZZ phase (c, im) on one role, fused.
struct FusedPhaseOp {
  double c, im;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& z) const {
    z = MulFused(d, hn::Set(d, c), hn::Set(d, im), z);
  }
};

struct Ctrl2x2FusedOp {
  std::array<Amp, 4> m;
  template <class D, class V>
  HWY_INLINE V Term(D d, size_t e, V z) const {
    return MulFused(d, hn::Set(d, m[e].real()), hn::Set(d, m[e].imag()), z);
  }
  template <class D, class V>
  HWY_INLINE V Link(D d, size_t e, V z, V t) const {
    return AccChainFused(d, hn::Set(d, m[e].real()), hn::Set(d, m[e].imag()), z, t);
  }
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& x, V& y) const {
    const V nx = Link(d, 2, y, Term(d, 0, x));
    y = Link(d, 3, y, Term(d, 1, x));
    x = nx;
  }
};

struct Dense4x4FusedOp {
  std::array<Amp, 16> m;
  template <class D, class V>
  HWY_INLINE V Row(D d, size_t r, V a0, V a1, V a2, V a3) const {
    V t = MulFused(d, hn::Set(d, m[r].real()), hn::Set(d, m[r].imag()), a0);
    t = AccChainFused(d, hn::Set(d, m[r + 4].real()), hn::Set(d, m[r + 4].imag()), a1, t);
    t = AccChainFused(d, hn::Set(d, m[r + 8].real()), hn::Set(d, m[r + 8].imag()), a2, t);
    return AccChainFused(d, hn::Set(d, m[r + 12].real()), hn::Set(d, m[r + 12].imag()), a3, t);
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

// ---- dispatched entry points: one call per body call of the walk ----

void SwapRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, size_t len, size_t stride, size_t count) {
  ForRuns2(SwapOp{}, len, stride, count, x, y);
}

void CyRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, size_t len, size_t stride, size_t count) {
  ForRuns2(CyOp{}, len, stride, count, x, y);
}

void IswapRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, size_t len, size_t stride, size_t count) {
  ForRuns2(IswapOp{}, len, stride, count, x, y);
}

void NegRuns(Amp* HWY_RESTRICT p, size_t len, size_t stride, size_t count) {
  ForRuns1(NegOp{}, len, stride, count, p);
}

void PhaseRuns(Amp* HWY_RESTRICT p, size_t len, size_t stride, size_t count, double re, double im) {
  ForRuns1(PhaseOp{re, im}, len, stride, count, p);
}

// CRZ: each amplitude depends on itself alone, so each run goes role by role (x, then y), which
// streams long runs instead of interleaving two distant ones.
void PhasePairRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, size_t len, size_t stride,
                   size_t count, double c, double s) {
  const PhaseOp px{c, -s}, py{c, s};
  for (size_t i = 0, b = 0; i < count; ++i, b += stride) {
    ForRuns1(px, len, len, 1, x + b);
    ForRuns1(py, len, len, 1, y + b);
  }
}

// The fused bodies need one rounding per MulAdd; where Highway would emulate it with two (no
// native FMA, hence no vfmaddsub either), the portable chain runs instead, so simd = true never
// changes a result.
// Every RZZ amplitude depends on itself alone, so each run goes role by role: a0, a1 (the next
// 2^lo amplitudes), then a2, a3 in the upper half. In address order, so long runs stream.
void RzzFusedRuns(Amp* HWY_RESTRICT r0, Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2,
                  Amp* HWY_RESTRICT r3, size_t len, size_t stride, size_t count, double c,
                  double s) {
#if HWY_NATIVE_FMA
  const FusedPhaseOp minus{c, -s}, plus{c, s};
  for (size_t i = 0, b = 0; i < count; ++i, b += stride) {
    ForRuns1(minus, len, len, 1, r0 + b);
    ForRuns1(plus, len, len, 1, r1 + b);
    ForRuns1(plus, len, len, 1, r2 + b);
    ForRuns1(minus, len, len, 1, r3 + b);
  }
#else
  tq::for_runs(len, stride, count, tq::RzzFusedOne{Amp(c, -s), Amp(c, s)}, r0, r1, r2, r3);
#endif
}

void Ctrl2x2FusedRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, size_t len, size_t stride,
                      size_t count, const Amp* m) {
  const std::array<Amp, 4> mat{m[0], m[1], m[2], m[3]};
#if HWY_NATIVE_FMA
  ForRuns2(Ctrl2x2FusedOp{mat}, len, stride, count, x, y);
#else
  tq::for_runs(len, stride, count, tq::Ctrl2x2FusedOne{mat}, x, y);
#endif
}

void Dense4x4FusedRuns(Amp* HWY_RESTRICT r0, Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2,
                       Amp* HWY_RESTRICT r3, size_t len, size_t stride, size_t count,
                       const Amp* m) {
  std::array<Amp, 16> mat;
  std::copy(m, m + 16, mat.begin());
#if HWY_NATIVE_FMA
  ForRuns4(Dense4x4FusedOp{mat}, len, stride, count, r0, r1, r2, r3);
#else
  tq::for_runs(len, stride, count, tq::Dense4x4FusedOne{mat}, r0, r1, r2, r3);
#endif
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(SwapRuns);
HWY_EXPORT(CyRuns);
HWY_EXPORT(IswapRuns);
HWY_EXPORT(NegRuns);
HWY_EXPORT(PhaseRuns);
HWY_EXPORT(PhasePairRuns);
HWY_EXPORT(RzzFusedRuns);
HWY_EXPORT(Ctrl2x2FusedRuns);
HWY_EXPORT(Dense4x4FusedRuns);

namespace {

namespace tq = detail::two_qubit;

// The controlled roles: (x, y) = (a1, a3) with the control at lo, (a2, a3) with it at hi.
Amp* ctrl_x(const QuartetRuns& q, bool ctrl_is_lo) { return ctrl_is_lo ? q.r1 : q.r2; }

// ---- fixed-group bodies (slot pairs {0, 1}, {0, 2}, {1, 2}) ----

// f(g) for every group start g of a run of whole groups: 16 amplitudes per pass while 16 more
// fit, then the remaining groups one at a time.
template <size_t kGroup, class F>
inline void for_groups(size_t n, const F& f) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (size_t g = i; g < i + 16; g += kGroup) f(g);
  }
  for (; i + kGroup <= n; i += kGroup) f(i);
}

// Exchanges offsets kX0 <-> kY0 (and kX1 <-> kY1 in groups of 8) of every group.
template <size_t kGroup, size_t kX0, size_t kY0, size_t kX1 = 0, size_t kY1 = 0>
void exchange_groups(std::span<Amp> run) {
  Amp* HWY_RESTRICT a = run.data();
  for_groups<kGroup>(run.size(), [a](size_t g) {
    std::swap(a[g + kX0], a[g + kY0]);
    if constexpr (kGroup == 8) std::swap(a[g + kX1], a[g + kY1]);
  });
}

// Negates offset kA (and kB in groups of 8) of every group.
template <size_t kGroup, size_t kA, size_t kB = 0>
void negate_groups(std::span<Amp> run) {
  Amp* HWY_RESTRICT a = run.data();
  for_groups<kGroup>(run.size(), [a](size_t g) {
    a[g + kA] = tq::negated(a[g + kA]);
    if constexpr (kGroup == 8) a[g + kB] = tq::negated(a[g + kB]);
  });
}

// ---- the quartet walk ----

struct LoHi {
  size_t lo, hi;
};
LoHi ordered(size_t a, size_t b) { return a < b ? LoHi{a, b} : LoHi{b, a}; }

// A pair body's call: halves A, B of one high block (or matching runs of whole low blocks).
QuartetRuns pair_runs(std::span<Amp> a, std::span<Amp> b, size_t half) {
  const size_t m = std::min(a.size(), b.size());
  return {a.data(), a.data() + half, b.data(), b.data() + half, half, 2 * half, m / (2 * half)};
}

// A quartet body's call: four slices, one run each.
QuartetRuns slice_runs(std::span<Amp> a0, std::span<Amp> a1, std::span<Amp> a2, std::span<Amp> a3) {
  const size_t m = std::min({a0.size(), a1.size(), a2.size(), a3.size()});
  return {a0.data(), a1.data(), a2.data(), a3.data(), m, m, 1};
}

// The quartet walk over slots a and b with a pair body and a quartet body that both hand their
// runs to body(runs, QuartetRuns), runs = (lo >= 2).
template <class Body>
void walk(std::span<Amp> amps, size_t a, size_t b, const Body& body) {
  const LoHi s = ordered(a, b);
  const bool runs = s.lo >= 2;
  par::par_walk_quartets(
      amps, size_t{1} << s.lo, size_t{1} << s.hi,
      [&](std::span<Amp> A, std::span<Amp> B, size_t half) { body(runs, pair_runs(A, B, half)); },
      [&](std::span<Amp> a0, std::span<Amp> a1, std::span<Amp> a2, std::span<Amp> a3) {
        body(runs, slice_runs(a0, a1, a2, a3));
      });
}

// The local order of apply_2q: with the first qubit at the lower slot the kernel's local index
// (bit hi << 1) | bit lo has the qubits the other way round, so local indices 1 and 2 are
// exchanged in rows and columns: M'[r + 4c] = M[p(r) + 4 p(c)], p = (0, 2, 1, 3).
std::array<Amp, 16> in_local_order(const std::array<Amp, 16>& m, bool first_is_lo) {
  if (!first_is_lo) return m;
  constexpr size_t P[4] = {0, 2, 1, 3};
  std::array<Amp, 16> out;
  for (size_t c = 0; c < 4; ++c) {
    for (size_t r = 0; r < 4; ++r) out[r + 4 * c] = m[P[r] + 4 * P[c]];
  }
  return out;
}

}  // namespace

// ---- bodies ----

void apply_cx_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  if (simd && runs) return HWY_DYNAMIC_DISPATCH(SwapRuns)(x, q.r3, q.len, q.stride, q.count);
  tq::for_runs(q.len, q.stride, q.count, tq::SwapOne{}, x, q.r3);
}

void apply_cy_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  if (simd && runs) return HWY_DYNAMIC_DISPATCH(CyRuns)(x, q.r3, q.len, q.stride, q.count);
  tq::for_runs(q.len, q.stride, q.count, tq::CyOne{}, x, q.r3);
}

void apply_cz_runs(bool simd, bool runs, const QuartetRuns& q) {
  if (simd && runs) return HWY_DYNAMIC_DISPATCH(NegRuns)(q.r3, q.len, q.stride, q.count);
  tq::for_runs(q.len, q.stride, q.count, tq::NegOne{}, q.r3);
}

void apply_cp_runs(bool simd, bool runs, const QuartetRuns& q, Amp phase) {
  if (simd && runs) {
    return HWY_DYNAMIC_DISPATCH(PhaseRuns)(q.r3, q.len, q.stride, q.count, phase.real(),
                                           phase.imag());
  }
  tq::for_runs(q.len, q.stride, q.count, tq::PhaseOne{phase}, q.r3);
}

void apply_crz_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo, double c,
                    double s) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  if (simd && runs) {
    return HWY_DYNAMIC_DISPATCH(PhasePairRuns)(x, q.r3, q.len, q.stride, q.count, c, s);
  }
  tq::for_runs(q.len, q.stride, q.count, tq::PhasePairOne{Amp(c, -s), Amp(c, s)}, x, q.r3);
}

void apply_swap_runs(bool simd, bool runs, const QuartetRuns& q) {
  if (simd && runs) return HWY_DYNAMIC_DISPATCH(SwapRuns)(q.r1, q.r2, q.len, q.stride, q.count);
  tq::for_runs(q.len, q.stride, q.count, tq::SwapOne{}, q.r1, q.r2);
}

void apply_iswap_runs(bool simd, bool runs, const QuartetRuns& q) {
  if (simd && runs) return HWY_DYNAMIC_DISPATCH(IswapRuns)(q.r1, q.r2, q.len, q.stride, q.count);
  tq::for_runs(q.len, q.stride, q.count, tq::IswapOne{}, q.r1, q.r2);
}

void apply_rzz_runs(bool simd, bool runs, const QuartetRuns& q, double c, double s) {
  const Amp minus(c, -s), plus(c, s);
  if (!runs) {
    return tq::for_runs(q.len, q.stride, q.count, tq::RzzPlainOne{minus, plus}, q.r0, q.r1, q.r2,
                        q.r3);
  }
  if (simd) {
    return HWY_DYNAMIC_DISPATCH(RzzFusedRuns)(q.r0, q.r1, q.r2, q.r3, q.len, q.stride, q.count, c,
                                              s);
  }
  tq::for_runs(q.len, q.stride, q.count, tq::RzzFusedOne{minus, plus}, q.r0, q.r1, q.r2, q.r3);
}

void apply_ctrl_2x2_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo,
                         const std::array<Amp, 4>& m) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  if (!runs) return tq::for_runs(q.len, q.stride, q.count, tq::Ctrl2x2PlainOne{m}, x, q.r3);
  if (simd) {
    return HWY_DYNAMIC_DISPATCH(Ctrl2x2FusedRuns)(x, q.r3, q.len, q.stride, q.count, m.data());
  }
  tq::for_runs(q.len, q.stride, q.count, tq::Ctrl2x2FusedOne{m}, x, q.r3);
}

void apply_2q_runs(bool simd, bool runs, const QuartetRuns& q, const std::array<Amp, 16>& m) {
  if (!runs) {
    return tq::for_runs(q.len, q.stride, q.count, tq::Dense4x4PlainOne{m}, q.r0, q.r1, q.r2, q.r3);
  }
  if (simd) {
    return HWY_DYNAMIC_DISPATCH(Dense4x4FusedRuns)(q.r0, q.r1, q.r2, q.r3, q.len, q.stride, q.count,
                                                   m.data());
  }
  tq::for_runs(q.len, q.stride, q.count, tq::Dense4x4FusedOne{m}, q.r0, q.r1, q.r2, q.r3);
}

// ---- kernels ----

void apply_cx_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target) {
  const LoHi s = ordered(control, target);
  const bool ctrl_is_lo = control <= target;
  if (s.hi <= 2) {
    // The body tells the two control cases apart by 2^control: 1 is the lower slot of {0, 1}
    // and {0, 2}, 2 the lower slot of {1, 2}.
    const size_t cbit = size_t{1} << control;
    if (s.hi == 1) {
      return run_par_or_seq(amps, 4, [cbit](std::span<Amp> r) {
        cbit == 1 ? exchange_groups<4, 1, 3>(r) : exchange_groups<4, 2, 3>(r);
      });
    }
    if (s.lo == 0) {
      return run_par_or_seq(amps, 8, [cbit](std::span<Amp> r) {
        cbit == 1 ? exchange_groups<8, 1, 5, 3, 7>(r) : exchange_groups<8, 4, 5, 6, 7>(r);
      });
    }
    return run_par_or_seq(amps, 8, [cbit](std::span<Amp> r) {
      cbit == 2 ? exchange_groups<8, 2, 6, 3, 7>(r) : exchange_groups<8, 4, 6, 5, 7>(r);
    });
  }
  const bool runs = s.lo >= 2;
  par::par_walk_quartets(
      amps, size_t{1} << s.lo, size_t{1} << s.hi,
      [&](std::span<Amp> A, std::span<Amp> B, size_t half) {
        apply_cx_runs(simd, runs, pair_runs(A, B, half), ctrl_is_lo);
      },
      [&](std::span<Amp> a0, std::span<Amp> a1, std::span<Amp> a2, std::span<Amp> a3) {
        // Whole slices are exchanged.
        if ((ctrl_is_lo ? a1 : a2).size() != a3.size()) {
          throw Fault("destination and source slices have different lengths");
        }
        apply_cx_runs(simd, runs, slice_runs(a0, a1, a2, a3), ctrl_is_lo);
      });
}

void apply_cy_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target) {
  const bool ctrl_is_lo = control <= target;
  walk(amps, control, target,
       [&](bool runs, const QuartetRuns& q) { apply_cy_runs(simd, runs, q, ctrl_is_lo); });
}

void apply_cz_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b) {
  const LoHi s = ordered(a, b);
  if (s.hi == 1) return run_par_or_seq(amps, 4, negate_groups<4, 3>);
  if (s.hi == 2 && s.lo == 0) return run_par_or_seq(amps, 8, negate_groups<8, 5, 7>);
  if (s.hi == 2) return run_par_or_seq(amps, 8, negate_groups<8, 6, 7>);
  walk(amps, a, b, [&](bool runs, const QuartetRuns& q) { apply_cz_runs(simd, runs, q); });
}

void apply_cp_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b, double lambda) {
  double sn = 0.0, cs = 0.0;
  ::sincos(lambda, &sn, &cs);  // the full angle
  const Amp phase(cs, sn);
  walk(amps, a, b, [&](bool runs, const QuartetRuns& q) { apply_cp_runs(simd, runs, q, phase); });
}

void apply_crz_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target,
                      double lambda) {
  double s = 0.0, c = 0.0;
  ::sincos(lambda * 0.5, &s, &c);
  const bool ctrl_is_lo = control <= target;
  walk(amps, control, target,
       [&](bool runs, const QuartetRuns& q) { apply_crz_runs(simd, runs, q, ctrl_is_lo, c, s); });
}

void apply_swap_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b) {
  const LoHi s = ordered(a, b);
  if (s.hi == 1) return run_par_or_seq(amps, 4, exchange_groups<4, 1, 2>);
  if (s.hi == 2 && s.lo == 0) return run_par_or_seq(amps, 8, exchange_groups<8, 1, 4, 3, 6>);
  if (s.hi == 2) return run_par_or_seq(amps, 8, exchange_groups<8, 2, 4, 3, 5>);
  walk(amps, a, b, [&](bool runs, const QuartetRuns& q) { apply_swap_runs(simd, runs, q); });
}

void apply_iswap_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b) {
  walk(amps, a, b, [&](bool runs, const QuartetRuns& q) { apply_iswap_runs(simd, runs, q); });
}

void apply_rzz_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b, double theta) {
  double s = 0.0, c = 0.0;
  ::sincos(theta * 0.5, &s, &c);
  walk(amps, a, b, [&](bool runs, const QuartetRuns& q) { apply_rzz_runs(simd, runs, q, c, s); });
}

void apply_ctrl_2x2_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target,
                           const std::array<Amp, 4>& m) {
  const std::array<Amp, 4> mat = m;  // the caller's matrix is read once, on entry
  const bool ctrl_is_lo = control <= target;
  walk(amps, control, target, [&](bool runs, const QuartetRuns& q) {
    apply_ctrl_2x2_runs(simd, runs, q, ctrl_is_lo, mat);
  });
}

void apply_2q(bool simd, std::span<Amp> amps, size_t s1, size_t s2, const std::array<Amp, 16>& m) {
  const std::array<Amp, 16> mat = in_local_order(m, s1 < s2);
  walk(amps, s1, s2, [&](bool runs, const QuartetRuns& q) { apply_2q_runs(simd, runs, q, mat); });
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
