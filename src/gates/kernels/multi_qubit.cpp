// The dense k-qubit kernel: portable bodies, Highway bodies per target, and the entry point that
// builds the offset table and picks the body.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gates/kernels/multi_qubit.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "error.hpp"
#include "gates/kernels/complex.hpp"
#include "gates/kernels/multi_qubit.hpp"
#include "gates/kernels/runner.hpp"

// ---- portable bodies (compiled once, at baseline) ----
#ifndef TAVRO_GATES_KERNELS_MULTI_QUBIT_PORTABLE_
#define TAVRO_GATES_KERNELS_MULTI_QUBIT_PORTABLE_
namespace tavro::kernels::detail::multi_qubit {

// One body call: `runs` runs from `base` (an index into `a`). A run is `run` consecutive
// groups, all below the lowest target bit, so they share one set of roles; the bases of runs are
// the indices with every bit of `mask` clear, and `mask` holds the target bits and the bits that
// count within a run. off[i] is the distance from a group's base to its amplitude of local index
// i. The vector bodies read the gate from the coefficient tables (see Coeffs).
struct KqCall {
  Amp* a;
  size_t base;
  size_t runs;
  const size_t* off;
  uint64_t mask;
  size_t run;
  size_t dim;
  const Amp* gate;
  const double* re;
  const double* im;
};

// The base of the next run: the next index above `base` with every bit of `mask` clear.
// Targets {1, 2, 4} with a run of 2 (mask 0b10111): 0 -> 8 -> 32 -> 40.
inline size_t next_base(size_t base, uint64_t mask) { return ((base | mask) + 1) & ~mask; }

// out_r = sum over c of gate[c*D + r] * a_c for the group whose base amplitude is p[0]; all D
// inputs are read before the first output is written. Plain: separately rounded products,
// terms added left to right. Fused: the chain of mul_fused and acc_chain_fused.
template <size_t D, bool kFused>
inline void group_portable(Amp* HWY_RESTRICT p, const size_t* off, const Amp* gate) {
  using Form = std::conditional_t<kFused, FusedForm, PlainForm>;
  Amp a[D];
  for (size_t c = 0; c < D; ++c) a[c] = p[off[c]];
  for (size_t r = 0; r < D; ++r) {
    Amp t = Form::first(gate[r], a[0]);
    for (size_t c = 1; c < D; ++c) t = Form::next(gate[c * D + r], a[c], t);
    p[off[r]] = t;
  }
}

template <size_t D, bool kFused>
void runs_portable(const KqCall& c) {
  size_t base = c.base;
  for (size_t i = 0; i < c.runs; ++i, base = next_base(base, c.mask)) {
    for (size_t j = 0; j < c.run; ++j) group_portable<D, kFused>(c.a + base + j, c.off, c.gate);
  }
}

// f.template operator()<D>() for the call's dimension (8, 16 or 32).
template <class F>
inline void by_dim(size_t dim, const F& f) {
  if (dim == 8) return f.template operator()<8>();
  if (dim == 16) return f.template operator()<16>();
  f.template operator()<32>();
}

inline void plain_portable(const KqCall& c) {
  by_dim(c.dim, [&]<size_t D>() { runs_portable<D, false>(c); });
}
inline void fused_portable(const KqCall& c) {
  by_dim(c.dim, [&]<size_t D>() { runs_portable<D, true>(c); });
}

}  // namespace tavro::kernels::detail::multi_qubit
#endif  // TAVRO_GATES_KERNELS_MULTI_QUBIT_PORTABLE_

#include "gates/kernels/complex-inl.h"

// ---- vector bodies, one copy per target ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
namespace mq = detail::multi_qubit;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold an amplitude: the portable bodies serve.
void KqPlain(const mq::KqCall& c) { mq::plain_portable(c); }
void KqFused(const mq::KqCall& c) { mq::fused_portable(c); }

#else  // HWY_TARGET != HWY_SCALAR

// No scalar complex arithmetic is compiled in this per-target code: on targets with FMA, GCC 12's
// SLP vectorizer turns a scalar a*b - c*d into vfmaddsub despite -ffp-contract=off. Amplitudes
// are only copied here; every product and sum is a vector operation of complex-inl.h's kind.

