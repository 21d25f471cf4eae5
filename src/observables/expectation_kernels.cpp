// The sums behind the expectation values: portable bodies, Highway bodies per target, and the
// entry points. Every sum is one chain of additions in index order; the vector bodies compute
// the terms of several indices at once and then add them to the chain one by one, in order.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "observables/expectation_kernels.cpp"
#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "gates/kernels/complex.hpp"
#include "gates/kernels/runner.hpp"
#include "observables/expectation_kernels.hpp"

// ---- portable bodies (compiled once, at baseline) ----
#ifndef TAVRO_OBSERVABLES_EXPECTATION_KERNELS_PORTABLE_
#define TAVRO_OBSERVABLES_EXPECTATION_KERNELS_PORTABLE_
namespace tavro::kernels::detail::expectation {

// Whether popcount(x) is odd.
inline bool odd(uint64_t x) { return __builtin_parityll(x) != 0; }

// The sums below are also the vector bodies' heads and tails, kept out of line (HWY_NOINLINE) so
// that they are never compiled for a target with fused multiply-add: GCC 12's vectorizer fuses
// scalar complex products into fmaddsub there, although -ffp-contract=off.

// The terms of m pairs added to acc in order: b0 = op0 a0 + op2 a1, b1 = op1 a0 + op3 a1,
// term = conj(a0) b0 + conj(a1) b1.
HWY_NOINLINE Amp pairs_1q(const Amp* x0, const Amp* x1, size_t m, const Amp* op, Amp acc) {
  for (size_t k = 0; k < m; ++k) {
    const Amp a0 = x0[k], a1 = x1[k];
    const Amp b0 = add_plain(mul_plain(op[0], a0), mul_plain(op[2], a1));
    const Amp b1 = add_plain(mul_plain(op[1], a0), mul_plain(op[3], a1));
    acc = add_plain(acc, add_plain(conj_mul_plain(a0, b0), conj_mul_plain(a1, b1)));
  }
  return acc;
}

// The terms of m quartets added to acc in order; m is M' (entry k + 4l = row k, column l) in
// the quartet's own order: y_k = ((m[k] x0 + m[k+4] x1) + m[k+8] x2) + m[k+12] x3, term =
// ((conj(x0) y0 + conj(x1) y1) + conj(x2) y2) + conj(x3) y3.
HWY_NOINLINE Amp quartets_2q(const Amp* x0, const Amp* x1, const Amp* x2, const Amp* x3,
                             size_t count, const Amp* m, Amp acc) {
  for (size_t j = 0; j < count; ++j) {
    const Amp x[4] = {x0[j], x1[j], x2[j], x3[j]};
    const auto row = [&](size_t k) {
      Amp y = mul_plain(m[k], x[0]);
      for (size_t l = 1; l < 4; ++l) y = add_plain(y, mul_plain(m[k + 4 * l], x[l]));
      return conj_mul_plain(x[k], y);
    };
    Amp term = row(0);
    for (size_t k = 1; k < 4; ++k) term = add_plain(term, row(k));
    acc = add_plain(acc, term);
  }
  return acc;
}

// acc plus the terms of every pair of slot log2(s), in increasing index order: runs of the s
// amplitudes of a block whose slot bit is clear, with their partners s further.
inline Amp walk_1q(const Amp* a, size_t n, size_t s, const Amp* op, Amp acc) {
  for (size_t b = 0; b < n; b += 2 * s) acc = pairs_1q(a + b, a + b + s, s, op, acc);
  return acc;
}

// acc plus the terms of every quartet of slots log2(lo) < log2(hi), in increasing base order:
// runs of the lo bases of a low block inside the lower half of a high block.
inline Amp walk_2q(const Amp* a, size_t n, size_t lo, size_t hi, const Amp* m, Amp acc) {
  for (size_t hb = 0; hb < n; hb += 2 * hi)
    for (size_t b = hb; b < hb + hi; b += 2 * lo)
      acc = quartets_2q(a + b, a + b + lo, a + b + hi, a + b + lo + hi, lo, m, acc);
  return acc;
}

HWY_NOINLINE double z_sum(const Amp* a, size_t begin, size_t end, uint64_t zmask, double acc) {
  for (size_t i = begin; i < end; ++i) {
    const double re2 = a[i].real() * a[i].real();
    const double im2 = a[i].imag() * a[i].imag();
    const double t = re2 + im2;
    acc = acc + (odd(i & zmask) ? -t : t);
  }
  return acc;
}

// conj(ai) * ((s + 0i) * aj), both full products.
inline Amp xz_term(Amp ai, Amp aj, bool negative) {
  return conj_mul_plain(ai, mul_plain(Amp(negative ? -1.0 : 1.0, 0.0), aj));
}

HWY_NOINLINE Amp xz_sum(const Amp* a, size_t begin, size_t end, uint64_t xmask, uint64_t zmask,
                        Amp acc) {
  for (size_t i = begin; i < end; ++i) {
    const size_t j = i ^ xmask;
    acc = add_plain(acc, xz_term(a[i], a[j], odd(j & zmask)));
  }
  return acc;
}

// M' of the slots (s1, s2): M itself when s1 is the higher slot, else M with local indices 1 and
// 2 exchanged in rows and columns, so that index k of a quartet is always 2 (bit hi) + (bit lo).
inline std::array<Amp, 16> quartet_order(const std::array<Amp, 16>& op, size_t s1, size_t s2) {
  if (s1 > s2) return op;
  constexpr size_t P[4] = {0, 2, 1, 3};
  std::array<Amp, 16> m;
  for (size_t k = 0; k < 4; ++k)
    for (size_t l = 0; l < 4; ++l) m[k + 4 * l] = op[P[k] + 4 * P[l]];
  return m;
}

}  // namespace tavro::kernels::detail::expectation
#endif  // TAVRO_OBSERVABLES_EXPECTATION_KERNELS_PORTABLE_

