// The dense k-qubit and diagonal kernels against scalar models written out here, bit for bit: the
// dense plain form below lowest slot 2 and the fused chain from there, the diagonal's plain
// product. Every compiled Highway target with the flag set and clear, and 2^18 amplitudes, which
// 3 and 8 workers cut into chunks or, with the top slot a target, into runs of groups (the binary
// runs under RAYON_NUM_THREADS = 1, 3 and 8).
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "gates/kernels/diagonal.hpp"
#include "gates/kernels/multi_qubit.hpp"
#include "gates/kernels/simd.hpp"

namespace tavro::kernels {
namespace {

using Slots = std::vector<size_t>;
constexpr size_t P2(size_t k) { return size_t{1} << k; }

// UNIFORM parts; DYADIC ones with signed zeros, whose sums often cancel exactly so that the sign
// of a zero shows the order of operations; ZERO_GATE: a zero gate on amplitudes with re < 0 < im,
// where every term's real part is (0 * re) - (0 * im) = -0.0 and a sum stays -0.0 only if it
// starts from the first term rather than from +0.0.
enum Kind { UNIFORM, DYADIC, ZERO_GATE };
std::vector<Amp> make(size_t n, uint64_t seed, Kind kind, bool gate) {
  static constexpr double FEW[] = {-1.0, -0.5, -0.0, 0.0, 0.5, 0.25, -2.0, 1.0};
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (Amp& a : v) {
    if (kind == UNIFORM) a = Amp(u(gen), u(gen));
    if (kind == DYADIC) a = Amp(FEW[gen() % 8], FEW[gen() % 8]);
    if (kind == ZERO_GATE) a = gate ? Amp(0.0) : Amp(-std::abs(u(gen)) - 0.5, u(gen) + 1.5);
  }
  return v;
}
size_t differing(const std::vector<Amp>& a, const std::vector<Amp>& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += std::memcmp(&a[i], &b[i], sizeof(Amp)) != 0;
  return n;
}
// Index i with the k target bits set to local index c (bit k-1-j at slot s[j]).
size_t at(size_t i, const Slots& s, size_t c) {
  for (size_t j = 0; j < s.size(); ++j) i |= ((c >> (s.size() - 1 - j)) & 1) << s[j];
  return i;
}

// Row r of every group, G_c = g[c*D + r]. Plain: T_c = (G.re a.re - G.im a.im, G.re a.im +
// G.im a.re), summed from T_0 left to right. Fused: re = fma(G_0.re, a_0.re, -(G_0.im a_0.im)),
// then fma(G_c.re, a_c.re, fma(-G_c.im, a_c.im, re)); im = fma(G_0.re, a_0.im, G_0.im a_0.re),
// then fma(G_c.re, a_c.im, fma(G_c.im, a_c.re, im)).
std::vector<Amp> dense_model(const std::vector<Amp>& in, const Slots& s, const std::vector<Amp>& g,
                             bool fused) {
  const size_t dim = P2(s.size());
  size_t mask = 0;
  for (const size_t t : s) mask |= P2(t);
  std::vector<Amp> out = in;
  for (size_t base = 0; base < in.size(); ++base) {
    if (base & mask) continue;
    for (size_t r = 0; r < dim; ++r) {
      double re = 0.0, im = 0.0;
      for (size_t c = 0; c < dim; ++c) {
        const Amp G = g[c * dim + r], a = in[at(base, s, c)];
        if (fused && c == 0) {
          re = std::fma(G.real(), a.real(), -(G.imag() * a.imag()));
          im = std::fma(G.real(), a.imag(), G.imag() * a.real());
        } else if (fused) {
          re = std::fma(G.real(), a.real(), std::fma(-G.imag(), a.imag(), re));
          im = std::fma(G.real(), a.imag(), std::fma(G.imag(), a.real(), im));
        } else {
          const double tr = G.real() * a.real() - G.imag() * a.imag();
          const double ti = G.real() * a.imag() + G.imag() * a.real();
          re = c == 0 ? tr : re + tr;
          im = c == 0 ? ti : im + ti;
        }
      }
      out[at(base, s, r)] = Amp(re, im);
    }
  }
  return out;
}

// Entry d[local index] times each amplitude: re = d.re a.re - d.im a.im, im = d.im a.re + d.re
// a.im.
std::vector<Amp> diag_model(std::vector<Amp> a, const Slots& s, const std::vector<Amp>& d) {
  for (size_t i = 0; i < a.size(); ++i) {
    size_t e = 0;
    for (const size_t t : s) e = (e << 1) | ((i >> t) & 1);
    const Amp x = a[i];
    a[i] = Amp(d[e].real() * x.real() - d[e].imag() * x.imag(),
               d[e].imag() * x.real() + d[e].real() * x.imag());
  }
  return a;
}

struct Case {
  const char* name;
  bool diag;
  size_t n;
  Slots s;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Dense: lowest slot 0, 1, 2 and above; ascending, descending and mixed; the top slot; runs of
// 4 amplitudes up to 2^9, which the kernel cuts into runs of 2^8; one group. Diagonal: k = 1 to
// 10 on low slots, high slots and both; one short group of 4. n = 18: the large buffers.
const Case CASES[] = {{"k3_012", false, 7, {0, 1, 2}},
                      {"k3_210", false, 7, {2, 1, 0}},
                      {"k3_142", false, 7, {1, 4, 2}},
                      {"k3_235", false, 7, {2, 3, 5}},
                      {"k3_634", false, 7, {6, 3, 4}},
                      {"k3_runs_cut", false, 12, {11, 9, 10}},
                      {"k3_one_group", false, 3, {1, 2, 0}},
                      {"k4_3061", false, 7, {3, 0, 6, 1}},
                      {"k4_7354", false, 8, {7, 3, 5, 4}},
                      {"k5_40625", false, 7, {4, 0, 6, 2, 5}},
                      {"k5_15342", false, 7, {1, 5, 3, 4, 2}},
                      {"k5_65432", false, 7, {6, 5, 4, 3, 2}},
                      {"k5_one_group", false, 5, {4, 0, 3, 1, 2}},
                      {"large_plain_top", false, 18, {17, 1, 9, 4}},
                      {"large_fused", false, 18, {3, 8, 12, 5}},
                      {"large_fused_top", false, 18, {17, 16, 15, 14, 13}},
                      {"d1", true, 10, {7}},
                      {"d2_low_high", true, 10, {1, 4}},
                      {"d2_high_low", true, 10, {4, 1}},
                      {"d3_low", true, 10, {0, 2, 1}},
                      {"d5", true, 10, {3, 8, 1, 6, 0}},
                      {"d8", true, 10, {6, 2, 9, 0, 4, 7, 3, 5}},
                      {"d9", true, 11, {10, 1, 8, 3, 6, 0, 9, 4, 2}},
                      {"d10", true, 12, {11, 3, 0, 7, 2, 9, 5, 1, 10, 6}},
                      {"d2_short", true, 2, {1, 0}},
                      {"large_d6", true, 18, {17, 2, 9, 0, 5, 12}}};

class MultiQubitKernel : public testing::TestWithParam<Case> {};

TEST_P(MultiQubitKernel, MatchesModelOnEveryTarget) {
  const Case& t = GetParam();
  const size_t k = t.s.size(), lowest = *std::min_element(t.s.begin(), t.s.end());
  // The dense kernel takes at most 5 slots; the diagonal rows hold up to 10 and never read these.
  std::array<size_t, 5> slots{};
  std::copy_n(t.s.begin(), std::min(k, slots.size()), slots.begin());
  (void)simd_available();  // the flag is fixed on first use: before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  if (t.n > 12) targets.clear();
  targets.push_back(0);  // 0: no mock, the state left behind
  for (const Kind kind : {UNIFORM, DYADIC, ZERO_GATE}) {
    const std::vector<Amp> in = make(P2(t.n), t.n + 11 * k + kind, kind, false);
    const std::vector<Amp> g = make(P2(t.diag ? k : 2 * k), 3 * k + kind, kind, true);
    const std::vector<Amp> want =
        t.diag ? diag_model(in, t.s, g) : dense_model(in, t.s, g, lowest >= 2);
    // Inputs that tell the two dense forms apart.
    if (!t.diag && kind == UNIFORM) {
      EXPECT_GT(differing(want, dense_model(in, t.s, g, lowest < 2)), 0u);
    }
    for (const int64_t target : targets) {
      hwy::SetSupportedTargetsForTest(target);
      for (const bool simd : {false, true}) {
        std::vector<Amp> got = in;
        t.diag ? apply_diag_kq(got, t.s, g) : apply_kq(simd, got, slots, k, g);
        EXPECT_EQ(differing(got, want), 0u)
            << hwy::TargetName(target) << " simd=" << simd << " kind=" << kind;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Slots, MultiQubitKernel, testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// k is the one thing the dense kernel checks.
TEST(MultiQubitKernelFault, OtherDimensionsFault) {
  for (const size_t k : {2, 6}) {
    std::vector<Amp> a(64);
    try {
      apply_kq(false, a, {0, 1, 2, 3, 4}, k, std::vector<Amp>(16));
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
