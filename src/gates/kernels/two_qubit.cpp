// Two-qubit amplitude kernels: portable bodies, Highway bodies per target, and the kernel entry
// points that pick the traversal from the two slots.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gates/kernels/two_qubit.cpp"
#include <hwy/cache_control.h>
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
#include "gates/kernels/matrix_ops.hpp"
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

// The runs of one body call (QuartetRuns without its pointers): `blocks` high blocks
// `block_stride` apart, each with `count` runs of `len` amplitudes `stride` apart.
struct Shape {
  size_t len;
  size_t stride;
  size_t count;
  size_t blocks;
  size_t block_stride;
};

inline Shape shape_of(const QuartetRuns& q) {
  return {q.len, q.stride, q.count, q.blocks, q.block_stride};
}

// A body call with lo = 0 or 1 in the layout of the walk's pair and segment calls: the lower
// halves' runs of `blocks` high blocks (`block_stride` apart) start at A, each `run` amplitudes
// of whole low blocks, and the matching upper halves at B.
struct WideCall {
  Amp* A;
  Amp* B;
  size_t lo;
  size_t run;
  size_t blocks;
  size_t block_stride;
};

// Which two roles a two-role gate reads and writes, as (x, y).
enum WideRoles : int { kA1A3 = 0, kA2A3 = 1, kA1A2 = 2 };

// The L1 data cache of these machines (AMD) picks the way of a line by a tag of its virtual
// address bits 12 to 27, so lines whose addresses differ only from bit 28 up cannot be in L1
// together. Roles 2^28 bytes apart (high slot >= 24, or low slot >= 24) therefore miss L1 at
// every step of a loop that goes back and forth between them; measured on 26 qubits, RZZ on
// slots (24, 25) ran 2.6x the streaming pass on 8 workers and 3.9x on one that way, 1.1x and
// 1.0x one role at a time. Gates whose amplitudes each depend on themselves alone (RZZ, CRZ)
// go role by role there.
inline bool far_apart(const Amp* a, const Amp* b) {
  constexpr size_t ALIAS = size_t{1} << 28;
  const size_t d = static_cast<size_t>(a < b ? b - a : a - b) * sizeof(Amp);
  return d >= ALIAS && d % ALIAS == 0;
}

// f(p[j]...) for every position j of every run: j = h * block_stride + i * stride + k, h <
// blocks, i < count, k < len. Runs of one or two amplitudes (lo = 0, 1) get loops of their own,
// without an inner loop to set up.
template <class F, class... Ptr>
inline void for_runs(const Shape& s, const F& f, Ptr... p) {
  for (size_t h = 0, o = 0; h < s.blocks; ++h, o += s.block_stride) {
    if (s.len == 1) {
      for (size_t i = 0, b = o; i < s.count; ++i, b += s.stride) f(p[b]...);
    } else if (s.len == 2) {
      for (size_t i = 0, b = o; i < s.count; ++i, b += s.stride) {
        f(p[b]...);
        f(p[b + 1]...);
      }
    } else {
      for (size_t i = 0, b = o; i < s.count; ++i, b += s.stride) {
        for (size_t j = b; j < b + s.len; ++j) f(p[j]...);
      }
    }
  }
}

}  // namespace tavro::kernels::detail::two_qubit
#endif  // TAVRO_GATES_KERNELS_TWO_QUBIT_PORTABLE_

#include "gates/kernels/matrix_ops-inl.h"

// ---- vector bodies, one copy per target ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
namespace tq = detail::two_qubit;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold an amplitude: the portable bodies serve.
void SwapRuns(Amp* x, Amp* y, const tq::Shape& s) { tq::for_runs(s, tq::SwapOne{}, x, y); }
void CyRuns(Amp* x, Amp* y, const tq::Shape& s) { tq::for_runs(s, tq::CyOne{}, x, y); }
void IswapRuns(Amp* x, Amp* y, const tq::Shape& s) { tq::for_runs(s, tq::IswapOne{}, x, y); }
void NegRuns(Amp* p, const tq::Shape& s) { tq::for_runs(s, tq::NegOne{}, p); }
void PhaseRuns(Amp* p, const tq::Shape& s, double re, double im) {
  tq::for_runs(s, tq::PhaseOne{Amp(re, im)}, p);
}
void PhasePairRuns(Amp* x, Amp* y, const tq::Shape& s, double c, double sn) {
  tq::for_runs(s, tq::PhasePairOne{Amp(c, -sn), Amp(c, sn)}, x, y);
}
void RzzPlainRuns(Amp* r0, Amp* r1, Amp* r2, Amp* r3, const tq::Shape& s, double c, double sn) {
  tq::for_runs(s, tq::RzzPlainOne{Amp(c, -sn), Amp(c, sn)}, r0, r1, r2, r3);
}
void RzzFusedRuns(Amp* r0, Amp* r1, Amp* r2, Amp* r3, const tq::Shape& s, double c, double sn) {
  tq::for_runs(s, tq::RzzFusedOne{Amp(c, -sn), Amp(c, sn)}, r0, r1, r2, r3);
}
void Ctrl2x2PlainRuns(Amp* x, Amp* y, const tq::Shape& s, const Amp* m) {
  tq::for_runs(s, Ctrl2x2PlainOne{{m[0], m[1], m[2], m[3]}}, x, y);
}
void Ctrl2x2FusedRuns(Amp* x, Amp* y, const tq::Shape& s, const Amp* m) {
  tq::for_runs(s, Ctrl2x2FusedOne{{m[0], m[1], m[2], m[3]}}, x, y);
}
void Dense4x4PlainRuns(Amp* r0, Amp* r1, Amp* r2, Amp* r3, const tq::Shape& s, const Amp* m) {
  Dense4x4PlainOne one{};
  std::copy(m, m + 16, one.m.begin());
  tq::for_runs(s, one, r0, r1, r2, r3);
}
void Dense4x4FusedRuns(Amp* r0, Amp* r1, Amp* r2, Amp* r3, const tq::Shape& s, const Amp* m) {
  Dense4x4FusedOne one{};
  std::copy(m, m + 16, one.m.begin());
  tq::for_runs(s, one, r0, r1, r2, r3);
}
// No whole-low-block form: the callers fall back to the loops above.
bool SwapWide(const tq::WideCall&, int) { return false; }
bool CyWide(const tq::WideCall&, int) { return false; }
bool IswapWide(const tq::WideCall&, int) { return false; }
bool PhasePairWide(const tq::WideCall&, int, double, double) { return false; }
bool Ctrl2x2PlainWide(const tq::WideCall&, int, const Amp*) { return false; }
bool NegWide(const tq::WideCall&) { return false; }
bool PhaseWide(const tq::WideCall&, double, double) { return false; }
bool RzzPlainWide(const tq::WideCall&, double, double) { return false; }
bool Dense4x4PlainWide(const tq::WideCall&, const Amp*) { return false; }

