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
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
double dbl(uint64_t b) { return std::bit_cast<double>(b); }
double neg(double x) { return dbl(bits(x) ^ (uint64_t{1} << 63)); }

// Random parts, or special values: dyadic values and signed zeros whose sums cancel exactly (the
// sign of a zero result shows the order of operations), NaN payloads, a signalling NaN,
// infinities and subnormals.
std::vector<Amp> make_input(bool special, size_t n, uint64_t seed) {
  const double inf = std::numeric_limits<double>::infinity(), q1 = dbl(0x7FF8000000001234),
               q2 = dbl(0xFFF800000000ABCD), sn = dbl(0x7FF0000000000001);
  const double few[] = {-1.0, -0.5, -0.0, 0.0, 0.5, 0.25, -2.0, inf, -inf, 5e-324, q1, q2, sn};
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = special ? Amp(few[gen() % 13], few[gen() % 13]) : Amp(u(gen), u(gen));
  return v;
}

// Plain product, fused product and fused accumulate, as the kernels define them; c * a + s * b
// rounded twice and added (a - b is a + (-b) exactly, so one helper serves both signs).
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
double cs(double a, double b) { return C * a + S * b; }

const Amp D1(0.6, -0.8), K(H_FACTOR, 0.0), KEEP(1.0, -0.0), MINUS(-1.0, 0.0);
const Amp CR(C, 0.0), SR(S, 0.0), NS(-S, 0.0), MS(0.0, -S);
const std::array<Amp, 4> M{Amp(0.3, -0.7), Amp(0.11, 0.6), Amp(-0.5, 0.2), Amp(0.9, -0.05)};
const std::array<Amp, 4> ID{Amp(1.0, 0.0), Amp(0.0, 0.0), Amp(0.0, 0.0), Amp(1.0, 0.0)};

// d0 = 1 by value, -0.0 included, leaves the low half alone; any other d0 multiplies it. The dense
// identity has no shortcut: -0.0 beside a zero partner becomes +0.0 and inf * 0 NaN. Y and Z only
// move and flip signs, so every NaN keeps its bits (X, without a flag, is left to the gate tests).
// H and the rotations are plain on slots 0-2 and fused from slot 3; the fused forms are exact on
// vector targets with a native fused multiply-add only.
struct Gate {
  const char* name;
  bool computes, fused;
  std::function<void(bool, Span, size_t)> run;
  std::function<void(bool, Span, Span)> pair;
  std::function<Out(Amp, Amp, size_t)> want;  // the new pair (a0, a1) on slot t
};
#define RUN(call) [](bool v, Span a, size_t t) { call; }
#define PAIR(call) [](bool v, Span lo, Span hi) { call; }
#define WANT(expr)                                                                                \
  []([[maybe_unused]] Amp a0, [[maybe_unused]] Amp a1, [[maybe_unused]] size_t t) {               \
    [[maybe_unused]] const double x0 = a0.real(), y0 = a0.imag(), x1 = a1.real(), y1 = a1.imag(); \
    return expr;                                                                                  \
  }
const Gate GATES[] = {
    {"y", false, false, RUN(apply_y_kernel(v, a, t)), apply_y_pair,
     WANT(Out(Amp(y1, neg(x1)), Amp(neg(y0), x0)))},
    {"z", false, false, RUN(apply_z_kernel(v, a, t)), apply_z_pair,
     WANT(Out(a0, Amp(neg(x1), neg(y1))))},
    {"diag_keep", true, false, RUN(apply_diag_1q(v, a, t, KEEP, D1)),
     PAIR(apply_diag_pair(v, lo, hi, KEEP, D1)), WANT(Out(a0, mul(D1, a1)))},
    {"diag_mul", true, false, RUN(apply_diag_1q(v, a, t, MINUS, D1)),
     PAIR(apply_diag_pair(v, lo, hi, MINUS, D1)), WANT(Out(mul(MINUS, a0), mul(D1, a1)))},
    {"dense_id", true, false, RUN(apply_1q(v, a, t, ID)), PAIR(apply_1q_pair(v, lo, hi, ID)),
     WANT(Out(mul(ID[0], a0) + mul(ID[2], a1), mul(ID[1], a0) + mul(ID[3], a1)))},
    {"dense", true, false, RUN(apply_1q(v, a, t, M)), PAIR(apply_1q_pair(v, lo, hi, M)),
     WANT(Out(mul(M[0], a0) + mul(M[2], a1), mul(M[1], a0) + mul(M[3], a1)))},
    {"h", true, true, RUN(apply_h_kernel(v, a, t)), apply_h_pair,
     WANT(t < 3 ? Out((a0 + a1) * H_FACTOR, (a0 - a1) * H_FACTOR)
                : Out(fprod(K, a0 + a1), fprod(K, a0 - a1)))},
    {"rx", true, true, RUN(apply_rx_kernel(v, a, t, C, S)), PAIR(apply_rx_pair(v, lo, hi, C, S)),
     WANT(t < 3 ? Out(Amp(cs(x0, y1), cs(y0, -x1)), Amp(cs(x1, y0), cs(y1, -x0)))
                : Out(facc(MS, a1, fprod(CR, a0)), facc(MS, a0, fprod(CR, a1))))},
    {"ry", true, true, RUN(apply_ry_kernel(v, a, t, C, S)), PAIR(apply_ry_pair(v, lo, hi, C, S)),
     WANT(t < 3 ? Out(Amp(cs(x0, -x1), cs(y0, -y1)), Amp(cs(x1, x0), cs(y1, y0)))
                : Out(facc(CR, a0, fprod(NS, a1)), facc(CR, a1, fprod(SR, a0))))},
    {"rz", true, true, RUN(apply_rz_kernel(v, a, t, C, S)), PAIR(apply_rz_pair(v, lo, hi, C, S)),
     WANT(t < 3 ? Out(Amp(cs(x0, y0), cs(y0, -x0)), Amp(cs(x1, -y1), cs(y1, x1)))
                : Out(fprod(Amp(C, -S), a0), fprod(Amp(C, S), a1)))},
};

