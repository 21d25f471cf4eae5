// The streaming and read-only baselines, compiled once per Highway target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "baseline.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "baseline.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

HWY_BEFORE_NAMESPACE();
namespace tavro::bench::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Amplitudes [from, m) of p times (cr, ci) one by one: the vector loops' tail. The same
// products in the same order as a vector lane: re*cr + im*(-ci), im*cr + re*ci.
HWY_INLINE void ScaleTail(double* HWY_RESTRICT p, size_t from, size_t m, double cr, double ci) {
  for (size_t k = from; k < m; ++k) {
    const double re = p[2 * k];
    const double im = p[2 * k + 1];
    p[2 * k] = re * cr + im * -ci;
    p[2 * k + 1] = im * cr + re * ci;
  }
}

#if HWY_TARGET != HWY_SCALAR

// v * c for the amplitudes of one vector: v*(cr, cr) + swap(v)*(-ci, ci), two products and one
// sum per lane, the swap staying inside each 128-bit amplitude.
template <class D, class V>
HWY_INLINE V ScaleVec(D d, V v, V vr, V vs) {
  return hn::Add(hn::Mul(v, vr), hn::Mul(hn::Reverse2(d, v), vs));
}

// `U` vectors per loop step, then single vectors, then the scalar tail.
template <size_t U>
HWY_INLINE void ScaleUnrolled(Amp* HWY_RESTRICT amps, size_t m, double cr, double ci) {
  double* HWY_RESTRICT p = reinterpret_cast<double*>(amps);
  const hn::ScalableTag<double> d;
  const size_t lanes = hn::Lanes(d);
  const size_t len = 2 * m;
  const auto vr = hn::Set(d, cr);
  const auto vs = hn::OddEven(hn::Set(d, ci), hn::Set(d, -ci));  // (-ci, ci) per amplitude
  size_t i = 0;
  for (; i + U * lanes <= len; i += U * lanes) {
    // Every load of the step before its first store: the stores cannot alias them anyway,
    // but this keeps the loads of one step in flight together.
    if constexpr (U == 1) {
      hn::StoreU(ScaleVec(d, hn::LoadU(d, p + i), vr, vs), d, p + i);
    } else if constexpr (U == 2) {
      const auto v0 = hn::LoadU(d, p + i);
      const auto v1 = hn::LoadU(d, p + i + lanes);
      hn::StoreU(ScaleVec(d, v0, vr, vs), d, p + i);
      hn::StoreU(ScaleVec(d, v1, vr, vs), d, p + i + lanes);
    } else {
      static_assert(U == 4);
      const auto v0 = hn::LoadU(d, p + i);
      const auto v1 = hn::LoadU(d, p + i + lanes);
      const auto v2 = hn::LoadU(d, p + i + 2 * lanes);
      const auto v3 = hn::LoadU(d, p + i + 3 * lanes);
      hn::StoreU(ScaleVec(d, v0, vr, vs), d, p + i);
      hn::StoreU(ScaleVec(d, v1, vr, vs), d, p + i + lanes);
      hn::StoreU(ScaleVec(d, v2, vr, vs), d, p + i + 2 * lanes);
      hn::StoreU(ScaleVec(d, v3, vr, vs), d, p + i + 3 * lanes);
    }
  }
  for (; i + lanes <= len; i += lanes) {
    hn::StoreU(ScaleVec(d, hn::LoadU(d, p + i), vr, vs), d, p + i);
  }
  ScaleTail(p, i / 2, m, cr, ci);
}

// The gates' own form of the product: both the sum and the difference, then OddEven picks
// the difference for re and the sum for im. One more operation per vector than ScaleVec.
HWY_INLINE void ScaleOddEven4(Amp* HWY_RESTRICT amps, size_t m, double cr, double ci) {
  double* HWY_RESTRICT p = reinterpret_cast<double*>(amps);
  const hn::ScalableTag<double> d;
  const size_t lanes = hn::Lanes(d);
  const size_t len = 2 * m;
  const auto vr = hn::Set(d, cr);
  const auto vi = hn::Set(d, ci);
  const auto one = [&](size_t at) {
    const auto v = hn::LoadU(d, p + at);
    const auto a = hn::Mul(vr, v);
    const auto b = hn::Mul(vi, hn::Reverse2(d, v));
    hn::StoreU(hn::OddEven(hn::Add(a, b), hn::Sub(a, b)), d, p + at);
  };
  size_t i = 0;
  for (; i + 4 * lanes <= len; i += 4 * lanes) {
    one(i);
    one(i + lanes);
    one(i + 2 * lanes);
    one(i + 3 * lanes);
  }
  for (; i + lanes <= len; i += lanes) one(i);
  // Same operation per amplitude: re*cr - im*ci, im*cr + re*ci.
  for (size_t k = i / 2; k < m; ++k) {
    const double re = p[2 * k];
    const double im = p[2 * k + 1];
    p[2 * k] = cr * re - ci * im;
    p[2 * k + 1] = cr * im + ci * re;
  }
}

