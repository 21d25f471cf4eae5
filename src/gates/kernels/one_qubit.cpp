// One-qubit amplitude kernels: portable bodies, Highway bodies per target, and the kernel entry
// points that pick the traversal by slot.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gates/kernels/one_qubit.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

#include "gates/kernels/complex.hpp"
#include "gates/kernels/one_qubit.hpp"
#include "gates/kernels/runner.hpp"
#include "par/pairs.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

// ---- portable bodies (compiled once, at baseline) ----
#ifndef TAVRO_GATES_KERNELS_ONE_QUBIT_PORTABLE_
#define TAVRO_GATES_KERNELS_ONE_QUBIT_PORTABLE_
namespace tavro::kernels::detail {

// The update of one pair in place. Both outputs come from the two old values; a0 has bit t
// clear, a1 has it set.

inline void y_update(Amp& a0, Amp& a1) {
  const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
  a0 = Amp(y1, -x1);
  a1 = Amp(-y0, x0);
}

inline void z_update(Amp& a1) { a1 = Amp(-a1.real(), -a1.imag()); }

inline void h_plain(Amp& a0, Amp& a1) {
  const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
  a0 = Amp((x0 + x1) * H_FACTOR, (y0 + y1) * H_FACTOR);
  a1 = Amp((x0 - x1) * H_FACTOR, (y0 - y1) * H_FACTOR);
}

inline void h_fused(Amp& a0, Amp& a1) {
  const Amp sum = add_plain(a0, a1);
  const Amp diff = sub_plain(a0, a1);
  a0 = mul_fused(Amp(H_FACTOR, 0.0), sum);
  a1 = mul_fused(Amp(H_FACTOR, 0.0), diff);
}

inline void rx_plain(Amp& a0, Amp& a1, double c, double s) {
  const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
  a0 = Amp(c * x0 + s * y1, c * y0 - s * x1);
  a1 = Amp(c * x1 + s * y0, c * y1 - s * x0);
}

// m00 = m11 = (c, 0), m01 = m10 = (0, -s); each output starts from its own diagonal term.
inline void rx_fused(Amp& a0, Amp& a1, double c, double s) {
  const Amp diag(c, 0.0), off(0.0, -s);
  const Amp n0 = acc_fused(off, a1, mul_fused(diag, a0));
  const Amp n1 = acc_fused(off, a0, mul_fused(diag, a1));
  a0 = n0;
  a1 = n1;
}

inline void ry_plain(Amp& a0, Amp& a1, double c, double s) {
  const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
  a0 = Amp(c * x0 - s * x1, c * y0 - s * y1);
  a1 = Amp(s * x0 + c * x1, s * y0 + c * y1);
}

// m00 = m11 = (c, 0), m01 = (-s, 0), m10 = (s, 0); each output starts from the other
// amplitude's term.
inline void ry_fused(Amp& a0, Amp& a1, double c, double s) {
  const Amp diag(c, 0.0);
  const Amp n0 = acc_fused(diag, a0, mul_fused(Amp(-s, 0.0), a1));
  const Amp n1 = acc_fused(diag, a1, mul_fused(Amp(s, 0.0), a0));
  a0 = n0;
  a1 = n1;
}

inline void rz_plain(Amp& a0, Amp& a1, double c, double s) {
  const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
  a0 = Amp(c * x0 + s * y0, c * y0 - s * x0);
  a1 = Amp(c * x1 - s * y1, c * y1 + s * x1);
}

inline void rz_fused(Amp& a0, Amp& a1, double c, double s) {
  a0 = mul_fused(Amp(c, -s), a0);
  a1 = mul_fused(Amp(c, s), a1);
}

// a0' = m0*a0 + m2*a1, a1' = m1*a0 + m3*a1, m column-major.
inline void dense_update(Amp& a0, Amp& a1, Amp m0, Amp m1, Amp m2, Amp m3) {
  const Amp n0 = add_plain(mul_plain(m0, a0), mul_plain(m2, a1));
  const Amp n1 = add_plain(mul_plain(m1, a0), mul_plain(m3, a1));
  a0 = n0;
  a1 = n1;
}

// f(a0, a1) on every pair of the whole groups of 2 * kHalf amplitudes in a[0, n): 16 amplitudes
// per step while 16 more fit, then the remaining groups one at a time.
template <size_t kHalf, class F>
inline void for_groups(Amp* HWY_RESTRICT a, size_t n, const F& f) {
  constexpr size_t group = 2 * kHalf;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (size_t g = i; g < i + 16; g += group) {
      for (size_t j = g; j < g + kHalf; ++j) f(a[j], a[j + kHalf]);
    }
  }
  for (; i + group <= n; i += group) {
    for (size_t j = i; j < i + kHalf; ++j) f(a[j], a[j + kHalf]);
  }
}

// f(lo[j], hi[j]) for j < m.
template <class F>
inline void for_pairs(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, const F& f) {
  for (size_t j = 0; j < m; ++j) f(lo[j], hi[j]);
}

inline void y_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m) {
  for_pairs(lo, hi, m, y_update);
}
inline void z_run_portable(Amp* HWY_RESTRICT hi, size_t m) {
  for (size_t j = 0; j < m; ++j) z_update(hi[j]);
}
inline void h_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m) {
  for_pairs(lo, hi, m, h_fused);
}
inline void rx_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, double c,
                             double s) {
  for_pairs(lo, hi, m, [c, s](Amp& a0, Amp& a1) { rx_fused(a0, a1, c, s); });
}
inline void ry_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, double c,
                             double s) {
  for_pairs(lo, hi, m, [c, s](Amp& a0, Amp& a1) { ry_fused(a0, a1, c, s); });
}
inline void rz_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, double c,
                             double s) {
  for_pairs(lo, hi, m, [c, s](Amp& a0, Amp& a1) { rz_fused(a0, a1, c, s); });
}
inline void scale_portable(Amp* HWY_RESTRICT a, size_t m, Amp d) {
  for (size_t j = 0; j < m; ++j) a[j] = mul_plain(d, a[j]);
}
inline void dense_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m,
                                const Amp* mat) {
  const Amp m0 = mat[0], m1 = mat[1], m2 = mat[2], m3 = mat[3];
  for_pairs(lo, hi, m, [=](Amp& a0, Amp& a1) { dense_update(a0, a1, m0, m1, m2, m3); });
}

inline void x_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m) {
  for_pairs(lo, hi, m, [](Amp& a0, Amp& a1) { std::swap(a0, a1); });
}
// diag(d0, d1) on m pairs; the low run is left alone when `keep` (d0 is 1 by value).
inline void diag_pair_portable(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, Amp d0, Amp d1,
                               bool keep) {
  if (!keep) scale_portable(lo, m, d0);
  scale_portable(hi, m, d1);
}

// pair(lo, hi, half) on the two halves of every block of 2 * half amplitudes of a[0, n), blocks
// in ascending address order: the pair walker's sequential walk over one of its pieces.
template <class Pair>
inline void for_blocks(Amp* a, size_t n, size_t half, const Pair& pair) {
  for (size_t b = 0; b + 2 * half <= n; b += 2 * half) pair(a + b, a + b + half, half);
}

// The group bodies for half = 1, 2 or 4 amplitudes (slot 0, 1, 2).
template <class F>
inline void groups_of_half(Amp* HWY_RESTRICT a, size_t n, size_t half, const F& f) {
  switch (half) {
    case 1:
      return for_groups<1>(a, n, f);
    case 2:
      return for_groups<2>(a, n, f);
    default:
      return for_groups<4>(a, n, f);
  }
}

}  // namespace tavro::kernels::detail
#endif  // TAVRO_GATES_KERNELS_ONE_QUBIT_PORTABLE_

#include "gates/kernels/complex-inl.h"

