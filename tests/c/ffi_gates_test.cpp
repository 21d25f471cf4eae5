// The one- and two-qubit gate functions of the C interface, as a C caller sees them: each
// against its textbook matrix applied through the dense gate functions (qubit 0 the least
// significant bit, the first listed qubit the most significant bit of a gate's local index),
// then their status codes, boundary checks and effect on the last error.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "tavro.h"

namespace {

using C = std::complex<double>;
using M = std::vector<C>;  // column-major, d x d, as the gate functions take it
const C I{0.0, 1.0};

// cos(t/2) - i sin(t/2) P, for a P that squares to the identity (diagonal entries are d + 1
// apart).
M rot(double t, M p) {
  for (size_t k = 0; k < p.size(); ++k)
    p[k] = (k % (p.size() == 4 ? 3 : 5) ? 0.0 : std::cos(t / 2)) - I * std::sin(t / 2) * p[k];
  return p;
}
M ph(double l) { return {1.0, 0.0, 0.0, std::exp(I * l)}; }
M ctl(const M& m) { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, m[0], m[1], 0, 0, m[2], m[3]}; }
M anti(C a, C b) { return {0, 0, 0, a, 0, 0, b, 0, 0, b, 0, 0, a, 0, 0, 0}; }
M sw(C x) { return {1, 0, 0, 0, 0, 0, x, 0, 0, x, 0, 0, 0, 0, 0, 1}; }
const M X = {0.0, 1.0, 1.0, 0.0}, Y = {0.0, I, -I, 0.0}, Z = {1.0, 0.0, 0.0, -1.0};
const M H = {M_SQRT1_2, M_SQRT1_2, M_SQRT1_2, -M_SQRT1_2},
        SX = {C(.5, .5), C(.5, -.5), C(.5, -.5), C(.5, .5)};
const M ZZ = {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1};
// u(0.3, 1.2, -0.8)
const M U = {std::cos(.15), std::exp(I * 1.2) * std::sin(.15), -std::exp(-.8 * I) * std::sin(.15),
             std::exp(.4 * I) * std::cos(.15)};

// A 3-qubit state whose amplitudes all differ, so a misplaced entry shows.
const TavroComplex V[8] = {{.3, -.1},  {.2, .5}, {-.4, .1}, {.7, .2},
                           {-.1, -.6}, {.5, .3}, {.2, -.2}, {-.3, .4}};

struct Gate {
  const char* name;
  int32_t (*call)(TavroSVHandle*, size_t a, size_t b);  // a, b fill the qubit parameters
  M matrix;
};

// The angles are distinct per row, so an exchange of two of them shows.
#define FN(f, ...) \
  [](TavroSVHandle* h, size_t a, size_t b) { return (void)b, tavro_sv_apply_##f(h, __VA_ARGS__); }
#define ROW(f, m, ...) \
  Gate { #f, FN(f, __VA_ARGS__), m }

// clang-format off
const Gate GATES[] = {
    ROW(x, X, a), ROW(y, Y, a), ROW(z, Z, a), ROW(h, H, a), ROW(sx, SX, a),
    ROW(s, ph(M_PI / 2), a), ROW(sdg, ph(-M_PI / 2), a),
    ROW(t, ph(M_PI / 4), a), ROW(tdg, ph(-M_PI / 4), a),
    ROW(p, ph(0.7), 0.7, a), ROW(rx, rot(1.1, X), 1.1, a), ROW(ry, rot(-2.3, Y), -2.3, a),
    ROW(rz, rot(0.9, Z), 0.9, a), ROW(u, U, 0.3, 1.2, -0.8, a),
    ROW(cx, ctl(X), a, b), ROW(cy, ctl(Y), a, b), ROW(cz, ctl(Z), a, b),
    ROW(swap, sw(1), a, b), ROW(iswap, sw(I), a, b), ROW(cp, ctl(ph(0.7)), 0.7, a, b),
    ROW(crx, ctl(rot(1.3, X)), 1.3, a, b), ROW(cry, ctl(rot(-0.4, Y)), -0.4, a, b),
    ROW(crz, ctl(rot(2.2, Z)), 2.2, a, b), ROW(rxx, rot(0.5, anti(1, 1)), 0.5, a, b),
    ROW(ryy, rot(-1.7, anti(-1, 1)), -1.7, a, b), ROW(rzz, rot(2.9, ZZ), 2.9, a, b)};
// clang-format on

class GateFunction : public testing::TestWithParam<Gate> {};

// Also the parameter order by effect (cx(2, 0) is not cx(0, 2)), and the dense functions read
// exactly gate_len entries: NaNs follow them.
TEST_P(GateFunction, MatchesItsMatrixAndReportsErrors) {
  const Gate& g = GetParam();
  const bool two = g.matrix.size() == 16;
  M gate = g.matrix;
  gate.resize(2 * gate.size(), NAN);
  const auto* dense = reinterpret_cast<const TavroComplex*>(gate.data());
  TavroSVHandle *h = tavro_sv_from_amplitudes(3, V, 8), *ref = tavro_sv_from_amplitudes(3, V, 8);
  // A core error stores its code and text and changes nothing; a NULL handle is rejected
  // before the qubits are looked at and stores nothing.
  EXPECT_EQ(g.call(h, two ? 2 : 3, 3), -3);
  EXPECT_EQ(g.call(nullptr, 5, 5), -1);
  EXPECT_STREQ(tavro_last_error_message(),
               "qubit index 3 out of bounds for state vector with 3 qubits");
  EXPECT_EQ(two ? g.call(h, 2, 2) : -4, -4);
  ASSERT_EQ(g.call(h, 2, 0), 0);
  ASSERT_EQ(
      two ? tavro_sv_apply_gate_2q(ref, dense, 16, 2, 0) : tavro_sv_apply_gate_1q(ref, dense, 4, 2),
      0);
  C got[8], want[8];
  tavro_sv_copy_amplitudes(h, reinterpret_cast<TavroComplex*>(got), 8);
  tavro_sv_copy_amplitudes(ref, reinterpret_cast<TavroComplex*>(want), 8);
  for (size_t i = 0; i < 8; ++i) EXPECT_LT(std::abs(got[i] - want[i]), 1e-12) << i;
  tavro_sv_free(h);
  tavro_sv_free(ref);
}

INSTANTIATE_TEST_SUITE_P(CFace, GateFunction, testing::ValuesIn(GATES),
                         [](const testing::TestParamInfo<Gate>& i) { return i.param.name; });

// The length of a gate is checked at the boundary, before the core's checks. Rejections store
// nothing, and neither they nor core errors allocate on a dynamic state.
TEST(GateMatrix, LengthAndPointerChecksComeFirst) {
  static const TavroComplex ZERO[16] = {};
  TavroSVHandle* h = tavro_sv_zero_dynamic(3);
  EXPECT_EQ(tavro_sv_apply_gate_1q(h, ZERO, 4, 9), -3);
  EXPECT_EQ(tavro_sv_apply_gate_1q(h, ZERO, 16, 9), -1);
  EXPECT_EQ(tavro_sv_apply_gate_1q(h, nullptr, 4, 0), -1);
  EXPECT_EQ(tavro_sv_apply_gate_2q(h, ZERO, 4, 1, 1), -1);
  EXPECT_STREQ(tavro_last_error_message(),
               "qubit index 9 out of bounds for state vector with 3 qubits");
  EXPECT_EQ(tavro_sv_apply_gate_2q(h, ZERO, 16, 1, 1), -4);
  EXPECT_EQ(tavro_sv_live_qubits(h), 0u);
  tavro_sv_free(h);
  tavro_clear_last_error();
}

}  // namespace