// ---- vector bodies (once per target) ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
namespace ex = tavro::kernels::detail::expectation;

#if HWY_TARGET == HWY_SCALAR

void Expect1q(const Amp* a, size_t n, size_t s, const Amp* op, Amp* acc) {
  *acc = ex::walk_1q(a, n, s, op, *acc);
}
void Expect2q(const Amp* a, size_t n, size_t lo, size_t hi, const Amp* m, Amp* acc) {
  *acc = ex::walk_2q(a, n, lo, hi, m, *acc);
}
double PauliZ(const Amp* a, size_t begin, size_t end, uint64_t zmask) {
  return ex::z_sum(a, begin, end, zmask, 0.0);
}
void PauliXZ(const Amp* a, size_t begin, size_t end, uint64_t xmask, uint64_t zmask, Amp* acc) {
  *acc = ex::xz_sum(a, begin, end, xmask, zmask, Amp(0.0, 0.0));
}
void PauliXZPair(const Amp* a, size_t ia, size_t ib, size_t len, uint64_t xmask, uint64_t zmask,
                 Amp* acc) {
  acc[0] = ex::xz_sum(a, ia, ia + len, xmask, zmask, Amp(0.0, 0.0));
  acc[1] = ex::xz_sum(a, ib, ib + len, xmask, zmask, Amp(0.0, 0.0));
}

#else  // HWY_TARGET != HWY_SCALAR

using D = hn::ScalableTag<double>;
using V = hn::Vec<D>;
using D2 = hn::Full128<double>;
using V2 = hn::Vec<D2>;  // one complex value (re, im): the accumulator of a chain
constexpr size_t MAX_LANES = hn::MaxLanes(D());

// N complex values in split form: real parts in one vector, imaginary parts in the other.
struct Split {
  V re, im;
};

HWY_INLINE Split LoadSplit(D d, const Amp* p) {
  Split s;
  hn::LoadInterleaved2(d, reinterpret_cast<const double*>(p), s.re, s.im);
  return s;
}

// m * x for a broadcast m: re = m.re*x.re - m.im*x.im, im = m.re*x.im + m.im*x.re.
HWY_INLINE Split MulSplit(V mre, V mim, const Split& x) {
  return {hn::Sub(hn::Mul(mre, x.re), hn::Mul(mim, x.im)),
          hn::Add(hn::Mul(mre, x.im), hn::Mul(mim, x.re))};
}

// conj(x) * y: re = x.re*y.re + x.im*y.im, im = x.re*y.im - x.im*y.re.
HWY_INLINE Split ConjMulSplit(const Split& x, const Split& y) {
  return {hn::Add(hn::Mul(x.re, y.re), hn::Mul(x.im, y.im)),
          hn::Sub(hn::Mul(x.re, y.im), hn::Mul(x.im, y.re))};
}