#else  // HWY_TARGET != HWY_SCALAR

// step(at) for the vectors of `per` amplitudes of all runs, in address order: at = h *
// block_stride + i * stride + k * per. One flat loop, so the gate's constants stay outside it
// also when a run is a single vector and a high block a single run (slots {0, 1}). per | len.
template <class Step>
HWY_INLINE void ForVectors(const tq::Shape& s, size_t per, const Step& step) {
  const size_t per_run = s.len / per;
  const size_t total = per_run * s.count * s.blocks;
  const size_t run_skip = s.stride - s.len;
  const size_t block_skip = s.block_stride - s.count * s.stride;
  size_t at = 0, k = 0, i = 0;
  for (size_t v = 0; v < total; ++v) {
    step(at);
    at += per;
    if (++k == per_run) {
      k = 0;
      at += run_skip;
      if (++i == s.count) {
        i = 0;
        at += block_skip;
      }
    }
  }
}

// Runs of up to 16 amplitudes (a lowest slot of 4 or less) that are not back to back come
// too short and too scattered for the hardware prefetchers: each role's line PREFETCH_AHEAD
// amplitudes on is requested in advance. Measured on slots (2, 5), 26 qubits, in streaming
// passes with all workers: CZ 0.45 -> 0.33, SWAP 0.68 -> 0.57, CRX 0.67 -> 0.53. Adding 2^9 to
// a position keeps its role unless a gate slot is 9, and then it is the partner role's line.
constexpr size_t PREFETCH_AHEAD = 512;
inline bool PrefetchesAhead(const tq::Shape& s) { return s.len <= 16 && s.stride > s.len; }

// The address is formed as an integer: near a buffer's end it lies past the buffer, where a
// prefetch is harmless but pointer arithmetic is not defined.
template <class... P>
HWY_INLINE void Prefetch(size_t at, P... p) {
  const size_t bytes = (at + PREFETCH_AHEAD) * sizeof(Amp);
  (hwy::Prefetch(reinterpret_cast<const double*>(reinterpret_cast<uintptr_t>(p) + bytes)), ...);
}

// op(d, v) on every amplitude of every run of one role.
template <class Op>
HWY_INLINE void ForRuns1(const Op& op, const tq::Shape& s, Amp* HWY_RESTRICT p) {
  double* HWY_RESTRICT pd = Doubles(p);
  const bool ahead = PrefetchesAhead(s);
  WithRunTag(s.len, [&](auto d) {
    ForVectors(s, PerVector(d), [&](size_t at) {
      if (ahead) Prefetch(at, pd);
      auto v = hn::LoadU(d, pd + 2 * at);
      op(d, v);
      hn::StoreU(v, d, pd + 2 * at);
    });
  });
}

// The same over two roles.
template <class Op>
HWY_INLINE void ForRuns2(const Op& op, const tq::Shape& s, Amp* HWY_RESTRICT x,
                         Amp* HWY_RESTRICT y) {
  double* HWY_RESTRICT px = Doubles(x);
  double* HWY_RESTRICT py = Doubles(y);
  const bool ahead = PrefetchesAhead(s);
  WithRunTag(s.len, [&](auto d) {
    ForVectors(s, PerVector(d), [&](size_t at) {
      if (ahead) Prefetch(at, px, py);
      auto vx = hn::LoadU(d, px + 2 * at);
      auto vy = hn::LoadU(d, py + 2 * at);
      op(d, vx, vy);
      hn::StoreU(vx, d, px + 2 * at);
      hn::StoreU(vy, d, py + 2 * at);
    });
  });
}

// The same over all four roles.
template <class Op>
HWY_INLINE void ForRuns4(const Op& op, const tq::Shape& s, Amp* HWY_RESTRICT r0,
                         Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2, Amp* HWY_RESTRICT r3) {
  double* HWY_RESTRICT p0 = Doubles(r0);
  double* HWY_RESTRICT p1 = Doubles(r1);
  double* HWY_RESTRICT p2 = Doubles(r2);
  double* HWY_RESTRICT p3 = Doubles(r3);
  const bool ahead = PrefetchesAhead(s);
  WithRunTag(s.len, [&](auto d) {
    ForVectors(s, PerVector(d), [&](size_t at) {
      if (ahead) Prefetch(at, p0, p1, p2, p3);
      auto v0 = hn::LoadU(d, p0 + 2 * at);
      auto v1 = hn::LoadU(d, p1 + 2 * at);
      auto v2 = hn::LoadU(d, p2 + 2 * at);
      auto v3 = hn::LoadU(d, p3 + 2 * at);
      op(d, v0, v1, v2, v3);
      hn::StoreU(v0, d, p0 + 2 * at);
      hn::StoreU(v1, d, p1 + 2 * at);
      hn::StoreU(v2, d, p2 + 2 * at);
      hn::StoreU(v3, d, p3 + 2 * at);
    });
  });
}

