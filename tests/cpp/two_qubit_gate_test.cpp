// The thirteen two-qubit operations of TavroSV: textbook matrices in long double on random states
// (the first argument the most significant local bit), exchanged arguments of the symmetric gates,
// the order of the qubit checks, the order of slot allocation, and the half-angle parameters.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using CL = std::complex<long double>;
using M16 = std::array<CL, 16>;  // row-major, basis (bit of q1 << 1) | bit of q2
constexpr double A = 1.2345678901234567;
const long double C = std::cos(A / 2.0L), S = std::sin(A / 2.0L);
const CL I(0, 1),
    J(0, S), P = std::polar(1.0L, A * 1.0L), E = std::polar(1.0L, A / 2.0L), F = std::conj(E);
const std::array<Amp, 16> GATE{Amp(0.5, -0.1),  Amp(-0.3, 0.8),   Amp(0.12, 0.44), Amp(-0.9, -0.2),
                               Amp(0.7, 0.6),   Amp(-0.15, 0.3),  Amp(0.2, -0.95), Amp(1.1, 0.05),
                               Amp(-0.6, -0.4), Amp(0.33, 0.21),  Amp(-1.2, 0.7),  Amp(0.4, -0.38),
                               Amp(0.81, 0.09), Amp(-0.07, -1.3), Amp(0.55, 0.66), Amp(-0.5, 0.25)};

std::vector<Amp> contents(const TavroSV& sv) {
  return {sv.amplitudes().begin(), sv.amplitudes().end()};
}
bool same_bits(const std::vector<Amp>& a, const std::vector<Amp>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Amp)) == 0;
}

// Amplitudes of `got` farther than 1e-13 from m applied to `in` on qubits (q1, q2).
size_t far_from(const M16& m, const std::vector<Amp>& in, const std::vector<Amp>& got, size_t q1,
                size_t q2) {
  size_t bad = 0;
  const size_t b1 = size_t{1} << q1, b2 = size_t{1} << q2;
  for (size_t i = 0; i < in.size(); ++i) {
    if (i & (b1 | b2)) continue;
    const size_t idx[4] = {i, i | b2, i | b1, i | b1 | b2};
    for (size_t r = 0; r < 4; ++r) {
      CL acc = 0;
      for (size_t c = 0; c < 4; ++c) acc += m[4 * r + c] * CL(in[idx[c]].real(), in[idx[c]].imag());
      bad += !(std::abs(CL(got[idx[r]].real(), got[idx[r]].imag()) - acc) <= 1e-13L);
    }
  }
  return bad;
}

M16 gate_matrix() {
  M16 m;
  for (size_t k = 0; k < 16; ++k) m[4 * (k % 4) + k / 4] = CL(GATE[k].real(), GATE[k].imag());
  return m;
}

