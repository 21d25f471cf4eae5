// The two-qubit kernels against an exact model built from each gate's matrix: unit entries move
// values and flip signs, other rows are the plain sum of products below lo = 2 and the fused chain
// from lo = 2 (the phase gates CP and CRZ always plain). Vector and portable, the quartet bodies on
// separate slices of any length or with roles far apart, and every regime of the quartet walk and
// the runner (the binary runs under RAYON_NUM_THREADS = 1, 3 and 8) must all give the model's bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "aligned_buffer.hpp"
#include "amp.hpp"
#include "gates/kernels/two_qubit.hpp"

namespace tavro::kernels {
namespace {

using M16 = std::array<Amp, 16>;  // row-major, basis (bit of the first slot << 1) | second slot
using Span = std::span<Amp>;
using Q = const QuartetRuns&;
constexpr size_t P2(size_t k) { return size_t{1} << k; }
bool same_bits(const std::vector<Amp>& a, const std::vector<Amp>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Amp)) == 0;
}
Amp value(size_t k) { return {std::sin(0.7 * k + 0.1), std::cos(1.3 * k)}; }  // varied bits

constexpr double LAMBDA = 0.8765432109876543, THETA = -2.345678901234567;
const Amp I(0.0, 1.0), P(std::cos(LAMBDA), std::sin(LAMBDA));
const double C = std::cos(LAMBDA * 0.5), S = std::sin(LAMBDA * 0.5);
const double RC = std::cos(THETA * 0.5), RS = std::sin(THETA * 0.5);
const Amp CM(C, -S), CP(C, S), RM(RC, -RS), RP(RC, RS);
// Deliberately not unitary: the kernels apply matrices as given.
const std::array<Amp, 4> U2{Amp(0.3, -1.7), Amp(2.5, 0.4), Amp(-0.9, 1.1), Amp(0.6, -0.2)};
const M16 M4{Amp(0.11, -0.52),  Amp(-1.3, 0.07),  Amp(0.91, 0.33),  Amp(-0.25, -0.75),
             Amp(0.6, 1.2),     Amp(-0.41, 0.19), Amp(0.05, -0.97), Amp(1.7, 0.29),
             Amp(-0.83, -0.14), Amp(0.37, 0.62),  Amp(-1.1, 0.88),  Amp(0.23, -0.31),
             Amp(0.71, 0.01),   Amp(-0.09, -1.4), Amp(0.44, 0.56),  Amp(-0.66, 0.93)};

enum Gate { CX, CY, CZ, CPH, CRZ, SWAP, ISWAP, RZZ, CTRL, DENSE, END };  // from RZZ on: fusable
const char* const NAMES[] = {"cx",   "cy",    "cz",  "cp",      "crz",
                             "swap", "iswap", "rzz", "ctrl2x2", "dense"};
// Each kernel and body with the test's parameters after its common arguments.
#define KERNEL(fn, ...) \
  [](bool v, Span a, size_t s1, size_t s2) { fn(v, a, s1, s2 __VA_OPT__(, ) __VA_ARGS__); }
#define BODY(fn, ...) \
  [](bool v, bool f, Q q, [[maybe_unused]] bool lo) { fn(v, f, q __VA_OPT__(, ) __VA_ARGS__); }
const std::function<void(bool simd, Span a, size_t s1, size_t s2)> KERNELS[] = {
    KERNEL(apply_cx_kernel),           KERNEL(apply_cy_kernel),
    KERNEL(apply_cz_kernel),           KERNEL(apply_cp_kernel, LAMBDA),
    KERNEL(apply_crz_kernel, LAMBDA),  KERNEL(apply_swap_kernel),
    KERNEL(apply_iswap_kernel),        KERNEL(apply_rzz_kernel, THETA),
    KERNEL(apply_ctrl_2x2_kernel, U2), KERNEL(apply_2q, M4)};
const std::function<void(bool simd, bool fused, Q q, bool ctrl_is_lo)> BODIES[] = {
    BODY(apply_cx_runs, lo), BODY(apply_cy_runs, lo),        BODY(apply_cz_runs),
    BODY(apply_cp_runs, P),  BODY(apply_crz_runs, lo, C, S), BODY(apply_swap_runs),
    BODY(apply_iswap_runs),  BODY(apply_rzz_runs, RC, RS),   BODY(apply_ctrl_2x2_runs, lo, U2),
    BODY(apply_2q_runs, M4)};
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