// Amplitudes per role of one tile of the role-by-role loops: short enough for all roles' tiles
// to stay in L2, long enough to stream.
constexpr size_t ROLE_TILE = 4096;

// f(offset, shape) over tiles of the runs of s, in address order: whole runs of one high block,
// about ROLE_TILE amplitudes per role (one run when runs are longer).
template <class F>
HWY_INLINE void ForRoleTiles(const tq::Shape& s, const F& f) {
  const size_t per_tile = std::max<size_t>(1, std::min(s.count, ROLE_TILE / s.len));
  for (size_t h = 0, o = 0; h < s.blocks; ++h, o += s.block_stride) {
    for (size_t i = 0; i < s.count; i += per_tile) {
      const size_t n = std::min(per_tile, s.count - i);
      f(o + i * s.stride, tq::Shape{s.len, s.stride, n, 1, 0});
    }
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

// z times (re, im), plain product.
struct PhaseOp {
  double re, im;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& z) const {
    z = MulPlain(d, hn::Set(d, re), hn::Set(d, im), z);
  }
};

// z times (c, im), fused product.
struct FusedPhaseOp {
  double c, im;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& z) const {
    z = MulFused(d, hn::Set(d, c), hn::Set(d, im), z);
  }
};

// CRZ: x and y each times its own phase.
template <class P = PhaseOp>
struct PhasePairOp {
  P px, py;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& x, V& y) const {
    px(d, x);
    py(d, y);
  }
};

// RZZ: a0, a3 times `minus`, a1, a2 times `plus` (PhaseOp or FusedPhaseOp).
template <class P>
struct Rzz4Op {
  P minus, plus;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1, V& a2, V& a3) const {
    minus(d, a0);
    plus(d, a1);
    plus(d, a2);
    minus(d, a3);
  }
};

// ---- whole low blocks per vector (lo = 0 and 1) ----
//
// Below lo = 2 a role's run is one or two amplitudes, so the loops above go a 128- or 256-bit
// vector per role and touch every line of both halves several times. Where a vector holds whole
// low blocks (2^(lo+1) amplitudes: AVX-512 for lo = 0 and 1, 256-bit vectors for lo = 0), one
// step loads instead one vector from each half at the same offset: v holds a0 and a1 of some
// quartets, w holds a2 and a3 of the same quartets in the same lanes. The roles are then lined
// up with lane permutations and the results put back with selects, so each lane still gets
// exactly the scalar operations of its amplitude, and lanes of roles the gate leaves alone keep
// their bits. Every line of the halves the gate touches is loaded and stored once.

template <class D>
struct WideLanes {
  using I = decltype(hn::SetTableIndices(D(), static_cast<const int64_t*>(nullptr)));
  I dup0;           // each amplitude replaced by the one of its quartet with bit lo = 0
  I dup1;           // ... with bit lo = 1
  I swap;           // each amplitude exchanged with its partner in bit lo
  hn::Mask<D> odd;  // the lanes of amplitudes with bit lo = 1

  WideLanes(D d, size_t lo) {
    constexpr size_t MAX = HWY_MAX_BYTES / sizeof(double);
    alignas(64) int64_t i0[MAX], i1[MAX], isw[MAX];
    alignas(64) uint64_t odd_bits[MAX];
    const size_t bit = size_t{1} << lo;
    for (size_t i = 0; i < hn::Lanes(d); ++i) {
      const size_t amp = i / 2, part = i % 2;
      i0[i] = static_cast<int64_t>(2 * (amp & ~bit) + part);
      i1[i] = static_cast<int64_t>(2 * (amp | bit) + part);
      isw[i] = static_cast<int64_t>(2 * (amp ^ bit) + part);
      odd_bits[i] = (amp & bit) != 0 ? ~uint64_t{0} : 0;
    }
    dup0 = hn::SetTableIndices(d, i0);
    dup1 = hn::SetTableIndices(d, i1);
    swap = hn::SetTableIndices(d, isw);
    const hn::RebindToUnsigned<D> du;
    odd = hn::RebindMask(d, hn::Ne(hn::Load(du, odd_bits), hn::Zero(du)));
  }
};

// step(pv, pw) for every vector of the lower halves' runs (`run` amplitudes per high block,
// `blocks` high blocks `block_stride` apart) and the matching vector of the upper halves.
template <class D, class Step>
HWY_INLINE void ForWide(D d, Amp* A, Amp* B, size_t run, size_t blocks, size_t block_stride,
                        const Step& step) {
  double* HWY_RESTRICT pa = Doubles(A);
  double* HWY_RESTRICT pb = Doubles(B);
  const size_t per = PerVector(d);
  const size_t per_run = run / per;
  const size_t total = per_run * blocks;
  size_t at = 0, k = 0;
  for (size_t v = 0; v < total; ++v) {
    step(pa + 2 * at, pb + 2 * at);
    at += per;
    if (++k == per_run) {
      k = 0;
      at += block_stride - run;
    }
  }
}

// stepA(pv) and stepB(pw) for the same vectors as ForWide, for gates whose lanes each depend on
// themselves alone: the two halves together, or, where they lie far apart, a tile of ROLE_TILE
// amplitudes of the lower half, then the same of the upper.
template <class D, class StepA, class StepB>
HWY_INLINE void ForWideApart(D d, const tq::WideCall& c, const StepA& step_a, const StepB& step_b) {
  if (!tq::far_apart(c.A, c.B)) {
    return ForWide(d, c.A, c.B, c.run, c.blocks, c.block_stride, [&](double* pv, double* pw) {
      step_a(pv);
      step_b(pw);
    });
  }
  double* HWY_RESTRICT pa = Doubles(c.A);
  double* HWY_RESTRICT pb = Doubles(c.B);
  const size_t per = PerVector(d);
  for (size_t h = 0, o = 0; h < c.blocks; ++h, o += c.block_stride) {
    for (size_t t = 0; t < c.run; t += ROLE_TILE) {
      const size_t end = o + std::min(c.run, t + ROLE_TILE);
      for (size_t k = o + t; k < end; k += per) step_a(pa + 2 * k);
      for (size_t k = o + t; k < end; k += per) step_b(pb + 2 * k);
    }
  }
}

