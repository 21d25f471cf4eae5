// The one-sweep weights of one-qubit Kraus operators: a portable loop and Highway bodies per
// target that give the same bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "channels/weights.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <array>
#include <cmath>
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

// |m0 a0 + m2 a1|^2 + |m1 a0 + m3 a1|^2, every product rounded on its own; m is the operator's
// 8 doubles (re, im of m0 .. m3).
inline double weight_term(const double* m, Amp a0, Amp a1) {
  const Amp m0(m[0], m[1]), m1(m[2], m[3]), m2(m[4], m[5]), m3(m[6], m[7]);
  const Amp b0 = add_plain(mul_plain(m0, a0), mul_plain(m2, a1));
  const Amp b1 = add_plain(mul_plain(m1, a0), mul_plain(m3, a1));
  const double s0 = b0.real() * b0.real() + b0.imag() * b0.imag();
  const double s1 = b1.real() * b1.real() + b1.imag() * b1.imag();
  return s0 + s1;
}

// The same term for an operator whose entries are all real, or all imaginary, given as the 4
// doubles r of those parts. With finite amplitudes the dropped products are exact zeros, whose
// only effect on b0 and b1 is the sign of a zero part, which squaring removes; an imaginary
// operator swaps the parts of b0 and b1 and negates one, and re*re + im*im does not depend on
// the order of its two squares. So the bits are weight_term's, in two fifths fewer operations.
inline double real_term(const double* r, Amp a0, Amp a1) {
  const double b0r = r[0] * a0.real() + r[2] * a1.real();
  const double b0i = r[0] * a0.imag() + r[2] * a1.imag();
  const double b1r = r[1] * a0.real() + r[3] * a1.real();
  const double b1i = r[1] * a0.imag() + r[3] * a1.imag();
  return (b0r * b0r + b0i * b0i) + (b1r * b1r + b1i * b1i);
}

// Coefficients per operator: 4 for real operators (kReal), 8 otherwise.
template <bool kReal>
inline constexpr size_t COEFS = kReal ? 4 : 8;

// Pairs [from, to) of slot t added to the K accumulators, one pair after another.
template <size_t K, bool kReal>
void weigh_pairs(const Amp* a, size_t t, size_t from, size_t to, const double* c, double* acc) {
  double p[K];
  for (size_t k = 0; k < K; ++k) p[k] = acc[k];
  const size_t half = size_t{1} << t;
  for (size_t i = from; i < to; ++i) {
    const size_t lo = low_index(i, t);
    const Amp a0 = a[lo];
    const Amp a1 = a[lo + half];
    for (size_t k = 0; k < K; ++k) {
      const double* ck = c + COEFS<kReal> * k;
      p[k] = p[k] + (kReal ? real_term(ck, a0, a1) : weight_term(ck, a0, a1));
    }
  }
  for (size_t k = 0; k < K; ++k) acc[k] = p[k];
}

