// The dense k-qubit kernel against a scalar model of both arithmetic forms written out here, bit
// for bit: the plain form below lowest slot 2, the fused chain from there. Every compiled Highway
// target with the flag set and clear, and buffers of 2^18 amplitudes, which 3 and 8 workers cut
// into the runner's chunks or, with the top slot a target, into runs of groups (the binary runs
// under RAYON_NUM_THREADS = 1, 3 and 8).
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "gates/kernels/multi_qubit.hpp"
#include "gates/kernels/simd.hpp"

namespace tavro::kernels {
namespace {

using Slots = std::array<size_t, 5>;
constexpr size_t P2(size_t k) { return size_t{1} << k; }

enum Kind { UNIFORM, DYADIC, ZERO_GATE };

// Uniform parts, or dyadic ones (signed zeros among them) whose sums often cancel exactly, so
// that the sign of a zero result shows the order of the operations. ZERO_GATE: amplitudes with
// re < 0 < im, whose every product with a zero entry has real part -0.0 = (0 * re) - (0 * im);
// a sum of them stays -0.0 only if it starts from the first term, not from +0.0.
std::vector<Amp> make(size_t n, uint64_t seed, Kind kind, bool gate) {
  static constexpr double FEW[] = {-1.0, -0.5, -0.0, 0.0, 0.5, 0.25, -2.0, 1.0};
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (Amp& a : v) {
    if (kind == UNIFORM) a = Amp(u(gen), u(gen));
    if (kind == DYADIC) a = Amp(FEW[gen() % 8], FEW[gen() % 8]);
    if (kind == ZERO_GATE) a = gate ? Amp(0.0, 0.0) : Amp(-std::abs(u(gen)) - 0.5, u(gen) + 1.5);
  }
  return v;
}

// One output of the gate's row r from the group's inputs a, D terms G_c = g[c*D + r].
// Plain: each term's four products rounded on their own, terms summed left to right from T_0.
// Fused: t = -(G_0.im a_0.im), fma(G_0.re, a_0.re, t), then per further term
// fma(-G_c.im, a_c.im, t), fma(G_c.re, a_c.re, t); the imaginary part G_0.im a_0.re,
// fma(G_0.re, a_0.im, t), then fma(G_c.im, a_c.re, t), fma(G_c.re, a_c.im, t).
Amp row(const std::vector<Amp>& g, size_t dim, size_t r, const Amp* a, bool fused) {
  const Amp g0 = g[r];
  double re, im;
  if (fused) {
    re = std::fma(g0.real(), a[0].real(), -(g0.imag() * a[0].imag()));
    im = std::fma(g0.real(), a[0].imag(), g0.imag() * a[0].real());
  } else {
    re = g0.real() * a[0].real() - g0.imag() * a[0].imag();
    im = g0.real() * a[0].imag() + g0.imag() * a[0].real();
  }
  for (size_t c = 1; c < dim; ++c) {
    const Amp gc = g[c * dim + r];
    if (fused) {
      re = std::fma(gc.real(), a[c].real(), std::fma(-gc.imag(), a[c].imag(), re));
      im = std::fma(gc.real(), a[c].imag(), std::fma(gc.imag(), a[c].real(), im));
    } else {
      re += gc.real() * a[c].real() - gc.imag() * a[c].imag();
      im += gc.real() * a[c].imag() + gc.imag() * a[c].real();
    }
  }
  return {re, im};
}

// The gate on every group of `a`; local index i has bit (k-1-j) at slot s[j].
std::vector<Amp> model(std::vector<Amp> a, const Slots& s, size_t k, const std::vector<Amp>& g,
                       bool fused) {
  const size_t dim = P2(k);
  std::vector<size_t> at(dim);
  size_t mask = 0;
  for (size_t j = 0; j < k; ++j) mask |= P2(s[j]);
  for (size_t base = 0; base < a.size(); ++base) {
    if (base & mask) continue;
    std::vector<Amp> in(dim);
    for (size_t i = 0; i < dim; ++i) {
      at[i] = base;
      for (size_t j = 0; j < k; ++j) at[i] |= ((i >> (k - 1 - j)) & 1) << s[j];
      in[i] = a[at[i]];
    }
    for (size_t r = 0; r < dim; ++r) a[at[r]] = row(g, dim, r, in.data(), fused);
  }
  return a;
}

size_t differing(const std::vector<Amp>& a, const std::vector<Amp>& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += std::memcmp(&a[i], &b[i], sizeof(Amp)) != 0;
  return n;
}

struct Case {
  const char* name;
  size_t n, k;
  Slots s;
};

// Each body on lowest slots 0, 1, 2 and above; targets ascending, descending and mixed; the top
// slot among them; runs of 4 amplitudes up to 2^9, which the walk cuts into runs of 2^8.
const Case SMALL[] = {
    {"k3_012", 7, 3, {0, 1, 2}},         {"k3_210", 7, 3, {2, 1, 0}},
    {"k3_142", 7, 3, {1, 4, 2}},         {"k3_035", 7, 3, {0, 3, 5}},
    {"k3_235", 7, 3, {2, 3, 5}},         {"k3_634", 7, 3, {6, 3, 4}},
    {"k3_678", 9, 3, {6, 7, 8}},         {"k4_3061", 7, 4, {3, 0, 6, 1}},
    {"k4_1234", 8, 4, {1, 2, 3, 4}},     {"k4_5246", 7, 4, {5, 2, 4, 6}},
    {"k4_7354", 8, 4, {7, 3, 5, 4}},     {"k5_01234", 6, 5, {0, 1, 2, 3, 4}},
    {"k5_40625", 7, 5, {4, 0, 6, 2, 5}}, {"k5_15342", 7, 5, {1, 5, 3, 4, 2}},
    {"k5_65432", 7, 5, {6, 5, 4, 3, 2}}, {"k5_37584", 9, 5, {3, 7, 5, 8, 4}},
    {"k3_runs_cut", 12, 3, {11, 9, 10}},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class KqKernel : public testing::TestWithParam<Case> {};

// Vector and portable bodies on every compiled target give the model's bits for the form the
// lowest slot calls for, and that form differs from the other one on these inputs.
TEST_P(KqKernel, MatchesModelOnEveryTarget) {
  const Case& t = GetParam();
  const size_t lowest = *std::min_element(t.s.begin(), t.s.begin() + t.k);
  const bool fused = lowest >= 2;
  (void)simd_available();  // the flag is fixed on first use: before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);  // 0: no mock, the state left behind
  for (const Kind kind : {UNIFORM, DYADIC, ZERO_GATE}) {
    const std::vector<Amp> in = make(P2(t.n), t.n + 11 * t.k + lowest + kind, kind, false);
    const std::vector<Amp> g = make(P2(2 * t.k), 3 * t.k + kind, kind, true);
    const std::vector<Amp> want = model(in, t.s, t.k, g, fused);
    if (kind == UNIFORM) {
      EXPECT_GT(differing(want, model(in, t.s, t.k, g, !fused)), 0u) << "forms agree";
    }
    for (const int64_t target : targets) {
      hwy::SetSupportedTargetsForTest(target);
      for (const bool simd : {false, true}) {
        std::vector<Amp> got = in;
        apply_kq(simd, got, t.s, t.k, g);
        EXPECT_EQ(differing(got, want), 0u)
            << hwy::TargetName(target) << " simd=" << simd << " kind=" << kind;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Slots, KqKernel, testing::ValuesIn(SMALL),
                         [](const auto& info) { return std::string(info.param.name); });

// 2^18 amplitudes: at or above MIN_AMPS for 3 and 8 workers. Slots below the top are cut into
// chunks of whole blocks; with the top slot a target the buffer is one block and its runs of
// groups are divided among the workers. Every piece's result is the sequential model's.
TEST(KqKernelLarge, PiecesGiveTheSequentialBits) {
  const Case LARGE[] = {{"plain", 18, 3, {0, 1, 2}},
                        {"plain_top", 18, 4, {17, 1, 9, 4}},
                        {"fused", 18, 4, {3, 8, 12, 5}},
                        {"fused_top", 18, 5, {17, 16, 15, 14, 13}},
                        {"fused_run4_top", 18, 3, {2, 17, 6}}};
  const bool simd = simd_available();
  for (const Case& t : LARGE) {
    const size_t lowest = *std::min_element(t.s.begin(), t.s.begin() + t.k);
    const std::vector<Amp> in = make(P2(t.n), 5 * t.k + lowest, UNIFORM, false);
    const std::vector<Amp> g = make(P2(2 * t.k), t.k, UNIFORM, true);
    std::vector<Amp> got = in;
    apply_kq(simd, got, t.s, t.k, g);
    EXPECT_EQ(differing(got, model(in, t.s, t.k, g, lowest >= 2)), 0u) << t.name;
  }
}

// k is the one thing the kernel checks.
TEST(KqKernelLarge, OtherDimensionsFault) {
  for (const size_t k : {2, 6}) {
    std::vector<Amp> a(64);
    const std::vector<Amp> g(P2(2 * std::min<size_t>(k, 5)));
    try {
      apply_kq(false, a, Slots{0, 1, 2, 3, 4}, k, g);
      ADD_FAILURE() << "no fault for k = " << k;
    } catch (const Fault& f) {
      EXPECT_EQ(
          f.message(),
          "internal error: entered unreachable code: apply_kq only supports k in 3..=5, got " +
              std::to_string(k));
    }
  }
}

}  // namespace
}  // namespace tavro::kernels