// ---- vector bodies, one copy per target ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Whether MulAdd is one rounding on this target, so the fused bodies match the portable ones.
bool VectorExact() { return HWY_NATIVE_FMA != 0; }

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold an amplitude: the portable bodies serve.
void YGroups(Amp* a, size_t n, size_t half) {
  detail::groups_of_half(a, n, half, detail::y_update);
}
void ZGroups(Amp* a, size_t n, size_t half) {
  detail::groups_of_half(a, n, half, [](Amp&, Amp& a1) { detail::z_update(a1); });
}
void HGroups(Amp* a, size_t n, size_t half) { detail::groups_of_half(a, n, half, detail::h_plain); }
void RxGroups(Amp* a, size_t n, size_t half, double c, double s) {
  detail::groups_of_half(a, n, half, [c, s](Amp& a0, Amp& a1) { detail::rx_plain(a0, a1, c, s); });
}
void RyGroups(Amp* a, size_t n, size_t half, double c, double s) {
  detail::groups_of_half(a, n, half, [c, s](Amp& a0, Amp& a1) { detail::ry_plain(a0, a1, c, s); });
}
void RzGroups(Amp* a, size_t n, size_t half, double c, double s) {
  detail::groups_of_half(a, n, half, [c, s](Amp& a0, Amp& a1) { detail::rz_plain(a0, a1, c, s); });
}
void DenseGroups(Amp* a, size_t n, size_t half, const Amp* mat) {
  const Amp m0 = mat[0], m1 = mat[1], m2 = mat[2], m3 = mat[3];
  detail::groups_of_half(a, n, half,
                         [=](Amp& a0, Amp& a1) { detail::dense_update(a0, a1, m0, m1, m2, m3); });
}
void YPair(Amp* lo, Amp* hi, size_t m) { detail::y_pair_portable(lo, hi, m); }
void ZRun(Amp* hi, size_t m) { detail::z_run_portable(hi, m); }
void HPair(Amp* lo, Amp* hi, size_t m) { detail::h_pair_portable(lo, hi, m); }
void RxPair(Amp* lo, Amp* hi, size_t m, double c, double s) {
  detail::rx_pair_portable(lo, hi, m, c, s);
}
void RyPair(Amp* lo, Amp* hi, size_t m, double c, double s) {
  detail::ry_pair_portable(lo, hi, m, c, s);
}
void RzPair(Amp* lo, Amp* hi, size_t m, double c, double s) {
  detail::rz_pair_portable(lo, hi, m, c, s);
}
void Scale(Amp* a, size_t m, double re, double im) { detail::scale_portable(a, m, Amp(re, im)); }
void DensePair(Amp* lo, Amp* hi, size_t m, const Amp* mat) {
  detail::dense_pair_portable(lo, hi, m, mat);
}
void XGroups(Amp* a, size_t n, size_t half) {
  detail::groups_of_half(a, n, half, [](Amp& a0, Amp& a1) { std::swap(a0, a1); });
}
void DiagGroups(Amp* a, size_t n, size_t half, double d0r, double d0i, double d1r, double d1i,
                bool keep) {
  const Amp d0(d0r, d0i), d1(d1r, d1i);
  detail::for_blocks(a, n, half, [=](Amp* lo, Amp* hi, size_t m) {
    detail::diag_pair_portable(lo, hi, m, d0, d1, keep);
  });
}
double XBlocks(Amp* a, size_t n, size_t half) {
  detail::for_blocks(a, n, half, detail::x_pair_portable);
  return 0.0;
}
double YBlocks(Amp* a, size_t n, size_t half) {
  detail::for_blocks(a, n, half, detail::y_pair_portable);
  return 0.0;
}
double ZBlocks(Amp* a, size_t n, size_t half) {
  detail::for_blocks(a, n, half, [](Amp*, Amp* hi, size_t m) { detail::z_run_portable(hi, m); });
  return 0.0;
}
double HBlocks(Amp* a, size_t n, size_t half) {
  detail::for_blocks(a, n, half, detail::h_pair_portable);
  return 0.0;
}
double RxBlocks(Amp* a, size_t n, size_t half, double c, double s) {
  detail::for_blocks(
      a, n, half, [=](Amp* lo, Amp* hi, size_t m) { detail::rx_pair_portable(lo, hi, m, c, s); });
  return 0.0;
}
double RyBlocks(Amp* a, size_t n, size_t half, double c, double s) {
  detail::for_blocks(
      a, n, half, [=](Amp* lo, Amp* hi, size_t m) { detail::ry_pair_portable(lo, hi, m, c, s); });
  return 0.0;
}
double RzBlocks(Amp* a, size_t n, size_t half, double c, double s) {
  detail::for_blocks(
      a, n, half, [=](Amp* lo, Amp* hi, size_t m) { detail::rz_pair_portable(lo, hi, m, c, s); });
  return 0.0;
}
double DenseBlocks(Amp* a, size_t n, size_t half, const Amp* mat) {
  detail::for_blocks(
      a, n, half, [=](Amp* lo, Amp* hi, size_t m) { detail::dense_pair_portable(lo, hi, m, mat); });
  return 0.0;
}
double DiagBlocks(Amp* a, size_t n, size_t half, double d0r, double d0i, double d1r, double d1i,
                  bool keep) {
  DiagGroups(a, n, half, d0r, d0i, d1r, d1i, keep);
  return 0.0;
}

#else  // HWY_TARGET != HWY_SCALAR

inline double* Doubles(Amp* a) { return reinterpret_cast<double*>(a); }

// Ops that only change the high amplitude say so; the low one is then never written.
template <class Op>
constexpr bool kHighOnly = requires {
  Op::kHighOnly;
};

// The widest vector of this target, in doubles.
constexpr size_t kMaxLanes = hn::MaxLanes(hn::ScalableTag<double>());

// op(d, v0, v1) on every group of 2 * kHalf amplitudes of a[0, n): the low and high halves of a
// group are loaded as separate vectors of at most one half each, so no lane crosses a pair.
template <size_t kHalf, class Op>
HWY_INLINE void ForGroups(Amp* HWY_RESTRICT a, size_t n, const Op& op) {
  const hn::CappedTag<double, 2 * kHalf> d;
  const size_t lanes = hn::Lanes(d);  // divides 2 * kHalf
  double* HWY_RESTRICT p = Doubles(a);
  for (size_t g = 0; g + 4 * kHalf <= 2 * n; g += 4 * kHalf) {
    for (size_t j = 0; j < 2 * kHalf; j += lanes) {
      auto v0 = hn::LoadU(d, p + g + j);
      auto v1 = hn::LoadU(d, p + g + 2 * kHalf + j);
      op(d, v0, v1);
      if constexpr (!kHighOnly<Op>) hn::StoreU(v0, d, p + g + j);
      hn::StoreU(v1, d, p + g + 2 * kHalf + j);
    }
  }
}

// Groups of 2 * kHalf amplitudes (kHalf = 1, 2) that a full vector holds whole: lane i holds part
// i % 2 of amplitude i / 2, and that amplitude is a group's high one when i & (2 * kHalf) is set.
// The narrow halves of ForGroups would cost a load, a store and a vector operation per one or two
// amplitudes; the moves and sign flips of X, Y and Z and the products of the diagonal and RZ,
// which depend on one amplitude each, take whole vectors and one permutation or blend instead.
template <size_t kHalf>
struct GroupLanes {
  static constexpr bool kWhole = kMaxLanes >= 4 * kHalf;

  // TableLookupLanes indices f(di, i, 2 * kHalf) for every lane i.
  template <class D, class F>
  static HWY_INLINE auto Indices(D d, const F& f) {
    const hn::RebindToSigned<D> di;
    return hn::IndicesFromVec(d, f(di, hn::Iota(di, 0), hn::Set(di, int64_t{2 * kHalf})));
  }
  template <class D>
  static HWY_INLINE auto Partner(D d) {  // each lane from the other amplitude of its pair
    return Indices(d, [](auto, auto i, auto bit) { return hn::Xor(i, bit); });
  }
  // Lane i is part of a high amplitude.
  template <class D>
  static HWY_INLINE hn::Mask<D> IsHigh(D d) {
    const hn::RebindToSigned<D> di;
    const auto bit = hn::Set(di, int64_t{2 * kHalf});
    return hn::RebindMask(d, hn::Ne(hn::And(hn::Iota(di, 0), bit), hn::Zero(di)));
  }
};

