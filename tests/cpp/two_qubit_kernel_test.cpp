// The two-qubit kernels: against a dense long double reference built from each gate's textbook
// matrix, against the exact arithmetic written out here (plain below lo = 2, the fused chain
// from lo = 2), vector against portable, parallel against that sequential model in every regime
// of the quartet walk and the runner (the binary runs under RAYON_NUM_THREADS = 1, 3 and 8), and
// the roles each gate must leave alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "amp.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::kernels {
namespace {

using CL = std::complex<long double>;
using M44 = std::array<std::array<CL, 4>, 4>;  // [row][column]

constexpr size_t P2(size_t k) { return size_t{1} << k; }

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
bool same_bits(const Amp& a, const Amp& b) { return std::memcmp(&a, &b, sizeof(Amp)) == 0; }

std::vector<Amp> random_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(u(gen), u(gen));
  return v;
}

// Indices whose amplitude differs from `want` in any bit; the first is reported.
size_t bit_mismatches(const std::vector<Amp>& got, const std::vector<Amp>& want, size_t* first) {
  size_t bad = 0;
  for (size_t k = 0; k < got.size(); ++k) {
    if (!same_bits(got[k], want[k]) && bad++ == 0) *first = k;
  }
  return bad;
}

#define EXPECT_SAME_BITS(got, want)                                                            \
  do {                                                                                         \
    size_t first_ = 0;                                                                         \
    const size_t bad_ = bit_mismatches(got, want, &first_);                                    \
    EXPECT_EQ(bad_, 0u) << "first at " << first_ << ": got (" << (got)[first_].real() << ", "  \
                        << (got)[first_].imag() << ") want (" << (want)[first_].real() << ", " \
                        << (want)[first_].imag() << ")";                                       \
  } while (0)

// ---- the gates under test ----

enum class Gate { Cx, Cy, Cz, Cp, Crz, Swap, Iswap, Rzz, Ctrl2x2, Dense };

struct GateInfo {
  const char* name;
  Gate gate;
};

const GateInfo GATES[] = {
    {"cx", Gate::Cx},           {"cy", Gate::Cy},       {"cz", Gate::Cz},       {"cp", Gate::Cp},
    {"crz", Gate::Crz},         {"swap", Gate::Swap},   {"iswap", Gate::Iswap}, {"rzz", Gate::Rzz},
    {"ctrl2x2", Gate::Ctrl2x2}, {"dense", Gate::Dense},
};

std::string gate_name(const testing::TestParamInfo<GateInfo>& info) { return info.param.name; }

constexpr double LAMBDA = 0.8765432109876543;
constexpr double THETA = -2.345678901234567;
// Deliberately not unitary: the kernels apply matrices as given.
const std::array<Amp, 4> U2{Amp(0.3, -1.7), Amp(2.5, 0.4), Amp(-0.9, 1.1), Amp(0.6, -0.2)};
const std::array<Amp, 16> M4{
    Amp(0.11, -0.52),  Amp(-1.3, 0.07),  Amp(0.91, 0.33),  Amp(-0.25, -0.75),
    Amp(0.6, 1.2),     Amp(-0.41, 0.19), Amp(0.05, -0.97), Amp(1.7, 0.29),
    Amp(-0.83, -0.14), Amp(0.37, 0.62),  Amp(-1.1, 0.88),  Amp(0.23, -0.31),
    Amp(0.71, 0.01),   Amp(-0.09, -1.4), Amp(0.44, 0.56),  Amp(-0.66, 0.93)};

void run_kernel(Gate g, bool simd, std::span<Amp> a, size_t s1, size_t s2) {
  switch (g) {
    case Gate::Cx:
      return apply_cx_kernel(simd, a, s1, s2);
    case Gate::Cy:
      return apply_cy_kernel(simd, a, s1, s2);
    case Gate::Cz:
      return apply_cz_kernel(simd, a, s1, s2);
    case Gate::Cp:
      return apply_cp_kernel(simd, a, s1, s2, LAMBDA);
    case Gate::Crz:
      return apply_crz_kernel(simd, a, s1, s2, LAMBDA);
    case Gate::Swap:
      return apply_swap_kernel(simd, a, s1, s2);
    case Gate::Iswap:
      return apply_iswap_kernel(simd, a, s1, s2);
    case Gate::Rzz:
      return apply_rzz_kernel(simd, a, s1, s2, THETA);
    case Gate::Ctrl2x2:
      return apply_ctrl_2x2_kernel(simd, a, s1, s2, U2);
    case Gate::Dense:
      return apply_2q(simd, a, s1, s2, M4);
  }
}

