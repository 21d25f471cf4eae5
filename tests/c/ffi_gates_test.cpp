// The one- and two-qubit gate functions of the C interface, as a C caller sees them: each
// against a small dense model (textbook matrices, qubit 0 the least significant bit, the first
// listed qubit the most significant bit of a gate's local index), then their status codes,
// boundary checks and effect on the last error.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tavro.h"

namespace {

using C = std::complex<double>;
using Matrix = std::vector<C>;  // row-major, d x d

constexpr double TOL = 1e-12;
const C I{0.0, 1.0};

// ---- the dense model

Matrix rx(double t) {
  const double c = std::cos(t / 2), s = std::sin(t / 2);
  return {c, -I * s, -I * s, c};
}
Matrix ry(double t) {
  const double c = std::cos(t / 2), s = std::sin(t / 2);
  return {c, -s, s, c};
}
Matrix rz(double t) { return {std::exp(-I * (t / 2)), 0.0, 0.0, std::exp(I * (t / 2))}; }
Matrix phase(double l) { return {1.0, 0.0, 0.0, std::exp(I * l)}; }
Matrix u3(double t, double p, double l) {
  const double c = std::cos(t / 2), s = std::sin(t / 2);
  return {c, -std::exp(I * l) * s, std::exp(I * p) * s, std::exp(I * (p + l)) * c};
}

// m on the second qubit where the first (most significant) is 1.
Matrix controlled(const Matrix& m) {
  Matrix out(16, 0.0);
  out[0] = out[5] = 1.0;
  out[10] = m[0];
  out[11] = m[1];
  out[14] = m[2];
  out[15] = m[3];
  return out;
}

Matrix kron(const Matrix& a, const Matrix& b) {
  Matrix out(16);
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) out[4 * r + c] = a[2 * (r / 2) + c / 2] * b[2 * (r % 2) + c % 2];
  }
  return out;
}

// cos(t/2) I - i sin(t/2) (P x P)
Matrix pauli_rotation(const Matrix& p, double t) {
  Matrix out = kron(p, p);
  for (int k = 0; k < 16; ++k) out[k] *= -I * std::sin(t / 2);
  for (int k = 0; k < 4; ++k) out[5 * k] += std::cos(t / 2);
  return out;
}

const Matrix X = {0.0, 1.0, 1.0, 0.0};
const Matrix Y = {0.0, -I, I, 0.0};
const Matrix Z = {1.0, 0.0, 0.0, -1.0};
const Matrix H = {M_SQRT1_2, M_SQRT1_2, M_SQRT1_2, -M_SQRT1_2};

// Entries that all differ, so that a transposed or mirrored read shows.
const Matrix G2 = {{0.6, 0.1}, {-0.3, 0.7}, {0.2, -0.5}, {0.45, 0.35}};
Matrix g4() {
  Matrix m(16);
  for (int k = 0; k < 16; ++k) m[k] = C(0.1 * (k + 1), 0.05 * (7 - k));
  return m;
}
const Matrix G4 = g4();

// The caller's column-major buffer of a row-major matrix.
std::vector<TavroComplex> column_major(const Matrix& m) {
  const size_t d = m.size() == 4 ? 2 : 4;
  std::vector<TavroComplex> out(m.size());
  for (size_t r = 0; r < d; ++r) {
    for (size_t c = 0; c < d; ++c) out[r + d * c] = {m[d * r + c].real(), m[d * r + c].imag()};
  }
  return out;
}
const std::vector<TavroComplex> G2_CM = column_major(G2);
const std::vector<TavroComplex> G4_CM = column_major(G4);

// The state after m acts on `qubits` (qubits[0] the most significant local bit).
std::vector<C> model(const std::vector<C>& v, const Matrix& m, const std::vector<size_t>& qubits) {
  const size_t k = qubits.size(), d = size_t{1} << k;
  size_t mask = 0;
  for (size_t q : qubits) mask |= size_t{1} << q;
  auto local = [&](size_t i) {
    size_t l = 0;
    for (size_t j = 0; j < k; ++j) l = (l << 1) | ((i >> qubits[j]) & 1);
    return l;
  };
  auto spread = [&](size_t l) {
    size_t i = 0;
    for (size_t j = 0; j < k; ++j) i |= ((l >> (k - 1 - j)) & 1) << qubits[j];
    return i;
  };
  std::vector<C> out(v.size(), 0.0);
  for (size_t i = 0; i < v.size(); ++i) {
    const size_t base = i & ~mask;
    for (size_t lj = 0; lj < d; ++lj) out[i] += m[d * local(i) + lj] * v[base | spread(lj)];
  }
  return out;
}