#define OP(call) [](TavroSV& sv, size_t a, size_t b) { return sv.call; }
const struct Op {
  const char* name;
  std::function<Status(TavroSV&, size_t, size_t)> apply;
  M16 m;
  bool symmetric;  // the same bits with the arguments exchanged
} OPS[] = {
    {"cx", OP(apply_cx(a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0}, false},
    {"cy", OP(apply_cy(a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, -I, 0, 0, I, 0}, false},
    {"cz", OP(apply_cz(a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1}, true},
    {"cp", OP(apply_cp(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, P}, true},
    {"crx", OP(apply_crx(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, C, -J, 0, 0, -J, C}, false},
    {"cry", OP(apply_cry(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, C, -S, 0, 0, S, C}, false},
    {"crz", OP(apply_crz(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, F, 0, 0, 0, 0, E}, false},
    {"swap", OP(apply_swap(a, b)), {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}, true},
    {"iswap", OP(apply_iswap(a, b)), {1, 0, 0, 0, 0, 0, I, 0, 0, I, 0, 0, 0, 0, 0, 1}, true},
    {"rxx", OP(apply_rxx(A, a, b)), {C, 0, 0, -J, 0, C, -J, 0, 0, -J, C, 0, -J, 0, 0, C}, true},
    {"ryy", OP(apply_ryy(A, a, b)), {C, 0, 0, J, 0, C, -J, 0, 0, -J, C, 0, J, 0, 0, C}, true},
    {"rzz", OP(apply_rzz(A, a, b)), {F, 0, 0, 0, 0, E, 0, 0, 0, 0, E, 0, 0, 0, 0, F}, true},
    {"gate_2q", OP(apply_gate_2q(GATE, a, b)), gate_matrix(), false},
};

class TwoQubitOp : public testing::TestWithParam<Op> {};

// On 6 qubits: low pairs, mixed, both high and the top qubit, each in both orders.
TEST_P(TwoQubitOp, MatchesTextbookMatrix) {
  const Op& op = GetParam();
  std::vector<Amp> in(64);
  for (size_t k = 0; k < in.size(); ++k) in[k] = Amp(std::sin(k + 1.0), std::cos(3.0 * k));
  for (const auto& [q1, q2] :
       {std::pair{0, 1}, {1, 0}, {0, 2}, {2, 1}, {0, 4}, {4, 0}, {2, 5}, {5, 2}, {3, 4}, {5, 3}}) {
    TavroSV sv = TavroSV::from_amplitudes(6, in).value();
    TavroSV other = TavroSV::from_amplitudes(6, in).value();
    ASSERT_TRUE(op.apply(sv, q1, q2));
    EXPECT_EQ(far_from(op.m, in, contents(sv), q1, q2), 0u) << q1 << ", " << q2;
    ASSERT_TRUE(op.apply(other, q2, q1));
    EXPECT_EQ(same_bits(contents(sv), contents(other)), op.symmetric) << q1 << ", " << q2;
  }
}

// The range of the first, then of the second argument, then the duplicate, all before any slot is
// allocated or any amplitude changes.
TEST_P(TwoQubitOp, ChecksInOrderBeforeAnyChange) {
  // (first, second, the qubit a range error names; none for the duplicate)
  const std::array<size_t, 3> cases[] = {{5, 7, 5}, {0, 3, 3}, {3, 3, 3}, {2, 2, SIZE_MAX}};
  for (const auto& [q1, q2, named] : cases) {
    for (const bool dynamic : {false, true}) {
      TavroSV sv = (dynamic ? TavroSV::zero_dynamic(3) : TavroSV::zero(3)).value();
      const std::vector<Amp> before = contents(sv);
      const Status r = GetParam().apply(sv, q1, q2);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), named == SIZE_MAX
                                         ? "two-qubit gate operands must be distinct, got (2, 2)"
                                         : "qubit index " + std::to_string(named) +
                                               " out of bounds for state vector with 3 qubits");
      EXPECT_TRUE(same_bits(contents(sv), before));
      EXPECT_EQ(sv.live_qubits(), dynamic ? 0u : 3u);
    }
  }
}

// On a dynamic state the first argument is allocated first; an allocated one keeps its slot.
TEST_P(TwoQubitOp, FirstArgumentAllocatedFirst) {
  TavroSV sv = TavroSV::zero_dynamic(5).value();
  ASSERT_TRUE(GetParam().apply(sv, 4, 2));
  const SlotTable& t = *sv.slots();
  EXPECT_EQ((std::array{t[4], t[2], t[64], t[65]}), (std::array<uint8_t, 4>{0, 1, 4, 2}));
  EXPECT_EQ(sv.len(), 4u);
  ASSERT_TRUE(GetParam().apply(sv, 0, 4));
  EXPECT_EQ((std::array{t[0], t[4], t[66]}), (std::array<uint8_t, 3>{2, 0, 0}));
  EXPECT_EQ(sv.len(), 8u);
}

INSTANTIATE_TEST_SUITE_P(Ops, TwoQubitOp, testing::ValuesIn(OPS),
                         [](const auto& info) { return std::string(info.param.name); });

// |control 1, target 0> = (1, 0) at low slots: the outputs are the matrix column, c and s from
// the sine and cosine of angle * 0.5, exactly.
TEST(TwoQubitBits, HalfAngleColumn) {
  for (const double angle : {0.77, M_PI, -3.9}) {
    const double c = std::cos(angle * 0.5), s = std::sin(angle * 0.5);
    for (const bool cry : {false, true}) {
      TavroSV sv = TavroSV::from_amplitudes(2, std::vector<Amp>{0, 0, 1, 0}).value();
      ASSERT_TRUE(cry ? sv.apply_cry(angle, 1, 0) : sv.apply_crx(angle, 1, 0));
      EXPECT_EQ(std::bit_cast<uint64_t>(sv.get(2)->real()), std::bit_cast<uint64_t>(c));
      EXPECT_EQ(std::bit_cast<uint64_t>(sv.get(2)->imag()), 0u);
      EXPECT_EQ(*sv.get(3), cry ? Amp(s, 0.0) : Amp(0.0, -s));
    }
  }
}

}  // namespace
}  // namespace tavro