HWY_INLINE Split AddSplit(const Split& x, const Split& y) {
  return {hn::Add(x.re, y.re), hn::Add(x.im, y.im)};
}

// acc + lo[0] + up[0] + lo[1] + up[1] + ..., one 128-bit block (a complex value) at a time.
template <class DV>
HWY_INLINE V2 AddBlocks(DV dv, hn::Vec<DV> lo, hn::Vec<DV> up, V2 acc) {
  if constexpr (hn::MaxLanes(DV()) <= 2) {
    (void)dv;
    return hn::Add(hn::Add(acc, lo), up);
  } else {
    const hn::Half<DV> dh;
    acc = AddBlocks(dh, hn::LowerHalf(dh, lo), hn::LowerHalf(dh, up), acc);
    return AddBlocks(dh, hn::UpperHalf(dh, lo), hn::UpperHalf(dh, up), acc);
  }
}

// acc plus the terms of t, lane 0 first: the chain's only additions. Interleaving re and im
// puts terms 0, 2, 4, ... in the blocks of `lo` and 1, 3, 5, ... in those of `up`; the chain
// stays in a register (a scalar loop over a stored copy kept it in memory).
HWY_INLINE V2 AddInOrder(D d, const Split& t, V2 acc) {
  return AddBlocks(d, hn::InterleaveLower(d, t.re, t.im), hn::InterleaveUpper(d, t.re, t.im), acc);
}

// Lane moves only: through memory, GCC kept the accumulator on the stack in the loop.
HWY_INLINE Amp ToAmp(V2 v) {
  return {hn::GetLane(v), hn::GetLane(hn::InterleaveUpper(D2(), v, v))};
}
HWY_INLINE V2 FromAmp(Amp z) {
  return hn::InterleaveLower(D2(), hn::Set(D2(), z.real()), hn::Set(D2(), z.imag()));
}

// Splits a sequence of 2N values held in two vectors [v0, v1] by bit s (s < N) of the position:
// the values whose bit is clear, in order, and those where it is set. s = 1 takes the even and
// odd lanes, s = N/2 the lower and upper halves; any other s first moves each vector's clear
// lanes below its set ones, then takes halves.
class LaneSplit {
 public:
  LaneSplit(D d, size_t s) : s_(s) {
    HWY_ALIGN int64_t idx[MAX_LANES];
    size_t k = 0;
    for (const bool set : {false, true})
      for (size_t l = 0; l < hn::Lanes(d); ++l)
        if (((l & s) != 0) == set) idx[k++] = static_cast<int64_t>(l);
    idx_ = hn::SetTableIndices(d, idx);
  }

  HWY_INLINE void operator()(D d, V v0, V v1, V& clear, V& set) const {
    if (s_ == 1) {
      clear = hn::ConcatEven(d, v1, v0);
      set = hn::ConcatOdd(d, v1, v0);
      return;
    }
    if (2 * s_ != hn::Lanes(d)) {
      v0 = hn::TableLookupLanes(v0, idx_);
      v1 = hn::TableLookupLanes(v1, idx_);
    }
    clear = hn::ConcatLowerLower(d, v1, v0);
    set = hn::ConcatUpperUpper(d, v1, v0);
  }

  HWY_INLINE void operator()(D d, const Split& x0, const Split& x1, Split& clear,
                             Split& set) const {
    (*this)(d, x0.re, x1.re, clear.re, set.re);
    (*this)(d, x0.im, x1.im, clear.im, set.im);
  }

  // The 2N amplitudes at p, split. Where s is a quarter of N above 1 (s = 2 of N = 8) the runs
  // of s amplitudes are the halves of the interleaved vectors: taking halves before splitting
  // real and imaginary parts saves the lane table.
  HWY_INLINE void Load(D d, const Amp* p, Split& clear, Split& set) const {
    const size_t lanes = hn::Lanes(d);
    if (4 * s_ != lanes || s_ == 1)
      return (*this)(d, LoadSplit(d, p), LoadSplit(d, p + lanes), clear, set);
    const double* q = reinterpret_cast<const double*>(p);
    V v[4];
    for (size_t k = 0; k < 4; ++k) v[k] = hn::LoadU(d, q + k * lanes);
    const V c0 = hn::ConcatLowerLower(d, v[1], v[0]), c1 = hn::ConcatLowerLower(d, v[3], v[2]);
    const V s0 = hn::ConcatUpperUpper(d, v[1], v[0]), s1 = hn::ConcatUpperUpper(d, v[3], v[2]);
    clear = {hn::ConcatEven(d, c1, c0), hn::ConcatOdd(d, c1, c0)};
    set = {hn::ConcatEven(d, s1, s0), hn::ConcatOdd(d, s1, s0)};
  }

