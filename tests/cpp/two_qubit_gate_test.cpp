// The thirteen two-qubit operations of TavroSV: textbook matrices in long double on varied states
// (the first argument the most significant local bit), in both argument orders; the order of the
// qubit checks and the order of slot allocation.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using CL = std::complex<long double>;
// Column-major (entry r + 4c, row r), as apply_gate_2q takes it; basis (bit of q1 << 1) | bit of
// q2.
using M16 = std::array<CL, 16>;
constexpr double A = 1.2345678901234567;
const long double C = std::cos(A / 2.0L), S = std::sin(A / 2.0L);
const CL I(0, 1),
    J(0, S), P = std::polar(1.0L, A * 1.0L), E = std::polar(1.0L, A / 2.0L), F = std::conj(E);
const std::array<Amp, 16> GATE{Amp(0.5, -0.1),  Amp(-0.3, 0.8),   Amp(0.12, 0.44), Amp(-0.9, -0.2),
                               Amp(0.7, 0.6),   Amp(-0.15, 0.3),  Amp(0.2, -0.95), Amp(1.1, 0.05),
                               Amp(-0.6, -0.4), Amp(0.33, 0.21),  Amp(-1.2, 0.7),  Amp(0.4, -0.38),
                               Amp(0.81, 0.09), Amp(-0.07, -1.3), Amp(0.55, 0.66), Amp(-0.5, 0.25)};

constexpr size_t P2(size_t k) { return size_t{1} << k; }
bool same_bits(std::span<const Amp> a, std::span<const Amp> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Amp)) == 0;
}

// Amplitudes of `got` farther than 1e-13 from m applied to `in` on qubits (q1, q2).
size_t far_from(const M16& m, const std::vector<Amp>& in, std::span<const Amp> got, size_t q1,
                size_t q2) {
  auto cl = [](Amp x) { return CL(x.real(), x.imag()); };
  size_t bad = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const size_t r = (i >> q1 & 1) << 1 | (i >> q2 & 1), rest = i & ~(P2(q1) | P2(q2));
    CL acc = 0;
    for (size_t c = 0; c < 4; ++c)
      acc += m[r + 4 * c] * cl(in[rest | (c >> 1) * P2(q1) | (c & 1) * P2(q2)]);
    bad += !(std::abs(cl(got[i]) - acc) <= 1e-13L);
  }
  return bad;
}

#define OP(call) [](TavroSV& sv, size_t a, size_t b) { return sv.call; }
const struct Op {
  const char* name;
  std::function<Status(TavroSV&, size_t, size_t)> apply;
  M16 m;
} OPS[] = {
    {"cx", OP(apply_cx(a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0}},
    {"cy", OP(apply_cy(a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, I, 0, 0, -I, 0}},
    {"cz", OP(apply_cz(a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1}},
    {"cp", OP(apply_cp(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, P}},
    {"crx", OP(apply_crx(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, C, -J, 0, 0, -J, C}},
    {"cry", OP(apply_cry(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, C, S, 0, 0, -S, C}},
    {"crz", OP(apply_crz(A, a, b)), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, F, 0, 0, 0, 0, E}},
    {"swap", OP(apply_swap(a, b)), {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}},
    {"iswap", OP(apply_iswap(a, b)), {1, 0, 0, 0, 0, 0, I, 0, 0, I, 0, 0, 0, 0, 0, 1}},
    {"rxx", OP(apply_rxx(A, a, b)), {C, 0, 0, -J, 0, C, -J, 0, 0, -J, C, 0, -J, 0, 0, C}},
    {"ryy", OP(apply_ryy(A, a, b)), {C, 0, 0, J, 0, C, -J, 0, 0, -J, C, 0, J, 0, 0, C}},
    {"rzz", OP(apply_rzz(A, a, b)), {F, 0, 0, 0, 0, E, 0, 0, 0, 0, E, 0, 0, 0, 0, F}},
    {"gate_2q",
     OP(apply_gate_2q(GATE, a, b)),
     {GATE[0], GATE[1], GATE[2], GATE[3], GATE[4], GATE[5], GATE[6], GATE[7], GATE[8], GATE[9],
      GATE[10], GATE[11], GATE[12], GATE[13], GATE[14], GATE[15]}},
};

class TwoQubitOp : public testing::TestWithParam<Op> {};

// On 6 qubits: the low pairs, mixed, both high and the top qubit, each in both orders.
const std::pair<size_t, size_t> PAIRS[] = {{0, 1}, {1, 0}, {0, 2}, {2, 0}, {1, 2}, {2, 1},
                                           {0, 4}, {4, 0}, {2, 5}, {5, 2}, {3, 4}, {4, 3}};

TEST_P(TwoQubitOp, MatchesTextbookMatrix) {
  const Op& op = GetParam();
  std::vector<Amp> in(64);
  for (size_t k = 0; k < in.size(); ++k) in[k] = Amp(std::sin(k + 1.0), std::cos(3.0 * k));
  for (const auto& [q1, q2] : PAIRS) {
    TavroSV sv = TavroSV::from_amplitudes(6, in).value();
    ASSERT_TRUE(op.apply(sv, q1, q2));
    EXPECT_EQ(far_from(op.m, in, sv.amplitudes(), q1, q2), 0u) << q1 << ", " << q2;
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
      const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
      const Status r = GetParam().apply(sv, q1, q2);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), named == SIZE_MAX
                                         ? "two-qubit gate operands must be distinct, got (2, 2)"
                                         : "qubit index " + std::to_string(named) +
                                               " out of bounds for state vector with 3 qubits");
      EXPECT_TRUE(same_bits(sv.amplitudes(), before));
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

}  // namespace
}  // namespace tavro
