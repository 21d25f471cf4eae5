// The two-qubit kernels against an exact model built from each gate's matrix: unit entries move
// values and flip signs, other rows are the plain sum of products below lo = 2 and the fused chain
// from lo = 2 (the phase gates CP and CRZ always plain). Vector and portable, the quartet bodies on
// separate slices of any length, and every regime of the quartet walk and the runner (the binary
// runs under RAYON_NUM_THREADS = 1, 3 and 8) must all give the model's bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "amp.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::kernels {
namespace {

using M16 = std::array<Amp, 16>;  // row-major, basis (bit of the first slot << 1) | second slot
constexpr size_t P2(size_t k) { return size_t{1} << k; }
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
bool same_bits(const std::vector<Amp>& a, const std::vector<Amp>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Amp)) == 0;
}

std::vector<Amp> random_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(u(gen), u(gen));
  return v;
}

constexpr double LAMBDA = 0.8765432109876543, THETA = -2.345678901234567;
const Amp I(0.0, 1.0), P(std::cos(LAMBDA), std::sin(LAMBDA));
const Amp CM(std::cos(LAMBDA * 0.5), -std::sin(LAMBDA * 0.5)), CP = std::conj(CM);
const Amp RM(std::cos(THETA * 0.5), -std::sin(THETA * 0.5)), RP = std::conj(RM);
// Deliberately not unitary: the kernels apply matrices as given.
const std::array<Amp, 4> U2{Amp(0.3, -1.7), Amp(2.5, 0.4), Amp(-0.9, 1.1), Amp(0.6, -0.2)};
const M16 M4{Amp(0.11, -0.52),  Amp(-1.3, 0.07),  Amp(0.91, 0.33),  Amp(-0.25, -0.75),
             Amp(0.6, 1.2),     Amp(-0.41, 0.19), Amp(0.05, -0.97), Amp(1.7, 0.29),
             Amp(-0.83, -0.14), Amp(0.37, 0.62),  Amp(-1.1, 0.88),  Amp(0.23, -0.31),
             Amp(0.71, 0.01),   Amp(-0.09, -1.4), Amp(0.44, 0.56),  Amp(-0.66, 0.93)};

using Span = std::span<Amp>;
enum Gate { CX, CY, CZ, CPH, CRZ, SWAP, ISWAP, RZZ, CTRL, DENSE, END };  // from RZZ on: fusable
const char* const NAMES[] = {"cx",   "cy",    "cz",  "cp",      "crz",
                             "swap", "iswap", "rzz", "ctrl2x2", "dense"};
const std::function<void(bool simd, Span a, size_t s1, size_t s2)> KERNELS[] = {
    [](bool v, Span a, size_t s1, size_t s2) { apply_cx_kernel(v, a, s1, s2); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_cy_kernel(v, a, s1, s2); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_cz_kernel(v, a, s1, s2); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_cp_kernel(v, a, s1, s2, LAMBDA); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_crz_kernel(v, a, s1, s2, LAMBDA); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_swap_kernel(v, a, s1, s2); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_iswap_kernel(v, a, s1, s2); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_rzz_kernel(v, a, s1, s2, THETA); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_ctrl_2x2_kernel(v, a, s1, s2, U2); },
    [](bool v, Span a, size_t s1, size_t s2) { apply_2q(v, a, s1, s2, M4); },
};
using Q = const QuartetRuns&;
const std::function<void(bool simd, bool fused, Q q, bool ctrl_is_lo)> BODIES[] = {
    [](bool v, bool f, Q q, bool lo) { apply_cx_runs(v, f, q, lo); },
    [](bool v, bool f, Q q, bool lo) { apply_cy_runs(v, f, q, lo); },
    [](bool v, bool f, Q q, bool) { apply_cz_runs(v, f, q); },
    [](bool v, bool f, Q q, bool) { apply_cp_runs(v, f, q, P); },
    [](bool v, bool f, Q q, bool lo) { apply_crz_runs(v, f, q, lo, CP.real(), CP.imag()); },
    [](bool v, bool f, Q q, bool) { apply_swap_runs(v, f, q); },
    [](bool v, bool f, Q q, bool) { apply_iswap_runs(v, f, q); },
    [](bool v, bool f, Q q, bool) { apply_rzz_runs(v, f, q, RP.real(), RP.imag()); },
    [](bool v, bool f, Q q, bool lo) { apply_ctrl_2x2_runs(v, f, q, lo, U2); },
    [](bool v, bool f, Q q, bool) { apply_2q_runs(v, f, q, M4); },
};
const M16 MATRICES[] = {
    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0},
    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, -I, 0, 0, I, 0},
    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1},
    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, P},
    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, CM, 0, 0, 0, 0, CP},
    {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1},
    {1, 0, 0, 0, 0, 0, I, 0, 0, I, 0, 0, 0, 0, 0, 1},
    {RM, 0, 0, 0, 0, RP, 0, 0, 0, 0, RP, 0, 0, 0, 0, RM},
    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, U2[0], U2[2], 0, 0, U2[1], U2[3]},
    {M4[0], M4[4], M4[8], M4[12], M4[1], M4[5], M4[9], M4[13], M4[2], M4[6], M4[10], M4[14], M4[3],
     M4[7], M4[11], M4[15]},
};

