// The fifteen one-qubit gate operations: values against an independent long double 2x2 reference,
// first touch on a dynamic state, the range check before any change, the untouched low half of the
// diagonal gates, and the fixed bits of basis states.
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
double dbl(uint64_t b) { return std::bit_cast<double>(b); }

// NaN payloads, a signalling NaN, infinities and signed zeros.
const double FEW[] = {
    0.0, -0.0, 0.75, INFINITY, -INFINITY, dbl(0x7FF8000000000ABC), dbl(0x7FF0000000000009)};

// Amplitudes farther than 1e-13 from the matrix applied on `slot` of `in` in long double.
size_t mismatches(std::span<const Amp> in, std::span<const Amp> got, size_t slot, const Matrix& m) {
  const auto at = [&](size_t k) { return CL(in[k].real(), in[k].imag()); };
  size_t bad = 0;
  for (size_t i = 0, s = size_t{1} << slot; i < in.size(); ++i) {
    const CL a0 = at(i & ~s), a1 = at(i | s);
    const CL want = (i & s) ? m[1] * a0 + m[3] * a1 : m[0] * a0 + m[2] * a1;
    bad += !(std::abs(CL(got[i].real(), got[i].imag()) - want) <= 1e-13L);
  }
  return bad;
}

CL expi(long double x) { return {std::cos(x), std::sin(x)}; }
const long double R = 1 / std::sqrt(2.0L), CH = std::cos(THETA / 2.0L), SH = std::sin(THETA / 2.0L);
const std::array<Amp, 4> GATE_M{Amp(0.3, -0.7), Amp(1.25, 0.5), Amp(-2.0, 0.125), Amp(0.0, -0.9)};
const Matrix GATE_L{CL(.3, -.7), CL(1.25, .5), CL(-2, .125), CL(0, -.9)};
const Matrix U_M{CH, expi(PHI) * SH, -expi(LAMBDA) * SH, expi(PHI + LAMBDA) * CH};

// The diagonal gates diag(1, d1) come first: their low amplitudes never change.
enum Gate : size_t { Z, S, SDG, T, TDG, P, H, X, Y, SX, RX, RY, RZ, U, GATE, END };
#define OP(call) [](TavroSV& sv, size_t q) { return sv.call; }
const std::tuple<const char*, std::function<Status(TavroSV&, size_t)>, Matrix> GATES[] = {
    {"z", OP(apply_z(q)), {1, 0, 0, -1}},
    {"s", OP(apply_s(q)), {1, 0, 0, CL(0, 1)}},
    {"sdg", OP(apply_sdg(q)), {1, 0, 0, CL(0, -1)}},
    {"t", OP(apply_t(q)), {1, 0, 0, expi(M_PIl / 4)}},
    {"tdg", OP(apply_tdg(q)), {1, 0, 0, expi(-M_PIl / 4)}},
    {"p", OP(apply_p(LAMBDA, q)), {1, 0, 0, expi(LAMBDA)}},
    {"h", OP(apply_h(q)), {R, R, R, -R}},
    {"x", OP(apply_x(q)), {0, 1, 1, 0}},
    {"y", OP(apply_y(q)), {0, CL(0, 1), CL(0, -1), 0}},
    {"sx", OP(apply_sx(q)), {CL(.5, .5), CL(.5, -.5), CL(.5, -.5), CL(.5, .5)}},
    {"rx", OP(apply_rx(THETA, q)), {CH, CL(0, -SH), CL(0, -SH), CH}},
    {"ry", OP(apply_ry(THETA, q)), {CH, SH, -SH, CH}},
    {"rz", OP(apply_rz(LAMBDA, q)), {expi(-LAMBDA / 2.0L), 0, 0, expi(LAMBDA / 2.0L)}},
    {"u", OP(apply_u(THETA, PHI, LAMBDA, q)), U_M},
    {"gate_1q", OP(apply_gate_1q(GATE_M, q)), GATE_L},
};

class OneQubitGate : public testing::TestWithParam<Gate> {};

