// The thirteen two-qubit operations of TavroSV: textbook matrices in long double on random states,
// the order of the qubit checks and of slot allocation, the half-angle parameters to the bit, and
// the symmetries the operations promise.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using CL = std::complex<long double>;
using M44 = std::array<std::array<CL, 4>, 4>;  // [row][column], basis (bit q1 << 1) | bit q2

constexpr size_t P2(size_t k) { return size_t{1} << k; }
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

TavroSV must(Result<TavroSV> r) {
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return std::move(*r);
}

std::vector<Amp> random_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(u(gen), u(gen));
  return v;
}

std::vector<Amp> contents(const TavroSV& sv) {
  return {sv.amplitudes().begin(), sv.amplitudes().end()};
}

bool same_bits(const std::vector<Amp>& a, const std::vector<Amp>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Amp)) == 0;
}

// ---- the operations ----

enum class Op { Cx, Cy, Cz, Cp, Crx, Cry, Crz, Swap, Iswap, Rxx, Ryy, Rzz, Gate2q };

struct OpInfo {
  const char* name;
  Op op;
};

const OpInfo OPS[] = {
    {"cx", Op::Cx},          {"cy", Op::Cy},   {"cz", Op::Cz},   {"cp", Op::Cp},
    {"crx", Op::Crx},        {"cry", Op::Cry}, {"crz", Op::Crz}, {"swap", Op::Swap},
    {"iswap", Op::Iswap},    {"rxx", Op::Rxx}, {"ryy", Op::Ryy}, {"rzz", Op::Rzz},
    {"gate_2q", Op::Gate2q},
};

std::string op_name(const testing::TestParamInfo<OpInfo>& info) { return info.param.name; }

constexpr double ANGLE = 1.2345678901234567;
const std::array<Amp, 16> GATE{Amp(0.5, -0.1),  Amp(-0.3, 0.8),   Amp(0.12, 0.44), Amp(-0.9, -0.2),
                               Amp(0.7, 0.6),   Amp(-0.15, 0.3),  Amp(0.2, -0.95), Amp(1.1, 0.05),
                               Amp(-0.6, -0.4), Amp(0.33, 0.21),  Amp(-1.2, 0.7),  Amp(0.4, -0.38),
                               Amp(0.81, 0.09), Amp(-0.07, -1.3), Amp(0.55, 0.66), Amp(-0.5, 0.25)};

Status call(TavroSV& sv, Op op, size_t q1, size_t q2, double angle = ANGLE) {
  switch (op) {
    case Op::Cx:
      return sv.apply_cx(q1, q2);
    case Op::Cy:
      return sv.apply_cy(q1, q2);
    case Op::Cz:
      return sv.apply_cz(q1, q2);
    case Op::Cp:
      return sv.apply_cp(angle, q1, q2);
    case Op::Crx:
      return sv.apply_crx(angle, q1, q2);
    case Op::Cry:
      return sv.apply_cry(angle, q1, q2);
    case Op::Crz:
      return sv.apply_crz(angle, q1, q2);
    case Op::Swap:
      return sv.apply_swap(q1, q2);
    case Op::Iswap:
      return sv.apply_iswap(q1, q2);
    case Op::Rxx:
      return sv.apply_rxx(angle, q1, q2);
    case Op::Ryy:
      return sv.apply_ryy(angle, q1, q2);
    case Op::Rzz:
      return sv.apply_rzz(angle, q1, q2);
    case Op::Gate2q:
      return sv.apply_gate_2q(GATE, q1, q2);
  }
  return {};
}