 private:
  size_t s_;
  decltype(hn::SetTableIndices(D(), static_cast<const int64_t*>(nullptr))) idx_;
};

// The loops prefetch by hand what they read this many steps (pairs, quartets) later, in the order
// they read it: with runs of a few KiB per stream each run is a new stream to the hardware
// prefetcher, which trains too late (a pair walk of 4 KiB runs read at 0.7 of the speed of one
// stream), and even on one stream the arithmetic between the loads kept the reads from
// overlapping it (slot 0 at 1.3 times the read-only pass without, 1.1 with).
constexpr size_t PREFETCH_AHEAD = 256;

// One prefetch per 64-byte line of the m amplitudes at p.
HWY_INLINE void PrefetchRun(const Amp* p, size_t m) {
  for (size_t k = 0; k < m; k += 4) hwy::Prefetch(p + k);
}

// An operator's entries broadcast, real and imaginary parts apart.
template <size_t K>
struct Broadcast {
  V re[K], im[K];
  Broadcast(D d, const Amp* m) {
    for (size_t k = 0; k < K; ++k) {
      re[k] = hn::Set(d, m[k].real());
      im[k] = hn::Set(d, m[k].imag());
    }
  }
};

// conj(a0) (m0 a0 + m2 a1) + conj(a1) (m1 a0 + m3 a1).
HWY_INLINE Split Term1q(const Broadcast<4>& m, const Split& a0, const Split& a1) {
  const Split b0 = AddSplit(MulSplit(m.re[0], m.im[0], a0), MulSplit(m.re[2], m.im[2], a1));
  const Split b1 = AddSplit(MulSplit(m.re[1], m.im[1], a0), MulSplit(m.re[3], m.im[3], a1));
  return AddSplit(ConjMulSplit(a0, b0), ConjMulSplit(a1, b1));
}

// ((conj(x0) y0 + conj(x1) y1) + conj(x2) y2) + conj(x3) y3, y_k = ((m[k] x0 + m[k+4] x1) +
// m[k+8] x2) + m[k+12] x3.
HWY_INLINE Split Term2q(const Broadcast<16>& m, const Split* x) {
  const auto row = [&](size_t k) {
    Split y = MulSplit(m.re[k], m.im[k], x[0]);
    for (size_t l = 1; l < 4; ++l)
      y = AddSplit(y, MulSplit(m.re[k + 4 * l], m.im[k + 4 * l], x[l]));
    return ConjMulSplit(x[k], y);
  };
  Split term = row(0);
  for (size_t k = 1; k < 4; ++k) term = AddSplit(term, row(k));
  return term;
}

void Expect1q(const Amp* a, size_t n, size_t s, const Amp* op, Amp* acc_out) {
  const D d;
  const size_t lanes = hn::Lanes(d);
  const Broadcast<4> m(d, op);
  V2 acc = FromAmp(*acc_out);
  const size_t count = n / 2;  // pairs
  if (s >= lanes) {
    // Pair p has the index p with a zero inserted at bit log2(s).
    for (size_t p = 0; p < count; p += lanes) {
      if (p + PREFETCH_AHEAD < count) {
        const size_t j = detail::deposit_zeros(p + PREFETCH_AHEAD, s);
        PrefetchRun(a + j, lanes);
        PrefetchRun(a + j + s, lanes);
      }
      const size_t i = detail::deposit_zeros(p, s);
      acc = AddInOrder(d, Term1q(m, LoadSplit(d, a + i), LoadSplit(d, a + i + s)), acc);
    }
  } else if (count >= lanes) {
    // 2N amplitudes hold N pairs, split by bit log2(s) of the index.
    const LaneSplit by_slot(d, s);
    Split a0, a1;
    for (size_t p = 0; p < n; p += 2 * lanes) {
      if (p + 2 * PREFETCH_AHEAD < n) PrefetchRun(a + p + 2 * PREFETCH_AHEAD, 2 * lanes);
      by_slot.Load(d, a + p, a0, a1);
      acc = AddInOrder(d, Term1q(m, a0, a1), acc);
    }
  } else {
    acc = FromAmp(ex::walk_1q(a, n, s, op, ToAmp(acc)));
  }
  *acc_out = ToAmp(acc);
}

