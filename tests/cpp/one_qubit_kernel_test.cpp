// One-qubit kernels on raw buffers against their per-pair arithmetic written out here, bit for
// bit: every compiled Highway target with the flag set and clear, pair bodies on odd lengths (the
// scalar tails), and 2^18 amplitudes, which 3 and 8 workers cut into the runner's chunks
// (t = 0), whole blocks (t = 3, 9) and split blocks (t = 17).
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "amp.hpp"
#include "gates/kernels/one_qubit.hpp"
#include "gates/kernels/simd.hpp"

namespace tavro::kernels {
namespace {

using Span = std::span<Amp>;
using Out = std::pair<Amp, Amp>;
constexpr size_t P2(size_t k) { return size_t{1} << k; }
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
double neg(double x) { return std::bit_cast<double>(bits(x) ^ (uint64_t{1} << 63)); }

// Random parts, or special values: dyadic values and signed zeros whose sums cancel exactly (the
// sign of a zero result shows the order of operations), NaN payloads, a signalling NaN,
// infinities and subnormals.
std::vector<Amp> make_input(bool special, size_t n, uint64_t seed) {
  const double inf = std::numeric_limits<double>::infinity(),
               q1 = std::bit_cast<double>(0x7FF8000000001234),
               q2 = std::bit_cast<double>(0xFFF800000000ABCD),
               sn = std::bit_cast<double>(0x7FF0000000000001);
  const double few[] = {-1.0, -0.5, -0.0, 0.0, 0.5, 0.25, -2.0, inf, -inf, 5e-324, q1, q2, sn};
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto part = [&] { return special ? few[gen() % 13] : u(gen); };
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(part(), part());
  return v;
}

// Plain product, fused product and fused accumulate, as the kernels define them.
Amp mul(Amp m, Amp a) {
  return {m.real() * a.real() - m.imag() * a.imag(), m.real() * a.imag() + m.imag() * a.real()};
}
Amp fprod(Amp m, Amp a) {
  return {std::fma(m.real(), a.real(), a.imag() * -m.imag()),
          std::fma(m.real(), a.imag(), a.real() * m.imag())};
}
Amp facc(Amp m, Amp a, Amp acc) {
  return {std::fma(m.real(), a.real(), -std::fma(m.imag(), a.imag(), -acc.real())),
          std::fma(m.real(), a.imag(), std::fma(m.imag(), a.real(), acc.imag()))};
}

const double C = std::cos(0.3717), S = std::sin(0.3717);
const Amp D1(0.6, -0.8), K(H_FACTOR, 0.0), KEEP(1.0, -0.0), MINUS(-1.0, 0.0);
const std::array<Amp, 4> M{Amp(0.3, -0.7), Amp(0.11, 0.6), Amp(-0.5, 0.2), Amp(0.9, -0.05)};
const std::array<Amp, 4> ID{Amp(1.0, 0.0), Amp(0.0, 0.0), Amp(0.0, 0.0), Amp(1.0, 0.0)};

// d0 = 1 by value, -0.0 included, leaves the low half alone; any other d0 multiplies it. The dense
// identity has no shortcut: -0.0 beside a zero partner becomes +0.0 and inf * 0 NaN. X, Y, Z only
// move and flip signs, so every NaN keeps its bits. The fused forms are exact on vector targets
// with a native fused multiply-add only.
enum Gate { X, Y, Z, DIAG_KEEP, DIAG_MUL, DENSE_ID, DENSE, H, RX, RY, RZ, END };
const char* const NAMES[] = {"x",     "y", "z",  "diag_keep", "diag_mul", "dense_id",
                             "dense", "h", "rx", "ry",        "rz"};
bool fused(Gate g) { return g >= H; }

const std::function<void(bool, Span, size_t)> RUN[] = {
    [](bool, Span a, size_t t) { apply_x_kernel(a, t); },
    [](bool v, Span a, size_t t) { apply_y_kernel(v, a, t); },
    [](bool v, Span a, size_t t) { apply_z_kernel(v, a, t); },
    [](bool v, Span a, size_t t) { apply_diag_1q(v, a, t, KEEP, D1); },
    [](bool v, Span a, size_t t) { apply_diag_1q(v, a, t, MINUS, D1); },
    [](bool v, Span a, size_t t) { apply_1q(v, a, t, ID); },
    [](bool v, Span a, size_t t) { apply_1q(v, a, t, M); },
    [](bool v, Span a, size_t t) { apply_h_kernel(v, a, t); },
    [](bool v, Span a, size_t t) { apply_rx_kernel(v, a, t, C, S); },
    [](bool v, Span a, size_t t) { apply_ry_kernel(v, a, t, C, S); },
    [](bool v, Span a, size_t t) { apply_rz_kernel(v, a, t, C, S); },
};
const std::function<void(bool, Span, Span)> PAIR[] = {
    nullptr,  // X has no pair body
    apply_y_pair,
    apply_z_pair,
    [](bool v, Span lo, Span hi) { apply_diag_pair(v, lo, hi, KEEP, D1); },
    [](bool v, Span lo, Span hi) { apply_diag_pair(v, lo, hi, MINUS, D1); },
    [](bool v, Span lo, Span hi) { apply_1q_pair(v, lo, hi, ID); },
    [](bool v, Span lo, Span hi) { apply_1q_pair(v, lo, hi, M); },
    apply_h_pair,
    [](bool v, Span lo, Span hi) { apply_rx_pair(v, lo, hi, C, S); },
    [](bool v, Span lo, Span hi) { apply_ry_pair(v, lo, hi, C, S); },
    [](bool v, Span lo, Span hi) { apply_rz_pair(v, lo, hi, C, S); },
};
// The new pair (a0, a1) on slot t; H and the rotations are plain on slots 0-2, fused from slot 3.
const std::function<Out(Amp, Amp, size_t)> WANT[] = {
    [](Amp a0, Amp a1, size_t) { return Out(a1, a0); },
    [](Amp a0, Amp a1, size_t) {
      return Out(Amp(a1.imag(), neg(a1.real())), Amp(neg(a0.imag()), a0.real()));
    },
    [](Amp a0, Amp a1, size_t) { return Out(a0, Amp(neg(a1.real()), neg(a1.imag()))); },
    [](Amp a0, Amp a1, size_t) { return Out(a0, mul(D1, a1)); },
    [](Amp a0, Amp a1, size_t) { return Out(mul(MINUS, a0), mul(D1, a1)); },
    [](Amp a0, Amp a1, size_t) {
      return Out(mul(ID[0], a0) + mul(ID[2], a1), mul(ID[1], a0) + mul(ID[3], a1));
    },
    [](Amp a0, Amp a1, size_t) {
      return Out(mul(M[0], a0) + mul(M[2], a1), mul(M[1], a0) + mul(M[3], a1));
    },
    [](Amp a0, Amp a1, size_t t) {
      return t < 3 ? Out((a0 + a1) * H_FACTOR, (a0 - a1) * H_FACTOR)
                   : Out(fprod(K, a0 + a1), fprod(K, a0 - a1));
    },
    [](Amp a0, Amp a1, size_t t) {
      const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
      return t < 3
                 ? Out(Amp(C * x0 + S * y1, C * y0 - S * x1), Amp(C * x1 + S * y0, C * y1 - S * x0))
                 : Out(facc(Amp(0.0, -S), a1, fprod(Amp(C, 0.0), a0)),
                       facc(Amp(0.0, -S), a0, fprod(Amp(C, 0.0), a1)));
    },
    [](Amp a0, Amp a1, size_t t) {
      const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
      return t < 3
                 ? Out(Amp(C * x0 - S * x1, C * y0 - S * y1), Amp(S * x0 + C * x1, S * y0 + C * y1))
                 : Out(facc(Amp(C, 0.0), a0, fprod(Amp(-S, 0.0), a1)),
                       facc(Amp(C, 0.0), a1, fprod(Amp(S, 0.0), a0)));
    },
    [](Amp a0, Amp a1, size_t t) {
      const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag();
      return t < 3
                 ? Out(Amp(C * x0 + S * y0, C * y0 - S * x0), Amp(C * x1 - S * y1, C * y1 + S * x1))
                 : Out(fprod(Amp(C, -S), a0), fprod(Amp(C, S), a1));
    },
};

// Pairs (i, i + half), i / half even, whose outputs differ from the formula of slot t; a computed
// quiet NaN may carry any payload.
size_t bad_pairs(Gate g, const std::vector<Amp>& a, const std::vector<Amp>& in, size_t half,
                 size_t t) {
  const auto ok = [&](double got, double want) {
    const bool quiet_nan = std::isnan(want) && ((bits(want) >> 51) & 1);
    return bits(got) == bits(want) || (g > Z && quiet_nan && std::isnan(got));
  };
  size_t bad = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    if ((i / half) % 2) continue;
    const auto [w0, w1] = WANT[g](in[i], in[i + half], t);
    const Amp g0 = a[i], g1 = a[i + half];
    bad += !ok(g0.real(), w0.real()) || !ok(g0.imag(), w0.imag()) || !ok(g1.real(), w1.real()) ||
           !ok(g1.imag(), w1.imag());
  }
  return bad;
}

class OneQubitKernel : public testing::TestWithParam<Gate> {};

TEST_P(OneQubitKernel, MatchesPairArithmetic) {
  const Gate g = GetParam();
  (void)simd_available();  // the flag is fixed on first use: before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);  // 0: no mock, the large buffers
  size_t forms_differ = 0;
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    const bool exact = vector_bodies_exact();
    for (const bool special : {false, true}) {
      for (const bool simd : {false, true}) {
        for (const size_t t : {0, 1, 2, 3, 9, 17}) {
          if ((target ? t > 9 : t % 3 != 0 && t != 17) || (fused(g) && simd && t >= 3 && !exact))
            continue;
          const std::vector<Amp> in =
              make_input(special, target ? P2(t + 1) : P2(18), 7 * t + special);
          std::vector<Amp> a = in;
          RUN[g](simd, a, t);
          EXPECT_EQ(bad_pairs(g, a, in, P2(t), t), 0u)
              << hwy::TargetName(target) << " simd=" << simd << " t=" << t << " n=" << in.size();
          for (size_t i = 0; target != 0 && i + 1 < in.size(); i += 2) {
            const Out p = WANT[g](in[i], in[i + 1], 2), f = WANT[g](in[i], in[i + 1], 3);
            forms_differ += std::memcmp(&p, &f, sizeof p) != 0;
          }
        }
        // Odd lengths: the vector loops leave a tail to the scalar helpers.
        for (const size_t m : {1, 3, 13}) {
          if (!PAIR[g] || (fused(g) && simd && !exact)) continue;
          const std::vector<Amp> in = make_input(special, 2 * m, m);
          std::vector<Amp> a = in;
          PAIR[g](simd, Span(a).first(m), Span(a).subspan(m));
          EXPECT_EQ(bad_pairs(g, a, in, m, 3), 0u)
              << hwy::TargetName(target) << " simd=" << simd << " m=" << m;
        }
      }
    }
    hwy::SetSupportedTargetsForTest(0);
  }
  EXPECT_EQ(forms_differ > 0, fused(g));  // the inputs tell the plain and fused forms apart
}

INSTANTIATE_TEST_SUITE_P(Kernels, OneQubitKernel, testing::Range(X, END),
                         [](const auto& info) { return std::string(NAMES[info.param]); });

}  // namespace
}  // namespace tavro::kernels