// The textbook matrix, the first argument the most significant local bit (the control of the
// controlled gates).
M44 textbook(Op op) {
  M44 m{};
  const CL i(0.0L, 1.0L);
  const long double a = ANGLE, c = std::cos(a / 2), s = std::sin(a / 2);
  switch (op) {
    case Op::Cx:
      m[0][0] = m[1][1] = m[2][3] = m[3][2] = 1.0L;
      break;
    case Op::Cy:
      m[0][0] = m[1][1] = 1.0L;
      m[2][3] = -i;
      m[3][2] = i;
      break;
    case Op::Cz:
      m[0][0] = m[1][1] = m[2][2] = 1.0L;
      m[3][3] = -1.0L;
      break;
    case Op::Cp:
      m[0][0] = m[1][1] = m[2][2] = 1.0L;
      m[3][3] = std::polar(1.0L, a);
      break;
    case Op::Crx:  // [[c, -i s], [-i s, c]]
      m[0][0] = m[1][1] = 1.0L;
      m[2][2] = m[3][3] = c;
      m[2][3] = m[3][2] = -i * s;
      break;
    case Op::Cry:  // [[c, -s], [s, c]]
      m[0][0] = m[1][1] = 1.0L;
      m[2][2] = m[3][3] = c;
      m[2][3] = -s;
      m[3][2] = s;
      break;
    case Op::Crz:
      m[0][0] = m[1][1] = 1.0L;
      m[2][2] = std::polar(1.0L, -a / 2);
      m[3][3] = std::polar(1.0L, a / 2);
      break;
    case Op::Swap:
      m[0][0] = m[1][2] = m[2][1] = m[3][3] = 1.0L;
      break;
    case Op::Iswap:
      m[0][0] = m[3][3] = 1.0L;
      m[1][2] = m[2][1] = i;
      break;
    case Op::Rxx:  // c I - i s X x X
      for (size_t k = 0; k < 4; ++k) m[k][k] = c, m[k][3 - k] = -i * s;
      break;
    case Op::Ryy:  // c I - i s Y x Y; Y x Y has -1 at (0,3), (3,0) and +1 at (1,2), (2,1)
      for (size_t k = 0; k < 4; ++k) m[k][k] = c;
      m[0][3] = m[3][0] = i * s;
      m[1][2] = m[2][1] = -i * s;
      break;
    case Op::Rzz:
      m[0][0] = m[3][3] = std::polar(1.0L, -a / 2);
      m[1][1] = m[2][2] = std::polar(1.0L, a / 2);
      break;
    case Op::Gate2q:
      for (size_t r = 0; r < 4; ++r) {
        for (size_t col = 0; col < 4; ++col) {
          m[r][col] = CL(GATE[r + 4 * col].real(), GATE[r + 4 * col].imag());
        }
      }
      break;
  }
  return m;
}