void Expect2q(const Amp* a, size_t n, size_t lo, size_t hi, const Amp* mat, Amp* acc_out) {
  const D d;
  const size_t lanes = hn::Lanes(d);
  const Broadcast<16> m(d, mat);
  V2 acc = FromAmp(*acc_out);
  const size_t count = n / 4;  // quartets
  const auto add = [&](const Amp* x0, const Amp* x1, const Amp* x2, const Amp* x3) {
    const Split x[4] = {LoadSplit(d, x0), LoadSplit(d, x1), LoadSplit(d, x2), LoadSplit(d, x3)};
    acc = AddInOrder(d, Term2q(m, x), acc);
  };
  if (lo >= lanes) {
    // Quartet q has the index q with zeros inserted at both slots' bits.
    for (size_t q = 0; q < count; q += lanes) {
      if (q + PREFETCH_AHEAD < count) {
        const size_t j = detail::deposit_zeros(q + PREFETCH_AHEAD, lo | hi);
        for (const size_t off : {size_t{0}, lo, hi, lo + hi}) PrefetchRun(a + j + off, lanes);
      }
      const size_t i = detail::deposit_zeros(q, lo | hi);
      add(a + i, a + i + lo, a + i + hi, a + i + lo + hi);
    }
  } else if (hi >= 2 * lanes) {
    // Position p runs over the lower halves of the high blocks, 2N amplitudes at a time: their
    // pairs of slot lo are (x0, x1), in order; hi above lie (x2, x3).
    const LaneSplit by_lo(d, lo);
    Split x[4];
    for (size_t p = 0; p < n / 2; p += 2 * lanes) {
      if (p + 2 * PREFETCH_AHEAD < n / 2) {
        const size_t j = detail::deposit_zeros(p + 2 * PREFETCH_AHEAD, hi);
        PrefetchRun(a + j, 2 * lanes);
        PrefetchRun(a + j + hi, 2 * lanes);
      }
      const size_t i = detail::deposit_zeros(p, hi);
      by_lo.Load(d, a + i, x[0], x[1]);
      by_lo.Load(d, a + i + hi, x[2], x[3]);
      acc = AddInOrder(d, Term2q(m, x), acc);
    }
  } else if (count >= lanes) {
    // Both slots inside 4N amplitudes, which hold N quartets: split by bit log2(lo) of the
    // index, then the two halves' lo-clear values (and lo-set ones) by the bit of hi, which is
    // bit log2(hi) - 1 of their position.
    const LaneSplit by_lo(d, lo), by_hi(d, hi / 2);
    Split r[4], lo0[2], lo1[2], x[4];
    for (size_t p = 0; p < n; p += 4 * lanes) {
      if (p + 4 * PREFETCH_AHEAD < n) PrefetchRun(a + p + 4 * PREFETCH_AHEAD, 4 * lanes);
      for (size_t k = 0; k < 4; ++k) r[k] = LoadSplit(d, a + p + k * lanes);
      by_lo(d, r[0], r[1], lo0[0], lo1[0]);
      by_lo(d, r[2], r[3], lo0[1], lo1[1]);
      by_hi(d, lo0[0], lo0[1], x[0], x[2]);
      by_hi(d, lo1[0], lo1[1], x[1], x[3]);
      acc = AddInOrder(d, Term2q(m, x), acc);
    }
  } else {
    acc = FromAmp(ex::walk_2q(a, n, lo, hi, mat, ToAmp(acc)));
  }
  *acc_out = ToAmp(acc);
}

// Per lane k: `odd` where popcount((k ^ xlow) & zmask) is odd, else `even` (k ^ xlow < N).
HWY_INLINE V ByLaneParity(D d, uint64_t xlow, uint64_t zmask, double odd, double even) {
  HWY_ALIGN double s[MAX_LANES];
  for (size_t k = 0; k < hn::Lanes(d); ++k) s[k] = ex::odd((k ^ xlow) & zmask) ? odd : even;
  return hn::Load(d, s);
}