inline double* Doubles(Amp* a) { return reinterpret_cast<double*>(a); }
inline const double* Doubles(const Amp* a) { return reinterpret_cast<const double*>(a); }

// The call's fields as locals: a store through the amplitudes could alias anything reached
// through the call, so the offsets would be read again after every store.
template <size_t D>
struct Walk {
  explicit Walk(const mq::KqCall& c)
      : a(c.a), base(c.base), runs(c.runs), mask(c.mask), run(c.run), re(c.re), im(c.im) {
    for (size_t k = 0; k < D; ++k) off[k] = c.off[k];
  }
  Amp* a;
  size_t base, runs;
  uint64_t mask;
  size_t run;
  const double* re;
  const double* im;
  size_t off[D];
};

// The plain body across the outputs: a vector holds consecutive rows r of one column, real
// parts and imaginary parts in vectors of their own, and every input is broadcast in turn, so lane
// for lane it forms mul_plain(gate[c*D + r], a_c) (re = G.re a.re - G.im a.im, im = G.re a.im +
// G.im a.re) and adds it to row r's sum, c = 0 first. Works for any run, so it serves lowest
// slots 0 and 1. kGroups groups at a time, all their inputs read before the first store: they
// share the coefficient loads, and consecutive groups that share a line of each role (lowest
// non-target slot 1) read it, and write it, once for both, before a role 2^28 bytes away can
// evict it (the L1 cache holds no two lines that differ only from address bit 28 up).
template <size_t D, size_t kGroups>
HWY_INLINE void PlainGroups(const Walk<D>& w, Amp* const* p) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  constexpr size_t kRows = hn::MaxLanes(d);  // rows per vector
  constexpr size_t kOut = D / kRows;
  constexpr size_t kPer = kRows / 2;  // amplitudes per interleaved vector
  static_assert(kPer >= 1 && D % kRows == 0);
  V sr[kGroups][kOut], si[kGroups][kOut];
  const auto column = [&](size_t k) {
    V ar[kGroups], ai[kGroups];
    for (size_t g = 0; g < kGroups; ++g) {
      const double* x = Doubles(p[g] + w.off[k]);
      ar[g] = hn::Set(d, x[0]);
      ai[g] = hn::Set(d, x[1]);
    }
    for (size_t v = 0; v < kOut; ++v) {
      const V gr = hn::Load(d, w.re + k * D + v * kRows);
      const V gi = hn::Load(d, w.im + k * D + v * kRows);
      for (size_t g = 0; g < kGroups; ++g) {
        const V tr = hn::Sub(hn::Mul(gr, ar[g]), hn::Mul(gi, ai[g]));
        const V ti = hn::Add(hn::Mul(gr, ai[g]), hn::Mul(gi, ar[g]));
        sr[g][v] = k == 0 ? tr : hn::Add(sr[g][v], tr);
        si[g][v] = k == 0 ? ti : hn::Add(si[g][v], ti);
      }
    }
  };
  // Unrolled where the columns are short; longer ones run faster as a loop (measured).
  if constexpr (D == 8) {
#pragma GCC unroll 8
    for (size_t k = 0; k < D; ++k) column(k);
  } else {
    for (size_t k = 0; k < D; ++k) column(k);
  }
  // Interleaved per 128-bit block: the lower vector holds rows 0, 2, 4, .. of its kRows, the
  // upper one rows 1, 3, 5, ..; each amplitude then moves on as one 128-bit copy.
  alignas(64) Amp out[kGroups][D];
  for (size_t g = 0; g < kGroups; ++g) {
    for (size_t v = 0; v < kOut; ++v) {
      hn::Store(hn::InterleaveLower(d, sr[g][v], si[g][v]), d, Doubles(out[g] + v * kRows));
      hn::Store(hn::InterleaveUpper(d, sr[g][v], si[g][v]), d, Doubles(out[g] + v * kRows + kPer));
    }
  }
  const hn::Full128<double> d1;