// step(pv, pw) as ForWide, for the two-role gates. Where the halves lie far apart, each tile of
// the upper half is first copied to a buffer on the stack and back after: the steps then go
// between the lower half and the buffer, which L1 holds together. Measured on 26 qubits, one
// worker: SWAP and CX on slots (0, 25) 2.4x the streaming pass without the buffer, 1.4x with
// it; iSWAP on (1, 25) 2.2x and 1.3x (on eight workers about 1.3x either way). The dense 4x4,
// bound by its arithmetic there, ran slower with the copies and does without.
template <class D, class Step>
HWY_INLINE void ForWideBoth(D d, const tq::WideCall& c, const Step& step) {
  if (!tq::far_apart(c.A, c.B)) return ForWide(d, c.A, c.B, c.run, c.blocks, c.block_stride, step);
  constexpr size_t TILE = 512;  // amplitudes: 8 KiB
  alignas(64) double buf[2 * TILE];
  double* HWY_RESTRICT pa = Doubles(c.A);
  double* HWY_RESTRICT pb = Doubles(c.B);
  const size_t per = PerVector(d);
  for (size_t h = 0, o = 0; h < c.blocks; ++h, o += c.block_stride) {
    for (size_t t = 0; t < c.run; t += TILE) {
      const size_t n = std::min(TILE, c.run - t);
      double* HWY_RESTRICT a = pa + 2 * (o + t);
      double* HWY_RESTRICT b = pb + 2 * (o + t);
      for (size_t k = 0; k < n; k += per) hn::Store(hn::LoadU(d, b + 2 * k), d, buf + 2 * k);
      for (size_t k = 0; k < n; k += per) step(a + 2 * k, buf + 2 * k);
      for (size_t k = 0; k < n; k += per) hn::StoreU(hn::Load(d, buf + 2 * k), d, b + 2 * k);
    }
  }
}

// f(d) with a vector that holds whole low blocks of 2^(lo+1) amplitudes and divides `run`;
// false (nothing done) where the target has none.
template <class F>
HWY_INLINE bool WithWideTag(size_t lo, size_t run, const F& f) {
  const size_t block = size_t{2} << lo;
  const DAll d;
  if (PerVector(d) >= block && run % PerVector(d) == 0) {
    f(d);
    return true;
  }
  const DTwo d2;
  if (PerVector(d2) >= block && run % PerVector(d2) == 0) {
    f(d2);
    return true;
  }
  return false;
}

// op(d, x, y) of a two-role gate on whole low blocks.
template <class Op>
HWY_INLINE bool WideTwo(const Op& op, int roles, const tq::WideCall& c) {
  return WithWideTag(c.lo, c.run, [&](auto d) {
    const WideLanes<decltype(d)> L(d, c.lo);
    if (roles == tq::kA2A3) {
      // Both in the upper half: w against its own partners; bit-lo-0 lanes end as new x.
      return ForWide(d, c.A, c.B, c.run, c.blocks, c.block_stride, [&](double*, double* pw) {
        const auto w = hn::LoadU(d, pw);
        auto x = w;
        auto y = hn::TableLookupLanes(w, L.swap);
        op(d, x, y);
        hn::StoreU(hn::IfThenElse(L.odd, hn::TableLookupLanes(y, L.swap), x), d, pw);
      });
    }
    ForWideBoth(d, c, [&](double* pv, double* pw) {
      const auto v = hn::LoadU(d, pv);
      const auto w = hn::LoadU(d, pw);
      auto x = v;
      if (roles == tq::kA1A3) {
        auto y = w;
        op(d, x, y);
        hn::StoreU(hn::IfThenElse(L.odd, x, v), d, pv);
        hn::StoreU(hn::IfThenElse(L.odd, y, w), d, pw);
      } else {
        auto y = hn::TableLookupLanes(w, L.swap);  // a2 beside a1
        op(d, x, y);
        hn::StoreU(hn::IfThenElse(L.odd, x, v), d, pv);
        hn::StoreU(hn::IfThenElse(L.odd, w, hn::TableLookupLanes(y, L.swap)), d, pw);
      }
    });
  });
}

// op(d, z) on a3 alone.
template <class Op>
HWY_INLINE bool WideA3(const Op& op, const tq::WideCall& c) {
  return WithWideTag(c.lo, c.run, [&](auto d) {
    const WideLanes<decltype(d)> L(d, c.lo);
    ForWide(d, c.A, c.B, c.run, c.blocks, c.block_stride, [&](double*, double* pw) {
      const auto w = hn::LoadU(d, pw);
      auto z = w;
      op(d, z);
      hn::StoreU(hn::IfThenElse(L.odd, z, w), d, pw);
    });
  });
}

// RZZ, plain form: every lane times its role's phase, (c, -s) for a0 and a3, (c, s) for a1, a2.
HWY_INLINE bool WideRzzPlain(const tq::WideCall& c, double cs, double sn) {
  return WithWideTag(c.lo, c.run, [&](auto d) {
    const WideLanes<decltype(d)> L(d, c.lo);
    const auto re = hn::Set(d, cs);
    const auto plus = hn::Set(d, sn);
    const auto minus = hn::Set(d, -sn);
    const auto im_v = hn::IfThenElse(L.odd, plus, minus);  // a0: -s, a1: s
    const auto im_w = hn::IfThenElse(L.odd, minus, plus);  // a2: s, a3: -s
    ForWideApart(
        d, c, [&](double* pv) { hn::StoreU(MulPlain(d, re, im_v, hn::LoadU(d, pv)), d, pv); },
        [&](double* pw) { hn::StoreU(MulPlain(d, re, im_w, hn::LoadU(d, pw)), d, pw); });
  });
}