// The first index of [begin, end) that starts a whole vector (end when none does).
HWY_INLINE size_t VectorStart(D d, size_t begin, size_t end) {
  const size_t lanes = hn::Lanes(d);
  const size_t up = (begin + lanes - 1) & ~(lanes - 1);
  return up + lanes <= end ? up : end;
}

double PauliZ(const Amp* a, size_t begin, size_t end, uint64_t zmask) {
  const D d;
  const size_t lanes = hn::Lanes(d);
  size_t i = VectorStart(d, begin, end);
  double acc = ex::z_sum(a, begin, i, zmask, 0.0);
  // A sign flip per lane, as the scalar negation: -0.0 where the lane's own bits are odd, and
  // all flipped once more where the bits above the lane are.
  const V flip = ByLaneParity(d, 0, zmask, -0.0, 0.0);
  const V flip_odd = hn::Xor(flip, hn::Set(d, -0.0));
  const uint64_t zhigh = zmask & ~uint64_t{lanes - 1};
  HWY_ALIGN double t[MAX_LANES];
  for (; i + lanes <= end; i += lanes) {
    if (i + PREFETCH_AHEAD < end) PrefetchRun(a + i + PREFETCH_AHEAD, lanes);
    const Split x = LoadSplit(d, a + i);
    const V abs2 = hn::Add(hn::Mul(x.re, x.re), hn::Mul(x.im, x.im));
    hn::Store(hn::Xor(abs2, ex::odd(i & zhigh) ? flip_odd : flip), d, t);
    for (size_t k = 0; k < lanes; ++k) acc = acc + t[k];
  }
  return ex::z_sum(a, i, end, zmask, acc);
}

// conj(ai) * ((sign + 0i) * aj) with both products in full, sign = ±1 per lane.
HWY_INLINE Split XZTerm(const Split& ai, const Split& aj, V sign, V zero) {
  const Split b{hn::Sub(hn::Mul(sign, aj.re), hn::Mul(zero, aj.im)),
                hn::Add(hn::Mul(sign, aj.im), hn::Mul(zero, aj.re))};
  return ConjMulSplit(ai, b);
}

void PauliXZ(const Amp* a, size_t begin, size_t end, uint64_t xmask, uint64_t zmask, Amp* acc_out) {
  const D d;
  const size_t lanes = hn::Lanes(d);
  size_t i = VectorStart(d, begin, end);
  V2 acc = FromAmp(ex::xz_sum(a, begin, i, xmask, zmask, Amp(0.0, 0.0)));
  // A whole vector at i holds the partners of the vector at i ^ xhigh, lane k at lane k ^ xlow.
  const uint64_t xlow = xmask & (lanes - 1), xhigh = xmask & ~uint64_t{lanes - 1};
  const uint64_t zhigh = zmask & ~uint64_t{lanes - 1};
  HWY_ALIGN int64_t perm[MAX_LANES];
  for (size_t k = 0; k < lanes; ++k) perm[k] = static_cast<int64_t>(k ^ xlow);
  const auto idx = hn::SetTableIndices(d, perm);
  const V sign = ByLaneParity(d, xlow, zmask, -1.0, 1.0);
  const V sign_odd = hn::Neg(sign);
  const V zero = hn::Zero(d);
  for (; i + lanes <= end; i += lanes) {
    if (i + PREFETCH_AHEAD < end) {
      PrefetchRun(a + i + PREFETCH_AHEAD, lanes);
      PrefetchRun(a + ((i + PREFETCH_AHEAD) ^ xhigh), lanes);
    }
    const size_t j = i ^ xhigh;
    Split aj = LoadSplit(d, a + j);
    if (xlow != 0) aj = {hn::TableLookupLanes(aj.re, idx), hn::TableLookupLanes(aj.im, idx)};
    const V s = ex::odd(j & zhigh) ? sign_odd : sign;
    acc = AddInOrder(d, XZTerm(LoadSplit(d, a + i), aj, s, zero), acc);
  }
  *acc_out = ex::xz_sum(a, i, end, xmask, zmask, ToAmp(acc));
}