#pragma GCC unroll 32
  for (size_t r = 0; r < D; ++r) {
    const size_t wr = r % kRows;
    const size_t at = r - wr + (wr % 2) * kPer + wr / 2;
    for (size_t g = 0; g < kGroups; ++g) {
      hn::StoreU(hn::Load(d1, Doubles(out[g] + at)), d1, Doubles(p[g] + w.off[r]));
    }
  }
}

// The groups of the call in address order, two at a time.
template <size_t D>
HWY_INLINE void PlainRuns(const mq::KqCall& call) {
  const Walk<D> w(call);
  Amp* pair[2];
  size_t pending = 0;
  size_t base = w.base;
  for (size_t i = 0; i < w.runs; ++i, base = mq::next_base(base, w.mask)) {
    for (size_t j = 0; j < w.run; ++j) {
      pair[pending++] = w.a + base + j;
      if (pending == 2) {
        PlainGroups<D, 2>(w, pair);
        pending = 0;
      }
    }
  }
  if (pending == 1) PlainGroups<D, 1>(w, pair);
}

// The fused body across the run: a vector holds consecutive amplitudes of one role, so each lane
// runs the chain of its own group, in the same order: mul_fused of the first term, then one
// acc_chain_fused link per further term, with the operands of MulFused and AccChainFused (the
// swapped input and the coefficient pair (-G.im, G.im) are formed once per input, not per link).
// kRows outputs of kPos vector positions at a time keep that many independent chains in flight
// and share each coefficient load between the positions.
template <size_t D, size_t kPos>
HWY_INLINE void FusedAt(const Walk<D>& w, double* const* p) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  constexpr size_t kRows = 8;
  V a[kPos][D], s[kPos][D];
  for (size_t x = 0; x < kPos; ++x) {
    for (size_t k = 0; k < D; ++k) {
      a[x][k] = hn::LoadU(d, p[x] + 2 * w.off[k]);
      s[x][k] = SwapReIm(d, a[x][k]);
    }
  }
  for (size_t r0 = 0; r0 < D; r0 += kRows) {
    V t[kPos][kRows];
    for (size_t q = 0; q < kRows; ++q) {
      const V re = hn::Set(d, w.re[2 * (r0 + q)]);
      const V im = hn::LoadDup128(d, w.im + 2 * (r0 + q));
      // fma: one rounding here is part of the result
      for (size_t x = 0; x < kPos; ++x) t[x][q] = hn::MulAdd(re, a[x][0], hn::Mul(s[x][0], im));
    }
    for (size_t k = 1; k < D; ++k) {
      for (size_t q = 0; q < kRows; ++q) {
        const size_t e = 2 * (k * D + r0 + q);
        const V re = hn::Set(d, w.re[e]);
        const V im = hn::LoadDup128(d, w.im + e);
        for (size_t x = 0; x < kPos; ++x) {
          t[x][q] = hn::MulAdd(re, a[x][k], hn::MulAdd(s[x][k], im, t[x][q]));
        }
      }
    }
    for (size_t x = 0; x < kPos; ++x) {
      for (size_t q = 0; q < kRows; ++q) hn::StoreU(t[x][q], d, p[x] + 2 * w.off[r0 + q]);
    }
  }
}

// The vector positions of the call in address order, two at a time where the registers hold
// twice the chains (32 of 512 bits).
template <size_t D>
HWY_INLINE void FusedRuns(const mq::KqCall& call) {
  const Walk<D> w(call);
  const hn::ScalableTag<double> d;
  constexpr size_t kPer = hn::MaxLanes(d) / 2;  // divides run: the lowest slot is 2 or more
  constexpr size_t kPos = kPer == 4 ? 2 : 1;
  double* at[kPos];
  size_t pending = 0;
  size_t base = w.base;
  for (size_t i = 0; i < w.runs; ++i, base = mq::next_base(base, w.mask)) {
    for (size_t j = 0; j < w.run; j += kPer) {
      at[pending++] = Doubles(w.a + base + j);
      if (pending == kPos) {
        FusedAt<D, kPos>(w, at);
        pending = 0;
      }
    }
  }
  if (pending != 0) FusedAt<D, 1>(w, at);
}