// Both halves of the run in one loop, two vectors from each per step: two address streams
// per worker, as a gate on a high slot reads them.
HWY_INLINE void ScaleTwoStreams(Amp* HWY_RESTRICT amps, size_t m, double cr, double ci) {
  const size_t half = m / 2 / 8 * 8;
  double* HWY_RESTRICT p = reinterpret_cast<double*>(amps);
  double* HWY_RESTRICT q = p + 2 * half;
  const hn::ScalableTag<double> d;
  const size_t lanes = hn::Lanes(d);
  const auto vr = hn::Set(d, cr);
  const auto vs = hn::OddEven(hn::Set(d, ci), hn::Set(d, -ci));
  size_t i = 0;
  for (; i + 2 * lanes <= 2 * half; i += 2 * lanes) {
    const auto v0 = hn::LoadU(d, p + i);
    const auto v1 = hn::LoadU(d, p + i + lanes);
    const auto w0 = hn::LoadU(d, q + i);
    const auto w1 = hn::LoadU(d, q + i + lanes);
    hn::StoreU(ScaleVec(d, v0, vr, vs), d, p + i);
    hn::StoreU(ScaleVec(d, v1, vr, vs), d, p + i + lanes);
    hn::StoreU(ScaleVec(d, w0, vr, vs), d, q + i);
    hn::StoreU(ScaleVec(d, w1, vr, vs), d, q + i + lanes);
  }
  ScaleUnrolled<2>(amps + 2 * half, m - 2 * half, cr, ci);
}

#else  // HWY_SCALAR: no vectors, the tail is the whole run

HWY_INLINE void ScaleTwoStreams(Amp* HWY_RESTRICT amps, size_t m, double cr, double ci) {
  ScaleTail(reinterpret_cast<double*>(amps), 0, m, cr, ci);
}

template <size_t U>
HWY_INLINE void ScaleUnrolled(Amp* HWY_RESTRICT amps, size_t m, double cr, double ci) {
  ScaleTail(reinterpret_cast<double*>(amps), 0, m, cr, ci);
}
HWY_INLINE void ScaleOddEven4(Amp* HWY_RESTRICT amps, size_t m, double cr, double ci) {
  ScaleTail(reinterpret_cast<double*>(amps), 0, m, cr, ci);
}

#endif

void ScaleRunU1(Amp* HWY_RESTRICT p, size_t m, double cr, double ci) {
  ScaleUnrolled<1>(p, m, cr, ci);
}
void ScaleRunU2(Amp* HWY_RESTRICT p, size_t m, double cr, double ci) {
  ScaleUnrolled<2>(p, m, cr, ci);
}
void ScaleRunU4(Amp* HWY_RESTRICT p, size_t m, double cr, double ci) {
  ScaleUnrolled<4>(p, m, cr, ci);
}
void ScaleRunOddEven4(Amp* HWY_RESTRICT p, size_t m, double cr, double ci) {
  ScaleOddEven4(p, m, cr, ci);
}
void ScaleRunTwoStreams(Amp* HWY_RESTRICT p, size_t m, double cr, double ci) {
  ScaleTwoStreams(p, m, cr, ci);
}

// Four independent accumulators hide the latency of the fused multiply-add; the order of the
// sum is free here, since the result is only kept from being optimised away.
double SumSquares(const Amp* HWY_RESTRICT amps, size_t m) {
  const double* HWY_RESTRICT p = reinterpret_cast<const double*>(amps);
  const size_t len = 2 * m;
  size_t i = 0;
  double total = 0.0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<double> d;
  const size_t lanes = hn::Lanes(d);
  auto a0 = hn::Zero(d);
  auto a1 = hn::Zero(d);
  auto a2 = hn::Zero(d);
  auto a3 = hn::Zero(d);
  for (; i + 4 * lanes <= len; i += 4 * lanes) {
    const auto v0 = hn::LoadU(d, p + i);
    const auto v1 = hn::LoadU(d, p + i + lanes);
    const auto v2 = hn::LoadU(d, p + i + 2 * lanes);
    const auto v3 = hn::LoadU(d, p + i + 3 * lanes);
    a0 = hn::MulAdd(v0, v0, a0);
    a1 = hn::MulAdd(v1, v1, a1);
    a2 = hn::MulAdd(v2, v2, a2);
    a3 = hn::MulAdd(v3, v3, a3);
  }
  for (; i + lanes <= len; i += lanes) {
    const auto v = hn::LoadU(d, p + i);
    a0 = hn::MulAdd(v, v, a0);
  }
  total = hn::GetLane(hn::SumOfLanes(d, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3))));
#endif
  for (; i < len; ++i) total += p[i] * p[i];
  return total;
}

}  // namespace tavro::bench::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::bench {