// CRZ, plain form: x times (c, -s), y times (c, s), lane by lane.
HWY_INLINE bool WidePhasePair(const tq::WideCall& c, int roles, double cs, double sn) {
  return WithWideTag(c.lo, c.run, [&](auto d) {
    const WideLanes<decltype(d)> L(d, c.lo);
    const auto re = hn::Set(d, cs);
    const auto plus = hn::Set(d, sn);
    const auto minus = hn::Set(d, -sn);
    if (roles == tq::kA2A3) {
      // Both in the upper half: x in the bit-lo-0 lanes, y in the others.
      const auto im = hn::IfThenElse(L.odd, plus, minus);
      return ForWide(d, c.A, c.B, c.run, c.blocks, c.block_stride, [&](double*, double* pw) {
        hn::StoreU(MulPlain(d, re, im, hn::LoadU(d, pw)), d, pw);
      });
    }
    ForWideApart(
        d, c,
        [&](double* pv) {
          const auto v = hn::LoadU(d, pv);
          hn::StoreU(hn::IfThenElse(L.odd, MulPlain(d, re, minus, v), v), d, pv);
        },
        [&](double* pw) {
          const auto w = hn::LoadU(d, pw);
          hn::StoreU(hn::IfThenElse(L.odd, MulPlain(d, re, plus, w), w), d, pw);
        });
  });
}

// The dense 4x4, plain form: lane of role r gets ((m[r] a0 + m[r+4] a1) + m[r+8] a2) + m[r+12] a3
// of its quartet, the four inputs spread to every lane of the quartet first.
HWY_INLINE bool WideDense4x4Plain(const tq::WideCall& c, const Amp* m) {
  return WithWideTag(c.lo, c.run, [&](auto d) {
    using V = hn::Vec<decltype(d)>;
    const WideLanes<decltype(d)> L(d, c.lo);
    // Coefficients per output half (0: rows 0, 1 in v; 1: rows 2, 3 in w) and input c.
    V cre[2][4], cim[2][4];
    for (size_t h = 0; h < 2; ++h) {
      for (size_t k = 0; k < 4; ++k) {
        const Amp even = m[2 * h + 4 * k], odd = m[2 * h + 1 + 4 * k];
        cre[h][k] = hn::IfThenElse(L.odd, hn::Set(d, odd.real()), hn::Set(d, even.real()));
        cim[h][k] = hn::IfThenElse(L.odd, hn::Set(d, odd.imag()), hn::Set(d, even.imag()));
      }
    }
    ForWide(d, c.A, c.B, c.run, c.blocks, c.block_stride, [&](double* pv, double* pw) {
      const V v = hn::LoadU(d, pv);
      const V w = hn::LoadU(d, pw);
      const V z[4] = {hn::TableLookupLanes(v, L.dup0), hn::TableLookupLanes(v, L.dup1),
                      hn::TableLookupLanes(w, L.dup0), hn::TableLookupLanes(w, L.dup1)};
      V out[2];
      for (size_t h = 0; h < 2; ++h) {
        V t = MulPlain(d, cre[h][0], cim[h][0], z[0]);
        t = hn::Add(t, MulPlain(d, cre[h][1], cim[h][1], z[1]));
        t = hn::Add(t, MulPlain(d, cre[h][2], cim[h][2], z[2]));
        out[h] = hn::Add(t, MulPlain(d, cre[h][3], cim[h][3], z[3]));
      }
      hn::StoreU(out[0], d, pv);
      hn::StoreU(out[1], d, pw);
    });
  });
}

// ---- dispatched entry points: one call per body call of the walk ----

void SwapRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, const tq::Shape& s) {
  ForRuns2(SwapOp{}, s, x, y);
}

void CyRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, const tq::Shape& s) {
  ForRuns2(CyOp{}, s, x, y);
}

void IswapRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, const tq::Shape& s) {
  ForRuns2(IswapOp{}, s, x, y);
}

void NegRuns(Amp* HWY_RESTRICT p, const tq::Shape& s) { ForRuns1(NegOp{}, s, p); }

void PhaseRuns(Amp* HWY_RESTRICT p, const tq::Shape& s, double re, double im) {
  ForRuns1(PhaseOp{re, im}, s, p);
}

void PhasePairRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, const tq::Shape& s, double c,
                   double sn) {
  const PhaseOp px{c, -sn}, py{c, sn};
  if (!tq::far_apart(x, y)) return ForRuns2(PhasePairOp<>{px, py}, s, x, y);
  ForRoleTiles(s, [&](size_t o, const tq::Shape& t) {
    ForRuns1(px, t, x + o);
    ForRuns1(py, t, y + o);
  });
}

// RZZ: the four roles together; where the halves lie far apart, a tile of the lower half (a0 and
// a1, its two runs of each low block), then the same of the upper; where a0 and a1 do too, one
// role at a time.
template <class P>
HWY_INLINE void RzzRuns(const P& minus, const P& plus, Amp* r0, Amp* r1, Amp* r2, Amp* r3,
                        const tq::Shape& s) {
  if (tq::far_apart(r0, r1)) {
    return ForRoleTiles(s, [&](size_t o, const tq::Shape& t) {
      ForRuns1(minus, t, r0 + o);
      ForRuns1(plus, t, r1 + o);
      ForRuns1(plus, t, r2 + o);
      ForRuns1(minus, t, r3 + o);
    });
  }
  if (tq::far_apart(r0, r2)) {
    return ForRoleTiles(s, [&](size_t o, const tq::Shape& t) {
      ForRuns2(PhasePairOp<P>{minus, plus}, t, r0 + o, r1 + o);
      ForRuns2(PhasePairOp<P>{plus, minus}, t, r2 + o, r3 + o);
    });
  }
  ForRuns4(Rzz4Op<P>{minus, plus}, s, r0, r1, r2, r3);
}