std::vector<C> random_state(size_t n, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<double> normal;
  std::vector<C> v(size_t{1} << n);
  for (C& a : v) a = C(normal(g), normal(g));
  return v;
}

TavroSVHandle* handle_of(const std::vector<C>& v) {
  static_assert(sizeof(C) == sizeof(TavroComplex));
  TavroSVHandle* h =
      tavro_sv_from_amplitudes(static_cast<uint32_t>(std::countr_zero(v.size())),
                               reinterpret_cast<const TavroComplex*>(v.data()), v.size());
  EXPECT_NE(h, nullptr);
  return h;
}

std::vector<C> physical(const TavroSVHandle* h) {
  std::vector<C> v(tavro_sv_len(h));
  EXPECT_EQ(tavro_sv_copy_amplitudes(h, reinterpret_cast<TavroComplex*>(v.data()), v.size()), 0);
  return v;
}

std::vector<C> logical(const TavroSVHandle* h) {
  std::vector<C> v(size_t{1} << tavro_sv_num_qubits(h));
  for (size_t i = 0; i < v.size(); ++i) {
    TavroComplex c;
    EXPECT_EQ(tavro_sv_get_logical(h, i, &c), 0);
    v[i] = C(c.re, c.im);
  }
  return v;
}

double max_distance(const std::vector<C>& a, const std::vector<C>& b) {
  double d = 0;
  for (size_t i = 0; i < a.size(); ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return a.size() == b.size() ? d : std::numeric_limits<double>::infinity();
}

std::vector<uint64_t> pattern(const TavroSVHandle* h) {
  const std::vector<C> v = physical(h);
  std::vector<uint64_t> out(2 * v.size());
  std::memcpy(out.data(), v.data(), out.size() * sizeof(uint64_t));
  return out;
}

std::string last_message() {
  const char* m = tavro_last_error_message();
  return m ? m : "<null>";
}

// ---- every gate function, by the parameters it takes

struct Gate {
  const char* name;
  size_t arity;
  // a and b fill the qubit parameters in order; the angles and the gate are fixed per row,
  // each angle distinct so that an exchange of two of them shows.
  int32_t (*call)(TavroSVHandle*, size_t a, size_t b);
  Matrix matrix;
};

const Gate GATES[] = {
    {"x", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_x(h, a); }, X},
    {"y", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_y(h, a); }, Y},
    {"z", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_z(h, a); }, Z},
    {"h", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_h(h, a); }, H},
    {"s",
     1,
     [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_s(h, a); },
     {1.0, 0.0, 0.0, I}},
    {"sdg",
     1,
     [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_sdg(h, a); },
     {1.0, 0.0, 0.0, -I}},
    {"t", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_t(h, a); },
     phase(M_PI / 4)},
    {"tdg", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_tdg(h, a); },
     phase(-M_PI / 4)},
    {"sx",
     1,
     [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_sx(h, a); },
     {C(0.5, 0.5), C(0.5, -0.5), C(0.5, -0.5), C(0.5, 0.5)}},
    {"p", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_p(h, 0.7, a); },
     phase(0.7)},
    {"rx", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_rx(h, 1.1, a); },
     rx(1.1)},
    {"ry", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_ry(h, -2.3, a); },
     ry(-2.3)},
    {"rz", 1, [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_rz(h, 0.9, a); },
     rz(0.9)},
    {"u", 1,
     [](TavroSVHandle* h, size_t a, size_t) { return tavro_sv_apply_u(h, 0.3, 1.2, -0.8, a); },
     u3(0.3, 1.2, -0.8)},
    {"gate_1q", 1,
     [](TavroSVHandle* h, size_t a, size_t) {
       return tavro_sv_apply_gate_1q(h, G2_CM.data(), 4, a);
     },
     G2},
    {"cx", 2, [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_cx(h, a, b); },
     controlled(X)},
    {"cy", 2, [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_cy(h, a, b); },
     controlled(Y)},
    {"cz", 2, [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_cz(h, a, b); },
     controlled(Z)},
    {"cp", 2, [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_cp(h, 0.7, a, b); },
     controlled(phase(0.7))},
    {"crx", 2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_crx(h, 1.3, a, b); },
     controlled(rx(1.3))},
    {"cry", 2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_cry(h, -0.4, a, b); },
     controlled(ry(-0.4))},
    {"crz", 2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_crz(h, 2.2, a, b); },
     controlled(rz(2.2))},
    {"swap",
     2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_swap(h, a, b); },
     {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0}},
    {"iswap",
     2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_iswap(h, a, b); },
     {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, I, 0.0, 0.0, I, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0}},
    {"rxx", 2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_rxx(h, 0.5, a, b); },
     pauli_rotation(X, 0.5)},
    {"ryy", 2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_ryy(h, -1.7, a, b); },
     pauli_rotation(Y, -1.7)},
    {"rzz", 2,
     [](TavroSVHandle* h, size_t a, size_t b) { return tavro_sv_apply_rzz(h, 2.9, a, b); },
     pauli_rotation(Z, 2.9)},
    {"gate_2q", 2,
     [](TavroSVHandle* h, size_t a, size_t b) {
       return tavro_sv_apply_gate_2q(h, G4_CM.data(), 16, a, b);
     },
     G4},
};