// ---- the independent reference: textbook matrices, long double ----

// The gate's matrix in the basis (bit of the first slot << 1) | bit of the second; the first
// slot is the control of the controlled gates.
M44 textbook(Gate g) {
  M44 m{};
  const CL i(0.0L, 1.0L);
  const long double lambda = LAMBDA, theta = THETA;
  const auto cplx = [](Amp a) { return CL(a.real(), a.imag()); };
  switch (g) {
    case Gate::Cx:
      m[0][0] = m[1][1] = m[2][3] = m[3][2] = 1.0L;
      break;
    case Gate::Cy:  // Y = [[0, -i], [i, 0]] on the target
      m[0][0] = m[1][1] = 1.0L;
      m[2][3] = -i;
      m[3][2] = i;
      break;
    case Gate::Cz:
      m[0][0] = m[1][1] = m[2][2] = 1.0L;
      m[3][3] = -1.0L;
      break;
    case Gate::Cp:
      m[0][0] = m[1][1] = m[2][2] = 1.0L;
      m[3][3] = std::polar(1.0L, lambda);
      break;
    case Gate::Crz:
      m[0][0] = m[1][1] = 1.0L;
      m[2][2] = std::polar(1.0L, -lambda / 2);
      m[3][3] = std::polar(1.0L, lambda / 2);
      break;
    case Gate::Swap:
      m[0][0] = m[1][2] = m[2][1] = m[3][3] = 1.0L;
      break;
    case Gate::Iswap:
      m[0][0] = m[3][3] = 1.0L;
      m[1][2] = m[2][1] = i;
      break;
    case Gate::Rzz:  // exp(-i theta/2 Z x Z)
      m[0][0] = m[3][3] = std::polar(1.0L, -theta / 2);
      m[1][1] = m[2][2] = std::polar(1.0L, theta / 2);
      break;
    case Gate::Ctrl2x2:  // U2 is column-major [U00, U10, U01, U11]
      m[0][0] = m[1][1] = 1.0L;
      m[2][2] = cplx(U2[0]);
      m[3][2] = cplx(U2[1]);
      m[2][3] = cplx(U2[2]);
      m[3][3] = cplx(U2[3]);
      break;
    case Gate::Dense:
      for (size_t r = 0; r < 4; ++r) {
        for (size_t c = 0; c < 4; ++c) m[r][c] = cplx(M4[r + 4 * c]);
      }
      break;
  }
  return m;
}

// m applied to every quartet of slots (s1, s2), s1 the most significant local bit.
std::vector<Amp> reference(const M44& m, const std::vector<Amp>& in, size_t s1, size_t s2) {
  std::vector<Amp> out = in;
  const size_t b1 = P2(s1), b2 = P2(s2);
  for (size_t i = 0; i < in.size(); ++i) {
    if ((i & (b1 | b2)) != 0) continue;
    const size_t idx[4] = {i, i | b2, i | b1, i | b1 | b2};
    CL z[4];
    for (size_t c = 0; c < 4; ++c) z[c] = CL(in[idx[c]].real(), in[idx[c]].imag());
    for (size_t r = 0; r < 4; ++r) {
      CL acc = 0.0L;
      for (size_t c = 0; c < 4; ++c) acc += m[r][c] * z[c];
      out[idx[r]] = Amp(static_cast<double>(acc.real()), static_cast<double>(acc.imag()));
    }
  }
  return out;
}

size_t far_from(const std::vector<Amp>& got, const std::vector<Amp>& want, double tol) {
  size_t bad = 0;
  for (size_t k = 0; k < got.size(); ++k) {
    bad += !(std::abs(got[k].real() - want[k].real()) <= tol &&
             std::abs(got[k].imag() - want[k].imag()) <= tol);
  }
  return bad;
}

