// The fifteen one-qubit gate operations: values against an independent long double 2x2
// reference, the fixed bits (H factor, T pair, parameters of basis states), amplitudes that must
// not change, allocation on first touch, and the order of checks.
#include <gtest/gtest.h>
#include <math.h>  // ::sincos, as the operations compute their parameters

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "state/sv.hpp"

namespace tavro {
namespace {

using CL = std::complex<long double>;  // the reference's arithmetic, independent of the kernels
using Matrix = std::array<CL, 4>;      // column-major [U00, U10, U01, U11]

constexpr long double PI_L = 3.141592653589793238462643383279502884L;
constexpr double THETA = 0.7310;
constexpr double PHI = -1.234;
constexpr double LAMBDA = 2.468;
constexpr size_t P2(size_t k) { return size_t{1} << k; }

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

TavroSV must(Result<TavroSV> r) {
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return std::move(*r);
}

std::vector<Amp> random_amps(size_t n, uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(u(gen), u(gen));
  return v;
}

// A static state holding random amplitudes.
TavroSV static_random(uint32_t n, uint32_t seed) {
  return must(TavroSV::from_amplitudes(n, random_amps(P2(n), seed)));
}

// A dynamic state whose qubits were touched in a scrambled order (qubit order[i] holds slot i),
// then filled with random amplitudes.
TavroSV dynamic_random(uint32_t n, uint32_t seed) {
  TavroSV sv = must(TavroSV::zero_dynamic(n));
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::shuffle(order.begin(), order.end(), std::mt19937_64(seed));
  for (size_t q : order) EXPECT_TRUE(sv.resolve(q).has_value());
  const std::vector<Amp> v = random_amps(sv.len(), seed + 1);
  std::copy(v.begin(), v.end(), sv.amps().begin());
  return sv;
}

size_t slot_of(const TavroSV& sv, size_t q) { return sv.is_dynamic() ? (*sv.slots())[q] : q; }

CL expi(long double x) { return {std::cos(x), std::sin(x)}; }

// The textbook product (std::complex's operator* adds slow NaN recovery the reference does not
// need: its inputs are finite).
CL mul(CL a, CL b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// The gate on `slot` of a long double copy of the amplitudes.
std::vector<CL> reference(std::span<const Amp> amps, size_t slot, const Matrix& m) {
  std::vector<CL> st(amps.begin(), amps.end());
  const size_t s = P2(slot);
  for (size_t i = 0; i < st.size(); ++i) {
    if (i & s) continue;
    const CL a0 = st[i], a1 = st[i | s];
    st[i] = mul(m[0], a0) + mul(m[2], a1);
    st[i | s] = mul(m[1], a0) + mul(m[3], a1);
  }
  return st;
}

// Amplitudes farther than tol from the reference.
size_t mismatches(std::span<const Amp> got, const std::vector<CL>& want, long double tol) {
  size_t bad = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const long double dr = got[i].real() - want[i].real(), di = got[i].imag() - want[i].imag();
    bad += !(dr * dr + di * di <= tol * tol);
  }
  return bad;
}

// ---- the operations and their matrices ----

const std::array<Amp, 4> GATE_M{Amp(0.3, -0.7), Amp(1.25, 0.5), Amp(-2.0, 0.125), Amp(0.0, -0.9)};

struct GateCase {
  const char* name;
  Status (*apply)(TavroSV& sv, size_t q);
  Matrix (*matrix)();
  bool diagonal_one;  // diag(1, d1): amplitudes with the target bit clear never change
};

Matrix rot_x(long double t) {
  const long double c = std::cos(t / 2), s = std::sin(t / 2);
  return {CL(c, 0), CL(0, -s), CL(0, -s), CL(c, 0)};
}
Matrix rot_y(long double t) {
  const long double c = std::cos(t / 2), s = std::sin(t / 2);
  return {CL(c, 0), CL(s, 0), CL(-s, 0), CL(c, 0)};
}
Matrix rot_z(long double t) { return {expi(-t / 2), CL(0), CL(0), expi(t / 2)}; }
Matrix phase(long double l) { return {CL(1), CL(0), CL(0), expi(l)}; }
Matrix u_gate(long double t, long double p, long double l) {
  const long double c = std::cos(t / 2), s = std::sin(t / 2);
  return {CL(c, 0), expi(p) * s, -expi(l) * s, expi(p + l) * c};
}

const GateCase GATES[] = {
    {"h", [](TavroSV& sv, size_t q) { return sv.apply_h(q); },
     [] {
       const long double r = 1 / std::sqrt(2.0L);
       return Matrix{CL(r), CL(r), CL(r), CL(-r)};
     },
     false},
    {"x", [](TavroSV& sv, size_t q) { return sv.apply_x(q); },
     [] {
       return Matrix{CL(0), CL(1), CL(1), CL(0)};
     },
     false},
    {"y", [](TavroSV& sv, size_t q) { return sv.apply_y(q); },
     [] {
       return Matrix{CL(0), CL(0, 1), CL(0, -1), CL(0)};
     },
     false},
    {"z", [](TavroSV& sv, size_t q) { return sv.apply_z(q); },
     [] {
       return Matrix{CL(1), CL(0), CL(0), CL(-1)};
     },
     true},
    {"s", [](TavroSV& sv, size_t q) { return sv.apply_s(q); },
     [] {
       return Matrix{CL(1), CL(0), CL(0), CL(0, 1)};
     },
     true},
    {"sdg", [](TavroSV& sv, size_t q) { return sv.apply_sdg(q); },
     [] {
       return Matrix{CL(1), CL(0), CL(0), CL(0, -1)};
     },
     true},
    {"t", [](TavroSV& sv, size_t q) { return sv.apply_t(q); }, [] { return phase(PI_L / 4); },
     true},
    {"tdg", [](TavroSV& sv, size_t q) { return sv.apply_tdg(q); }, [] { return phase(-PI_L / 4); },
     true},
    {"sx", [](TavroSV& sv, size_t q) { return sv.apply_sx(q); },
     [] {
       return Matrix{CL(0.5, 0.5), CL(0.5, -0.5), CL(0.5, -0.5), CL(0.5, 0.5)};
     },
     false},
    {"p", [](TavroSV& sv, size_t q) { return sv.apply_p(LAMBDA, q); }, [] { return phase(LAMBDA); },
     true},
    {"rx", [](TavroSV& sv, size_t q) { return sv.apply_rx(THETA, q); }, [] { return rot_x(THETA); },
     false},
    {"ry", [](TavroSV& sv, size_t q) { return sv.apply_ry(THETA, q); }, [] { return rot_y(THETA); },
     false},
    {"rz", [](TavroSV& sv, size_t q) { return sv.apply_rz(LAMBDA, q); },
     [] { return rot_z(LAMBDA); }, false},
    {"u", [](TavroSV& sv, size_t q) { return sv.apply_u(THETA, PHI, LAMBDA, q); },
     [] { return u_gate(THETA, PHI, LAMBDA); }, false},
    {"gate_1q", [](TavroSV& sv, size_t q) { return sv.apply_gate_1q(GATE_M, q); },
     [] {
       Matrix m;
       for (size_t i = 0; i < 4; ++i) m[i] = CL(GATE_M[i].real(), GATE_M[i].imag());
       return m;
     },
     false},
};

void PrintTo(const GateCase& g, std::ostream* os) { *os << g.name; }
std::string gate_name(const testing::TestParamInfo<GateCase>& info) { return info.param.name; }

// ---- values against the reference ----

class GateValues : public testing::TestWithParam<GateCase> {};

// Slots 0, 1, 2 (group bodies), 3 and above (pair bodies) up to the top slot; 18 qubits take
// the parallel paths under 3 and 8 workers. On a dynamic state, whose qubits were touched in a
// scrambled order, the gate names the qubit that holds the slot.
TEST_P(GateValues, MatchDenseReference) {
  const GateCase& g = GetParam();
  const Matrix m = g.matrix();
  for (const bool dynamic : {false, true}) {
    for (const uint32_t n : {7u, 18u}) {
      const std::vector<size_t> slots =
          n < 10 ? std::vector<size_t>{0, 1, 2, 3, n / 2, n - 1} : std::vector<size_t>{0, 3, n - 1};
      for (const size_t slot : slots) {
        TavroSV sv = dynamic ? dynamic_random(n, 100 + slot) : static_random(n, 200 + slot);
        // The qubit that holds this slot.
        const size_t q = dynamic ? (*sv.slots())[64 + slot] : slot;
        ASSERT_EQ(slot_of(sv, q), slot);
        const std::vector<CL> want = reference(sv.amplitudes(), slot, m);
        ASSERT_TRUE(g.apply(sv, q).has_value());
        EXPECT_EQ(mismatches(sv.amplitudes(), want, 1e-13L), 0u)
            << (dynamic ? "dynamic" : "static") << " n=" << n << " q=" << q << " slot=" << slot;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(OneQubit, GateValues, testing::ValuesIn(GATES), gate_name);

// ---- first touch on a dynamic state ----

class FirstTouch : public testing::TestWithParam<GateCase> {};

// Two live qubits, then a gate on an untouched one: it takes slot 2, the buffer doubles with
// zeros, and the gate acts on the extended state (so Z, S, T, P and RZ allocate too, on |0>).
TEST_P(FirstTouch, AllocatesTopSlotThenApplies) {
  const GateCase& g = GetParam();
  TavroSV sv = must(TavroSV::zero_dynamic(4));
  ASSERT_TRUE(sv.resolve(3).has_value());
  ASSERT_TRUE(sv.resolve(1).has_value());
  const std::vector<Amp> old = random_amps(4, 9);
  std::copy(old.begin(), old.end(), sv.amps().begin());
  std::vector<Amp> extended = old;
  extended.resize(8, Amp(0.0, 0.0));
  const std::vector<CL> want = reference(extended, 2, g.matrix());

  ASSERT_TRUE(g.apply(sv, 0).has_value());
  EXPECT_EQ(sv.live_qubits(), 3u);
  EXPECT_EQ(sv.len(), 8u);
  EXPECT_EQ((*sv.slots())[0], 2);
  EXPECT_EQ((*sv.slots())[64 + 2], 0);
  EXPECT_EQ(mismatches(sv.amplitudes(), want, 1e-14L), 0u);
  if (g.diagonal_one) {
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(bits(sv.amplitudes()[i].real()), bits(old[i].real())) << i;
      EXPECT_EQ(bits(sv.amplitudes()[i].imag()), bits(old[i].imag())) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(OneQubit, FirstTouch, testing::ValuesIn(GATES), gate_name);

// ---- order of checks ----

class TargetRange : public testing::TestWithParam<GateCase> {};

// target >= num_qubits (the declared count, also on a dynamic state with fewer live qubits)
// fails before anything is touched or allocated; target = num_qubits - 1 succeeds.
TEST_P(TargetRange, RejectsBeforeAnyChange) {
  const GateCase& g = GetParam();
  for (const bool dynamic : {false, true}) {
    TavroSV sv = dynamic ? must(TavroSV::zero_dynamic(5)) : static_random(5, 3);
    if (dynamic) {
      ASSERT_TRUE(sv.resolve(2).has_value());
    }
    const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
    const uint32_t live = sv.live_qubits();
    const SlotTable table = dynamic ? *sv.slots() : SlotTable{};
    for (const size_t target : {size_t{5}, size_t{6}, SIZE_MAX}) {
      const Status st = g.apply(sv, target);
      ASSERT_FALSE(st.has_value());
      const auto* e = st.error().get_if<QubitIndexOutOfBounds>();
      ASSERT_NE(e, nullptr) << st.error().debug();
      EXPECT_EQ(e->qubit, target);
      EXPECT_EQ(e->num_qubits, 5u);
      EXPECT_EQ(st.error().index(), 1u);
      EXPECT_EQ(sv.live_qubits(), live);
      ASSERT_EQ(sv.len(), before.size());
      EXPECT_EQ(0, std::memcmp(sv.amplitudes().data(), before.data(), before.size() * sizeof(Amp)));
      if (dynamic) {
        EXPECT_EQ(*sv.slots(), table);
      }
    }
    EXPECT_EQ(g.apply(sv, 5).error().display(),
              "qubit index 5 out of bounds for state vector with 5 qubits");
    EXPECT_TRUE(g.apply(sv, 4).has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(OneQubit, TargetRange, testing::ValuesIn(GATES), gate_name);

// ---- low amplitudes of the diagonal gates ----

std::vector<Amp> special_amps(size_t n, uint32_t seed) {
  const double values[] = {0.0,
                           -0.0,
                           0.75,
                           -3.0,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           from_bits(0x7FF8000000000ABC),
                           from_bits(0xFFF8000000012345),
                           from_bits(0x7FF0000000000009),
                           4e-320};
  std::mt19937_64 gen(seed);
  std::uniform_int_distribution<int> pick(0, 9);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(values[pick(gen)], values[pick(gen)]);
  return v;
}

class DiagonalKeepsLow : public testing::TestWithParam<GateCase> {};

// NaN payloads, signalling NaNs and signed zeros with the target bit clear survive bit for bit.
TEST_P(DiagonalKeepsLow, BitIdenticalLowHalf) {
  const GateCase& g = GetParam();
  for (const bool dynamic : {false, true}) {
    for (const uint32_t n : {5u, 18u}) {
      for (const size_t q : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{n - 1}}) {
        TavroSV sv = dynamic ? dynamic_random(n, 7) : static_random(n, 7);
        const std::vector<Amp> v = special_amps(sv.len(), static_cast<uint32_t>(q));
        std::copy(v.begin(), v.end(), sv.amps().begin());
        const size_t s = P2(slot_of(sv, q));
        ASSERT_TRUE(g.apply(sv, q).has_value());
        size_t changed = 0, high_changed = 0;
        for (size_t i = 0; i < v.size(); ++i) {
          const bool same = bits(sv.amplitudes()[i].real()) == bits(v[i].real()) &&
                            bits(sv.amplitudes()[i].imag()) == bits(v[i].imag());
          ((i & s) ? high_changed : changed) += !same;
        }
        EXPECT_EQ(changed, 0u) << (dynamic ? "dynamic" : "static") << " n=" << n << " q=" << q;
        EXPECT_GT(high_changed, 0u) << (dynamic ? "dynamic" : "static") << " n=" << n;
      }
    }
  }
}

std::vector<GateCase> diagonal_gates() {
  std::vector<GateCase> out;
  for (const GateCase& g : GATES) {
    if (g.diagonal_one) out.push_back(g);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(OneQubit, DiagonalKeepsLow, testing::ValuesIn(diagonal_gates()),
                         gate_name);

// ---- fixed bits from basis states ----

struct SinCos {
  double s, c;
};
SinCos sin_cos(double x) {
  SinCos r{};
  ::sincos(x, &r.s, &r.c);
  return r;
}

struct BasisCase {
  const char* name;
  uint32_t n;
  size_t target;
  size_t basis;  // the input basis state
  Status (*apply)(TavroSV& sv, size_t q);
  // Expected bits of (re, im) at `basis` with the target bit clear and set.
  std::array<uint64_t, 4> (*expect)();
};

constexpr uint64_t K_BITS = 0x3FE6A09E667F3BCD;
constexpr uint64_t ZERO = 0;

const BasisCase BASIS[] = {
    // H of |0>: the factor itself twice, on a group slot and on pair slots (fused form).
    {"h_one_qubit", 1, 0, 0, [](TavroSV& sv, size_t q) { return sv.apply_h(q); },
     [] {
       return std::array<uint64_t, 4>{K_BITS, ZERO, K_BITS, ZERO};
     }},
    {"h_slot2", 5, 2, 0, [](TavroSV& sv, size_t q) { return sv.apply_h(q); },
     [] {
       return std::array<uint64_t, 4>{K_BITS, ZERO, K_BITS, ZERO};
     }},
    {"h_slot3", 5, 3, 0, [](TavroSV& sv, size_t q) { return sv.apply_h(q); },
     [] {
       return std::array<uint64_t, 4>{K_BITS, ZERO, K_BITS, ZERO};
     }},
    {"h_top", 5, 4, 0, [](TavroSV& sv, size_t q) { return sv.apply_h(q); },
     [] {
       return std::array<uint64_t, 4>{K_BITS, ZERO, K_BITS, ZERO};
     }},
    // T and Tdg of |1>: the fixed pair, one ulp apart.
    {"t_slot0", 4, 0, 1, [](TavroSV& sv, size_t q) { return sv.apply_t(q); },
     [] {
       return std::array<uint64_t, 4>{ZERO, ZERO, K_BITS, 0x3FE6A09E667F3BCC};
     }},
    {"t_slot3", 4, 3, 8, [](TavroSV& sv, size_t q) { return sv.apply_t(q); },
     [] {
       return std::array<uint64_t, 4>{ZERO, ZERO, K_BITS, 0x3FE6A09E667F3BCC};
     }},
    {"tdg_slot1", 4, 1, 2, [](TavroSV& sv, size_t q) { return sv.apply_tdg(q); },
     [] {
       return std::array<uint64_t, 4>{ZERO, ZERO, K_BITS, 0xBFE6A09E667F3BCC};
     }},
    {"tdg_slot3", 4, 3, 8, [](TavroSV& sv, size_t q) { return sv.apply_tdg(q); },
     [] {
       return std::array<uint64_t, 4>{ZERO, ZERO, K_BITS, 0xBFE6A09E667F3BCC};
     }},
    // One joint sine and cosine of the half angle (theta * 0.5): RX|0> = (c, 0), (0, -s).
    {"rx_slot0", 3, 0, 0, [](TavroSV& sv, size_t q) { return sv.apply_rx(THETA, q); },
     [] {
       const SinCos h = sin_cos(THETA * 0.5);
       return std::array<uint64_t, 4>{bits(h.c), ZERO, ZERO, bits(-h.s)};
     }},
    {"rx_pi_slot3", 4, 3, 0, [](TavroSV& sv, size_t q) { return sv.apply_rx(M_PI, q); },
     [] {
       const SinCos h = sin_cos(M_PI * 0.5);
       return std::array<uint64_t, 4>{bits(h.c), ZERO, ZERO, bits(-h.s)};
     }},
    {"ry_slot1", 3, 1, 0, [](TavroSV& sv, size_t q) { return sv.apply_ry(THETA, q); },
     [] {
       const SinCos h = sin_cos(THETA * 0.5);
       return std::array<uint64_t, 4>{bits(h.c), ZERO, bits(h.s), ZERO};
     }},
    {"ry_slot4", 5, 4, 0, [](TavroSV& sv, size_t q) { return sv.apply_ry(THETA, q); },
     [] {
       const SinCos h = sin_cos(THETA * 0.5);
       return std::array<uint64_t, 4>{bits(h.c), ZERO, bits(h.s), ZERO};
     }},
    // The symmetric form: |0> picks up e^(-i lambda/2).
    {"rz_slot2", 3, 2, 0, [](TavroSV& sv, size_t q) { return sv.apply_rz(LAMBDA, q); },
     [] {
       const SinCos h = sin_cos(LAMBDA * 0.5);
       return std::array<uint64_t, 4>{bits(h.c), bits(-h.s), ZERO, ZERO};
     }},
    // P: one joint call on the full angle; |1> becomes (cos, sin) exactly.
    {"p_slot0", 2, 0, 1, [](TavroSV& sv, size_t q) { return sv.apply_p(LAMBDA, q); },
     [] {
       const SinCos l = sin_cos(LAMBDA);
       return std::array<uint64_t, 4>{ZERO, ZERO, bits(l.c), bits(l.s)};
     }},
    {"p_slot3", 4, 3, 8, [](TavroSV& sv, size_t q) { return sv.apply_p(LAMBDA, q); },
     [] {
       const SinCos l = sin_cos(LAMBDA);
       return std::array<uint64_t, 4>{ZERO, ZERO, bits(l.c), bits(l.s)};
     }},
};

void PrintTo(const BasisCase& c, std::ostream* os) { *os << c.name; }

class BasisBits : public testing::TestWithParam<BasisCase> {};

TEST_P(BasisBits, ExactAmplitudes) {
  const BasisCase& bc = GetParam();
  std::vector<Amp> v(P2(bc.n), Amp(0.0, 0.0));
  v[bc.basis] = Amp(1.0, 0.0);
  TavroSV sv = must(TavroSV::from_amplitudes(bc.n, v));
  ASSERT_TRUE(bc.apply(sv, bc.target).has_value());
  const size_t lo = bc.basis & ~P2(bc.target), hi = lo | P2(bc.target);
  const auto e = bc.expect();
  EXPECT_EQ(bits(sv.amplitudes()[lo].real()), e[0]);
  EXPECT_EQ(bits(sv.amplitudes()[lo].imag()), e[1]);
  EXPECT_EQ(bits(sv.amplitudes()[hi].real()), e[2]);
  EXPECT_EQ(bits(sv.amplitudes()[hi].imag()), e[3]);
  // Every other amplitude stays zero.
  for (size_t i = 0; i < v.size(); ++i) {
    if (i == lo || i == hi) continue;
    EXPECT_EQ(sv.amplitudes()[i], Amp(0.0, 0.0)) << i;
  }
}

std::string basis_name(const testing::TestParamInfo<BasisCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(OneQubit, BasisBits, testing::ValuesIn(BASIS), basis_name);

TEST(RxPi, OnZeroGivesKnownValues) {
  TavroSV sv = must(TavroSV::zero(1));
  ASSERT_TRUE(sv.apply_rx(M_PI, 0).has_value());
  EXPECT_NEAR(sv.amplitudes()[0].real(), 6.123233995736766e-17, 1e-30);
  EXPECT_EQ(sv.amplitudes()[0].imag(), 0.0);
  EXPECT_EQ(sv.amplitudes()[1].real(), 0.0);
  EXPECT_EQ(sv.amplitudes()[1].imag(), -1.0);
}

// ---- the dense path has no shortcut ----

// Identity through apply_gate_1q: -0.0 next to a zero partner becomes +0.0, and inf * 0 gives
// NaN in both outputs of the pair holding (+inf, 0).
TEST(GateOneQubit, IdentityRewritesEveryAmplitude) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::array<Amp, 4> identity{Amp(1.0, 0.0), Amp(0.0, 0.0), Amp(0.0, 0.0), Amp(1.0, 0.0)};
  for (const size_t target : {size_t{0}, size_t{1}}) {
    // Pairs: target 0 -> (0,1), (2,3); target 1 -> (0,2), (1,3). Index 3 holds (+inf, 0) and its
    // partner is zero either way.
    TavroSV sv = must(TavroSV::from_amplitudes(
        2, std::vector<Amp>{Amp(-0.0, -0.0), Amp(0.0, 0.0), Amp(0.0, 0.0), Amp(inf, 0.0)}));
    ASSERT_TRUE(sv.apply_gate_1q(identity, target).has_value());
    const auto a = sv.amplitudes();
    EXPECT_EQ(bits(a[0].real()), ZERO) << target;
    EXPECT_EQ(bits(a[0].imag()), ZERO) << target;
    const size_t partner = 3 ^ P2(target);
    EXPECT_TRUE(std::isnan(a[partner].real()) && std::isnan(a[partner].imag())) << target;
    EXPECT_EQ(a[3].real(), inf) << target;
    EXPECT_TRUE(std::isnan(a[3].imag())) << target;
  }
}

TEST(GateOneQubit, ZeroMatrixIsApplied) {
  TavroSV sv = static_random(4, 11);
  const std::array<Amp, 4> zero{};
  ASSERT_TRUE(sv.apply_gate_1q(zero, 3).has_value());
  for (const Amp& a : sv.amplitudes()) EXPECT_EQ(a, Amp(0.0, 0.0));
}

// ---- U ----

// U's matrix as written (plain binary64, the products with +-0.0 kept) goes through the dense
// kernel: the same bits as apply_gate_1q with that matrix, on every slot kind.
struct UCase {
  double theta, phi, lmbda;
};

const UCase U_CASES[] = {
    {THETA, PHI, LAMBDA}, {0.0, -2.0, 3.0}, {M_PI, M_PI, -M_PI / 3}, {-5.5, 0.0, 0.0}};

void PrintTo(const UCase& u, std::ostream* os) {
  *os << "theta=" << u.theta << " phi=" << u.phi << " lmbda=" << u.lmbda;
}

class UMatrix : public testing::TestWithParam<UCase> {};

TEST_P(UMatrix, SameBitsAsItsMatrix) {
  const UCase& u = GetParam();
  const SinCos h = sin_cos(u.theta * 0.5), l = sin_cos(u.lmbda), p = sin_cos(u.phi);
  const double cs = p.c * l.c - p.s * l.s, sn = p.s * l.c + p.c * l.s;
  const std::array<Amp, 4> m{Amp(h.c, 0.0), Amp(p.c * h.s + p.s * -0.0, p.s * h.s + p.c * 0.0),
                             Amp(l.s * 0.0 - l.c * h.s, l.c * -0.0 - l.s * h.s),
                             Amp(h.c * cs + sn * -0.0, h.c * sn + cs * 0.0)};
  for (const size_t q : {size_t{0}, size_t{2}, size_t{3}, size_t{17}}) {
    TavroSV a = static_random(18, 5), b = static_random(18, 5);
    ASSERT_TRUE(a.apply_u(u.theta, u.phi, u.lmbda, q).has_value());
    ASSERT_TRUE(b.apply_gate_1q(m, q).has_value());
    EXPECT_EQ(0, std::memcmp(a.amplitudes().data(), b.amplitudes().data(), a.len() * sizeof(Amp)))
        << "q=" << q;
  }
  // U(theta, 0, 0) is RY(theta) in value.
  TavroSV a = static_random(6, 8), b = static_random(6, 8);
  ASSERT_TRUE(a.apply_u(u.theta, 0.0, 0.0, 4).has_value());
  ASSERT_TRUE(b.apply_ry(u.theta, 4).has_value());
  for (size_t i = 0; i < a.len(); ++i) {
    EXPECT_NEAR(a.amplitudes()[i].real(), b.amplitudes()[i].real(), 1e-15) << i;
    EXPECT_NEAR(a.amplitudes()[i].imag(), b.amplitudes()[i].imag(), 1e-15) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(OneQubit, UMatrix, testing::ValuesIn(U_CASES));

// ---- compositions ----

// S twice is Z and S then Sdg restores the high amplitudes exactly, up to the sign of zero parts
// (a -0.0 and +0.0 compare equal); the low ones are never touched.
TEST(GateOneQubit, PhaseCompositions) {
  for (const size_t q : {size_t{0}, size_t{2}, size_t{3}, size_t{7}}) {
    TavroSV ss = static_random(8, 21), z = static_random(8, 21), back = static_random(8, 21);
    const TavroSV orig = static_random(8, 21);
    ASSERT_TRUE(ss.apply_s(q) && ss.apply_s(q));
    ASSERT_TRUE(z.apply_z(q));
    ASSERT_TRUE(back.apply_s(q) && back.apply_sdg(q));
    for (size_t i = 0; i < ss.len(); ++i) {
      EXPECT_EQ(ss.amplitudes()[i], z.amplitudes()[i]) << "q=" << q << " i=" << i;
      EXPECT_EQ(back.amplitudes()[i], orig.amplitudes()[i]) << "q=" << q << " i=" << i;
    }
  }
}

}  // namespace
}  // namespace tavro