// f(d, v) -> new v on every whole vector of a[0, n) (a multiple of 2 * kHalf amplitudes) whose
// groups a full vector holds; returns the amplitudes done, the rest are for ForGroups.
template <size_t kHalf, class F>
HWY_INLINE size_t WholeVectors(Amp* HWY_RESTRICT a, size_t n, const F& f) {
  const hn::ScalableTag<double> d;
  const size_t lanes = hn::Lanes(d);
  double* HWY_RESTRICT p = Doubles(a);
  size_t i = 0;
  for (; i + lanes <= 2 * n; i += lanes) hn::StoreU(f(d, hn::LoadU(d, p + i)), d, p + i);
  return i / 2;
}

// op on every group, whole vectors at a time: two vectors of groups are split into one of their
// low amplitudes and one of the matching high amplitudes (moves of 128-bit blocks, or of 256-bit
// halves), op runs once on that pair of vectors, and the results are merged back; the groups two
// vectors do not hold go to ForGroups. Lane for lane the operations of the pair update.
template <size_t kHalf, class Op>
HWY_INLINE void SplitGroups(Amp* HWY_RESTRICT a, size_t n, const Op& op) {
  constexpr size_t HALF = 2 * kHalf;  // doubles in one half of a group
  size_t done = 0;
  if constexpr (kMaxLanes == 2 * HALF || kMaxLanes == 4 * HALF) {
    const hn::ScalableTag<double> d;
    const size_t lanes = hn::Lanes(d);
    double* HWY_RESTRICT p = Doubles(a);
    size_t i = 0;
    for (; i + 2 * lanes <= 2 * n; i += 2 * lanes) {
      const auto v0 = hn::LoadU(d, p + i);
      const auto v1 = hn::LoadU(d, p + i + lanes);
      if constexpr (kMaxLanes == 2 * HALF) {
        // One group per vector: the low halves of both, then the high halves.
        auto lo = hn::ConcatLowerLower(d, v1, v0);
        auto hi = hn::ConcatUpperUpper(d, v1, v0);
        op(d, lo, hi);
        hn::StoreU(hn::ConcatLowerLower(d, hi, lo), d, p + i);
        hn::StoreU(hn::ConcatUpperUpper(d, hi, lo), d, p + i + lanes);
      } else {
        // Two groups of two blocks per vector: v0 = (a0 a1 a2 a3), v1 = (a4 a5 a6 a7) give
        // lo = (a0 a4 a2 a6) and hi = (a1 a5 a3 a7).
        auto lo = hn::OddEvenBlocks(hn::SwapAdjacentBlocks(v1), v0);
        auto hi = hn::OddEvenBlocks(v1, hn::SwapAdjacentBlocks(v0));
        op(d, lo, hi);
        hn::StoreU(hn::OddEvenBlocks(hn::SwapAdjacentBlocks(hi), lo), d, p + i);
        hn::StoreU(hn::OddEvenBlocks(hi, hn::SwapAdjacentBlocks(lo)), d, p + i + lanes);
      }
    }
    done = i / 2;
  }
  ForGroups<kHalf>(a + done, n - done, op);
}

// op on every group when each new value depends on its own amplitude alone (RZ, Z, the
// diagonal): op sees the vector as both a0 and a1, each lane keeps its own position's result.
template <size_t kHalf, class Op>
HWY_INLINE void SelfGroups(Amp* HWY_RESTRICT a, size_t n, const Op& op) {
  size_t done = 0;
  if constexpr (GroupLanes<kHalf>::kWhole) {
    const hn::ScalableTag<double> d;
    const auto high = GroupLanes<kHalf>::IsHigh(d);
    done = WholeVectors<kHalf>(a, n, [&](auto dd, auto v) {
      auto v0 = v;
      auto v1 = v;
      op(dd, v0, v1);
      // A high-only op leaves v0 as loaded: the low amplitudes are written back bit for bit.
      return hn::IfThenElse(high, v1, v0);
    });
  }
  ForGroups<kHalf>(a + done, n - done, op);
}

// The slot bodies by half = 1, 2, 4 (slot 2's halves fill a 512-bit vector each anyway).
template <class Op>
HWY_INLINE void SplitGroupsOfHalf(Amp* HWY_RESTRICT a, size_t n, size_t half, const Op& op) {
  switch (half) {
    case 1:
      return SplitGroups<1>(a, n, op);
    case 2:
      return SplitGroups<2>(a, n, op);
    default:
      return ForGroups<4>(a, n, op);
  }
}

template <class Op>
HWY_INLINE void SelfGroupsOfHalf(Amp* HWY_RESTRICT a, size_t n, size_t half, const Op& op) {
  switch (half) {
    case 1:
      return SelfGroups<1>(a, n, op);
    case 2:
      return SelfGroups<2>(a, n, op);
    default:
      return ForGroups<4>(a, n, op);
  }
}

// One vector per cache line of p[0, len) (len in doubles), in address order, folded into `seen`:
// the loads bring a short block in as one forward stream before the pair loop interleaves its
// two halves.
template <class D>
HWY_INLINE hn::Vec<D> Touch(D d, const double* HWY_RESTRICT p, size_t len, hn::Vec<D> seen) {
  constexpr size_t LINE = 64 / sizeof(double);
  const size_t lanes = hn::Lanes(d);
  const size_t step = lanes > LINE ? lanes : LINE;
  for (size_t i = 0; i + lanes <= len; i += step) seen = hn::Or(seen, hn::LoadU(d, p + i));
  return seen;
}

// op(d, v0, v1) on lo[k, m) and hi[k, m) in whole vectors of d; returns where it stopped.
//
// Four vectors of each half per step, all loaded before the first store, and the high stores
// before the low ones. On the top slots of large states (distances of 256 MiB and more) a low and
// a high line share their low 28 address bits, which some level-1 caches cannot hold at once (a
// way predictor keyed on a hash of address bits 12-27): the high line, loaded last, is then the
// one present, and storing it first leaves one refetch per pair of lines instead of two.
template <class D, class Op>
HWY_INLINE size_t PairLoop(D d, Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t k, size_t m,
                           const Op& op) {
  const size_t lanes = hn::Lanes(d);
  const size_t per = lanes / 2;  // amplitudes per vector
  double* HWY_RESTRICT pl = Doubles(lo);
  double* HWY_RESTRICT ph = Doubles(hi);
  for (; k + 4 * per <= m; k += 4 * per) {
    const size_t i = 2 * k;
    auto a0 = hn::LoadU(d, pl + i);
    auto a1 = hn::LoadU(d, pl + i + lanes);
    auto a2 = hn::LoadU(d, pl + i + 2 * lanes);
    auto a3 = hn::LoadU(d, pl + i + 3 * lanes);
    auto b0 = hn::LoadU(d, ph + i);
    auto b1 = hn::LoadU(d, ph + i + lanes);
    auto b2 = hn::LoadU(d, ph + i + 2 * lanes);
    auto b3 = hn::LoadU(d, ph + i + 3 * lanes);
    op(d, a0, b0);
    op(d, a1, b1);
    op(d, a2, b2);
    op(d, a3, b3);
    hn::StoreU(b0, d, ph + i);
    hn::StoreU(b1, d, ph + i + lanes);
    hn::StoreU(b2, d, ph + i + 2 * lanes);
    hn::StoreU(b3, d, ph + i + 3 * lanes);
    hn::StoreU(a0, d, pl + i);
    hn::StoreU(a1, d, pl + i + lanes);
    hn::StoreU(a2, d, pl + i + 2 * lanes);
    hn::StoreU(a3, d, pl + i + 3 * lanes);
  }
  for (; k + per <= m; k += per) {
    auto v0 = hn::LoadU(d, pl + 2 * k);
    auto v1 = hn::LoadU(d, ph + 2 * k);
    op(d, v0, v1);
    hn::StoreU(v1, d, ph + 2 * k);
    hn::StoreU(v0, d, pl + 2 * k);
  }
  return k;
}