void RzzPlainRuns(Amp* HWY_RESTRICT r0, Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2,
                  Amp* HWY_RESTRICT r3, const tq::Shape& s, double c, double sn) {
  RzzRuns(PhaseOp{c, -sn}, PhaseOp{c, sn}, r0, r1, r2, r3, s);
}

void Ctrl2x2PlainRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, const tq::Shape& s, const Amp* m) {
  ForRuns2(Ctrl2x2PlainOp{{m[0], m[1], m[2], m[3]}}, s, x, y);
}

void Dense4x4PlainRuns(Amp* HWY_RESTRICT r0, Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2,
                       Amp* HWY_RESTRICT r3, const tq::Shape& s, const Amp* m) {
  Dense4x4PlainOp op;
  std::copy(m, m + 16, op.m.begin());
  ForRuns4(op, s, r0, r1, r2, r3);
}

// The fused bodies need one rounding per MulAdd; where Highway would emulate it with two (no
// native FMA, hence no vfmaddsub either), the portable chain runs instead, so simd = true never
// changes a result.
void RzzFusedRuns(Amp* HWY_RESTRICT r0, Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2,
                  Amp* HWY_RESTRICT r3, const tq::Shape& s, double c, double sn) {
#if HWY_NATIVE_FMA
  RzzRuns(FusedPhaseOp{c, -sn}, FusedPhaseOp{c, sn}, r0, r1, r2, r3, s);
#else
  tq::for_runs(s, tq::RzzFusedOne{Amp(c, -sn), Amp(c, sn)}, r0, r1, r2, r3);
#endif
}

void Ctrl2x2FusedRuns(Amp* HWY_RESTRICT x, Amp* HWY_RESTRICT y, const tq::Shape& s, const Amp* m) {
  const std::array<Amp, 4> mat{m[0], m[1], m[2], m[3]};
#if HWY_NATIVE_FMA
  ForRuns2(Ctrl2x2FusedOp{mat}, s, x, y);
#else
  tq::for_runs(s, Ctrl2x2FusedOne{mat}, x, y);
#endif
}

void Dense4x4FusedRuns(Amp* HWY_RESTRICT r0, Amp* HWY_RESTRICT r1, Amp* HWY_RESTRICT r2,
                       Amp* HWY_RESTRICT r3, const tq::Shape& s, const Amp* m) {
  std::array<Amp, 16> mat;
  std::copy(m, m + 16, mat.begin());
#if HWY_NATIVE_FMA
  ForRuns4(Dense4x4FusedOp{mat}, s, r0, r1, r2, r3);
#else
  tq::for_runs(s, Dense4x4FusedOne{mat}, r0, r1, r2, r3);
#endif
}

bool SwapWide(const tq::WideCall& c, int roles) { return WideTwo(SwapOp{}, roles, c); }
bool CyWide(const tq::WideCall& c, int roles) { return WideTwo(CyOp{}, roles, c); }
bool IswapWide(const tq::WideCall& c, int roles) { return WideTwo(IswapOp{}, roles, c); }
bool PhasePairWide(const tq::WideCall& c, int roles, double cs, double sn) {
  return WidePhasePair(c, roles, cs, sn);
}
bool Ctrl2x2PlainWide(const tq::WideCall& c, int roles, const Amp* m) {
  return WideTwo(Ctrl2x2PlainOp{{m[0], m[1], m[2], m[3]}}, roles, c);
}
bool NegWide(const tq::WideCall& c) { return WideA3(NegOp{}, c); }
bool PhaseWide(const tq::WideCall& c, double re, double im) { return WideA3(PhaseOp{re, im}, c); }
bool RzzPlainWide(const tq::WideCall& c, double cs, double sn) { return WideRzzPlain(c, cs, sn); }
bool Dense4x4PlainWide(const tq::WideCall& c, const Amp* m) { return WideDense4x4Plain(c, m); }

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
HWY_EXPORT(RzzPlainRuns);
HWY_EXPORT(RzzFusedRuns);
HWY_EXPORT(Ctrl2x2PlainRuns);
HWY_EXPORT(Ctrl2x2FusedRuns);
HWY_EXPORT(Dense4x4PlainRuns);
HWY_EXPORT(Dense4x4FusedRuns);
HWY_EXPORT(SwapWide);
HWY_EXPORT(CyWide);
HWY_EXPORT(IswapWide);
HWY_EXPORT(PhasePairWide);
HWY_EXPORT(Ctrl2x2PlainWide);
HWY_EXPORT(NegWide);
HWY_EXPORT(PhaseWide);
HWY_EXPORT(RzzPlainWide);
HWY_EXPORT(Dense4x4PlainWide);

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

// A segment call: the runs of every high block of `seg`, whole high blocks of 2 s_hi.
QuartetRuns segment_runs(std::span<Amp> seg, size_t s_lo, size_t s_hi) {
  Amp* p = seg.data();
  return {p,       p + s_lo, p + s_hi,          p + s_hi + s_lo,
          s_lo,    2 * s_lo, s_hi / (2 * s_lo), seg.size() / (2 * s_hi),
          2 * s_hi};
}

// A quartet body's call: four slices, one run each.
QuartetRuns slice_runs(std::span<Amp> a0, std::span<Amp> a1, std::span<Amp> a2, std::span<Amp> a3) {
  const size_t m = std::min({a0.size(), a1.size(), a2.size(), a3.size()});
  return {a0.data(), a1.data(), a2.data(), a3.data(), m, m, 1};
}