class OneQubitKernel : public testing::TestWithParam<Gate> {};

TEST_P(OneQubitKernel, MatchesPairArithmetic) {
  const Gate& g = GetParam();
  const auto ok = [&](double got, double want) {  // a computed quiet NaN may carry any payload
    const bool quiet_nan = std::isnan(want) && ((bits(want) >> 51) & 1);
    return bits(got) == bits(want) || (g.computes && quiet_nan && std::isnan(got));
  };
  (void)simd_available();  // the flag is fixed on first use: before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);  // 0: no mock (and so the state left behind), the large buffers
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    const bool exact = vector_bodies_exact();
    for (const auto& [special, simd] :
         {std::pair{false, false}, {false, true}, {true, false}, {true, true}}) {
      SCOPED_TRACE(testing::Message() << hwy::TargetName(target) << " simd=" << simd << special);
      // n amplitudes through `call`; pairs (i, i + half), i / half even, against slot t's formula.
      const auto check = [&](size_t n, size_t half, size_t t, const auto& call) {
        const std::vector<Amp> in = make_input(special, n, 7 * t + half + special);
        std::vector<Amp> a = in;
        call(Span(a));
        size_t bad = 0;
        for (size_t i = 0; i < n; ++i) {
          if ((i / half) % 2) continue;
          const auto [w0, w1] = g.want(in[i], in[i + half], t);
          bad += !ok(a[i].real(), w0.real()) || !ok(a[i].imag(), w0.imag()) ||
                 !ok(a[i + half].real(), w1.real()) || !ok(a[i + half].imag(), w1.imag());
        }
        EXPECT_EQ(bad, 0u) << "t=" << t << " n=" << n << " half=" << half;
      };
      const bool skip_fused = g.fused && simd && !exact;
      for (const size_t t : {0, 1, 2, 3, 9, 17})
        if (!(target ? t > 9 : t % 3 != 0 && t != 17) && !(skip_fused && t >= 3))
          check(size_t{1} << (target ? t + 1 : 18), size_t{1} << t, t,
                [&](Span a) { g.run(simd, a, t); });
      // Odd lengths: the vector loops leave a tail to the scalar helpers.
      for (const size_t m : {1, 3, 13})
        if (!skip_fused)
          check(2 * m, m, 3, [&](Span a) { g.pair(simd, a.first(m), a.subspan(m)); });
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, OneQubitKernel, testing::ValuesIn(GATES),
                         [](const auto& info) { return std::string(info.param.name); });

// X above slot 2 on a buffer far above the cut-over: whole blocks, a few blocks, and the top
// slot (one block, whose pairs are divided among the workers) move every amplitude to its
// partner exactly once.
TEST(XKernel, EveryAmplitudeToItsPartnerOnAnyCut) {
  const size_t n = size_t{1} << 20;
  std::vector<Amp> a(n);
  for (const size_t t : {size_t{3}, size_t{9}, size_t{17}, size_t{18}, size_t{19}}) {
    for (size_t k = 0; k < n; ++k) a[k] = Amp(static_cast<double>(k), -static_cast<double>(k));
    apply_x_kernel(Span(a), t);
    size_t wrong = 0;
    for (size_t k = 0; k < n; ++k) {
      const double from = static_cast<double>(k ^ (size_t{1} << t));
      wrong += a[k].real() != from || a[k].imag() != -from;
    }
    EXPECT_EQ(wrong, 0u) << "slot " << t;
  }
}

}  // namespace
}  // namespace tavro::kernels