// Whether every operator's entries are all real or all imaginary, and finite; if so r holds
// their nonzero parts, 4 per operator.
inline bool real_coefficients(std::span<const Amp> ops, double* r) {
  for (size_t k = 0; k < ops.size(); k += 4) {
    bool re = true, im = true;
    for (size_t j = k; j < k + 4; ++j) {
      re = re && ops[j].imag() == 0.0 && std::isfinite(ops[j].real());
      im = im && ops[j].real() == 0.0 && std::isfinite(ops[j].imag());
    }
    if (!re && !im) return false;
    for (size_t j = k; j < k + 4; ++j) r[j] = re ? ops[j].real() : ops[j].imag();
  }
  return true;
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
size_t WeighVector(const Amp*, size_t, size_t, const double*, size_t, bool, double*) { return 0; }

#else  // HWY_TARGET != HWY_SCALAR

// The terms of one operator (coefficients c) for a lane-wise set of pairs: real and imaginary
// parts of a0 and a1 in separate vectors, lane l one pair, lanes in address order. Only the
// terms, which depend on one pair alone, are formed side by side; operand order as in
// weight_term and real_term.
template <bool kReal, class D, class V = hn::Vec<D> >
HWY_INLINE V Term(D d, V a0r, V a0i, V a1r, V a1i, const double* HWY_RESTRICT c) {
  V b0r, b0i, b1r, b1i;
  if constexpr (kReal) {
    const V r0 = hn::Set(d, c[0]), r1 = hn::Set(d, c[1]);
    const V r2 = hn::Set(d, c[2]), r3 = hn::Set(d, c[3]);
    b0r = hn::Add(hn::Mul(r0, a0r), hn::Mul(r2, a1r));
    b0i = hn::Add(hn::Mul(r0, a0i), hn::Mul(r2, a1i));
    b1r = hn::Add(hn::Mul(r1, a0r), hn::Mul(r3, a1r));
    b1i = hn::Add(hn::Mul(r1, a0i), hn::Mul(r3, a1i));
  } else {  // m0r m0i m1r m1i m2r m2i m3r m3i
    const V m0r = hn::Set(d, c[0]), m0i = hn::Set(d, c[1]);
    const V m1r = hn::Set(d, c[2]), m1i = hn::Set(d, c[3]);
    const V m2r = hn::Set(d, c[4]), m2i = hn::Set(d, c[5]);
    const V m3r = hn::Set(d, c[6]), m3i = hn::Set(d, c[7]);
    b0r = hn::Add(hn::Sub(hn::Mul(m0r, a0r), hn::Mul(m0i, a0i)),
                  hn::Sub(hn::Mul(m2r, a1r), hn::Mul(m2i, a1i)));
    b0i = hn::Add(hn::Add(hn::Mul(m0r, a0i), hn::Mul(m0i, a0r)),
                  hn::Add(hn::Mul(m2r, a1i), hn::Mul(m2i, a1r)));
    b1r = hn::Add(hn::Sub(hn::Mul(m1r, a0r), hn::Mul(m1i, a0i)),
                  hn::Sub(hn::Mul(m3r, a1r), hn::Mul(m3i, a1i)));
    b1i = hn::Add(hn::Add(hn::Mul(m1r, a0i), hn::Mul(m1i, a0r)),
                  hn::Add(hn::Mul(m3r, a1i), hn::Mul(m3i, a1r)));
  }
  const V s0 = hn::Add(hn::Mul(b0r, b0r), hn::Mul(b0i, b0i));
  const V s1 = hn::Add(hn::Mul(b1r, b1r), hn::Mul(b1i, b1i));
  return hn::Add(s0, s1);
}

// Adds lanes 0 .. 7 of four operators' terms t0 .. t3, in lane order, to p: operator 0 in
// lane 0, 1 in lane 1, 2 in lane 4, 3 in lane 5 (the other lanes gather what they gather).
// Interleaving pairs the operators per 128-bit block, joining halves puts terms l and l + 2 of
// all four side by side, and swapping adjacent blocks brings l + 2 to the counted lanes: twelve
// shuffles and eight additions for 32 terms, one addition per term and accumulator in order.
template <class D, class V = hn::Vec<D> >
HWY_INLINE V AddBlocks(D d, V p, V t0, V t1, V t2, V t3) {
  const V lo01 = hn::InterleaveLower(d, t0, t1), hi01 = hn::InterleaveUpper(d, t0, t1);
  const V lo23 = hn::InterleaveLower(d, t2, t3), hi23 = hn::InterleaveUpper(d, t2, t3);
  const V c0 = hn::ConcatLowerLower(d, lo23, lo01), c1 = hn::ConcatLowerLower(d, hi23, hi01);
  const V c4 = hn::ConcatUpperUpper(d, lo23, lo01), c5 = hn::ConcatUpperUpper(d, hi23, hi01);
  for (const V c : {c0, c1, hn::SwapAdjacentBlocks(c0), hn::SwapAdjacentBlocks(c1), c4, c5,
                    hn::SwapAdjacentBlocks(c4), hn::SwapAdjacentBlocks(c5)}) {
    p = hn::Add(p, c);
  }
  return p;
}

// The whole sets of Lanes(d) pairs from pair 0, set s read by load(s, a0r, a0i, a1r, a1i);
// returns the pairs done. Each operator's terms are added to its accumulator one by one in
// pair order: from a stored vector on scalar accumulators, or, on 8 lanes with several
// operators, four operators at a time in the lanes of one vector (AddBlocks).
template <size_t K, bool kReal, class D, class Load>
HWY_INLINE size_t Sweep(D d, size_t pairs, const Load& load, const double* c, double* acc) {
  using V = hn::Vec<D>;
  constexpr size_t C = detail::COEFS<kReal>;
  const size_t steps = pairs / hn::Lanes(d);
  if constexpr (K >= 2 && hn::MaxLanes(D()) == 8) {
    constexpr size_t G = (K + 3) / 4;  // groups of four operators
    HWY_ALIGN double lanes[8 * G] = {};
    for (size_t k = 0; k < K; ++k) lanes[8 * (k / 4) + (k % 4) / 2 * 4 + k % 2] = acc[k];
    V p[G];
    for (size_t g = 0; g < G; ++g) p[g] = hn::Load(d, lanes + 8 * g);
    for (size_t s = 0; s < steps; ++s) {
      V a0r, a0i, a1r, a1i;
      load(s, a0r, a0i, a1r, a1i);
      V t[4 * G];
      for (size_t k = 0; k < 4 * G; ++k)
        t[k] = k < K ? Term<kReal>(d, a0r, a0i, a1r, a1i, c + C * k) : hn::Zero(d);
      for (size_t g = 0; g < G; ++g)
        p[g] = AddBlocks(d, p[g], t[4 * g], t[4 * g + 1], t[4 * g + 2], t[4 * g + 3]);
    }
    for (size_t g = 0; g < G; ++g) hn::Store(p[g], d, lanes + 8 * g);
    for (size_t k = 0; k < K; ++k) acc[k] = lanes[8 * (k / 4) + (k % 4) / 2 * 4 + k % 2];
  } else {
    HWY_ALIGN double term[HWY_MAX_BYTES / sizeof(double)];
    double p[K];
    for (size_t k = 0; k < K; ++k) p[k] = acc[k];
    for (size_t s = 0; s < steps; ++s) {
      V a0r, a0i, a1r, a1i;
      load(s, a0r, a0i, a1r, a1i);
      for (size_t k = 0; k < K; ++k) {
        hn::Store(Term<kReal>(d, a0r, a0i, a1r, a1i, c + C * k), d, term);
        for (size_t l = 0; l < hn::Lanes(d); ++l) p[k] = p[k] + term[l];
      }
    }
    for (size_t k = 0; k < K; ++k) acc[k] = p[k];
  }
  return steps * hn::Lanes(d);
}

// Slots whose half block holds at least half a vector of amplitudes: lanes [0, H) come from H
// consecutive low amplitudes, lanes [H, 2H) from the next H in pair order (the same run, or the
// next block's when the run is H long).
template <size_t K, bool kReal, class D>
HWY_INLINE size_t SweepRuns(D d, const double* x, size_t pairs, size_t t, const double* c,
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
  return Sweep<K, kReal>(d, pairs, load, c, acc);
}

template <size_t K, bool kReal>
size_t WeighK(const Amp* a, size_t n, size_t t, const double* c, double* acc) {
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
    return Sweep<K, kReal>(d, pairs, load, c, acc);
  }
  if (half >= lanes / 2) return SweepRuns<K, kReal>(d, x, pairs, t, c, acc);
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
    return Sweep<K, kReal>(d, pairs, load, c, acc);
  }
  // Shorter half blocks on wider vectors: vectors of 4 lanes.
  return SweepRuns<K, kReal>(hn::CappedTag<double, 4>(), x, pairs, t, c, acc);
}