std::string gate_name(const testing::TestParamInfo<Gate>& i) { return i.param.name; }

// Every target, or every ordered pair, of an n-qubit state.
std::vector<std::vector<size_t>> placements(size_t arity, size_t n) {
  std::vector<std::vector<size_t>> out;
  for (size_t a = 0; a < n; ++a) {
    if (arity == 1) out.push_back({a});
    for (size_t b = 0; arity == 2 && b < n; ++b) {
      if (a != b) out.push_back({a, b});
    }
  }
  return out;
}

class GateFunction : public testing::TestWithParam<Gate> {
 protected:
  void TearDown() override { tavro_clear_last_error(); }
  static int32_t call(const Gate& g, TavroSVHandle* h, const std::vector<size_t>& q) {
    return g.call(h, q[0], q.size() > 1 ? q[1] : 0);
  }
};

// The parameter order by effect: cx(0, 1) and cx(1, 0), crx(theta, 2, 0) and crx(theta, 0, 2)
// are different gates, and the model tells which one each call applied.
TEST_P(GateFunction, MatchesTheModelOnEveryPlacementOfAStaticState) {
  const Gate& g = GetParam();
  for (const auto& q : placements(g.arity, 4)) {
    SCOPED_TRACE(testing::Message() << "qubits " << q[0] << (q.size() > 1 ? "," : "")
                                    << (q.size() > 1 ? std::to_string(q[1]) : ""));
    const std::vector<C> v = random_state(4, 10 * q[0] + q.back());
    TavroSVHandle* h = handle_of(v);
    ASSERT_EQ(call(g, h, q), 0);
    EXPECT_LT(max_distance(physical(h), model(v, g.matrix, q)), TOL);
    tavro_sv_free(h);
  }
}

TEST_P(GateFunction, MatchesTheModelOnADynamicState) {
  const Gate& g = GetParam();
  for (const auto& q : placements(g.arity, 4)) {
    // Qubit 2 takes slot 0 and qubit 0 slot 1; qubits 1 and 3 are untouched until the gate.
    TavroSVHandle* h = tavro_sv_zero_dynamic(4);
    ASSERT_EQ(tavro_sv_apply_h(h, 2), 0);
    ASSERT_EQ(tavro_sv_apply_ry(h, 0.8, 0), 0);
    ASSERT_EQ(tavro_sv_apply_cx(h, 0, 2), 0);
    std::vector<C> v(16, 0.0);
    v[0] = 1.0;
    v = model(v, H, {2});
    v = model(v, ry(0.8), {0});
    v = model(v, controlled(X), {0, 2});
    ASSERT_EQ(call(g, h, q), 0);
    size_t live = 2;
    for (size_t x : q) live += x == 1 || x == 3;
    EXPECT_EQ(tavro_sv_live_qubits(h), live);
    EXPECT_LT(max_distance(logical(h), model(v, g.matrix, q)), TOL) << q[0];
    tavro_sv_free(h);
  }
}

