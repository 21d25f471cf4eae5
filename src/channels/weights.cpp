// The one-sweep weights of one-qubit Kraus operators: a portable loop and Highway bodies per
// target that give the same bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "channels/weights.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>

#include "channels/weights.hpp"
#include "gates/kernels/complex.hpp"

// ---- portable loop (compiled once, at baseline) ----
#ifndef TAVRO_CHANNELS_WEIGHTS_PORTABLE_
#define TAVRO_CHANNELS_WEIGHTS_PORTABLE_
namespace tavro::kernels::detail {

// The buffer index of the i-th pair's low amplitude for slot t, pairs in address order:
// t = 2, i = 5 -> block 1, offset 1 -> 9.
inline size_t low_index(size_t i, size_t t) {
  return ((i >> t) << (t + 1)) | (i & ((size_t{1} << t) - 1));
}

// |m0 a0 + m2 a1|^2 + |m1 a0 + m3 a1|^2, every product rounded on its own.
inline double weight_term(const Amp* m, Amp a0, Amp a1) {
  const Amp b0 = add_plain(mul_plain(m[0], a0), mul_plain(m[2], a1));
  const Amp b1 = add_plain(mul_plain(m[1], a0), mul_plain(m[3], a1));
  const double s0 = b0.real() * b0.real() + b0.imag() * b0.imag();
  const double s1 = b1.real() * b1.real() + b1.imag() * b1.imag();
  return s0 + s1;
}

// Pairs [from, to) of slot t added to the K accumulators, one pair after another.
template <size_t K>
void weigh_pairs(const Amp* a, size_t t, size_t from, size_t to, const Amp* ops, double* acc) {
  double p[K];
  for (size_t k = 0; k < K; ++k) p[k] = acc[k];
  const size_t half = size_t{1} << t;
  for (size_t i = from; i < to; ++i) {
    const size_t lo = low_index(i, t);
    const Amp a0 = a[lo];
    const Amp a1 = a[lo + half];
    for (size_t k = 0; k < K; ++k) p[k] = p[k] + weight_term(ops + 4 * k, a0, a1);
  }
  for (size_t k = 0; k < K; ++k) acc[k] = p[k];
}

// f(std::integral_constant<size_t, K>) for K = count, 1 to WEIGH_BATCH: the accumulators are a
// fixed array the compiler keeps in registers.
template <size_t K = 1, class F>
decltype(auto) with_count(size_t count, const F& f) {
  if constexpr (K < WEIGH_BATCH) {
    if (count != K) return with_count<K + 1>(count, f);
  }
  return f(std::integral_constant<size_t, K>{});
}

}  // namespace tavro::kernels::detail
#endif  // TAVRO_CHANNELS_WEIGHTS_PORTABLE_

// ---- vector bodies, one copy per target ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// One lane holds no amplitude: the portable loop does every pair.
size_t WeighVector(const Amp*, size_t, size_t, const Amp*, size_t, double*) { return 0; }

#else  // HWY_TARGET != HWY_SCALAR

// The terms of one lane-wise set of pairs (real and imaginary parts of a0 and a1 in separate
// vectors, lane l one pair, lanes in address order), each added to its operator's accumulator
// lane by lane: the additions of the portable loop in its order; only the terms, which depend
// on one pair alone, are formed side by side. Operand order as in weight_term.
template <size_t K, class D, class V = hn::Vec<D> >
HWY_INLINE void AddTerms(D d, V a0r, V a0i, V a1r, V a1i, const double* HWY_RESTRICT m,
                         double* HWY_RESTRICT p) {
  HWY_ALIGN double term[HWY_MAX_BYTES / sizeof(double)];
  for (size_t k = 0; k < K; ++k) {
    const double* mk = m + 8 * k;  // m0r m0i m1r m1i m2r m2i m3r m3i
    const V m0r = hn::Set(d, mk[0]), m0i = hn::Set(d, mk[1]);
    const V m1r = hn::Set(d, mk[2]), m1i = hn::Set(d, mk[3]);
    const V m2r = hn::Set(d, mk[4]), m2i = hn::Set(d, mk[5]);
    const V m3r = hn::Set(d, mk[6]), m3i = hn::Set(d, mk[7]);
    const V b0r = hn::Add(hn::Sub(hn::Mul(m0r, a0r), hn::Mul(m0i, a0i)),
                          hn::Sub(hn::Mul(m2r, a1r), hn::Mul(m2i, a1i)));
    const V b0i = hn::Add(hn::Add(hn::Mul(m0r, a0i), hn::Mul(m0i, a0r)),
                          hn::Add(hn::Mul(m2r, a1i), hn::Mul(m2i, a1r)));
    const V b1r = hn::Add(hn::Sub(hn::Mul(m1r, a0r), hn::Mul(m1i, a0i)),
                          hn::Sub(hn::Mul(m3r, a1r), hn::Mul(m3i, a1i)));
    const V b1i = hn::Add(hn::Add(hn::Mul(m1r, a0i), hn::Mul(m1i, a0r)),
                          hn::Add(hn::Mul(m3r, a1i), hn::Mul(m3i, a1r)));
    const V s0 = hn::Add(hn::Mul(b0r, b0r), hn::Mul(b0i, b0i));
    const V s1 = hn::Add(hn::Mul(b1r, b1r), hn::Mul(b1i, b1i));
    hn::Store(hn::Add(s0, s1), d, term);
    for (size_t l = 0; l < hn::Lanes(d); ++l) p[k] = p[k] + term[l];
  }
}