// Both partner ranges at once. Where ia, ib and len are multiples of N, xmask has no bit below
// N and the partner of a whole vector is a whole vector in the same lane order.
void PauliXZPair(const Amp* a, size_t ia, size_t ib, size_t len, uint64_t xmask, uint64_t zmask,
                 Amp* acc_out) {
  const D d;
  const size_t lanes = hn::Lanes(d);
  if ((ia | ib | len) % lanes != 0) {
    PauliXZ(a, ia, ia + len, xmask, zmask, acc_out);
    PauliXZ(a, ib, ib + len, xmask, zmask, acc_out + 1);
    return;
  }
  const uint64_t zhigh = zmask & ~uint64_t{lanes - 1};
  const V sign = ByLaneParity(d, 0, zmask, -1.0, 1.0);
  const V sign_odd = hn::Neg(sign);
  const V zero = hn::Zero(d);
  V2 acc_a = hn::Zero(D2()), acc_b = hn::Zero(D2());
  for (size_t k = 0; k < len; k += lanes) {
    if (k + PREFETCH_AHEAD < len) {
      PrefetchRun(a + ia + k + PREFETCH_AHEAD, lanes);
      PrefetchRun(a + ib + k + PREFETCH_AHEAD, lanes);
    }
    const size_t i = ia + k, j = ib + k;
    const Split xi = LoadSplit(d, a + i);
    const Split xj = LoadSplit(d, a + j);
    acc_a = AddInOrder(d, XZTerm(xi, xj, ex::odd(j & zhigh) ? sign_odd : sign, zero), acc_a);
    acc_b = AddInOrder(d, XZTerm(xj, xi, ex::odd(i & zhigh) ? sign_odd : sign, zero), acc_b);
  }
  acc_out[0] = ToAmp(acc_a);
  acc_out[1] = ToAmp(acc_b);
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

// ---- entry points ----
#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(Expect1q);
HWY_EXPORT(Expect2q);
HWY_EXPORT(PauliZ);
HWY_EXPORT(PauliXZ);
HWY_EXPORT(PauliXZPair);

namespace ex = detail::expectation;

Amp expectation_1q_kernel(bool simd, std::span<const Amp> amps, size_t slot,
                          const std::array<Amp, 4>& op) {
  const size_t s = size_t{1} << slot;
  if (!simd) return ex::walk_1q(amps.data(), amps.size(), s, op.data(), Amp(0.0, 0.0));
  Amp acc(0.0, 0.0);
  HWY_DYNAMIC_DISPATCH(Expect1q)(amps.data(), amps.size(), s, op.data(), &acc);
  return acc;
}

Amp expectation_2q_kernel(bool simd, std::span<const Amp> amps, size_t s1, size_t s2,
                          const std::array<Amp, 16>& op) {
  const std::array<Amp, 16> m = ex::quartet_order(op, s1, s2);
  const size_t lo = size_t{1} << std::min(s1, s2), hi = size_t{1} << std::max(s1, s2);
  if (!simd) return ex::walk_2q(amps.data(), amps.size(), lo, hi, m.data(), Amp(0.0, 0.0));
  Amp acc(0.0, 0.0);
  HWY_DYNAMIC_DISPATCH(Expect2q)(amps.data(), amps.size(), lo, hi, m.data(), &acc);
  return acc;
}

double pauli_z_sum(bool simd, std::span<const Amp> amps, uint64_t zmask, size_t begin, size_t end) {
  if (simd) return HWY_DYNAMIC_DISPATCH(PauliZ)(amps.data(), begin, end, zmask);
  return ex::z_sum(amps.data(), begin, end, zmask, 0.0);
}

Amp pauli_xz_sum(bool simd, std::span<const Amp> amps, uint64_t xmask, uint64_t zmask, size_t begin,
                 size_t end) {
  if (!simd) return ex::xz_sum(amps.data(), begin, end, xmask, zmask, Amp(0.0, 0.0));
  Amp acc;
  HWY_DYNAMIC_DISPATCH(PauliXZ)(amps.data(), begin, end, xmask, zmask, &acc);
  return acc;
}

std::pair<Amp, Amp> pauli_xz_sum_pair(bool simd, std::span<const Amp> amps, uint64_t xmask,
                                      uint64_t zmask, size_t a, size_t b, size_t len) {
  if (!simd) {
    return {pauli_xz_sum(simd, amps, xmask, zmask, a, a + len),
            pauli_xz_sum(simd, amps, xmask, zmask, b, b + len)};
  }
  Amp acc[2];
  HWY_DYNAMIC_DISPATCH(PauliXZPair)(amps.data(), a, b, len, xmask, zmask, acc);
  return {acc[0], acc[1]};
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