std::vector<Amp> reference(const M44& m, const std::vector<Amp>& in, size_t s1, size_t s2) {
  std::vector<Amp> out = in;
  for (size_t i = 0; i < in.size(); ++i) {
    if ((i & (P2(s1) | P2(s2))) != 0) continue;
    const size_t idx[4] = {i, i | P2(s2), i | P2(s1), i | P2(s1) | P2(s2)};
    for (size_t r = 0; r < 4; ++r) {
      CL acc = 0.0L;
      for (size_t c = 0; c < 4; ++c) acc += m[r][c] * CL(in[idx[c]].real(), in[idx[c]].imag());
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

struct QubitPair {
  size_t q1, q2;
};

// On 6 qubits: low pairs, mixed, both high, the top qubit, each in both orders.
const QubitPair PAIRS[] = {{0, 1}, {1, 0}, {0, 2}, {2, 0}, {1, 2}, {2, 1}, {0, 4}, {4, 0}, {1, 3},
                           {3, 1}, {2, 5}, {5, 2}, {3, 4}, {4, 3}, {0, 5}, {5, 0}, {4, 5}, {5, 4}};

std::string pair_trace(const QubitPair& p) {
  return "qubits (" + std::to_string(p.q1) + ", " + std::to_string(p.q2) + ")";
}

class TwoQubitOp : public testing::TestWithParam<OpInfo> {};

TEST_P(TwoQubitOp, MatchesTextbookMatrix) {
  const Op op = GetParam().op;
  const std::vector<Amp> in = random_amps(P2(6), 21);
  for (const QubitPair& p : PAIRS) {
    SCOPED_TRACE(pair_trace(p));
    TavroSV sv = must(TavroSV::from_amplitudes(6, in));
    ASSERT_TRUE(call(sv, op, p.q1, p.q2).has_value());
    EXPECT_EQ(far_from(contents(sv), reference(textbook(op), in, p.q1, p.q2), 1e-13), 0u);
  }
}

// ---- checks, in order, before anything changes ----

enum class Want { Range, Duplicate };

struct CheckCase {
  const char* name;
  uint32_t num_qubits;
  size_t q1, q2;
  Want want;
  size_t qubit;  // the qubit the error names
};

const CheckCase CHECK_CASES[] = {
    {"first_out", 3, 5, 0, Want::Range, 5},
    {"both_out_first_named", 3, 5, 7, Want::Range, 5},
    {"second_out", 3, 0, 5, Want::Range, 5},
    {"second_just_out", 3, 1, 3, Want::Range, 3},
    {"equal_and_out_is_range", 3, 3, 3, Want::Range, 3},
    {"equal_zero", 3, 0, 0, Want::Duplicate, 0},
    {"equal_two", 4, 2, 2, Want::Duplicate, 2},
};

TEST_P(TwoQubitOp, ChecksRangeOfFirstThenSecondThenDuplicate) {
  const Op op = GetParam().op;
  for (const CheckCase& c : CHECK_CASES) {
    for (bool dynamic : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (dynamic ? " dynamic" : " static"));
      TavroSV sv =
          must(dynamic ? TavroSV::zero_dynamic(c.num_qubits) : TavroSV::zero(c.num_qubits));
      const std::vector<Amp> before = contents(sv);
      const Status r = call(sv, op, c.q1, c.q2);
      ASSERT_FALSE(r.has_value());
      if (c.want == Want::Range) {
        const auto* e = r.error().get_if<QubitIndexOutOfBounds>();
        ASSERT_NE(e, nullptr) << r.error().debug();
        EXPECT_EQ(e->qubit, c.qubit);
        EXPECT_EQ(e->num_qubits, c.num_qubits);
      } else {
        const auto* e = r.error().get_if<DuplicateQubits>();
        ASSERT_NE(e, nullptr) << r.error().debug();
        EXPECT_EQ(e->qubit, c.qubit);
      }
      // Nothing allocated, nothing written.
      EXPECT_TRUE(same_bits(contents(sv), before));
      EXPECT_EQ(sv.live_qubits(), dynamic ? 0u : c.num_qubits);
      if (dynamic) {
        for (size_t q = 0; q < c.num_qubits; ++q) EXPECT_FALSE(sv.is_allocated(q));
      }
    }
  }
}

// ---- slots on a dynamic state: the first argument is allocated first ----

TEST_P(TwoQubitOp, FirstArgumentReceivesTheLowerNewSlot) {
  const Op op = GetParam().op;
  TavroSV sv = must(TavroSV::zero_dynamic(5));
  ASSERT_TRUE(call(sv, op, 4, 2).has_value());
  ASSERT_NE(sv.slots(), nullptr);
  const SlotTable& t = *sv.slots();
  EXPECT_EQ(t[4], 0);
  EXPECT_EQ(t[2], 1);
  EXPECT_EQ(t[64], 4);
  EXPECT_EQ(t[65], 2);
  EXPECT_EQ(sv.len(), 4u);
  EXPECT_EQ(sv.live_qubits(), 2u);

  // An allocated second argument keeps its slot; the untouched first one gets the next.
  ASSERT_TRUE(call(sv, op, 0, 4).has_value());
  EXPECT_EQ(t[0], 2);
  EXPECT_EQ(t[4], 0);
  EXPECT_EQ(t[66], 0);
  EXPECT_EQ(sv.len(), 8u);
}

// A circuit on a dynamic state, whose qubits land in scrambled slots, reads back logically as the
// same circuit on a static state.
TEST(TwoQubitDynamic, LogicalResultMatchesStaticState) {
  TavroSV st = must(TavroSV::zero(5));
  TavroSV dy = must(TavroSV::zero_dynamic(5));
  const struct {
    Op op;
    size_t q1, q2;
    double angle;
  } circuit[] = {{Op::Rxx, 3, 1, 0.9},  {Op::Ryy, 0, 3, 1.7},  {Op::Crx, 1, 4, 2.1},
                 {Op::Gate2q, 2, 4, 0}, {Op::Cry, 4, 0, -0.8}, {Op::Cx, 3, 2, 0},
                 {Op::Cy, 2, 0, 0},     {Op::Swap, 4, 1, 0},   {Op::Iswap, 0, 2, 0},
                 {Op::Cp, 1, 3, 0.6},   {Op::Crz, 0, 4, 1.3},  {Op::Rzz, 2, 1, -2.2},
                 {Op::Cz, 4, 3, 0},     {Op::Rxx, 2, 0, 0.4}};
  for (const auto& g : circuit) {
    ASSERT_TRUE(call(st, g.op, g.q1, g.q2, g.angle).has_value());
    ASSERT_TRUE(call(dy, g.op, g.q1, g.q2, g.angle).has_value());
  }
  // First touches: 3, 1, 0, 4, 2.
  const SlotTable& t = *dy.slots();
  EXPECT_EQ((std::array<int, 5>{t[0], t[1], t[2], t[3], t[4]}),
            (std::array<int, 5>{2, 1, 4, 0, 3}));
  double norm = 0.0;
  for (size_t idx = 0; idx < 32; ++idx) {
    const Amp want = *st.get(idx);
    const Amp got = *dy.get_logical(idx);
    norm += std::norm(want);
    EXPECT_NEAR(got.real(), want.real(), 1e-13) << idx;
    EXPECT_NEAR(got.imag(), want.imag(), 1e-13) << idx;
  }
  EXPECT_GT(norm, 0.5);  // the circuit spreads the weight, so the comparison means something
}

INSTANTIATE_TEST_SUITE_P(Ops, TwoQubitOp, testing::ValuesIn(OPS), op_name);

// ---- parameters to the bit ----

// One basis amplitude |control = 1, target = 0> = (1, 0) at low slots (plain form): the two
// outputs are exactly the matrix column, c and s from one sincos of angle * 0.5.
struct ColumnCase {
  const char* name;
  Op op;
  double angle;
  Amp (*x)(double c, double s);  // new amplitude at target 0
  Amp (*y)(double c, double s);  // new amplitude at target 1
};

const ColumnCase COLUMN_CASES[] = {
    {"crx", Op::Crx, 0.77, [](double c, double) { return Amp(c, 0.0); },
     [](double, double s) { return Amp(0.0, -s); }},
    {"cry", Op::Cry, 0.77, [](double c, double) { return Amp(c, 0.0); },
     [](double, double s) { return Amp(s, 0.0); }},
    {"cry_pi", Op::Cry, M_PI, [](double c, double) { return Amp(c, 0.0); },
     [](double, double s) { return Amp(s, 0.0); }},
    {"crz", Op::Crz, -2.5, [](double c, double s) { return Amp(c, -s); },
     [](double, double) { return Amp(0.0, 0.0); }},
    {"crx_negative", Op::Crx, -3.9, [](double c, double) { return Amp(c, 0.0); },
     [](double, double s) { return Amp(0.0, -s); }},
};

class HalfAngleColumn : public testing::TestWithParam<ColumnCase> {};

TEST_P(HalfAngleColumn, ExactBits) {
  const ColumnCase& k = GetParam();
  double s = 0.0, c = 0.0;
  ::sincos(k.angle * 0.5, &s, &c);
  for (const QubitPair& p : {QubitPair{0, 1}, QubitPair{1, 0}}) {
    SCOPED_TRACE(pair_trace(p));
    std::vector<Amp> in(4, Amp(0.0, 0.0));
    in[P2(p.q1)] = Amp(1.0, 0.0);
    TavroSV sv = must(TavroSV::from_amplitudes(2, in));
    ASSERT_TRUE(call(sv, k.op, p.q1, p.q2, k.angle).has_value());
    const Amp x = *sv.get(P2(p.q1)), y = *sv.get(P2(p.q1) | P2(p.q2));
    EXPECT_EQ(bits(x.real()), bits(k.x(c, s).real()));
    EXPECT_EQ(bits(x.imag()), bits(k.x(c, s).imag()));
    // By value: the zero terms of the second output may carry either sign.
    EXPECT_EQ(y.real(), k.y(c, s).real());
    EXPECT_EQ(y.imag(), k.y(c, s).imag());
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, HalfAngleColumn, testing::ValuesIn(COLUMN_CASES),
                         [](const testing::TestParamInfo<ColumnCase>& i) { return i.param.name; });

TEST(TwoQubitFacts, CrxOfZeroKeepsControlZeroBitsAndValuesElsewhere) {
  const std::vector<Amp> in = random_amps(P2(5), 31);
  for (const QubitPair& p : {QubitPair{0, 1}, QubitPair{3, 0}, QubitPair{2, 4}, QubitPair{4, 2}}) {
    SCOPED_TRACE(pair_trace(p));
    TavroSV sv = must(TavroSV::from_amplitudes(5, in));
    ASSERT_TRUE(sv.apply_crx(0.0, p.q1, p.q2).has_value());
    size_t bad = 0;
    for (size_t k = 0; k < in.size(); ++k) {
      const Amp got = *sv.get(k);
      if ((k >> p.q1) & 1) {
        bad += got != in[k];
      } else {
        bad += std::memcmp(&got, &in[k], sizeof(Amp)) != 0;
      }
    }
    EXPECT_EQ(bad, 0u);
  }
}

TEST(TwoQubitFacts, RxxOfPiSendsZeroZeroToMinusIOneOne) {
  for (const QubitPair& p : {QubitPair{0, 1}, QubitPair{2, 0}, QubitPair{3, 2}}) {
    SCOPED_TRACE(pair_trace(p));
    TavroSV sv = must(TavroSV::zero(4));
    ASSERT_TRUE(sv.apply_rxx(M_PI, p.q1, p.q2).has_value());
    const Amp a11 = *sv.get(P2(p.q1) | P2(p.q2));
    const Amp a00 = *sv.get(0);
    EXPECT_EQ(a11.imag(), -1.0);
    EXPECT_EQ(a11.real(), 0.0);
    EXPECT_NEAR(a00.real(), 0.0, 1e-16);  // cos(pi/2) rounded, about 6.1e-17
    EXPECT_GT(a00.real(), 0.0);
  }
}

// X on q2 where q1 is 1, as a dense matrix: entries 0, 5, 11 and 14.
TEST(TwoQubitFacts, DenseCxMatrixGivesTheValuesOfCx) {
  std::array<Amp, 16> cx{};
  cx[0] = cx[5] = cx[11] = cx[14] = Amp(1.0, 0.0);
  const std::vector<Amp> in = random_amps(P2(6), 41);
  for (const QubitPair& p : PAIRS) {
    SCOPED_TRACE(pair_trace(p));
    TavroSV dense = must(TavroSV::from_amplitudes(6, in));
    TavroSV direct = must(TavroSV::from_amplitudes(6, in));
    ASSERT_TRUE(dense.apply_gate_2q(cx, p.q1, p.q2).has_value());
    ASSERT_TRUE(direct.apply_cx(p.q1, p.q2).has_value());
    EXPECT_EQ(contents(dense), contents(direct));
  }
}

// Gates symmetric in their qubits give the same bits with the arguments exchanged.
TEST(TwoQubitFacts, SymmetricGatesIgnoreArgumentOrder) {
  const std::vector<Amp> in = random_amps(P2(6), 51);
  for (Op op : {Op::Cz, Op::Cp, Op::Swap, Op::Iswap, Op::Rxx, Op::Ryy, Op::Rzz}) {
    for (const QubitPair& p : PAIRS) {
      SCOPED_TRACE(pair_trace(p) + " op " + std::to_string(static_cast<int>(op)));
      TavroSV a = must(TavroSV::from_amplitudes(6, in));
      TavroSV b = must(TavroSV::from_amplitudes(6, in));
      ASSERT_TRUE(call(a, op, p.q1, p.q2).has_value());
      ASSERT_TRUE(call(b, op, p.q2, p.q1).has_value());
      EXPECT_TRUE(same_bits(contents(a), contents(b)));
    }
  }
}

// apply_swap_slots moves amplitudes only: a dynamic state's table stays as it was.
TEST(TwoQubitFacts, SwapSlotsLeavesTheSlotTable) {
  TavroSV sv = must(TavroSV::zero_dynamic(4));
  ASSERT_TRUE(sv.apply_rxx(0.9, 3, 1).has_value());
  ASSERT_TRUE(sv.apply_cry(1.4, 1, 2).has_value());
  const SlotTable table = *sv.slots();
  const std::vector<Amp> before = contents(sv);
  ASSERT_TRUE(sv.apply_swap_slots(0, 2).has_value());
  EXPECT_EQ(*sv.slots(), table);
  const std::vector<Amp> after = contents(sv);
  size_t bad = 0;
  for (size_t k = 0; k < before.size(); ++k) {
    const size_t j = (k & ~size_t{5}) | ((k & 1) << 2) | ((k >> 2) & 1);  // bits 0 and 2 exchanged
    bad += std::memcmp(&after[k], &before[j], sizeof(Amp)) != 0;
  }
  EXPECT_EQ(bad, 0u);
}

}  // namespace
}  // namespace tavro