// The pair body of the walk, with the segment entry: a run of whole high blocks is one call of
// body(runs, QuartetRuns) however small its blocks are.
template <class Body>
struct PairBody {
  const Body& body;
  bool runs;
  void operator()(std::span<Amp> A, std::span<Amp> B, size_t half) const {
    body(runs, pair_runs(A, B, half));
  }
  void segment(std::span<Amp> seg, size_t s_lo, size_t s_hi) const {
    body(runs, segment_runs(seg, s_lo, s_hi));
  }
};

// The quartet walk over slots a and b with a pair body and a quartet body that both hand their
// runs to body(runs, QuartetRuns), runs = (lo >= 2). check(a0, a1, a2, a3) sees the four slices
// of a quartet body call first.
template <class Body, class Check>
void walk(std::span<Amp> amps, size_t a, size_t b, const Body& body, const Check& check) {
  const LoHi s = ordered(a, b);
  const bool runs = s.lo >= 2;
  par::par_walk_quartets(
      amps, size_t{1} << s.lo, size_t{1} << s.hi, PairBody<Body>{body, runs},
      [&](std::span<Amp> a0, std::span<Amp> a1, std::span<Amp> a2, std::span<Amp> a3) {
        check(a0, a1, a2, a3);
        body(runs, slice_runs(a0, a1, a2, a3));
      });
}

template <class Body>
void walk(std::span<Amp> amps, size_t a, size_t b, const Body& body) {
  walk(amps, a, b, body, [](auto&&...) {});
}

// The fixed groups of slots {0, 1}, {0, 2}, {1, 2} (hi <= 2) cut by the chunked runner: each run
// of whole groups is a run of whole high blocks, handed to body(QuartetRuns) as one segment.
template <class Body>
void on_groups(std::span<Amp> amps, LoHi s, const Body& body) {
  const size_t s_lo = size_t{1} << s.lo, s_hi = size_t{1} << s.hi;
  run_par_or_seq(amps, 2 * s_hi, [&](std::span<Amp> r) { body(segment_runs(r, s_lo, s_hi)); });
}

}  // namespace

std::array<Amp, 16> in_local_order(const std::array<Amp, 16>& m, bool first_is_lo) {
  if (!first_is_lo) return m;
  constexpr size_t P[4] = {0, 2, 1, 3};
  std::array<Amp, 16> out;
  for (size_t c = 0; c < 4; ++c) {
    for (size_t r = 0; r < 4; ++r) out[r + 4 * c] = m[P[r] + 4 * P[c]];
  }
  return out;
}

// ---- bodies ----

namespace {

// The whole-low-block form of a call with lo < 2 in the layout of the walk's pair and segment
// calls (the quartet body's slices, and slices of tests, are left to the run loops).
bool wide_call(const QuartetRuns& q, tq::WideCall& w) {
  if (q.len > 2 || q.r1 != q.r0 + q.len || q.r3 != q.r2 + q.len || q.stride != 2 * q.len) {
    return false;
  }
  w = {q.r0,     q.r2,          q.len == 1 ? size_t{0} : size_t{1}, q.count * q.stride,
       q.blocks, q.block_stride};
  return true;
}

int wide_roles(bool ctrl_is_lo) { return ctrl_is_lo ? tq::kA1A3 : tq::kA2A3; }

}  // namespace

void apply_cx_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  if (simd) {
    tq::WideCall w;
    if (!runs && wide_call(q, w) && HWY_DYNAMIC_DISPATCH(SwapWide)(w, wide_roles(ctrl_is_lo))) {
      return;
    }
    return HWY_DYNAMIC_DISPATCH(SwapRuns)(x, q.r3, tq::shape_of(q));
  }
  tq::for_runs(tq::shape_of(q), tq::SwapOne{}, x, q.r3);
}

void apply_cy_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  if (simd) {
    tq::WideCall w;
    if (!runs && wide_call(q, w) && HWY_DYNAMIC_DISPATCH(CyWide)(w, wide_roles(ctrl_is_lo))) {
      return;
    }
    return HWY_DYNAMIC_DISPATCH(CyRuns)(x, q.r3, tq::shape_of(q));
  }
  tq::for_runs(tq::shape_of(q), tq::CyOne{}, x, q.r3);
}

void apply_cz_runs(bool simd, bool runs, const QuartetRuns& q) {
  if (simd) {
    tq::WideCall w;
    if (!runs && wide_call(q, w) && HWY_DYNAMIC_DISPATCH(NegWide)(w)) return;
    return HWY_DYNAMIC_DISPATCH(NegRuns)(q.r3, tq::shape_of(q));
  }
  tq::for_runs(tq::shape_of(q), tq::NegOne{}, q.r3);
}

void apply_cp_runs(bool simd, bool runs, const QuartetRuns& q, Amp phase) {
  if (simd) {
    tq::WideCall w;
    if (!runs && wide_call(q, w) &&
        HWY_DYNAMIC_DISPATCH(PhaseWide)(w, phase.real(), phase.imag())) {
      return;
    }
    return HWY_DYNAMIC_DISPATCH(PhaseRuns)(q.r3, tq::shape_of(q), phase.real(), phase.imag());
  }
  tq::for_runs(tq::shape_of(q), tq::PhaseOne{phase}, q.r3);
}

void apply_crz_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo, double c,
                    double s) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  if (simd) {
    tq::WideCall w;
    if (!runs && wide_call(q, w) &&
        HWY_DYNAMIC_DISPATCH(PhasePairWide)(w, wide_roles(ctrl_is_lo), c, s)) {
      return;
    }
    return HWY_DYNAMIC_DISPATCH(PhasePairRuns)(x, q.r3, tq::shape_of(q), c, s);
  }
  tq::for_runs(tq::shape_of(q), tq::PhasePairOne{Amp(c, -s), Amp(c, s)}, x, q.r3);
}