// The whole sets of Lanes(d) pairs from pair 0, set s read by load(s, a0r, a0i, a1r, a1i);
// returns the pairs done.
template <size_t K, class D, class Load>
HWY_INLINE size_t Sweep(D d, size_t pairs, const Load& load, const double* m, double* acc) {
  using V = hn::Vec<D>;
  const size_t steps = pairs / hn::Lanes(d);
  double p[K];
  for (size_t k = 0; k < K; ++k) p[k] = acc[k];
  for (size_t s = 0; s < steps; ++s) {
    V a0r, a0i, a1r, a1i;
    load(s, a0r, a0i, a1r, a1i);
    AddTerms<K>(d, a0r, a0i, a1r, a1i, m, p);
  }
  for (size_t k = 0; k < K; ++k) acc[k] = p[k];
  return steps * hn::Lanes(d);
}

// Slots whose half block holds at least half a vector of amplitudes: lanes [0, H) come from H
// consecutive low amplitudes, lanes [H, 2H) from the next H in pair order (the same run, or the
// next block's when the run is H long).
template <size_t K, class D>
HWY_INLINE size_t SweepRuns(D d, const double* x, size_t pairs, size_t t, const double* m,
                            double* acc) {
  using V = hn::Vec<D>;
  const size_t lanes = hn::Lanes(d);
  const size_t half = size_t{1} << t;
  const auto load = [&](size_t s, V& a0r, V& a0i, V& a1r, V& a1i) {
    const size_t lo0 = detail::low_index(s * lanes, t);
    const size_t lo1 = detail::low_index(s * lanes + lanes / 2, t);
    const V v0 = hn::LoadU(d, x + 2 * lo0), v1 = hn::LoadU(d, x + 2 * lo1);
    const V w0 = hn::LoadU(d, x + 2 * (lo0 + half)), w1 = hn::LoadU(d, x + 2 * (lo1 + half));
    a0r = hn::ConcatEven(d, v1, v0);
    a0i = hn::ConcatOdd(d, v1, v0);
    a1r = hn::ConcatEven(d, w1, w0);
    a1i = hn::ConcatOdd(d, w1, w0);
  };
  return Sweep<K>(d, pairs, load, m, acc);
}

template <size_t K>
size_t WeighK(const Amp* a, size_t n, size_t t, const double* m, double* acc) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  const size_t lanes = hn::Lanes(d);
  const size_t pairs = n / 2;
  const size_t half = size_t{1} << t;
  const double* x = reinterpret_cast<const double*>(a);
  if (t == 0) {
    // Slot 0 alternates a0, a1: four-way de-interleaving gives both parts of both directly.
    const auto load = [&](size_t s, V& a0r, V& a0i, V& a1r, V& a1i) {
      hn::LoadInterleaved4(d, x + 4 * lanes * s, a0r, a0i, a1r, a1i);
    };
    return Sweep<K>(d, pairs, load, m, acc);
  }
  if (half >= lanes / 2) return SweepRuns<K>(d, x, pairs, t, m, acc);
  if (4 * half == lanes) {
    // One block per vector (slot 1 on 8 lanes): its lower half holds the low amplitudes and its
    // upper half the high ones, so four blocks make one set of pairs in order.
    const auto load = [&](size_t s, V& a0r, V& a0i, V& a1r, V& a1i) {
      const double* p = x + 4 * lanes * s;
      const V v0 = hn::LoadU(d, p), v1 = hn::LoadU(d, p + lanes);
      const V v2 = hn::LoadU(d, p + 2 * lanes), v3 = hn::LoadU(d, p + 3 * lanes);
      const V lo01 = hn::ConcatLowerLower(d, v1, v0), lo23 = hn::ConcatLowerLower(d, v3, v2);
      const V hi01 = hn::ConcatUpperUpper(d, v1, v0), hi23 = hn::ConcatUpperUpper(d, v3, v2);
      a0r = hn::ConcatEven(d, lo23, lo01);
      a0i = hn::ConcatOdd(d, lo23, lo01);
      a1r = hn::ConcatEven(d, hi23, hi01);
      a1i = hn::ConcatOdd(d, hi23, hi01);
    };
    return Sweep<K>(d, pairs, load, m, acc);
  }
  // Shorter half blocks on wider vectors: vectors of 4 lanes.
  return SweepRuns<K>(hn::CappedTag<double, 4>(), x, pairs, t, m, acc);
}

// Adds the weights of `count` operators over the pairs [0, returned count) of slot t to acc,
// in pair order; the portable loop does the rest.
size_t WeighVector(const Amp* a, size_t n, size_t t, const Amp* ops, size_t count, double* acc) {
  const double* m = reinterpret_cast<const double*>(ops);
  return detail::with_count(count,
                            [&](auto k) { return WeighK<decltype(k)::value>(a, n, t, m, acc); });
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(WeighVector);

void probabilities_after_1q(bool simd, std::span<const Amp> amps, size_t t,
                            std::span<const Amp> ops, double* out) {
  const size_t count = ops.size() / 4;
  for (size_t k = 0; k < count; ++k) out[k] = 0.0;
  const size_t pairs = amps.size() / 2;
  const size_t done =
      simd ? HWY_DYNAMIC_DISPATCH(WeighVector)(amps.data(), amps.size(), t, ops.data(), count, out)
           : 0;
  detail::with_count(count, [&](auto k) {
    detail::weigh_pairs<decltype(k)::value>(amps.data(), t, done, pairs, ops.data(), out);
  });
}

double probability_after_1q(std::span<const Amp> amps, size_t t, const std::array<Amp, 4>& m) {
  double p = 0.0;
  detail::weigh_pairs<1>(amps.data(), t, 0, amps.size() / 2, m.data(), &p);
  return p;
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