// One output from the nonzero entries g of its row, in column order. A lone entry 1 moves its value
// untouched; a lone -1 or +-i only moves and flips signs.
Amp row(const Amp* g, const Amp* z, bool fused) {
  size_t cs[4], k = 0;
  for (size_t c = 0; c < 4; ++c)
    if (g[c] != Amp(0.0)) cs[k++] = c;
  const Amp u = g[cs[0]], w = z[cs[0]];
  if (k == 1 && u == Amp(1.0)) return w;
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

// One quartet in local order.
void model_quartet(const M16& l, bool fused, Amp* z) {
  Amp out[4];
  for (size_t r = 0; r < 4; ++r) out[r] = row(&l[4 * r], z, fused);
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

// Fills every quartet of q's runs with values, runs the portable and then the vector body of g on
// them and counts the amplitudes whose bits differ from the model's.
size_t body_misses(Gate g, const QuartetRuns& q, bool fused, bool ctrl_is_lo) {
  const M16 l = local(MATRICES[g], ctrl_is_lo && g != DENSE);  // dense: already in local order
  std::vector<std::array<Amp*, 4>> at;
  for (size_t h = 0; h < q.blocks; ++h)
    for (size_t i = 0; i < q.count; ++i)
      for (size_t k = h * q.block_stride + i * q.stride, e = k + q.len; k < e; ++k)
        at.push_back({q.r0 + k, q.r1 + k, q.r2 + k, q.r3 + k});
  size_t misses = 0;
  for (const bool simd : {false, true}) {
    std::vector<std::array<Amp, 4>> want(at.size());
    for (size_t j = 0; j < at.size(); ++j) {
      for (size_t r = 0; r < 4; ++r) *at[j][r] = want[j][r] = value(4 * j + r);
      model_quartet(l, fused && g >= RZZ, want[j].data());
    }
    BODIES[g](simd, fused, q, ctrl_is_lo);
    for (size_t j = 0; j < at.size(); ++j)
      for (size_t r = 0; r < 4; ++r) misses += std::memcmp(at[j][r], &want[j][r], sizeof(Amp)) != 0;
  }
  return misses;
}

class TwoQubitKernel : public testing::TestWithParam<Gate> {};

// (qubits, first slot, second slot). On 7 qubits: the fixed-group pairs, mixed low/high, both
// high, the top slot and lo = 2, in both orders. With 3 or 8 workers the larger ones reach the
// runner's chunks (both slots below 3), whole high blocks, low blocks inside high blocks and the
// four-slice split; with one worker all run sequentially.
const std::array<size_t, 3> CASES[] = {
    {7, 0, 1},   {7, 1, 0},   {7, 0, 2},    {7, 2, 0},    {7, 1, 2},    {7, 2, 1},
    {7, 0, 5},   {7, 5, 0},   {7, 1, 4},    {7, 6, 2},    {7, 2, 6},    {7, 3, 5},
    {7, 5, 3},   {7, 2, 3},   {7, 6, 5},    {17, 0, 1},   {17, 2, 1},   {17, 2, 5},
    {17, 16, 0}, {17, 3, 16}, {17, 16, 14}, {17, 15, 16}, {18, 17, 16}, {19, 18, 2}};

// Varied inputs with zeros among them (CZ turns +0.0 into -0.0) and signalling NaNs in the
// untouched roles (arithmetic would quiet them). iSWAP twice negates the exchanged pair exactly.
TEST_P(TwoQubitKernel, MatchesModelInEveryRegime) {
  const Gate g = GetParam();
  size_t forms_differ = 0;
  for (const auto& [n, a, b] : CASES) {
    std::vector<Amp> in(P2(n));
    for (size_t k = 0; k < in.size(); ++k) in[k] = value(k + 7 * a + b);
    const std::vector<Amp> probe = model(g, in, a, b, false);
    for (size_t k = 0; k < in.size(); ++k)
      if (std::memcmp(&probe[k], &in[k], sizeof(Amp)) == 0)
        in[k] = Amp(std::bit_cast<double>(0x7FF0000000000001 + k),
                    std::bit_cast<double>(0xFFF0000000000100 + k));
      else if (k % 5 == 3)
        in[k] = Amp(0.0);
    const std::vector<Amp> want = model(g, in, a, b, std::min(a, b) >= 2);
    for (const bool simd : {false, true}) {
      std::vector<Amp> got = in;
      KERNELS[g](simd, got, a, b);
      EXPECT_TRUE(same_bits(got, want))
          << n << " qubits, slots (" << a << ", " << b << ") simd=" << simd;
      forms_differ += !same_bits(got, model(g, in, a, b, std::min(a, b) < 2));
      if (g != ISWAP) continue;
      std::vector<Amp> negated = in;  // sign bits flipped by negation, nothing else
      for (size_t k = 0; k < got.size(); ++k)
        if (((k >> a) ^ (k >> b)) & 1) negated[k] = -negated[k];
      KERNELS[g](simd, got, a, b);
      EXPECT_TRUE(same_bits(got, negated)) << "iSWAP twice, simd=" << simd;
    }
  }
  EXPECT_EQ(forms_differ > 0, g >= RZZ);
}

// Roles 2^28 bytes or more apart (a high slot >= 24) take loops of their own: RZZ and CRZ one
// half or one role at a time, the two-role bodies of lo = 0 and 1 through a copy of the upper half
// in tiles (the last one shorter). A body call needs only its runs, so each case lays them out in
// a large reservation whose untouched pages are never backed: a2 FAR after a0 (a1 too when
// far_lo), high blocks 4 FAR apart.
constexpr size_t FAR = P2(24);
// (gate, fused, ctrl_is_lo, far_lo, len, count, blocks)
const std::tuple<Gate, bool, bool, bool, size_t, size_t, size_t> FAR_CASES[] = {
    {RZZ, false, false, false, 2, 1500, 2}, {RZZ, true, false, false, 4, 700, 2},
    {RZZ, true, false, true, 5000, 1, 1},   {RZZ, false, false, true, 4100, 1, 1},
    {CRZ, false, true, false, 1, 3000, 1},  {CRZ, true, true, false, 4096, 3, 2},
    {CRZ, true, false, true, 4100, 1, 1},   {CX, false, true, false, 1, 1300, 1},
    {SWAP, false, false, false, 1, 700, 2}, {ISWAP, false, false, false, 2, 900, 1},
    {CTRL, false, true, false, 2, 1100, 1}, {DENSE, false, false, false, 2, 600, 2}};

// The bodies on four separate slices of any length (the vector loops' tails, and the plain bodies
// that only the innermost split of a huge pool would reach) and on the far layouts.
TEST_P(TwoQubitKernel, BodiesOnSeparateAndFarRuns) {
  const Gate g = GetParam();
  for (const size_t len : {1, 3, 4, 13, 40}) {
    std::vector<Amp> v(4 * len);
    const QuartetRuns q{&v[0], &v[len], &v[2 * len], &v[3 * len], len, len, 1};
    for (const bool fused : {false, true})
      for (const bool ctrl_is_lo : {false, true})
        EXPECT_EQ(body_misses(g, q, fused, ctrl_is_lo), 0u)
            << "len " << len << ", fused " << fused << ", ctrl_is_lo " << ctrl_is_lo;
  }
  for (const auto& [fg, fused, ctrl_is_lo, far_lo, len, count, blocks] : FAR_CASES) {
    if (fg != g) continue;
    AmpBuffer buf = AmpBuffer::reserve(4 * FAR * blocks);
    ASSERT_TRUE(buf.ok());
    Amp *const a0 = buf.data(), *const a2 = a0 + 2 * FAR;
    const size_t d = far_lo ? FAR : len;  // a1 after a0
    const QuartetRuns q{a0,    a0 + d, a2,     a2 + d, len, far_lo ? len : 2 * len,
                        count, blocks, 4 * FAR};
    EXPECT_EQ(body_misses(g, q, fused, ctrl_is_lo), 0u)
        << "far, len " << len << " blocks " << blocks;
  }
}

INSTANTIATE_TEST_SUITE_P(Gates, TwoQubitKernel, testing::Range(CX, END),
                         [](const auto& info) { return std::string(NAMES[info.param]); });

}  // namespace
}  // namespace tavro::kernels