// op(d, v0, v1) on every pair lo[j], hi[j], j < m: full vectors, then the last amplitudes one
// at a time, still in vector registers. A scalar tail would be compiled for this target, and
// GCC 12's vectorizer fuses a multiply and an add/sub of such code into fmaddsub even under
// -ffp-contract=off, which changes the plain form's bits.
template <class Op>
HWY_INLINE void ForPairs(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, const Op& op) {
  const size_t k = PairLoop(hn::ScalableTag<double>(), lo, hi, 0, m, op);
  PairLoop(hn::CappedTag<double, 2>(), lo, hi, k, m, op);
}

// op(d, v) on a[k, m) in whole vectors of d, four per step; returns where it stopped.
template <class D, class Op>
HWY_INLINE size_t RunLoop(D d, Amp* HWY_RESTRICT a, size_t k, size_t m, const Op& op) {
  const size_t lanes = hn::Lanes(d);
  const size_t per = lanes / 2;
  double* HWY_RESTRICT p = Doubles(a);
  for (; k + 4 * per <= m; k += 4 * per) {
    const size_t i = 2 * k;
    const auto v0 = hn::LoadU(d, p + i);
    const auto v1 = hn::LoadU(d, p + i + lanes);
    const auto v2 = hn::LoadU(d, p + i + 2 * lanes);
    const auto v3 = hn::LoadU(d, p + i + 3 * lanes);
    hn::StoreU(op(d, v0), d, p + i);
    hn::StoreU(op(d, v1), d, p + i + lanes);
    hn::StoreU(op(d, v2), d, p + i + 2 * lanes);
    hn::StoreU(op(d, v3), d, p + i + 3 * lanes);
  }
  for (; k + per <= m; k += per) hn::StoreU(op(d, hn::LoadU(d, p + 2 * k)), d, p + 2 * k);
  return k;
}

// op(d, v) on every amplitude of a[0, m), the tail as in ForPairs.
template <class Op>
HWY_INLINE void ForRun(Amp* HWY_RESTRICT a, size_t m, const Op& op) {
  const size_t k = RunLoop(hn::ScalableTag<double>(), a, 0, m, op);
  RunLoop(hn::CappedTag<double, 2>(), a, k, m, op);
}

// Blocks of at most this many amplitudes per half (16 KiB blocks) are touched in address order
// before their pairs are updated: interleaving two short runs 0.5 to 8 KiB apart was measured to
// run up to 2.5 times slower than one forward stream, touched first it runs as fast.
constexpr size_t TOUCH_HALF = 512;

// The pair walk of one piece: the blocks of 2 * half amplitudes of a[0, n) in ascending address
// order, op on the pairs of each, in one call rather than one call per block. Returns the folded
// touch loads, so that they are not optimised away.
template <class Op>
HWY_INLINE double ForBlocks(Amp* HWY_RESTRICT a, size_t n, size_t half, const Op& op) {
  // Halves of 8 and 16 amplitudes: the group loop with the half known to the compiler, a few
  // whole vectors per half and no loop control of their own.
  if (half == 8) return ForGroups<8>(a, n, op), 0.0;
  if (half == 16) return ForGroups<16>(a, n, op), 0.0;
  const hn::ScalableTag<double> d;
  auto seen = hn::Zero(d);
  for (size_t b = 0; b + 2 * half <= n; b += 2 * half) {
    if (half <= TOUCH_HALF) seen = Touch(d, Doubles(a + b), 4 * half, seen);
    ForPairs(a + b, a + b + half, half, op);
  }
  return hn::GetLane(seen);
}

// A pair op that changes the high amplitude alone, from a run op.
template <class F>
struct HighOnly {
  static constexpr bool kHighOnly = true;
  F f;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    f(d, a0, a1);
  }
};

// The same for a run op on the high half of each block alone: the low halves are neither read
// nor written (short halves are still fetched whole by the hardware with their cache lines).
template <class Op>
HWY_INLINE void ForHighRuns(Amp* HWY_RESTRICT a, size_t n, size_t half, const Op& op) {
  const auto pair_op = [&op](auto d, auto& /*a0*/, auto& a1) { a1 = op(d, a1); };
  if (half == 8) return ForGroups<8>(a, n, HighOnly<decltype(pair_op)>{pair_op});
  if (half == 16) return ForGroups<16>(a, n, HighOnly<decltype(pair_op)>{pair_op});
  for (size_t b = 0; b + 2 * half <= n; b += 2 * half) ForRun(a + b + half, half, op);
}

// ---- the gates: each op is the scalar update of the same name, lane for lane ----

struct XOp {
  template <class D, class V>
  HWY_INLINE void operator()(D /*d*/, V& a0, V& a1) const {
    const V t = a0;
    a0 = a1;
    a1 = t;
  }
};

struct YOp {
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V n0 = NegIm(d, SwapReIm(d, a1));  // (y1, -x1)
    const V n1 = NegRe(d, SwapReIm(d, a0));  // (-y0, x0)
    a0 = n0;
    a1 = n1;
  }
};

struct ZOp {
  static constexpr bool kHighOnly = true;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& /*a0*/, V& a1) const {
    a1 = hn::Xor(a1, hn::Set(d, -0.0));
  }
};

struct HPlainOp {
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V k = hn::Set(d, H_FACTOR);
    const V sum = hn::Add(a0, a1);
    const V diff = hn::Sub(a0, a1);
    a0 = hn::Mul(sum, k);
    a1 = hn::Mul(diff, k);
  }
};

struct HFusedOp {
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V k = hn::Set(d, H_FACTOR);
    const V zero = hn::Zero(d);
    const V sum = hn::Add(a0, a1);
    const V diff = hn::Sub(a0, a1);
    a0 = MulFused(d, k, zero, sum);
    a1 = MulFused(d, k, zero, diff);
  }
};

struct RxPlainOp {
  double c, s;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V vc = hn::Set(d, c), vs = hn::Set(d, s);
    // (c*x0 + s*y1, c*y0 - s*x1) and (c*x1 + s*y0, c*y1 - s*x0)
    const V n0 = AddReSubIm<D>(hn::Mul(vc, a0), hn::Mul(vs, SwapReIm(d, a1)));
    const V n1 = AddReSubIm<D>(hn::Mul(vc, a1), hn::Mul(vs, SwapReIm(d, a0)));
    a0 = n0;
    a1 = n1;
  }
};

struct RxFusedOp {
  double c, s;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V vc = hn::Set(d, c), zero = hn::Zero(d), vns = hn::Set(d, -s);
    // diag = (c, 0), off = (0, -s)
    const V n0 = AccFused(d, zero, vns, a1, MulFused(d, vc, zero, a0));
    const V n1 = AccFused(d, zero, vns, a0, MulFused(d, vc, zero, a1));
    a0 = n0;
    a1 = n1;
  }
};

struct RyPlainOp {
  double c, s;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V vc = hn::Set(d, c), vs = hn::Set(d, s);
    const V n0 = hn::Sub(hn::Mul(vc, a0), hn::Mul(vs, a1));  // c*x0 - s*x1
    const V n1 = hn::Add(hn::Mul(vs, a0), hn::Mul(vc, a1));  // s*x0 + c*x1
    a0 = n0;
    a1 = n1;
  }
};