// Success clears; a core error stores its code and message and leaves the state as it was.
TEST_P(GateFunction, StatusAndLastError) {
  const Gate& g = GetParam();
  struct Case {
    size_t a, b;
    int32_t code;
    std::string message;  // empty: cleared
  };
  auto out = [](size_t q) {
    return "qubit index " + std::to_string(q) + " out of bounds for state vector with 3 qubits";
  };
  auto dup = [](size_t q) {
    const std::string s = std::to_string(q);
    return "two-qubit gate operands must be distinct, got (" + s + ", " + s + ")";
  };
  std::vector<Case> cases = {{2, 0, 0, ""}, {3, 0, -3, out(3)}, {SIZE_MAX, 1, -3, out(SIZE_MAX)}};
  if (g.arity == 2) {
    cases.insert(cases.end(), {{0, 7, -3, out(7)},
                               {9, 8, -3, out(9)},
                               {5, 5, -3, out(5)},
                               {1, 1, -4, dup(1)},
                               {0, 0, -4, dup(0)}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << ", " << c.b);
    TavroSVHandle* h = handle_of(random_state(3, 3));
    TavroComplex scratch;
    ASSERT_EQ(tavro_sv_get(h, 8, &scratch), -6);  // an error to clear or replace
    const auto before = pattern(h);
    EXPECT_EQ(g.call(h, c.a, c.b), c.code);
    EXPECT_EQ(tavro_last_error_code(), c.code);
    if (c.code == 0) {
      EXPECT_EQ(tavro_last_error_message(), nullptr);
      EXPECT_NE(pattern(h), before);
    } else {
      EXPECT_EQ(last_message(), c.message);
      EXPECT_EQ(pattern(h), before);
    }
    tavro_sv_free(h);
  }
}

TEST_P(GateFunction, NullHandleIsRejectedWithNothingStored) {
  const Gate& g = GetParam();
  TavroSVHandle* h = tavro_sv_zero(2);
  TavroComplex scratch;
  ASSERT_EQ(tavro_sv_get(h, 4, &scratch), -6);
  const char* before = tavro_last_error_message();
  EXPECT_EQ(g.call(nullptr, 0, 1), -1);
  // Also with qubits the core would refuse: the handle is checked first.
  EXPECT_EQ(g.call(nullptr, 5, 5), -1);
  EXPECT_EQ(tavro_last_error_code(), -6);
  EXPECT_EQ(tavro_last_error_message(), before);
  tavro_sv_free(h);
}

TEST_P(GateFunction, CoreErrorOnADynamicStateAllocatesNothing) {
  const Gate& g = GetParam();
  TavroSVHandle* h = tavro_sv_zero_dynamic(3);
  // A valid first qubit with an invalid second, or an invalid target.
  EXPECT_EQ(g.call(h, g.arity == 2 ? 1 : 3, 3), -3);
  if (g.arity == 2) {
    EXPECT_EQ(g.call(h, 2, 2), -4);
  }
  EXPECT_EQ(tavro_sv_live_qubits(h), 0u);
  EXPECT_EQ(tavro_sv_len(h), 1u);
  tavro_sv_free(h);
}

INSTANTIATE_TEST_SUITE_P(CFace, GateFunction, testing::ValuesIn(GATES), gate_name);

// ---- the gate pointer and length of the two matrix functions

struct MatrixBoundary {
  const char* name;
  int32_t (*call)(TavroSVHandle*);
  int32_t result;
};

const TavroComplex ID2[4] = {{1, 0}, {0, 0}, {0, 0}, {1, 0}};
const TavroComplex ID4[16] = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0},
                              {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}};

const MatrixBoundary MATRIX_BOUNDARY[] = {
    {"gate_1q_ok", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, ID2, 4, 0); }, 0},
    {"gate_1q_null", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, nullptr, 4, 0); }, -1},
    {"gate_1q_null_len0", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, nullptr, 0, 0); },
     -1},
    {"gate_1q_len0", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, ID2, 0, 0); }, -1},
    {"gate_1q_len3", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, ID2, 3, 0); }, -1},
    {"gate_1q_len5", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, ID4, 5, 0); }, -1},
    {"gate_1q_len16", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, ID4, 16, 0); }, -1},
    // The boundary comes before the core: a bad length with a bad target is still -1.
    {"gate_1q_len16_bad_target",
     [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, ID4, 16, 9); }, -1},
    {"gate_1q_bad_target", [](TavroSVHandle* h) { return tavro_sv_apply_gate_1q(h, ID2, 4, 9); },
     -3},
    {"gate_2q_ok", [](TavroSVHandle* h) { return tavro_sv_apply_gate_2q(h, ID4, 16, 0, 2); }, 0},
    {"gate_2q_null", [](TavroSVHandle* h) { return tavro_sv_apply_gate_2q(h, nullptr, 16, 0, 2); },
     -1},
    {"gate_2q_len4", [](TavroSVHandle* h) { return tavro_sv_apply_gate_2q(h, ID4, 4, 0, 2); }, -1},
    {"gate_2q_len15", [](TavroSVHandle* h) { return tavro_sv_apply_gate_2q(h, ID4, 15, 0, 2); },
     -1},
    {"gate_2q_len17", [](TavroSVHandle* h) { return tavro_sv_apply_gate_2q(h, ID4, 17, 0, 2); },
     -1},
    {"gate_2q_len4_dup", [](TavroSVHandle* h) { return tavro_sv_apply_gate_2q(h, ID4, 4, 1, 1); },
     -1},
    {"gate_2q_dup", [](TavroSVHandle* h) { return tavro_sv_apply_gate_2q(h, ID4, 16, 1, 1); }, -4},
};