// ---- the exact model: the arithmetic written out, per quartet in the kernel's local order ----

// Plain: four rounded products, then the rounded difference and sum.
Amp plain_term(Amp g, Amp z) {
  return {g.real() * z.real() - g.imag() * z.imag(), g.real() * z.imag() + g.imag() * z.real()};
}

// sum over c < k of g[c] z[c]: plain terms added left to right.
Amp plain_row(const Amp* g, const Amp* z, size_t k) {
  Amp t = plain_term(g[0], z[0]);
  for (size_t c = 1; c < k; ++c) {
    const Amp u = plain_term(g[c], z[c]);
    t = Amp(t.real() + u.real(), t.imag() + u.imag());
  }
  return t;
}

// The fused chain: re starts at -(g0.im z0.im), then fma(g0.re, z0.re, .), then per further term
// fma(-g.im, z.im, .) and fma(g.re, z.re, .); im likewise with g.im z.re and g.re z.im.
Amp fused_row(const Amp* g, const Amp* z, size_t k) {
  double re = -(g[0].imag() * z[0].imag());
  re = std::fma(g[0].real(), z[0].real(), re);
  double im = g[0].imag() * z[0].real();
  im = std::fma(g[0].real(), z[0].imag(), im);
  for (size_t c = 1; c < k; ++c) {
    re = std::fma(-g[c].imag(), z[c].imag(), re);
    re = std::fma(g[c].real(), z[c].real(), re);
    im = std::fma(g[c].imag(), z[c].real(), im);
    im = std::fma(g[c].real(), z[c].imag(), im);
  }
  return {re, im};
}

Amp row(bool fused, const Amp* g, const Amp* z, size_t k) {
  return fused ? fused_row(g, z, k) : plain_row(g, z, k);
}

Amp half_phase(double angle, double sign) {
  return Amp(std::cos(angle * 0.5), sign * std::sin(angle * 0.5));
}

// One quartet q (a0..a3 by (bit hi, bit lo)); `local` is the 4x4 matrix in that order.
void model_quartet(Gate g, bool fused, bool ctrl_is_lo, const std::array<Amp, 16>& local, Amp* q) {
  Amp& x = ctrl_is_lo ? q[1] : q[2];
  Amp& y = q[3];
  const Amp ox = x, oy = y;
  switch (g) {
    case Gate::Cx:
      x = oy;
      y = ox;
      return;
    case Gate::Cy:
      x = Amp(oy.imag(), -oy.real());
      y = Amp(-ox.imag(), ox.real());
      return;
    case Gate::Cz:
      q[3] = Amp(-q[3].real(), -q[3].imag());
      return;
    case Gate::Cp:
      q[3] = plain_term(Amp(std::cos(LAMBDA), std::sin(LAMBDA)), q[3]);
      return;
    case Gate::Crz:
      x = plain_term(half_phase(LAMBDA, -1.0), ox);
      y = plain_term(half_phase(LAMBDA, 1.0), oy);
      return;
    case Gate::Swap:
      std::swap(q[1], q[2]);
      return;
    case Gate::Iswap: {
      const Amp o1 = q[1], o2 = q[2];
      q[1] = Amp(-o2.imag(), o2.real());
      q[2] = Amp(-o1.imag(), o1.real());
      return;
    }
    case Gate::Rzz: {
      const Amp minus = half_phase(THETA, -1.0), plus = half_phase(THETA, 1.0);
      for (size_t k = 0; k < 4; ++k) {
        const Amp z = q[k];
        q[k] = row(fused, (k == 0 || k == 3) ? &minus : &plus, &z, 1);
      }
      return;
    }
    case Gate::Ctrl2x2: {
      const Amp z[2] = {ox, oy};
      const Amp gx[2] = {U2[0], U2[2]}, gy[2] = {U2[1], U2[3]};
      x = row(fused, gx, z, 2);
      y = row(fused, gy, z, 2);
      return;
    }
    case Gate::Dense: {
      const Amp z[4] = {q[0], q[1], q[2], q[3]};
      for (size_t r = 0; r < 4; ++r) {
        const Amp g4[4] = {local[r], local[r + 4], local[r + 8], local[r + 12]};
        q[r] = row(fused, g4, z, 4);
      }
      return;
    }
  }
}