struct RyFusedOp {
  double c, s;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V vc = hn::Set(d, c), zero = hn::Zero(d);
    const V n0 = AccFused(d, vc, zero, a0, MulFused(d, hn::Set(d, -s), zero, a1));
    const V n1 = AccFused(d, vc, zero, a1, MulFused(d, hn::Set(d, s), zero, a0));
    a0 = n0;
    a1 = n1;
  }
};

struct RzPlainOp {
  double c, s;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V vc = hn::Set(d, c), vs = hn::Set(d, s);
    // (c*x0 + s*y0, c*y0 - s*x0) and (c*x1 - s*y1, c*y1 + s*x1)
    a0 = AddReSubIm<D>(hn::Mul(vc, a0), hn::Mul(vs, SwapReIm(d, a0)));
    a1 = SubReAddIm<D>(hn::Mul(vc, a1), hn::Mul(vs, SwapReIm(d, a1)));
  }
};

struct RzFusedOp {
  double c, s;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V vc = hn::Set(d, c);
    a0 = MulFused(d, vc, hn::Set(d, -s), a0);
    a1 = MulFused(d, vc, hn::Set(d, s), a1);
  }
};

struct DenseOp {
  Amp m0, m1, m2, m3;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    const V p0 = MulPlain(d, hn::Set(d, m0.real()), hn::Set(d, m0.imag()), a0);
    const V p2 = MulPlain(d, hn::Set(d, m2.real()), hn::Set(d, m2.imag()), a1);
    const V p1 = MulPlain(d, hn::Set(d, m1.real()), hn::Set(d, m1.imag()), a0);
    const V p3 = MulPlain(d, hn::Set(d, m3.real()), hn::Set(d, m3.imag()), a1);
    a0 = hn::Add(p0, p2);
    a1 = hn::Add(p1, p3);
  }
};

// diag(d0, d1), plain products: both halves.
struct DiagOp {
  double d0r, d0i, d1r, d1i;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& a0, V& a1) const {
    a0 = MulPlain(d, hn::Set(d, d0r), hn::Set(d, d0i), a0);
    a1 = MulPlain(d, hn::Set(d, d1r), hn::Set(d, d1i), a1);
  }
};

// diag(1, d1) with d0 = 1 by value: the low amplitudes are never written.
struct DiagHighOp {
  static constexpr bool kHighOnly = true;
  double d1r, d1i;
  template <class D, class V>
  HWY_INLINE void operator()(D d, V& /*a0*/, V& a1) const {
    a1 = MulPlain(d, hn::Set(d, d1r), hn::Set(d, d1i), a1);
  }
};

// ---- dispatched entry points: one call per slice ----

// X and Y on slots 0 and 1 take each lane from the other amplitude of its pair: one permutation
// (Y swaps re and im in the same permutation and then flips the signs of -x1 and -y0).
template <size_t kHalf>
HWY_INLINE void XWhole(Amp* HWY_RESTRICT a, size_t n) {
  size_t done = 0;
  if constexpr (GroupLanes<kHalf>::kWhole) {
    const hn::ScalableTag<double> d;
    const auto partner = GroupLanes<kHalf>::Partner(d);
    done =
        WholeVectors<kHalf>(a, n, [&](auto, auto v) { return hn::TableLookupLanes(v, partner); });
  }
  ForGroups<kHalf>(a + done, n - done, XOp{});
}

template <size_t kHalf>
HWY_INLINE void YWhole(Amp* HWY_RESTRICT a, size_t n) {
  size_t done = 0;
  if constexpr (GroupLanes<kHalf>::kWhole) {
    const hn::ScalableTag<double> d;
    const hn::RebindToSigned<decltype(d)> di;
    // The partner's lane with re and im exchanged: i ^ (2 * kHalf) ^ 1.
    const auto swapped =
        hn::IndicesFromVec(d, hn::Xor(hn::Iota(di, 0), hn::Set(di, int64_t{2 * kHalf + 1})));
    // -0.0 on x1 of a0' = (y1, -x1) (odd lanes of low amplitudes) and on y0 of a1' = (-y0, x0)
    // (even lanes of high amplitudes).
    const auto sign = hn::IfThenElse(GroupLanes<kHalf>::IsHigh(d), SignRe(d), SignIm(d));
    done = WholeVectors<kHalf>(
        a, n, [&](auto, auto v) { return hn::Xor(hn::TableLookupLanes(v, swapped), sign); });
  }
  ForGroups<kHalf>(a + done, n - done, YOp{});
}

template <size_t kHalf>
HWY_INLINE void ZWhole(Amp* HWY_RESTRICT a, size_t n) {
  size_t done = 0;
  if constexpr (GroupLanes<kHalf>::kWhole) {
    const hn::ScalableTag<double> d;
    // -0.0 in the lanes of high amplitudes, +0.0 (no change) in the others.
    const auto sign = hn::IfThenElseZero(GroupLanes<kHalf>::IsHigh(d), hn::Set(d, -0.0));
    done = WholeVectors<kHalf>(a, n, [&](auto, auto v) { return hn::Xor(v, sign); });
  }
  ForGroups<kHalf>(a + done, n - done, ZOp{});
}

void XGroups(Amp* a, size_t n, size_t half) {
  switch (half) {
    case 1:
      return XWhole<1>(a, n);
    case 2:
      return XWhole<2>(a, n);
    default:
      return ForGroups<4>(a, n, XOp{});
  }
}
void YGroups(Amp* a, size_t n, size_t half) {
  switch (half) {
    case 1:
      return YWhole<1>(a, n);
    case 2:
      return YWhole<2>(a, n);
    default:
      return ForGroups<4>(a, n, YOp{});
  }
}
void ZGroups(Amp* a, size_t n, size_t half) {
  switch (half) {
    case 1:
      return ZWhole<1>(a, n);
    case 2:
      return ZWhole<2>(a, n);
    default:
      return ForGroups<4>(a, n, ZOp{});
  }
}
void HGroups(Amp* a, size_t n, size_t half) { SplitGroupsOfHalf(a, n, half, HPlainOp{}); }
void RxGroups(Amp* a, size_t n, size_t half, double c, double s) {
  SplitGroupsOfHalf(a, n, half, RxPlainOp{c, s});
}
void RyGroups(Amp* a, size_t n, size_t half, double c, double s) {
  SplitGroupsOfHalf(a, n, half, RyPlainOp{c, s});
}
void RzGroups(Amp* a, size_t n, size_t half, double c, double s) {
  SelfGroupsOfHalf(a, n, half, RzPlainOp{c, s});
}
void DenseGroups(Amp* a, size_t n, size_t half, const Amp* mat) {
  SplitGroupsOfHalf(a, n, half, DenseOp{mat[0], mat[1], mat[2], mat[3]});
}
void DiagGroups(Amp* a, size_t n, size_t half, double d0r, double d0i, double d1r, double d1i,
                bool keep) {
  if (keep) return SelfGroupsOfHalf(a, n, half, DiagHighOp{d1r, d1i});
  SelfGroupsOfHalf(a, n, half, DiagOp{d0r, d0i, d1r, d1i});
}

void YPair(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m) { ForPairs(lo, hi, m, YOp{}); }

void ZRun(Amp* HWY_RESTRICT hi, size_t m) {
  ForRun(hi, m, [](auto d, auto v) { return hn::Xor(v, hn::Set(d, -0.0)); });
}

void HPair(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m) {
  ForPairs(lo, hi, m, HFusedOp{});
}

void RxPair(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, double c, double s) {
  ForPairs(lo, hi, m, RxFusedOp{c, s});
}

void RyPair(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, double c, double s) {
  ForPairs(lo, hi, m, RyFusedOp{c, s});
}

void RzPair(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, double c, double s) {
  ForPairs(lo, hi, m, RzFusedOp{c, s});
}