void apply_swap_runs(bool simd, bool runs, const QuartetRuns& q) {
  if (simd) {
    tq::WideCall w;
    if (!runs && wide_call(q, w) && HWY_DYNAMIC_DISPATCH(SwapWide)(w, tq::kA1A2)) return;
    return HWY_DYNAMIC_DISPATCH(SwapRuns)(q.r1, q.r2, tq::shape_of(q));
  }
  tq::for_runs(tq::shape_of(q), tq::SwapOne{}, q.r1, q.r2);
}

void apply_iswap_runs(bool simd, bool runs, const QuartetRuns& q) {
  if (simd) {
    tq::WideCall w;
    if (!runs && wide_call(q, w) && HWY_DYNAMIC_DISPATCH(IswapWide)(w, tq::kA1A2)) return;
    return HWY_DYNAMIC_DISPATCH(IswapRuns)(q.r1, q.r2, tq::shape_of(q));
  }
  tq::for_runs(tq::shape_of(q), tq::IswapOne{}, q.r1, q.r2);
}

void apply_rzz_runs(bool simd, bool runs, const QuartetRuns& q, double c, double s) {
  const tq::Shape sh = tq::shape_of(q);
  if (simd) {
    if (runs) return HWY_DYNAMIC_DISPATCH(RzzFusedRuns)(q.r0, q.r1, q.r2, q.r3, sh, c, s);
    tq::WideCall w;
    if (wide_call(q, w) && HWY_DYNAMIC_DISPATCH(RzzPlainWide)(w, c, s)) return;
    return HWY_DYNAMIC_DISPATCH(RzzPlainRuns)(q.r0, q.r1, q.r2, q.r3, sh, c, s);
  }
  const Amp minus(c, -s), plus(c, s);
  if (runs) return tq::for_runs(sh, tq::RzzFusedOne{minus, plus}, q.r0, q.r1, q.r2, q.r3);
  tq::for_runs(sh, tq::RzzPlainOne{minus, plus}, q.r0, q.r1, q.r2, q.r3);
}

void apply_ctrl_2x2_runs(bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo,
                         const std::array<Amp, 4>& m) {
  Amp* x = ctrl_x(q, ctrl_is_lo);
  const tq::Shape sh = tq::shape_of(q);
  if (simd) {
    if (runs) return HWY_DYNAMIC_DISPATCH(Ctrl2x2FusedRuns)(x, q.r3, sh, m.data());
    tq::WideCall w;
    if (wide_call(q, w) &&
        HWY_DYNAMIC_DISPATCH(Ctrl2x2PlainWide)(w, wide_roles(ctrl_is_lo), m.data())) {
      return;
    }
    return HWY_DYNAMIC_DISPATCH(Ctrl2x2PlainRuns)(x, q.r3, sh, m.data());
  }
  if (runs) return tq::for_runs(sh, Ctrl2x2FusedOne{m}, x, q.r3);
  tq::for_runs(sh, Ctrl2x2PlainOne{m}, x, q.r3);
}

void apply_2q_runs(bool simd, bool runs, const QuartetRuns& q, const std::array<Amp, 16>& m) {
  const tq::Shape sh = tq::shape_of(q);
  if (simd) {
    if (runs) {
      return HWY_DYNAMIC_DISPATCH(Dense4x4FusedRuns)(q.r0, q.r1, q.r2, q.r3, sh, m.data());
    }
    tq::WideCall w;
    if (wide_call(q, w) && HWY_DYNAMIC_DISPATCH(Dense4x4PlainWide)(w, m.data())) return;
    return HWY_DYNAMIC_DISPATCH(Dense4x4PlainRuns)(q.r0, q.r1, q.r2, q.r3, sh, m.data());
  }
  if (runs) return tq::for_runs(sh, Dense4x4FusedOne{m}, q.r0, q.r1, q.r2, q.r3);
  tq::for_runs(sh, Dense4x4PlainOne{m}, q.r0, q.r1, q.r2, q.r3);
}

// ---- kernels ----

void apply_cx_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target) {
  const LoHi s = ordered(control, target);
  const bool ctrl_is_lo = control <= target;
  if (s.hi <= 2 && simd) {
    // The same groups, as whole high blocks of the vector bodies.
    return on_groups(amps, s,
                     [&](const QuartetRuns& q) { apply_cx_runs(simd, false, q, ctrl_is_lo); });
  }
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
  walk(
      amps, control, target,
      [&](bool runs, const QuartetRuns& q) { apply_cx_runs(simd, runs, q, ctrl_is_lo); },
      [&](std::span<Amp>, std::span<Amp> a1, std::span<Amp> a2, std::span<Amp> a3) {
        // Whole slices are exchanged.
        if ((ctrl_is_lo ? a1 : a2).size() != a3.size()) {
          throw Fault("destination and source slices have different lengths");
        }
      });
}

void apply_cy_kernel(bool simd, std::span<Amp> amps, size_t control, size_t target) {
  const bool ctrl_is_lo = control <= target;
  walk(amps, control, target,
       [&](bool runs, const QuartetRuns& q) { apply_cy_runs(simd, runs, q, ctrl_is_lo); });
}

void apply_cz_kernel(bool simd, std::span<Amp> amps, size_t a, size_t b) {
  const LoHi s = ordered(a, b);
  if (s.hi <= 2 && simd) {
    return on_groups(amps, s, [&](const QuartetRuns& q) { apply_cz_runs(simd, false, q); });
  }
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
  if (s.hi <= 2 && simd) {
    return on_groups(amps, s, [&](const QuartetRuns& q) { apply_swap_runs(simd, false, q); });
  }
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