// The matrix in the kernel's local order (bit of the higher slot << 1) | lower slot: with the
// first slot lower, local indices 1 and 2 exchange.
M16 local(const M16& m, bool first_is_lower) {
  const size_t p[4] = {0, first_is_lower ? 2u : 1u, first_is_lower ? 1u : 2u, 3};
  M16 out;
  for (size_t k = 0; k < 16; ++k) out[k] = m[4 * p[k / 4] + p[k % 4]];
  return out;
}

// One output from the nonzero entries g of its row, in column order. A lone entry +-1 or +-i only
// moves and flips signs.
Amp row(const Amp* g, const Amp* z, bool fused) {
  size_t cs[4], k = 0;
  for (size_t c = 0; c < 4; ++c)
    if (g[c] != Amp(0.0)) cs[k++] = c;
  const Amp u = g[cs[0]], w = z[cs[0]];
  const double s = u.real() + u.imag();  // +-1 for a unit entry
  if (k == 1 && u.real() * u.imag() == 0.0 && std::abs(s) == 1.0)
    return u.real() != 0.0 ? Amp(s * w.real(), s * w.imag()) : Amp(-s * w.imag(), s * w.real());
  double re = fused ? -(u.imag() * w.imag()) : 0.0, im = fused ? u.imag() * w.real() : 0.0;
  for (const size_t c : std::span(cs, k)) {
    const Amp a = g[c], x = z[c];
    if (fused) {
      re = std::fma(a.real(), x.real(), c == cs[0] ? re : std::fma(-a.imag(), x.imag(), re));
      im = std::fma(a.real(), x.imag(), c == cs[0] ? im : std::fma(a.imag(), x.real(), im));
    } else {
      const double tr = a.real() * x.real() - a.imag() * x.imag();
      const double ti = a.real() * x.imag() + a.imag() * x.real();
      re = c == cs[0] ? tr : re + tr, im = c == cs[0] ? ti : im + ti;
    }
  }
  return {re, im};
}

// One quartet in local order; a row that is the unit row of its own index is never touched.
void model_quartet(const M16& l, bool fused, Amp* z) {
  Amp out[4];
  for (size_t r = 0; r < 4; ++r) {
    const bool own =
        l[5 * r] == Amp(1.0) && std::count(l.begin() + 4 * r, l.begin() + 4 * r + 4, Amp(0.0)) == 3;
    out[r] = own ? z[r] : row(&l[4 * r], z, fused);
  }
  std::copy(out, out + 4, z);
}

std::vector<Amp> model(Gate g, std::vector<Amp> a, size_t s1, size_t s2, bool fused) {
  const size_t lo = P2(std::min(s1, s2)), hi = P2(std::max(s1, s2));
  const M16 l = local(MATRICES[g], s1 < s2);
  for (size_t i = 0; i < a.size(); ++i) {
    if (i & (lo | hi)) continue;
    Amp z[4] = {a[i], a[i | lo], a[i | hi], a[i | lo | hi]};
    model_quartet(l, fused && g >= RZZ, z);
    a[i] = z[0], a[i | lo] = z[1], a[i | hi] = z[2], a[i | lo | hi] = z[3];
  }
  return a;
}

class TwoQubitKernel : public testing::TestWithParam<Gate> {};

// (qubits, first slot, second slot). On 7 qubits: the fixed-group pairs, mixed low/high, both
// high, the top slot and lo = 2, in both orders. With 3 or 8 workers the larger ones reach the
// runner's chunks (both slots below 3), whole high blocks, low blocks inside high blocks and the
// four-slice split; with one worker all run sequentially.
const std::array<size_t, 3> CASES[] = {
    {7, 0, 1},    {7, 1, 0},    {7, 0, 2},    {7, 2, 1},  {7, 0, 5},   {7, 5, 0},
    {7, 1, 4},    {7, 6, 2},    {7, 2, 6},    {7, 3, 5},  {7, 5, 3},   {7, 2, 3},
    {7, 6, 5},    {17, 0, 1},   {17, 2, 1},   {17, 2, 5}, {17, 16, 0}, {17, 3, 16},
    {17, 16, 14}, {17, 15, 16}, {18, 17, 16}, {19, 18, 2}};