// Adds the weights of `count` operators with coefficients c (4 per operator when real, else 8)
// over the pairs [0, returned count) of slot t to acc, in pair order; the portable loop does
// the rest.
size_t WeighVector(const Amp* a, size_t n, size_t t, const double* c, size_t count, bool real,
                   double* acc) {
  return detail::with_count(count, [&](auto k) {
    constexpr size_t K = decltype(k)::value;
    return real ? WeighK<K, true>(a, n, t, c, acc) : WeighK<K, false>(a, n, t, c, acc);
  });
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(WeighVector);

namespace {

// One sweep with coefficients c: the vector body where allowed, the portable loop for the rest.
void sweep(bool simd, std::span<const Amp> amps, size_t t, const double* c, size_t count, bool real,
           double* out) {
  for (size_t k = 0; k < count; ++k) out[k] = 0.0;
  const size_t done =
      simd ? HWY_DYNAMIC_DISPATCH(WeighVector)(amps.data(), amps.size(), t, c, count, real, out)
           : 0;
  detail::with_count(count, [&](auto k) {
    constexpr size_t K = decltype(k)::value;
    const size_t pairs = amps.size() / 2;
    if (real) {
      detail::weigh_pairs<K, true>(amps.data(), t, done, pairs, c, out);
    } else {
      detail::weigh_pairs<K, false>(amps.data(), t, done, pairs, c, out);
    }
  });
}

}  // namespace

void probabilities_after_1q(bool simd, std::span<const Amp> amps, size_t t,
                            std::span<const Amp> ops, double* out) {
  const size_t count = ops.size() / 4;
  double r[4 * WEIGH_BATCH] = {};
  if (detail::real_coefficients(ops, r)) {
    sweep(simd, amps, t, r, count, true, out);
    // A non-finite amplitude makes some weight non-finite here, and may meet a zero part that
    // the full products would have turned into NaN: only finite weights prove the shortcut.
    bool finite = true;
    for (size_t k = 0; k < count; ++k) finite = finite && std::isfinite(out[k]);
    if (finite) return;
  }
  sweep(simd, amps, t, reinterpret_cast<const double*>(ops.data()), count, false, out);
}

double probability_after_1q(std::span<const Amp> amps, size_t t, const std::array<Amp, 4>& m) {
  double p = 0.0;
  detail::weigh_pairs<1, false>(amps.data(), t, 0, amps.size() / 2,
                                reinterpret_cast<const double*>(m.data()), &p);
  return p;
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