HWY_EXPORT(ScaleRunU1);
HWY_EXPORT(ScaleRunU2);
HWY_EXPORT(ScaleRunU4);
HWY_EXPORT(ScaleRunOddEven4);
HWY_EXPORT(ScaleRunTwoStreams);
HWY_EXPORT(SumSquares);

namespace {

// The plain loop at baseline x86-64: what the pass costs without Highway.
void scale_portable(Amp* p, size_t m, double cr, double ci) {
  double* d = reinterpret_cast<double*>(p);
  for (size_t k = 0; k < m; ++k) {
    const double re = d[2 * k];
    const double im = d[2 * k + 1];
    d[2 * k] = re * cr + im * -ci;
    d[2 * k + 1] = im * cr + re * ci;
  }
}

void scale_with(StreamKernel kernel, Amp* p, size_t m, double cr, double ci) {
  switch (kernel) {
    case StreamKernel::Unroll1:
      return HWY_DYNAMIC_DISPATCH(ScaleRunU1)(p, m, cr, ci);
    case StreamKernel::Unroll2:
      return HWY_DYNAMIC_DISPATCH(ScaleRunU2)(p, m, cr, ci);
    case StreamKernel::Unroll4:
      return HWY_DYNAMIC_DISPATCH(ScaleRunU4)(p, m, cr, ci);
    case StreamKernel::OddEven4:
      return HWY_DYNAMIC_DISPATCH(ScaleRunOddEven4)(p, m, cr, ci);
    case StreamKernel::TwoStreams:
      return HWY_DYNAMIC_DISPATCH(ScaleRunTwoStreams)(p, m, cr, ci);
    case StreamKernel::Portable:
      return scale_portable(p, m, cr, ci);
  }
}

// Pieces of a multiple of 8 amplitudes (128 bytes), so every piece starts on a cache line.
size_t piece_chunk(size_t n, size_t pieces) {
  return par::roundup8(par::ceil_div(n, pieces == 0 ? 1 : pieces));
}

// f(i, start, len) for every piece i of a cut of n amplitudes into about `pieces`, on the pool.
template <class F>
void for_pieces(size_t n, size_t pieces, const F& f) {
  if (n == 0) return;
  const size_t chunk = piece_chunk(n, pieces);
  par::run_pieces(par::ceil_div(n, chunk), [&](size_t i) {
    const par::PieceRange r = par::piece_range(n, chunk, i);
    f(i, r.start, r.len);
  });
}

}  // namespace

Amp stream_factor() {
  // e^{0.6i}: |c| = 1 up to rounding.
  return Amp(std::cos(0.6), std::sin(0.6));
}

void scale_run(Amp* p, size_t m, Amp c) {
  HWY_DYNAMIC_DISPATCH(ScaleRunU2)(p, m, c.real(), c.imag());
}

double sum_squares_run(const Amp* p, size_t m) { return HWY_DYNAMIC_DISPATCH(SumSquares)(p, m); }

const char* vector_target_name() {
  // The best target both compiled here and supported by this processor: the lowest bit.
  const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
  return hwy::TargetName(targets & -targets);
}

std::vector<size_t> piece_candidates() {
  const size_t t = par::NUM_THREADS();
  if (t < 2) return {1};
  return {t, 2 * t, 4 * t, 8 * t, 16 * t};
}

void stream_pass_variant(std::span<Amp> a, Amp c, StreamKernel kernel, size_t pieces) {
  for_pieces(a.size(), pieces, [&](size_t, size_t start, size_t len) {
    scale_with(kernel, a.data() + start, len, c.real(), c.imag());
  });
}

void stream_pass(std::span<Amp> a, Amp c, size_t pieces) {
  for_pieces(a.size(), pieces,
             [&](size_t, size_t start, size_t len) { scale_run(a.data() + start, len, c); });
}

double read_pass(std::span<const Amp> a, size_t pieces) {
  const size_t n = a.size();
  std::vector<double> partials(n == 0 ? 0 : par::ceil_div(n, piece_chunk(n, pieces)), 0.0);
  for_pieces(n, pieces, [&](size_t i, size_t start, size_t len) {
    partials[i] = sum_squares_run(a.data() + start, len);
  });
  double total = 0.0;
  for (const double x : partials) total += x;
  return total;
}

void fill_uniform(std::span<Amp> a) {
  const size_t n = a.size();
  const Amp value(1.0 / std::sqrt(static_cast<double>(n)), 0.0);
  for_pieces(n, 4 * par::NUM_THREADS(), [&](size_t, size_t start, size_t len) {
    Amp* p = a.data() + start;
    for (size_t k = 0; k < len; ++k) p[k] = value;
  });
}

AmpBuffer touched_buffer(size_t amplitudes) {
  AmpBuffer b = AmpBuffer::reserve(amplitudes);
  if (!b.ok()) return b;
  b.set_size(amplitudes);
  fill_uniform(b.span());
  return b;
}

}  // namespace tavro::bench
#endif