void KqPlain(const mq::KqCall& c) {
  mq::by_dim(c.dim, [&]<size_t D>() { PlainRuns<D>(c); });
}

// The fused chain needs one rounding per MulAdd; where Highway would emulate it with two, the
// portable chain runs instead, so simd = true never changes a result.
void KqFused(const mq::KqCall& c) {
#if HWY_NATIVE_FMA
  mq::by_dim(c.dim, [&]<size_t D>() { FusedRuns<D>(c); });
#else
  mq::fused_portable(c);
#endif
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(KqPlain);
HWY_EXPORT(KqFused);

namespace {

namespace mq = detail::multi_qubit;

// The gate in the layout of the vector bodies. Plain: entry e = c*D + r at re[e] and im[e], so
// a column's rows are consecutive. Fused: its real part twice at re[2e], re[2e + 1] and the
// pair (-G.im, G.im) at im[2e], im[2e + 1], the coefficients of one amplitude's two lanes.
template <size_t D>
struct Coeffs {
  alignas(64) double re[2 * D * D];
  alignas(64) double im[2 * D * D];

  Coeffs(std::span<const Amp> gate, bool fused) {
    for (size_t e = 0; e < D * D; ++e) {
      if (!fused) {
        re[e] = gate[e].real();
        im[e] = gate[e].imag();
        continue;
      }
      re[2 * e] = re[2 * e + 1] = gate[e].real();
      im[2 * e] = -gate[e].imag();
      im[2 * e + 1] = gate[e].imag();
    }
  }
};

// The kernel for D = 2^k: the offset table, the mask and the run from the slots, then the body
// of the form the lowest slot calls for on every run of groups. Everything lives on this
// thread's stack; the pieces only read it.
template <size_t D>
void apply_kq_generic(bool simd, std::span<Amp> amps, const std::array<size_t, 5>& targets,
                      std::span<const Amp> gate) {
  constexpr size_t K = std::countr_zero(D);
  // off[i] = sum over j of bit (K-1-j) of i, moved to slot t_j: targets[0] is the high bit.
  // Slots (0, 3, 5): off = {0, 32, 8, 40, 1, 33, 9, 41}.
  std::array<size_t, D> off{};
  uint64_t mask = 0;
  for (size_t j = 0; j < K; ++j) {
    mask |= uint64_t{1} << targets[j];
    for (size_t i = 0; i < D; ++i) off[i] |= ((i >> (K - 1 - j)) & 1) << targets[j];
  }
  const size_t lowest = std::countr_zero(mask);
  const bool fused = lowest >= 2;
  const GroupWalk g = group_walk(mask);
  mq::KqCall call{nullptr, 0, 0, off.data(), g.walk, g.run, D, gate.data(), nullptr, nullptr};
  const auto on_runs = [&](const auto& body) {
    run_groups_par_or_seq(amps, g.walk, [&](std::span<Amp> chunk, size_t base, size_t runs) {
      mq::KqCall c = call;
      c.a = chunk.data();
      c.base = base;
      c.runs = runs;
      body(c);
    });
  };
  if (!simd) return on_runs(fused ? mq::fused_portable : mq::plain_portable);
  const Coeffs<D> coeffs(gate, fused);
  call.re = coeffs.re;
  call.im = coeffs.im;
  if (fused) return on_runs([](const mq::KqCall& c) { HWY_DYNAMIC_DISPATCH(KqFused)(c); });
  on_runs([](const mq::KqCall& c) { HWY_DYNAMIC_DISPATCH(KqPlain)(c); });
}

}  // namespace

void apply_kq(bool simd, std::span<Amp> amps, const std::array<size_t, 5>& targets, size_t k,
              std::span<const Amp> gate) {
  switch (k) {
    case 3:
      return apply_kq_generic<8>(simd, amps, targets, gate);
    case 4:
      return apply_kq_generic<16>(simd, amps, targets, gate);
    case 5:
      return apply_kq_generic<32>(simd, amps, targets, gate);
    default:
      throw Fault(
          "internal error: entered unreachable code: apply_kq only supports k in 3..=5, got " +
          std::to_string(k));
  }
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