TEST_P(OneQubitGate, ValuesFirstTouchRangeAndLowHalf) {
  const Gate g = GetParam();
  const auto& [name, apply, m] = GATES[g];
  // Group slots 0-2, pair slots, the top slot; 18 qubits take the parallel paths.
  const std::pair<uint32_t, size_t> placements[] = {{7, 0}, {7, 1},  {7, 2},  {7, 3},
                                                    {7, 6}, {18, 0}, {18, 3}, {18, 17}};
  for (const auto& [n, q] : placements) {
    std::vector<Amp> in(size_t{1} << n);
    for (size_t k = 0; k < in.size(); ++k) in[k] = Amp(std::sin(k * 0.7 + q), std::cos(k * 1.3));
    TavroSV sv = TavroSV::from_amplitudes(n, in).value();
    ASSERT_TRUE(apply(sv, q).has_value());
    EXPECT_EQ(mismatches(in, sv.amplitudes(), q, m), 0u) << n << " " << q;
    if (g >= H) continue;
    // Special values with the target bit clear keep their bits.
    for (size_t k = 0; k < sv.len(); ++k) sv.amps()[k] = Amp(FEW[k % 7], FEW[(k / 7 + q) % 7]);
    const TavroSV pre = sv.clone();
    ASSERT_TRUE(apply(sv, q));
    size_t changed = 0;
    for (size_t i = 0; i < sv.len(); ++i)
      changed += !((i >> q) & 1) && std::memcmp(&sv.amps()[i], &pre.amplitudes()[i], sizeof(Amp));
    EXPECT_EQ(changed, 0u) << n << " " << q;
  }
  // Qubits 3 and 1 live. A target at the declared count, above the live one, fails before anything
  // is touched. Untouched qubit 0 then takes slot 2, the buffer doubles with zeros, and the gate
  // acts on the extended state (the diagonal gates allocate too, on |0>).
  TavroSV dyn = TavroSV::zero_dynamic(4).value();
  ASSERT_TRUE(dyn.apply_gate_1q(GATE_M, 3) && dyn.apply_gate_1q(GATE_M, 1));
  std::vector<Amp> extended(dyn.amplitudes().begin(), dyn.amplitudes().end());
  const Status r = apply(dyn, 4);
  EXPECT_EQ(r ? "ok" : r.error().display(),
            "qubit index 4 out of bounds for state vector with 4 qubits");
  EXPECT_EQ(std::memcmp(dyn.amplitudes().data(), extended.data(), 4 * sizeof(Amp)), 0);
  extended.resize(8, Amp(0.0, 0.0));
  ASSERT_TRUE(apply(dyn, 0));
  ASSERT_EQ((*dyn.slots())[0], 2);
  EXPECT_EQ(mismatches(extended, dyn.amplitudes(), 2, m), 0u);
}

INSTANTIATE_TEST_SUITE_P(OneQubit, OneQubitGate, testing::Range(Z, END), [](const auto& info) {
  return std::string(std::get<0>(GATES[info.param]));
});

// Exact bits from basis states: H's factor on group and pair slots, the T and Tdg pair (one ulp
// apart), and the cosine and sine of the half angle.
TEST(OneQubitBits, BasisStates) {
  // (qubits, target, input basis state, gate, bits of (re, im) with the target bit clear, then set)
  const std::tuple<uint32_t, size_t, size_t, Gate, std::array<uint64_t, 4>> cases[] = {
      {1, 0, 0, H, {K_BITS, 0, K_BITS, 0}},
      {5, 4, 0, H, {K_BITS, 0, K_BITS, 0}},
      {4, 0, 1, T, {0, 0, K_BITS, 0x3FE6A09E667F3BCC}},
      {4, 3, 8, TDG, {0, 0, K_BITS, 0xBFE6A09E667F3BCC}},
      {3, 0, 0, RX, {bits(std::cos(THETA * 0.5)), 0, 0, bits(-std::sin(THETA * 0.5))}},
  };
  for (const auto& [n, q, basis, gate, want] : cases) {
    TavroSV sv = TavroSV::zero(n).value();
    std::swap(sv.amps()[0], sv.amps()[basis]);
    ASSERT_TRUE(std::get<1>(GATES[gate])(sv, q));
    const size_t lo = basis & ~(size_t{1} << q), hi = lo | (size_t{1} << q);
    std::vector<Amp> w(sv.len());  // every other amplitude stays +0.0
    w[lo] = Amp(dbl(want[0]), dbl(want[1])), w[hi] = Amp(dbl(want[2]), dbl(want[3]));
    EXPECT_EQ(std::memcmp(sv.amplitudes().data(), w.data(), w.size() * sizeof(Amp)), 0)
        << std::get<0>(GATES[gate]) << " n=" << n << " q=" << q;
  }
}

}  // namespace
}  // namespace tavro
