// The fifteen one-qubit gate operations: values against an independent long double 2x2 reference,
// first touch on a dynamic state, the range check before any change, the untouched low half of the
// diagonal gates, and the fixed bits of basis states and of U's matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "state/sv.hpp"

namespace tavro {
namespace {

using CL = std::complex<long double>;
using Matrix = std::array<CL, 4>;  // column-major [U00, U10, U01, U11]
constexpr double THETA = 0.7310, PHI = -1.234, LAMBDA = 2.468;
constexpr uint64_t K_BITS = 0x3FE6A09E667F3BCD;
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// Random parts, or NaN payloads, a signalling NaN, infinities and signed zeros.
std::vector<Amp> make_amps(size_t n, uint32_t seed, bool special = false) {
  const double inf = std::numeric_limits<double>::infinity(),
               qnan = std::bit_cast<double>(0x7FF8000000000ABC);
  const double few[] = {
      0.0, -0.0, 0.75, inf, -inf, qnan, std::bit_cast<double>(0x7FF0000000000009)};
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = special ? Amp(few[gen() % 7], few[gen() % 7]) : Amp(u(gen), u(gen));
  return v;
}

// Amplitudes farther than 1e-13 from the matrix applied on `slot` of `in` in long double.
size_t mismatches(std::span<const Amp> in, std::span<const Amp> got, size_t slot, const Matrix& m) {
  size_t bad = 0;
  const size_t s = size_t{1} << slot;
  for (size_t i = 0; i < in.size(); ++i) {
    const CL a0 = CL(in[i & ~s].real(), in[i & ~s].imag()),
             a1 = CL(in[i | s].real(), in[i | s].imag());
    const CL want = (i & s) ? m[1] * a0 + m[3] * a1 : m[0] * a0 + m[2] * a1;
    bad += !(std::abs(CL(got[i].real(), got[i].imag()) - want) <= 1e-13L);
  }
  return bad;
}

CL expi(long double x) { return {std::cos(x), std::sin(x)}; }
Matrix phase(long double l) { return {1, 0, 0, expi(l)}; }
const long double R = 1 / std::sqrt(2.0L), CH = std::cos(THETA / 2.0L), SH = std::sin(THETA / 2.0L);
const std::array<Amp, 4> GATE_M{Amp(0.3, -0.7), Amp(1.25, 0.5), Amp(-2.0, 0.125), Amp(0.0, -0.9)};

// The diagonal gates diag(1, d1) come first: their low amplitudes never change.
enum Gate : size_t { Z, S, SDG, T, TDG, P, H, X, Y, SX, RX, RY, RZ, U, GATE, END };
#define OP(call) [](TavroSV& sv, size_t q) { return sv.call; }
const struct {
  const char* name;
  std::function<Status(TavroSV&, size_t)> apply;
  Matrix m;
} GATES[] = {
    {"z", OP(apply_z(q)), {1, 0, 0, -1}},
    {"s", OP(apply_s(q)), {1, 0, 0, CL(0, 1)}},
    {"sdg", OP(apply_sdg(q)), {1, 0, 0, CL(0, -1)}},
    {"t", OP(apply_t(q)), phase(M_PIl / 4)},
    {"tdg", OP(apply_tdg(q)), phase(-M_PIl / 4)},
    {"p", OP(apply_p(LAMBDA, q)), phase(LAMBDA)},
    {"h", OP(apply_h(q)), {R, R, R, -R}},
    {"x", OP(apply_x(q)), {0, 1, 1, 0}},
    {"y", OP(apply_y(q)), {0, CL(0, 1), CL(0, -1), 0}},
    {"sx", OP(apply_sx(q)), {CL(.5, .5), CL(.5, -.5), CL(.5, -.5), CL(.5, .5)}},
    {"rx", OP(apply_rx(THETA, q)), {CH, CL(0, -SH), CL(0, -SH), CH}},
    {"ry", OP(apply_ry(THETA, q)), {CH, SH, -SH, CH}},
    {"rz", OP(apply_rz(LAMBDA, q)), {expi(-LAMBDA / 2.0L), 0, 0, expi(LAMBDA / 2.0L)}},
    {"u",
     OP(apply_u(THETA, PHI, LAMBDA, q)),
     {CH, expi(PHI) * SH, -expi(LAMBDA) * SH, expi(PHI + LAMBDA) * CH}},
    {"gate_1q",
     OP(apply_gate_1q(GATE_M, q)),
     {CL(.3, -.7), CL(1.25, .5), CL(-2.0, .125), CL(0, -.9)}},
};

class OneQubitGate : public testing::TestWithParam<Gate> {};

TEST_P(OneQubitGate, ValuesFirstTouchRangeAndLowHalf) {
  const Gate g = GetParam();
  // Group slots 0-2, pair slots, the top slot; 18 qubits take the parallel paths.
  for (const auto& [n, slots] :
       {std::pair{7u, std::vector<size_t>{0, 1, 2, 3, 6}}, {18u, {0, 3, 17}}}) {
    for (const size_t q : slots) {
      TavroSV sv = TavroSV::from_amplitudes(n, make_amps(size_t{1} << n, 200 + q)).value();
      const std::vector<Amp> in(sv.amplitudes().begin(), sv.amplitudes().end());
      ASSERT_TRUE(GATES[g].apply(sv, q).has_value());
      EXPECT_EQ(mismatches(in, sv.amplitudes(), q, GATES[g].m), 0u) << "n=" << n << " q=" << q;
      if (g >= H) continue;
      // NaN payloads, a signalling NaN and signed zeros with the target bit clear keep their bits.
      const std::vector<Amp> special = make_amps(sv.len(), 7 + q, true);
      std::copy(special.begin(), special.end(), sv.amps().begin());
      ASSERT_TRUE(GATES[g].apply(sv, q).has_value());
      for (size_t i = 0; i < special.size(); ++i) {
        if ((i >> q) & 1) continue;
        ASSERT_EQ(std::memcmp(&sv.amplitudes()[i], &special[i], sizeof(Amp)), 0)
            << "q=" << q << " i=" << i;
      }
    }
  }
  // Qubits 3 and 1 live; untouched qubit 0 takes slot 2, the buffer doubles with zeros, and the
  // gate acts on the extended state (the diagonal gates allocate too, on |0>).
  TavroSV dyn = TavroSV::zero_dynamic(4).value();
  ASSERT_TRUE(dyn.resolve(3) && dyn.resolve(1));
  std::vector<Amp> extended = make_amps(4, 9);
  std::copy(extended.begin(), extended.end(), dyn.amps().begin());
  extended.resize(8, Amp(0.0, 0.0));
  ASSERT_TRUE(GATES[g].apply(dyn, 0).has_value());
  EXPECT_EQ(dyn.live_qubits(), 3u);
  EXPECT_EQ((*dyn.slots())[0], 2);
  EXPECT_EQ((*dyn.slots())[64 + 2], 0);
  EXPECT_EQ(mismatches(extended, dyn.amplitudes(), 2, GATES[g].m), 0u);
  // A target at or above the declared count, not the live one, fails before anything is touched.
  const std::vector<Amp> before(dyn.amplitudes().begin(), dyn.amplitudes().end());
  const SlotTable table = *dyn.slots();
  for (const size_t target : {size_t{4}, SIZE_MAX}) {
    const Status r = GATES[g].apply(dyn, target);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "qubit index " + std::to_string(target) +
                                       " out of bounds for state vector with 4 qubits");
    EXPECT_TRUE(std::equal(before.begin(), before.end(), dyn.amplitudes().begin(),
                           dyn.amplitudes().end(),
                           [](Amp x, Amp y) { return std::memcmp(&x, &y, sizeof x) == 0; }));
    EXPECT_EQ(*dyn.slots(), table);
  }
}

INSTANTIATE_TEST_SUITE_P(OneQubit, OneQubitGate, testing::Range(Z, END),
                         [](const auto& info) { return std::string(GATES[info.param].name); });

// Exact bits from basis states: H's factor on group and pair slots, the T and Tdg pair (one ulp
// apart), and the cosine and sine of the half angle (of the full angle for P).
TEST(OneQubitBits, BasisStates) {
  // (qubits, target, input basis state, gate, bits of (re, im) with the target bit clear, then set)
  const std::tuple<uint32_t, size_t, size_t, Gate, std::array<uint64_t, 4>> cases[] = {
      {1, 0, 0, H, {K_BITS, 0, K_BITS, 0}},
      {5, 4, 0, H, {K_BITS, 0, K_BITS, 0}},
      {4, 0, 1, T, {0, 0, K_BITS, 0x3FE6A09E667F3BCC}},
      {4, 3, 8, TDG, {0, 0, K_BITS, 0xBFE6A09E667F3BCC}},
      {3, 0, 0, RX, {bits(std::cos(THETA * 0.5)), 0, 0, bits(-std::sin(THETA * 0.5))}},
      {3, 2, 0, RZ, {bits(std::cos(LAMBDA * 0.5)), bits(-std::sin(LAMBDA * 0.5)), 0, 0}},
      {4, 3, 8, P, {0, 0, bits(std::cos(LAMBDA)), bits(std::sin(LAMBDA))}},
  };
  for (const auto& [n, q, basis, gate, want] : cases) {
    std::vector<Amp> v(size_t{1} << n, Amp(0.0, 0.0));
    v[basis] = Amp(1.0, 0.0);
    TavroSV sv = TavroSV::from_amplitudes(n, v).value();
    ASSERT_TRUE(GATES[gate].apply(sv, q));
    const size_t lo = basis & ~(size_t{1} << q), hi = lo | (size_t{1} << q);
    const auto a = sv.amplitudes();
    const std::array got{bits(a[lo].real()), bits(a[lo].imag()), bits(a[hi].real()),
                         bits(a[hi].imag())};
    EXPECT_EQ(got, want) << GATES[gate].name << " n=" << n << " q=" << q;
    for (size_t i = 0; i < v.size(); ++i) EXPECT_TRUE(i == lo || i == hi || a[i] == Amp(0.0, 0.0));
  }
}

}  // namespace
}  // namespace tavro