class MatrixBoundaryTest : public testing::TestWithParam<MatrixBoundary> {};

TEST_P(MatrixBoundaryTest, RejectionsStoreNothingAndAllocateNothing) {
  const MatrixBoundary& row = GetParam();
  for (const bool dynamic : {false, true}) {
    TavroSVHandle* h = dynamic ? tavro_sv_zero_dynamic(3) : handle_of(random_state(3, 5));
    TavroComplex scratch;
    ASSERT_EQ(tavro_sv_get(h, dynamic ? 1 : 8, &scratch), -6);
    const std::string seeded = last_message();
    const char* seeded_ptr = tavro_last_error_message();
    const auto before = pattern(h);
    EXPECT_EQ(row.call(h), row.result) << dynamic;
    if (row.result == -1) {
      EXPECT_EQ(tavro_last_error_code(), -6);
      EXPECT_EQ(tavro_last_error_message(), seeded_ptr);
      EXPECT_EQ(last_message(), seeded);
    } else if (row.result == 0) {
      EXPECT_EQ(tavro_last_error_code(), 0);
    } else {
      EXPECT_EQ(tavro_last_error_code(), row.result);
    }
    if (row.result != 0) {
      EXPECT_EQ(pattern(h), before);
      if (dynamic) {
        EXPECT_EQ(tavro_sv_live_qubits(h), 0u);
      }
    } else if (dynamic) {
      EXPECT_GT(tavro_sv_live_qubits(h), 0u);  // a successful gate allocates its qubits
    }
    tavro_sv_free(h);
  }
  tavro_clear_last_error();
}

INSTANTIATE_TEST_SUITE_P(CFace, MatrixBoundaryTest, testing::ValuesIn(MATRIX_BOUNDARY),
                         [](const testing::TestParamInfo<MatrixBoundary>& i) {
                           return i.param.name;
                         });

// Exactly gate_len entries are read: NaNs right after them never reach the state.
TEST(GateMatrix, OnlyTheGivenEntriesAreRead) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<TavroComplex> g1(G2_CM);
  g1.resize(8, TavroComplex{nan, nan});
  std::vector<TavroComplex> g2(G4_CM);
  g2.resize(32, TavroComplex{nan, nan});
  const std::vector<C> v = random_state(3, 8);
  TavroSVHandle* h = handle_of(v);
  ASSERT_EQ(tavro_sv_apply_gate_1q(h, g1.data(), 4, 1), 0);
  ASSERT_EQ(tavro_sv_apply_gate_2q(h, g2.data(), 16, 2, 0), 0);
  EXPECT_LT(max_distance(physical(h), model(model(v, G2, {1}), G4, {2, 0})), TOL);
  tavro_sv_free(h);
}

// The two qubit orders of one 4x4 matrix are different gates; CX written as a matrix is CX.
TEST(GateMatrix, FirstQubitIsTheMostSignificantLocalBit) {
  std::vector<TavroComplex> cx(16, TavroComplex{0, 0});
  for (int k : {0, 5, 11, 14}) cx[k] = {1, 0};  // column-major: (0,0) (1,1) (3,2) (2,3)
  for (const auto& [a, b] : {std::pair<size_t, size_t>{0, 2}, {2, 0}, {1, 2}}) {
    const std::vector<C> v = random_state(3, 20 + a);
    TavroSVHandle* by_matrix = handle_of(v);
    TavroSVHandle* by_gate = handle_of(v);
    ASSERT_EQ(tavro_sv_apply_gate_2q(by_matrix, cx.data(), 16, a, b), 0);
    ASSERT_EQ(tavro_sv_apply_cx(by_gate, a, b), 0);
    EXPECT_EQ(pattern(by_matrix), pattern(by_gate)) << a << b;  // exchanges only: exact
    tavro_sv_free(by_matrix);
    tavro_sv_free(by_gate);
  }
}

}  // namespace