// M4 in the kernel's local order for first slot s1: when s1 is the lower slot the two local bits
// are the other way round.
std::array<Amp, 16> local_matrix(size_t s1, size_t s2) {
  if (s1 > s2) return M4;
  const auto f = [](size_t k) { return ((k & 1) << 1) | (k >> 1); };
  std::array<Amp, 16> out{};
  for (size_t r = 0; r < 4; ++r) {
    for (size_t c = 0; c < 4; ++c) out[r + 4 * c] = M4[f(r) + 4 * f(c)];
  }
  return out;
}

// The whole buffer through the model, sequentially, quartet by quartet.
std::vector<Amp> model(Gate g, const std::vector<Amp>& in, size_t s1, size_t s2) {
  std::vector<Amp> out = in;
  const size_t lo = std::min(s1, s2), hi = std::max(s1, s2);
  const std::array<Amp, 16> local = local_matrix(s1, s2);
  for (size_t i = 0; i < in.size(); ++i) {
    if ((i & (P2(lo) | P2(hi))) != 0) continue;
    const size_t idx[4] = {i, i | P2(lo), i | P2(hi), i | P2(lo) | P2(hi)};
    Amp q[4] = {out[idx[0]], out[idx[1]], out[idx[2]], out[idx[3]]};
    model_quartet(g, lo >= 2, s1 <= s2, local, q);
    for (size_t k = 0; k < 4; ++k) out[idx[k]] = q[k];
  }
  return out;
}

struct SlotPair {
  size_t s1, s2;
};

// On 7 qubits: the three fixed-group pairs, mixed low/high, both high, the top slot, lo = 2,
// each in both orders.
const SlotPair PAIRS7[] = {{0, 1}, {1, 0}, {0, 2}, {2, 0}, {1, 2}, {2, 1}, {0, 5}, {5, 0},
                           {1, 4}, {4, 1}, {2, 6}, {6, 2}, {3, 5}, {5, 3}, {4, 6}, {6, 4},
                           {0, 6}, {6, 0}, {2, 3}, {3, 2}, {5, 6}, {6, 5}};

std::string pair_trace(const SlotPair& p, bool simd) {
  return "slots (" + std::to_string(p.s1) + ", " + std::to_string(p.s2) +
         (simd ? ") simd" : ") portable");
}

// ---- every gate, every slot pair: reference, exact model, vector = portable ----

class TwoQubitKernel : public testing::TestWithParam<GateInfo> {};

TEST_P(TwoQubitKernel, MatchesTextbookMatrixOnEverySlotPair) {
  const Gate g = GetParam().gate;
  const std::vector<Amp> in = random_amps(P2(7), 7);
  for (const SlotPair& p : PAIRS7) {
    const std::vector<Amp> want = reference(textbook(g), in, p.s1, p.s2);
    for (bool simd : {false, true}) {
      SCOPED_TRACE(pair_trace(p, simd));
      std::vector<Amp> got = in;
      run_kernel(g, simd, got, p.s1, p.s2);
      EXPECT_EQ(far_from(got, want, 1e-13), 0u);
    }
  }
}

TEST_P(TwoQubitKernel, ExactArithmeticAndVectorEqualsPortable) {
  const Gate g = GetParam().gate;
  const std::vector<Amp> in = random_amps(P2(7), 11);
  for (const SlotPair& p : PAIRS7) {
    const std::vector<Amp> want = model(g, in, p.s1, p.s2);
    std::vector<Amp> portable = in, vector = in;
    run_kernel(g, false, portable, p.s1, p.s2);
    run_kernel(g, true, vector, p.s1, p.s2);
    SCOPED_TRACE(pair_trace(p, false));
    EXPECT_SAME_BITS(portable, want);
    EXPECT_SAME_BITS(vector, portable);
  }
}

INSTANTIATE_TEST_SUITE_P(Gates, TwoQubitKernel, testing::ValuesIn(GATES), gate_name);

// ---- plain below lo = 2, fused from lo = 2 ----