// Random inputs with signalling NaNs in the untouched roles (arithmetic would quiet them), and all
// zeros (CZ turns +0.0 into -0.0). iSWAP twice negates the exchanged pair exactly.
TEST_P(TwoQubitKernel, MatchesModelInEveryRegime) {
  const Gate g = GetParam();
  size_t forms_differ = 0;
  for (const auto& [n, a, b] : CASES) {
    std::vector<Amp> in = random_amps(P2(n), 7 * a + b);
    const std::vector<Amp> probe = model(g, in, a, b, false);
    for (size_t k = 0; k < in.size(); ++k) {
      if (std::memcmp(&probe[k], &in[k], sizeof(Amp)) != 0) continue;
      in[k] = Amp(std::bit_cast<double>(0x7FF0000000000001 + k),
                  std::bit_cast<double>(0xFFF0000000000100 + k));
    }
    for (const std::vector<Amp>& input : {in, std::vector<Amp>(n < 17 ? in.size() : 0)}) {
      if (input.empty()) continue;
      const std::vector<Amp> want = model(g, input, a, b, std::min(a, b) >= 2);
      for (const bool simd : {false, true}) {
        std::vector<Amp> got = input;
        KERNELS[g](simd, got, a, b);
        EXPECT_TRUE(same_bits(got, want))
            << n << " qubits, slots (" << a << ", " << b << ") simd=" << simd;
        forms_differ += !same_bits(got, model(g, input, a, b, std::min(a, b) < 2));
        if (g != ISWAP) continue;
        KERNELS[g](simd, got, a, b);
        for (size_t k = 0; k < got.size(); ++k) {
          const uint64_t flip = (((k >> a) ^ (k >> b)) & 1) ? uint64_t{1} << 63 : 0;
          EXPECT_TRUE(bits(got[k].real()) == (bits(input[k].real()) ^ flip) &&
                      bits(got[k].imag()) == (bits(input[k].imag()) ^ flip));
        }
      }
    }
  }
  EXPECT_EQ(forms_differ > 0, g >= RZZ);
}

// The bodies on four separate slices of any length: the vector loops' tails, and the plain bodies
// that only the innermost split of a huge pool would reach.
TEST_P(TwoQubitKernel, QuartetBodyOnSeparateSlices) {
  const Gate g = GetParam();
  for (const size_t len : {1, 3, 4, 13, 40}) {
    const std::vector<Amp> in = random_amps(4 * len, 17 + len);
    for (const bool fused : {false, true}) {
      for (const bool ctrl_is_lo : {false, true}) {
        // The dense body takes its matrix already in local order.
        const M16 l = local(MATRICES[g], ctrl_is_lo && g != DENSE);
        std::vector<Amp> want = in;
        for (size_t k = 0; k < len; ++k) {
          Amp z[4] = {in[k], in[len + k], in[2 * len + k], in[3 * len + k]};
          model_quartet(l, fused && g >= RZZ, z);
          for (size_t r = 0; r < 4; ++r) want[r * len + k] = z[r];
        }
        for (const bool simd : {false, true}) {
          std::vector<Amp> got = in;
          BODIES[g](simd, fused, {&got[0], &got[len], &got[2 * len], &got[3 * len], len, len, 1},
                    ctrl_is_lo);
          EXPECT_TRUE(same_bits(got, want)) << "len " << len << " fused=" << fused
                                            << " ctrl_is_lo=" << ctrl_is_lo << " simd=" << simd;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Gates, TwoQubitKernel, testing::Range(CX, END),
                         [](const auto& info) { return std::string(NAMES[info.param]); });

// The cases above must keep reaching every regime with this process's worker count.
TEST(TwoQubitParallel, CasesReachEveryRegime) {
  using par::Regime;
  const size_t workers = par::NUM_THREADS();
  std::set<Regime> walk, runner;
  for (const auto& [n, s1, s2] : CASES) {
    if (n < 17) continue;
    const size_t lo = std::min(s1, s2), hi = std::max(s1, s2);
    if (hi <= 2)
      runner.insert(par::plan_runner(P2(n), P2(hi + 1), workers, par::MIN_AMPS()).regime);
    else
      walk.insert(par::plan_quartets(P2(n), P2(lo), P2(hi), workers, par::MIN_AMPS()).regime);
  }
  const std::set<Regime> parallel{Regime::WholeBlocks, Regime::LowBlocks, Regime::FourSlice};
  EXPECT_EQ(walk, workers < 2 ? std::set{Regime::Sequential} : parallel);
  EXPECT_EQ(runner, std::set{workers < 2 ? Regime::Sequential : Regime::Chunks});
}

}  // namespace
}  // namespace tavro::kernels