// a[j] = mul_plain((re, im), a[j]) for j < m.
void Scale(Amp* HWY_RESTRICT a, size_t m, double re, double im) {
  ForRun(a, m, [re, im](auto d, auto v) { return MulPlain(d, hn::Set(d, re), hn::Set(d, im), v); });
}

void DensePair(Amp* HWY_RESTRICT lo, Amp* HWY_RESTRICT hi, size_t m, const Amp* mat) {
  ForPairs(lo, hi, m, DenseOp{mat[0], mat[1], mat[2], mat[3]});
}

double XBlocks(Amp* a, size_t n, size_t half) { return ForBlocks(a, n, half, XOp{}); }
double YBlocks(Amp* a, size_t n, size_t half) { return ForBlocks(a, n, half, YOp{}); }
double ZBlocks(Amp* a, size_t n, size_t half) {
  ForHighRuns(a, n, half, [](auto d, auto v) { return hn::Xor(v, hn::Set(d, -0.0)); });
  return 0.0;
}
double HBlocks(Amp* a, size_t n, size_t half) { return ForBlocks(a, n, half, HFusedOp{}); }
double RxBlocks(Amp* a, size_t n, size_t half, double c, double s) {
  return ForBlocks(a, n, half, RxFusedOp{c, s});
}
double RyBlocks(Amp* a, size_t n, size_t half, double c, double s) {
  return ForBlocks(a, n, half, RyFusedOp{c, s});
}
double RzBlocks(Amp* a, size_t n, size_t half, double c, double s) {
  return ForBlocks(a, n, half, RzFusedOp{c, s});
}
double DenseBlocks(Amp* a, size_t n, size_t half, const Amp* mat) {
  return ForBlocks(a, n, half, DenseOp{mat[0], mat[1], mat[2], mat[3]});
}
double DiagBlocks(Amp* a, size_t n, size_t half, double d0r, double d0i, double d1r, double d1i,
                  bool keep) {
  if (!keep) return ForBlocks(a, n, half, DiagOp{d0r, d0i, d1r, d1i});
  ForHighRuns(a, n, half, [d1r, d1i](auto d, auto v) {
    return MulPlain(d, hn::Set(d, d1r), hn::Set(d, d1i), v);
  });
  return 0.0;
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(VectorExact);
HWY_EXPORT(XGroups);
HWY_EXPORT(YGroups);
HWY_EXPORT(ZGroups);
HWY_EXPORT(HGroups);
HWY_EXPORT(RxGroups);
HWY_EXPORT(RyGroups);
HWY_EXPORT(RzGroups);
HWY_EXPORT(DenseGroups);
HWY_EXPORT(DiagGroups);
HWY_EXPORT(YPair);
HWY_EXPORT(ZRun);
HWY_EXPORT(HPair);
HWY_EXPORT(RxPair);
HWY_EXPORT(RyPair);
HWY_EXPORT(RzPair);
HWY_EXPORT(Scale);
HWY_EXPORT(DensePair);
HWY_EXPORT(XBlocks);
HWY_EXPORT(YBlocks);
HWY_EXPORT(ZBlocks);
HWY_EXPORT(HBlocks);
HWY_EXPORT(RxBlocks);
HWY_EXPORT(RyBlocks);
HWY_EXPORT(RzBlocks);
HWY_EXPORT(DenseBlocks);
HWY_EXPORT(DiagBlocks);

bool vector_bodies_exact() { return HWY_DYNAMIC_DISPATCH(VectorExact)(); }

namespace {

// The pair walk of slot log2(half), cut exactly as par_walk_pairs cuts it (its own plan, its
// pieces of whole blocks), but with one call of `blocks` per piece, which walks the piece's blocks
// in ascending order itself: a vector body called once per block costs a dispatch per block, more
// than the block's own arithmetic on slots 3 to 6. Blocks split across the pool (fewer blocks
// than workers) go to the walker with the pair body, whose pieces are long.
template <class Blocks, class Pair>
void walk_pairs(std::span<Amp> amps, size_t half, const Blocks& blocks, const Pair& pair) {
  const size_t min_amps = par::MIN_AMPS();
  const size_t workers = par::NUM_THREADS();
  const par::Plan p = par::plan_pairs(amps.size(), half, workers, min_amps);
  switch (p.regime) {
    case par::Regime::WholeBlocks:
      par::run_pieces(p.pieces, [&](size_t i) {
        const par::PieceRange r = par::piece_range(amps.size(), p.chunk, i);
        blocks(amps.subspan(r.start, r.len));
      });
      return;
    case par::Regime::SplitBlocks:
      par::par_walk_pairs(amps, half, pair);
      return;
    default:
      blocks(amps);
      return;
  }
}

// The slot bodies of slots 0, 1, 2 through the runner (block 2, 4, 8); from slot 3 the pair walk
// above, with `blocks` for a piece of whole blocks and `pair` for the pieces of a split block.
template <class B0, class B1, class B2, class Blocks, class Pair>
void by_slot(std::span<Amp> amps, size_t t, const B0& b0, const B1& b1, const B2& b2,
             const Blocks& blocks, const Pair& pair) {
  switch (t) {
    case 0:
      return run_par_or_seq(amps, 2, b0);
    case 1:
      return run_par_or_seq(amps, 4, b1);
    case 2:
      return run_par_or_seq(amps, 8, b2);
    default:
      return walk_pairs(amps, size_t{1} << t, blocks, pair);
  }
}

size_t pairs_of(std::span<Amp> lo, std::span<Amp> hi) { return std::min(lo.size(), hi.size()); }

// The blocks of a run through a portable pair body, for simd = false.
template <class Pair>
void portable_blocks(std::span<Amp> run, size_t half, const Pair& pair) {
  detail::for_blocks(run.data(), run.size(), half, pair);
}

// ---- slot bodies, by half = 2^t ----

template <size_t kHalf>
void x_groups(std::span<Amp> run) {
  // Moves only: every target gives the same bits, so X takes no flag and always dispatches.
  HWY_DYNAMIC_DISPATCH(XGroups)(run.data(), run.size(), kHalf);
}

template <size_t kHalf>
void y_groups(bool simd, std::span<Amp> run) {
  if (simd) return HWY_DYNAMIC_DISPATCH(YGroups)(run.data(), run.size(), kHalf);
  detail::for_groups<kHalf>(run.data(), run.size(), detail::y_update);
}

template <size_t kHalf>
void z_groups(bool simd, std::span<Amp> run) {
  if (simd) return HWY_DYNAMIC_DISPATCH(ZGroups)(run.data(), run.size(), kHalf);
  detail::for_groups<kHalf>(run.data(), run.size(), [](Amp&, Amp& a1) { detail::z_update(a1); });
}

template <size_t kHalf>
void h_groups(bool simd, std::span<Amp> run) {
  if (simd) return HWY_DYNAMIC_DISPATCH(HGroups)(run.data(), run.size(), kHalf);
  detail::for_groups<kHalf>(run.data(), run.size(), detail::h_plain);
}

template <size_t kHalf>
void rx_groups(bool simd, std::span<Amp> run, double c, double s) {
  if (simd) return HWY_DYNAMIC_DISPATCH(RxGroups)(run.data(), run.size(), kHalf, c, s);
  detail::for_groups<kHalf>(run.data(), run.size(),
                            [c, s](Amp& a0, Amp& a1) { detail::rx_plain(a0, a1, c, s); });
}

template <size_t kHalf>
void ry_groups(bool simd, std::span<Amp> run, double c, double s) {
  if (simd) return HWY_DYNAMIC_DISPATCH(RyGroups)(run.data(), run.size(), kHalf, c, s);
  detail::for_groups<kHalf>(run.data(), run.size(),
                            [c, s](Amp& a0, Amp& a1) { detail::ry_plain(a0, a1, c, s); });
}

template <size_t kHalf>
void rz_groups(bool simd, std::span<Amp> run, double c, double s) {
  if (simd) return HWY_DYNAMIC_DISPATCH(RzGroups)(run.data(), run.size(), kHalf, c, s);
  detail::for_groups<kHalf>(run.data(), run.size(),
                            [c, s](Amp& a0, Amp& a1) { detail::rz_plain(a0, a1, c, s); });
}

template <size_t kHalf>
void dense_groups(bool simd, std::span<Amp> run, const std::array<Amp, 4>& m) {
  if (simd) return HWY_DYNAMIC_DISPATCH(DenseGroups)(run.data(), run.size(), kHalf, m.data());
  const Amp m0 = m[0], m1 = m[1], m2 = m[2], m3 = m[3];
  detail::for_groups<kHalf>(run.data(), run.size(), [=](Amp& a0, Amp& a1) {
    detail::dense_update(a0, a1, m0, m1, m2, m3);
  });
}

void scale(bool simd, std::span<Amp> a, Amp d) {
  if (simd) return HWY_DYNAMIC_DISPATCH(Scale)(a.data(), a.size(), d.real(), d.imag());
  detail::scale_portable(a.data(), a.size(), d);
}

// By value: (1, -0.0) also leaves the low run alone.
bool is_one(Amp d0) { return d0.real() == 1.0 && d0.imag() == 0.0; }

}  // namespace

// ---- slot bodies ----

void apply_x_t0_inner(std::span<Amp> run) { x_groups<1>(run); }
void apply_x_t1_inner(std::span<Amp> run) { x_groups<2>(run); }
void apply_x_t2_inner(std::span<Amp> run) { x_groups<4>(run); }

void apply_x_half_swap(std::span<Amp> run, size_t half) {
  (void)HWY_DYNAMIC_DISPATCH(XBlocks)(run.data(), run.size(), half);
}

void apply_y_t0_inner(bool simd, std::span<Amp> run) { y_groups<1>(simd, run); }
void apply_y_t1_inner(bool simd, std::span<Amp> run) { y_groups<2>(simd, run); }
void apply_y_t2_inner(bool simd, std::span<Amp> run) { y_groups<4>(simd, run); }
void apply_z_t0_inner(bool simd, std::span<Amp> run) { z_groups<1>(simd, run); }
void apply_z_t1_inner(bool simd, std::span<Amp> run) { z_groups<2>(simd, run); }
void apply_z_t2_inner(bool simd, std::span<Amp> run) { z_groups<4>(simd, run); }
void apply_h_t0_inner(bool simd, std::span<Amp> run) { h_groups<1>(simd, run); }
void apply_h_t1_inner(bool simd, std::span<Amp> run) { h_groups<2>(simd, run); }
void apply_h_t2_inner(bool simd, std::span<Amp> run) { h_groups<4>(simd, run); }
void apply_rx_t0_inner(bool simd, std::span<Amp> run, double c, double s) {
  rx_groups<1>(simd, run, c, s);
}
void apply_rx_t1_inner(bool simd, std::span<Amp> run, double c, double s) {
  rx_groups<2>(simd, run, c, s);
}
void apply_rx_t2_inner(bool simd, std::span<Amp> run, double c, double s) {
  rx_groups<4>(simd, run, c, s);
}
void apply_ry_t0_inner(bool simd, std::span<Amp> run, double c, double s) {
  ry_groups<1>(simd, run, c, s);
}
void apply_ry_t1_inner(bool simd, std::span<Amp> run, double c, double s) {
  ry_groups<2>(simd, run, c, s);
}
void apply_ry_t2_inner(bool simd, std::span<Amp> run, double c, double s) {
  ry_groups<4>(simd, run, c, s);
}
void apply_rz_t0_inner(bool simd, std::span<Amp> run, double c, double s) {
  rz_groups<1>(simd, run, c, s);
}
void apply_rz_t1_inner(bool simd, std::span<Amp> run, double c, double s) {
  rz_groups<2>(simd, run, c, s);
}
void apply_rz_t2_inner(bool simd, std::span<Amp> run, double c, double s) {
  rz_groups<4>(simd, run, c, s);
}
void apply_1q_t0_inner(bool simd, std::span<Amp> run, const std::array<Amp, 4>& m) {
  dense_groups<1>(simd, run, m);
}
void apply_1q_t1_inner(bool simd, std::span<Amp> run, const std::array<Amp, 4>& m) {
  dense_groups<2>(simd, run, m);
}
void apply_1q_t2_inner(bool simd, std::span<Amp> run, const std::array<Amp, 4>& m) {
  dense_groups<4>(simd, run, m);
}

// ---- pair bodies ----

void apply_y_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi) {
  const size_t m = pairs_of(lo, hi);
  if (simd) return HWY_DYNAMIC_DISPATCH(YPair)(lo.data(), hi.data(), m);
  detail::y_pair_portable(lo.data(), hi.data(), m);
}