struct FormCase {
  const char* name;
  Gate gate;
  SlotPair plain;  // lo < 2
  SlotPair fused;  // lo >= 2, same local roles
};

const FormCase FORM_CASES[] = {
    {"rzz_0_3_vs_2_3", Gate::Rzz, {0, 3}, {2, 3}},
    {"rzz_4_1_vs_5_2", Gate::Rzz, {4, 1}, {5, 2}},
    {"ctrl_lo_1_4_vs_2_4", Gate::Ctrl2x2, {1, 4}, {2, 4}},
    {"ctrl_hi_5_0_vs_5_2", Gate::Ctrl2x2, {5, 0}, {5, 2}},
    {"dense_0_3_vs_2_3", Gate::Dense, {0, 3}, {2, 3}},
    {"dense_3_1_vs_3_2", Gate::Dense, {3, 1}, {3, 2}},
};

class ArithmeticForm : public testing::TestWithParam<FormCase> {};

// The model's two forms differ on this input, so each kernel result pins down its form.
TEST_P(ArithmeticForm, PlainBelowSlotTwoFusedFromSlotTwo) {
  const FormCase& c = GetParam();
  const std::vector<Amp> in = random_amps(P2(6), 3);
  const size_t lo_p = std::min(c.plain.s1, c.plain.s2);
  const size_t lo_f = std::min(c.fused.s1, c.fused.s2);
  ASSERT_LT(lo_p, 2u);
  ASSERT_GE(lo_f, 2u);

  const std::vector<Amp> want_plain = model(c.gate, in, c.plain.s1, c.plain.s2);
  const std::vector<Amp> want_fused = model(c.gate, in, c.fused.s1, c.fused.s2);
  // The same quartets through the other form: the plain model on the fused slots.
  std::vector<Amp> other = in;
  {
    const size_t lo = lo_f, hi = std::max(c.fused.s1, c.fused.s2);
    const std::array<Amp, 16> local = local_matrix(c.fused.s1, c.fused.s2);
    for (size_t i = 0; i < in.size(); ++i) {
      if ((i & (P2(lo) | P2(hi))) != 0) continue;
      const size_t idx[4] = {i, i | P2(lo), i | P2(hi), i | P2(lo) | P2(hi)};
      Amp q[4] = {in[idx[0]], in[idx[1]], in[idx[2]], in[idx[3]]};
      model_quartet(c.gate, false, c.fused.s1 <= c.fused.s2, local, q);
      for (size_t k = 0; k < 4; ++k) other[idx[k]] = q[k];
    }
  }
  size_t first = 0;
  ASSERT_GT(bit_mismatches(other, want_fused, &first), 0u) << "input does not tell the forms apart";

  for (bool simd : {false, true}) {
    SCOPED_TRACE(simd ? "simd" : "portable");
    std::vector<Amp> got_plain = in, got_fused = in;
    run_kernel(c.gate, simd, got_plain, c.plain.s1, c.plain.s2);
    run_kernel(c.gate, simd, got_fused, c.fused.s1, c.fused.s2);
    EXPECT_SAME_BITS(got_plain, want_plain);
    EXPECT_SAME_BITS(got_fused, want_fused);
    EXPECT_GT(bit_mismatches(got_fused, other, &first), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, ArithmeticForm, testing::ValuesIn(FORM_CASES),
                         [](const testing::TestParamInfo<FormCase>& i) { return i.param.name; });

// Hand-picked: RZZ of theta = 1 on a0 = (0.7, 0.1), where both parts differ between the forms.
// Plain: re = c*0.7 - (-s)*0.1 with both products rounded; fused: re = fma(c, 0.7, -((-s)*0.1))
// rounds once less.
TEST(ArithmeticForm, RzzSingleAmplitudeBits) {
  const double c = std::cos(0.5), s = std::sin(0.5);
  const Amp z(0.7, 0.1);
  const double plain_re = c * 0.7 - (-s) * 0.1, plain_im = (-s) * 0.7 + c * 0.1;
  const double fused_re = std::fma(c, 0.7, -((-s) * 0.1)), fused_im = std::fma(c, 0.1, (-s) * 0.7);
  ASSERT_NE(bits(plain_re), bits(fused_re));
  ASSERT_NE(bits(plain_im), bits(fused_im));
  for (bool simd : {false, true}) {
    // a0 is index 0 of every slot pair; slots (0, 1) are plain, (2, 3) fused.
    std::vector<Amp> lo_state(16, Amp(0.0, 0.0)), hi_state(16, Amp(0.0, 0.0));
    lo_state[0] = hi_state[0] = z;
    apply_rzz_kernel(simd, lo_state, 0, 1, 1.0);
    apply_rzz_kernel(simd, hi_state, 2, 3, 1.0);
    EXPECT_EQ(bits(lo_state[0].real()), bits(plain_re));
    EXPECT_EQ(bits(lo_state[0].imag()), bits(plain_im));
    EXPECT_EQ(bits(hi_state[0].real()), bits(fused_re));
    EXPECT_EQ(bits(hi_state[0].imag()), bits(fused_im));
  }
}

// ---- bit facts ----

const SlotPair PAIRS6[] = {{0, 1}, {1, 0}, {0, 2}, {2, 0}, {1, 2}, {2, 1},
                           {0, 4}, {4, 0}, {2, 5}, {5, 2}, {3, 4}, {4, 3}};

TEST(BitFacts, CzTurnsPositiveZeroIntoNegativeZero) {
  for (const SlotPair& p : PAIRS6) {
    for (bool simd : {false, true}) {
      SCOPED_TRACE(pair_trace(p, simd));
      std::vector<Amp> a(P2(6), Amp(0.0, 0.0));
      apply_cz_kernel(simd, a, p.s1, p.s2);
      const size_t both = P2(p.s1) | P2(p.s2);
      size_t bad = 0;
      for (size_t k = 0; k < a.size(); ++k) {
        const uint64_t want = (k & both) == both ? 0x8000000000000000u : 0u;
        bad += bits(a[k].real()) != want || bits(a[k].imag()) != want;
      }
      EXPECT_EQ(bad, 0u);
    }
  }
}

TEST(BitFacts, IswapTwiceNegatesTheExchangedPairExactly) {
  const std::vector<Amp> in = random_amps(P2(6), 5);
  for (const SlotPair& p : PAIRS6) {
    for (bool simd : {false, true}) {
      SCOPED_TRACE(pair_trace(p, simd));
      std::vector<Amp> a = in;
      apply_iswap_kernel(simd, a, p.s1, p.s2);
      apply_iswap_kernel(simd, a, p.s1, p.s2);
      size_t bad = 0;
      for (size_t k = 0; k < a.size(); ++k) {
        const bool one_bit = (((k >> p.s1) ^ (k >> p.s2)) & 1) != 0;
        const uint64_t flip = one_bit ? 0x8000000000000000u : 0u;
        bad += bits(a[k].real()) != (bits(in[k].real()) ^ flip) ||
               bits(a[k].imag()) != (bits(in[k].imag()) ^ flip);
      }
      EXPECT_EQ(bad, 0u);
    }
  }
}

// Which amplitudes a gate may change, by the bits of the first and second slot.
bool touches(Gate g, bool b1, bool b2) {
  switch (g) {
    case Gate::Cx:
    case Gate::Cy:
    case Gate::Crz:
    case Gate::Ctrl2x2:
      return b1;  // the control half
    case Gate::Cz:
    case Gate::Cp:
      return b1 && b2;  // a3
    case Gate::Swap:
    case Gate::Iswap:
      return b1 != b2;  // a1 and a2
    case Gate::Rzz:
    case Gate::Dense:
      break;
  }
  return true;
}

// Signalling NaNs with distinct payloads in every role the gate leaves alone: any arithmetic on
// them would set the quiet bit, any stray move would show another payload.
// The gates that leave some roles alone (RZZ and the dense 4x4 change every amplitude).
const GateInfo PARTIAL_GATES[] = {
    {"cx", Gate::Cx},   {"cy", Gate::Cy},     {"cz", Gate::Cz},       {"cp", Gate::Cp},
    {"crz", Gate::Crz}, {"swap", Gate::Swap}, {"iswap", Gate::Iswap}, {"ctrl2x2", Gate::Ctrl2x2},
};

class PartialGate : public testing::TestWithParam<GateInfo> {};

TEST_P(PartialGate, UntouchedRolesStayBitIdentical) {
  const Gate g = GetParam().gate;
  const std::vector<Amp> random = random_amps(P2(6), 9);
  for (const SlotPair& p : PAIRS6) {
    std::vector<Amp> in = random;
    for (size_t k = 0; k < in.size(); ++k) {
      if (touches(g, (k >> p.s1) & 1, (k >> p.s2) & 1)) continue;
      in[k] = Amp(std::bit_cast<double>(uint64_t{0x7FF0000000000001} + k),
                  std::bit_cast<double>(uint64_t{0xFFF0000000000100} + k));
    }
    for (bool simd : {false, true}) {
      SCOPED_TRACE(pair_trace(p, simd));
      std::vector<Amp> a = in;
      run_kernel(g, simd, a, p.s1, p.s2);
      size_t bad = 0, changed = 0;
      for (size_t k = 0; k < a.size(); ++k) {
        if (touches(g, (k >> p.s1) & 1, (k >> p.s2) & 1)) {
          changed += !same_bits(a[k], in[k]);
        } else {
          bad += !same_bits(a[k], in[k]);
        }
      }
      EXPECT_EQ(bad, 0u);
      EXPECT_GT(changed, 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Gates, PartialGate, testing::ValuesIn(PARTIAL_GATES), gate_name);

TEST(BitFacts, DenseIdentityKeepsEveryFiniteValue) {
  std::array<Amp, 16> id{};
  id[0] = id[5] = id[10] = id[15] = Amp(1.0, 0.0);
  const std::vector<Amp> in = random_amps(P2(6), 13);
  for (const SlotPair& p : PAIRS6) {
    for (bool simd : {false, true}) {
      SCOPED_TRACE(pair_trace(p, simd));
      std::vector<Amp> a = in;
      apply_2q(simd, a, p.s1, p.s2, id);
      size_t bad = 0;
      for (size_t k = 0; k < a.size(); ++k) bad += a[k] != in[k];
      EXPECT_EQ(bad, 0u);
    }
  }
}

// ---- the bodies on four separate slices of any length (the vector loops' tails, and the plain
// quartet bodies that only the innermost split of a huge pool would reach) ----

void run_body(Gate g, bool simd, bool runs, const QuartetRuns& q, bool ctrl_is_lo) {
  switch (g) {
    case Gate::Cx:
      return apply_cx_runs(simd, runs, q, ctrl_is_lo);
    case Gate::Cy:
      return apply_cy_runs(simd, runs, q, ctrl_is_lo);
    case Gate::Cz:
      return apply_cz_runs(simd, runs, q);
    case Gate::Cp:
      return apply_cp_runs(simd, runs, q, Amp(std::cos(LAMBDA), std::sin(LAMBDA)));
    case Gate::Crz:
      return apply_crz_runs(simd, runs, q, ctrl_is_lo, std::cos(LAMBDA * 0.5),
                            std::sin(LAMBDA * 0.5));
    case Gate::Swap:
      return apply_swap_runs(simd, runs, q);
    case Gate::Iswap:
      return apply_iswap_runs(simd, runs, q);
    case Gate::Rzz:
      return apply_rzz_runs(simd, runs, q, std::cos(THETA * 0.5), std::sin(THETA * 0.5));
    case Gate::Ctrl2x2:
      return apply_ctrl_2x2_runs(simd, runs, q, ctrl_is_lo, U2);
    case Gate::Dense:
      return apply_2q_runs(simd, runs, q, M4);
  }
}

TEST_P(TwoQubitKernel, QuartetBodyOnSlicesOfAnyLength) {
  const Gate g = GetParam().gate;
  for (size_t len : {1u, 3u, 4u, 13u, 40u}) {
    const std::vector<Amp> in = random_amps(4 * len, 17 + len);
    for (bool runs : {false, true}) {
      for (bool ctrl_is_lo : {false, true}) {
        std::vector<Amp> want = in;
        for (size_t k = 0; k < len; ++k) {
          Amp q[4] = {in[k], in[len + k], in[2 * len + k], in[3 * len + k]};
          model_quartet(g, runs, ctrl_is_lo, M4, q);
          for (size_t r = 0; r < 4; ++r) want[r * len + k] = q[r];
        }
        for (bool simd : {false, true}) {
          SCOPED_TRACE("len " + std::to_string(len) + (runs ? " runs" : " plain") +
                       (ctrl_is_lo ? " ctrl lo" : " ctrl hi") + (simd ? " simd" : ""));
          // Four separate buffers, as the innermost split hands them over.
          std::vector<Amp> s[4];
          for (size_t r = 0; r < 4; ++r)
            s[r].assign(in.begin() + r * len, in.begin() + (r + 1) * len);
          run_body(g, simd, runs, {s[0].data(), s[1].data(), s[2].data(), s[3].data(), len, len, 1},
                   ctrl_is_lo);
          std::vector<Amp> got;
          for (size_t r = 0; r < 4; ++r) got.insert(got.end(), s[r].begin(), s[r].end());
          EXPECT_SAME_BITS(got, want);
        }
      }
    }
  }
}

// ---- parallel against the sequential model, in every regime ----

struct BigCase {
  unsigned qubits;
  SlotPair slots;
};

// With 3 or 8 workers these reach the runner's chunks ({0,1}, {0,2}, {1,2} of CX, CZ, SWAP), whole
// high blocks, low blocks inside high blocks (also with lo = 0 and lo = 2) and the four-slice
// split (with pieces whose last one is shorter for 3 workers); with one worker all run
// sequentially.
const BigCase BIG_CASES[] = {
    {17, {0, 1}},   {17, {1, 0}},   {17, {0, 2}},   {17, {2, 1}},   {17, {2, 5}},   {17, {5, 2}},
    {17, {0, 16}},  {17, {16, 0}},  {17, {3, 16}},  {17, {16, 3}},  {17, {14, 16}}, {17, {16, 14}},
    {17, {15, 16}}, {17, {16, 15}}, {17, {13, 15}}, {17, {15, 13}}, {17, {5, 14}},  {18, {1, 17}},
    {18, {17, 16}}, {19, {0, 2}},   {19, {17, 18}}, {19, {18, 2}},
};

TEST_P(TwoQubitKernel, ParallelMatchesSequentialModelInEveryRegime) {
  const Gate g = GetParam().gate;
  for (const BigCase& c : BIG_CASES) {
    const std::vector<Amp> in = random_amps(P2(c.qubits), c.qubits * 100 + c.slots.s1);
    const std::vector<Amp> want = model(g, in, c.slots.s1, c.slots.s2);
    for (bool simd : {false, true}) {
      SCOPED_TRACE(std::to_string(c.qubits) + " qubits, " + pair_trace(c.slots, simd));
      std::vector<Amp> got = in;
      run_kernel(g, simd, got, c.slots.s1, c.slots.s2);
      EXPECT_SAME_BITS(got, want);
    }
  }
}

// The table above must keep reaching every regime with this process's worker count.
TEST(TwoQubitParallel, CasesReachEveryRegime) {
  const size_t workers = par::NUM_THREADS();
  std::set<par::Regime> walk, runner;
  for (const BigCase& c : BIG_CASES) {
    const size_t lo = std::min(c.slots.s1, c.slots.s2), hi = std::max(c.slots.s1, c.slots.s2);
    const size_t n = P2(c.qubits);
    if (hi <= 2) {
      runner.insert(par::plan_runner(n, P2(hi + 1), workers, par::MIN_AMPS()).regime);
    } else {
      walk.insert(par::plan_quartets(n, P2(lo), P2(hi), workers, par::MIN_AMPS()).regime);
    }
  }
  if (workers < 2) {
    EXPECT_EQ(walk, std::set<par::Regime>{par::Regime::Sequential});
    EXPECT_EQ(runner, std::set<par::Regime>{par::Regime::Sequential});
  } else {
    EXPECT_EQ(walk, (std::set<par::Regime>{par::Regime::WholeBlocks, par::Regime::LowBlocks,
                                           par::Regime::FourSlice}));
    EXPECT_EQ(runner, std::set<par::Regime>{par::Regime::Chunks});
  }
}

}  // namespace
}  // namespace tavro::kernels