void apply_z_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi) {
  const size_t m = pairs_of(lo, hi);
  if (simd) return HWY_DYNAMIC_DISPATCH(ZRun)(hi.data(), m);
  detail::z_run_portable(hi.data(), m);
}

void apply_h_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi) {
  const size_t m = pairs_of(lo, hi);
  if (simd) return HWY_DYNAMIC_DISPATCH(HPair)(lo.data(), hi.data(), m);
  detail::h_pair_portable(lo.data(), hi.data(), m);
}

void apply_rx_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, double c, double s) {
  const size_t m = pairs_of(lo, hi);
  if (simd) return HWY_DYNAMIC_DISPATCH(RxPair)(lo.data(), hi.data(), m, c, s);
  detail::rx_pair_portable(lo.data(), hi.data(), m, c, s);
}

void apply_ry_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, double c, double s) {
  const size_t m = pairs_of(lo, hi);
  if (simd) return HWY_DYNAMIC_DISPATCH(RyPair)(lo.data(), hi.data(), m, c, s);
  detail::ry_pair_portable(lo.data(), hi.data(), m, c, s);
}

void apply_rz_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, double c, double s) {
  const size_t m = pairs_of(lo, hi);
  if (simd) return HWY_DYNAMIC_DISPATCH(RzPair)(lo.data(), hi.data(), m, c, s);
  detail::rz_pair_portable(lo.data(), hi.data(), m, c, s);
}

void apply_diag_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, Amp d0, Amp d1) {
  const size_t m = pairs_of(lo, hi);
  if (!is_one(d0)) scale(simd, lo.first(m), d0);
  scale(simd, hi.first(m), d1);
}

void apply_1q_pair(bool simd, std::span<Amp> lo, std::span<Amp> hi, const std::array<Amp, 4>& m) {
  const size_t count = pairs_of(lo, hi);
  if (simd) return HWY_DYNAMIC_DISPATCH(DensePair)(lo.data(), hi.data(), count, m.data());
  detail::dense_pair_portable(lo.data(), hi.data(), count, m.data());
}

// ---- kernels ----

void apply_x_kernel(std::span<Amp> amps, size_t t) {
  switch (t) {
    case 0:
      return run_par_or_seq(amps, 2, [](std::span<Amp> r) { apply_x_t0_inner(r); });
    case 1:
      return run_par_or_seq(amps, 4, [](std::span<Amp> r) { apply_x_t1_inner(r); });
    case 2:
      return run_par_or_seq(amps, 8, [](std::span<Amp> r) { apply_x_t2_inner(r); });
    default: {
      // Whole blocks where they feed every worker; on the top slot (one block) or a few blocks,
      // runs of pairs divided among the workers. Moves only, so the cut changes no bit.
      const size_t half = size_t{1} << t;
      const GroupWalk g = group_walk(uint64_t{1} << t);
      const par::Plan p = par::plan_group_runs(amps.size(), 2 * half, (amps.size() >> 1) / g.run,
                                               par::NUM_THREADS(), par::MIN_AMPS());
      if (p.regime != par::Regime::GroupRuns) {
        return detail::run_planned(amps, p,
                                   [half](std::span<Amp> r) { apply_x_half_swap(r, half); });
      }
      return run_groups_par_or_seq(amps, g.walk, [&](std::span<Amp> a, size_t base, size_t runs) {
        for (; runs > 0; --runs, base = ((base | g.walk) + 1) & ~g.walk)
          std::swap_ranges(a.begin() + base, a.begin() + base + g.run, a.begin() + base + half);
      });
    }
  }
}

void apply_y_kernel(bool simd, std::span<Amp> amps, size_t t) {
  const size_t half = size_t{1} << t;
  by_slot(
      amps, t, [simd](std::span<Amp> r) { apply_y_t0_inner(simd, r); },
      [simd](std::span<Amp> r) { apply_y_t1_inner(simd, r); },
      [simd](std::span<Amp> r) { apply_y_t2_inner(simd, r); },
      [=](std::span<Amp> r) {
        if (simd) return (void)HWY_DYNAMIC_DISPATCH(YBlocks)(r.data(), r.size(), half);
        portable_blocks(r, half, detail::y_pair_portable);
      },
      [simd](std::span<Amp> lo, std::span<Amp> hi) { apply_y_pair(simd, lo, hi); });
}

void apply_z_kernel(bool simd, std::span<Amp> amps, size_t t) {
  const size_t half = size_t{1} << t;
  by_slot(
      amps, t, [simd](std::span<Amp> r) { apply_z_t0_inner(simd, r); },
      [simd](std::span<Amp> r) { apply_z_t1_inner(simd, r); },
      [simd](std::span<Amp> r) { apply_z_t2_inner(simd, r); },
      [=](std::span<Amp> r) {
        if (simd) return (void)HWY_DYNAMIC_DISPATCH(ZBlocks)(r.data(), r.size(), half);
        portable_blocks(r, half, [](Amp*, Amp* hi, size_t m) { detail::z_run_portable(hi, m); });
      },
      [simd](std::span<Amp> lo, std::span<Amp> hi) { apply_z_pair(simd, lo, hi); });
}

void apply_h_kernel(bool simd, std::span<Amp> amps, size_t t) {
  const size_t half = size_t{1} << t;
  by_slot(
      amps, t, [simd](std::span<Amp> r) { apply_h_t0_inner(simd, r); },
      [simd](std::span<Amp> r) { apply_h_t1_inner(simd, r); },
      [simd](std::span<Amp> r) { apply_h_t2_inner(simd, r); },
      [=](std::span<Amp> r) {
        if (simd) return (void)HWY_DYNAMIC_DISPATCH(HBlocks)(r.data(), r.size(), half);
        portable_blocks(r, half, detail::h_pair_portable);
      },
      [simd](std::span<Amp> lo, std::span<Amp> hi) { apply_h_pair(simd, lo, hi); });
}

void apply_rx_kernel(bool simd, std::span<Amp> amps, size_t t, double c, double s) {
  const size_t half = size_t{1} << t;
  by_slot(
      amps, t, [=](std::span<Amp> r) { apply_rx_t0_inner(simd, r, c, s); },
      [=](std::span<Amp> r) { apply_rx_t1_inner(simd, r, c, s); },
      [=](std::span<Amp> r) { apply_rx_t2_inner(simd, r, c, s); },
      [=](std::span<Amp> r) {
        if (simd) return (void)HWY_DYNAMIC_DISPATCH(RxBlocks)(r.data(), r.size(), half, c, s);
        portable_blocks(r, half, [=](Amp* lo, Amp* hi, size_t m) {
          detail::rx_pair_portable(lo, hi, m, c, s);
        });
      },
      [=](std::span<Amp> lo, std::span<Amp> hi) { apply_rx_pair(simd, lo, hi, c, s); });
}

void apply_ry_kernel(bool simd, std::span<Amp> amps, size_t t, double c, double s) {
  const size_t half = size_t{1} << t;
  by_slot(
      amps, t, [=](std::span<Amp> r) { apply_ry_t0_inner(simd, r, c, s); },
      [=](std::span<Amp> r) { apply_ry_t1_inner(simd, r, c, s); },
      [=](std::span<Amp> r) { apply_ry_t2_inner(simd, r, c, s); },
      [=](std::span<Amp> r) {
        if (simd) return (void)HWY_DYNAMIC_DISPATCH(RyBlocks)(r.data(), r.size(), half, c, s);
        portable_blocks(r, half, [=](Amp* lo, Amp* hi, size_t m) {
          detail::ry_pair_portable(lo, hi, m, c, s);
        });
      },
      [=](std::span<Amp> lo, std::span<Amp> hi) { apply_ry_pair(simd, lo, hi, c, s); });
}

void apply_rz_kernel(bool simd, std::span<Amp> amps, size_t t, double c, double s) {
  const size_t half = size_t{1} << t;
  by_slot(
      amps, t, [=](std::span<Amp> r) { apply_rz_t0_inner(simd, r, c, s); },
      [=](std::span<Amp> r) { apply_rz_t1_inner(simd, r, c, s); },
      [=](std::span<Amp> r) { apply_rz_t2_inner(simd, r, c, s); },
      [=](std::span<Amp> r) {
        if (simd) return (void)HWY_DYNAMIC_DISPATCH(RzBlocks)(r.data(), r.size(), half, c, s);
        portable_blocks(r, half, [=](Amp* lo, Amp* hi, size_t m) {
          detail::rz_pair_portable(lo, hi, m, c, s);
        });
      },
      [=](std::span<Amp> lo, std::span<Amp> hi) { apply_rz_pair(simd, lo, hi, c, s); });
}

void apply_diag_1q(bool simd, std::span<Amp> amps, size_t t, Amp d0, Amp d1) {
  // Every slot walks pairs, 0 to 2 included, so the low amplitudes can be skipped; the blocks of
  // slots 0 to 2 are a vector's groups, the same bits as the per-pair products.
  const size_t half = size_t{1} << t;
  const bool keep = is_one(d0);
  walk_pairs(
      amps, half,
      [=](std::span<Amp> r) {
        if (!simd) {
          return portable_blocks(r, half, [=](Amp* lo, Amp* hi, size_t m) {
            detail::diag_pair_portable(lo, hi, m, d0, d1, keep);
          });
        }
        if (t <= 2) {
          return HWY_DYNAMIC_DISPATCH(DiagGroups)(r.data(), r.size(), half, d0.real(), d0.imag(),
                                                  d1.real(), d1.imag(), keep);
        }
        (void)HWY_DYNAMIC_DISPATCH(DiagBlocks)(r.data(), r.size(), half, d0.real(), d0.imag(),
                                               d1.real(), d1.imag(), keep);
      },
      [=](std::span<Amp> lo, std::span<Amp> hi) { apply_diag_pair(simd, lo, hi, d0, d1); });
}

void apply_1q(bool simd, std::span<Amp> amps, size_t t, const std::array<Amp, 4>& m) {
  const std::array<Amp, 4> mat = m;  // the caller's matrix is read once, on entry
  const size_t half = size_t{1} << t;
  by_slot(
      amps, t, [&](std::span<Amp> r) { apply_1q_t0_inner(simd, r, mat); },
      [&](std::span<Amp> r) { apply_1q_t1_inner(simd, r, mat); },
      [&](std::span<Amp> r) { apply_1q_t2_inner(simd, r, mat); },
      [&](std::span<Amp> r) {
        if (simd) {
          return (void)HWY_DYNAMIC_DISPATCH(DenseBlocks)(r.data(), r.size(), half, mat.data());
        }
        portable_blocks(r, half, [&](Amp* lo, Amp* hi, size_t n) {
          detail::dense_pair_portable(lo, hi, n, mat.data());
        });
      },
      [&](std::span<Amp> lo, std::span<Amp> hi) { apply_1q_pair(simd, lo, hi, mat); });
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
