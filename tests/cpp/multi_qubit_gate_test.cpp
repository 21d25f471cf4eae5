// The dense k-qubit and diagonal gate operations of TavroSV: both failure tables in their order
// with their texts, leaving the state as it was; dense gates against a long double matrix-vector
// product on static and dynamic states; one and two targets bit for bit as the one- and two-qubit
// operations; slots allocated in argument order; the one-target diagonal's untouched half.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using Qubits = std::vector<size_t>;
constexpr size_t P2(size_t k) { return size_t{1} << k; }

std::vector<Amp> randoms(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (Amp& a : v) a = Amp(u(gen), u(gen));
  return v;
}
bool same_bits(std::span<const Amp> a, std::span<const Amp> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Amp)) == 0;
}
// Random amplitudes, or a dynamic state whose qubits `touched` got slots in that order from U
// gates and a CX, so that slots and qubits differ.
TavroSV prepared(bool dynamic, uint32_t n, const Qubits& touched, uint64_t seed) {
  if (!dynamic) return TavroSV::from_amplitudes(n, randoms(P2(n), seed)).value();
  TavroSV sv = TavroSV::zero_dynamic(n).value();
  for (size_t j = 0; j < touched.size(); ++j) {
    EXPECT_TRUE(sv.apply_u(0.3 + 0.4 * j, 0.7 * j, -0.2, touched[j]));
  }
  EXPECT_TRUE(sv.apply_cx(touched[0], touched[1]));
  return sv;
}

struct Failure {
  const char* name;
  bool diag;
  Qubits targets;
  size_t len;
  std::string text;
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

const std::string GM = "invalid gate matrix: ", OOB = "qubit index ",
                  OF5 = " out of bounds for state vector with 5 qubits",
                  DUP = "two-qubit gate operands must be distinct, got ";
const Failure FAILURES[] = {
    {"gate_k0", false, {}, 0, GM + "apply_gate_kq supports 1..=5 target qubits, got 0"},
    {"gate_k6_before_length",
     false,
     {0, 1, 2, 3, 4, 5},
     7,
     GM + "apply_gate_kq supports 1..=5 target qubits, got 6"},
    {"gate_length_before_targets",
     false,
     {0, 9, 9},
     63,
     GM + "gate for 3 qubits must be 8\u00d78 = 64 elements, got 63"},
    {"gate_k1_length",
     false,
     {9},
     16,
     GM + "gate for 1 qubits must be 2\u00d72 = 4 elements, got 16"},
    {"gate_range_before_repeat", false, {2, 9, 2}, 64, OOB + "9" + OF5},
    {"gate_repeat_before_range", false, {2, 2, 9}, 64, DUP + "(2, 2)"},
    {"gate_repeat_last", false, {0, 4, 3, 1, 4}, 1024, DUP + "(4, 4)"},
    {"gate_k2_range_before_repeat", false, {5, 5}, 16, OOB + "5" + OF5},
    {"diag_k0", true, {}, 0, GM + "apply_diag_kq supports 1..=10 target qubits, got 0"},
    {"diag_k11_before_length",
     true,
     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
     3,
     GM + "apply_diag_kq supports 1..=10 target qubits, got 11"},
    {"diag_length_before_targets",
     true,
     {0, 7},
     3,
     GM + "diagonal for 2 qubits must have 4 entries, got 3"},
    {"diag_range_before_repeat", true, {1, 6, 1}, 8, OOB + "6" + OF5},
    {"diag_repeat_before_range", true, {1, 1, 6}, 8, DUP + "(1, 1)"},
    {"diag_k1_range", true, {7}, 2, OOB + "7" + OF5},
};

class MultiQubitFailure : public testing::TestWithParam<Failure> {};

// On a static state and a dynamic one with qubits 3 and 0 live: no slot allocated, no length
// changed, no amplitude bit changed.
TEST_P(MultiQubitFailure, ReportsInOrderAndChangesNothing) {
  const Failure& f = GetParam();
  const std::vector<Amp> gate = randoms(f.len, 1);
  for (const bool dynamic : {false, true}) {
    TavroSV sv = prepared(dynamic, 5, {3, 0}, 2);
    const TavroSV before = sv.clone();
    const Status r = f.diag ? sv.apply_diag_kq(gate, f.targets) : sv.apply_gate_kq(gate, f.targets);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), f.text);
    EXPECT_EQ(sv.live_qubits(), before.live_qubits());
    EXPECT_EQ(sv.len(), before.len());
    EXPECT_TRUE(same_bits(sv.amplitudes(), before.amplitudes())) << "dynamic=" << dynamic;
    if (dynamic) {
      EXPECT_EQ(*sv.slots(), *before.slots());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, MultiQubitFailure, testing::ValuesIn(FAILURES),
                         [](const auto& info) { return std::string(info.param.name); });

// On 7 qubits, each within 1e-12 of the long double product with a random (not unitary) gate,
// read by logical index: both forms, the top slot, and on dynamic states targets whose slots
// differ from their qubits, some allocated by the gate itself.
TEST(DenseGate, MatchesLongDoubleProduct) {
  using CL = std::complex<long double>;
  const std::pair<Qubits, Qubits> CASES[] = {// (touched: dynamic when not empty, targets)
                                             {{}, {1, 4, 2}},
                                             {{}, {6, 3, 4}},
                                             {{}, {4, 0, 6, 2}},
                                             {{}, {6, 5, 4, 3, 2}},
                                             {{5, 1}, {4, 1, 3}},
                                             {{6, 0, 5}, {0, 5, 2, 3}},
                                             {{2, 6, 4}, {3, 6, 0, 4, 1}}};
  for (const auto& [touched, q] : CASES) {
    const size_t d = P2(q.size());
    const std::vector<Amp> g = randoms(d * d, q.size());
    TavroSV sv = prepared(!touched.empty(), 7, touched, d);
    std::vector<Amp> in(128);
    for (size_t i = 0; i < in.size(); ++i) in[i] = sv.get_logical(i).value();
    ASSERT_TRUE(sv.apply_gate_kq(g, q));
    size_t bad = 0;
    for (size_t i = 0; i < in.size(); ++i) {
      size_t r = 0, rest = i;
      for (const size_t t : q) {
        r = (r << 1) | ((i >> t) & 1);
        rest &= ~P2(t);
      }
      CL acc = 0;
      for (size_t c = 0; c < d; ++c) {
        size_t k = rest;
        for (size_t j = 0; j < q.size(); ++j) k |= ((c >> (q.size() - 1 - j)) & 1) << q[j];
        acc += CL(g[c * d + r].real(), g[c * d + r].imag()) * CL(in[k].real(), in[k].imag());
      }
      const Amp got = sv.get_logical(i).value();
      bad += !(std::abs(CL(got.real(), got.imag()) - acc) <= 1e-12L);
    }
    EXPECT_EQ(bad, 0u) << "targets from " << q[0] << ", " << touched.size() << " touched";
  }
}

// One and two targets are the one- and two-qubit operations, slots and bits alike.
TEST(DenseGate, OneAndTwoTargetsAreTheOneAndTwoQubitGates) {
  for (const bool dynamic : {false, true}) {
    for (const Qubits& q : {Qubits{3}, Qubits{0}, Qubits{1, 4}, Qubits{4, 1}, Qubits{0, 1}}) {
      const std::vector<Amp> g = randoms(P2(2 * q.size()), q.size());
      TavroSV a = prepared(dynamic, 6, {5, 1}, 4);
      TavroSV b = a.clone();
      ASSERT_TRUE(a.apply_gate_kq(g, q));
      std::array<Amp, 16> m{};
      std::copy(g.begin(), g.end(), m.begin());
      ASSERT_TRUE(q.size() == 1 ? b.apply_gate_1q({m[0], m[1], m[2], m[3]}, q[0])
                                : b.apply_gate_2q(m, q[0], q[1]));
      EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << q[0] << " dynamic=" << dynamic;
      if (dynamic) {
        EXPECT_EQ(*a.slots(), *b.slots());
      }
    }
  }
}

// Untouched targets get the next slots in argument order, the buffer doubling for each.
TEST(DenseGate, SlotsAllocatedInArgumentOrder) {
  TavroSV sv = TavroSV::zero_dynamic(5).value();
  ASSERT_TRUE(sv.apply_gate_kq(randoms(64, 3), Qubits{4, 1, 3}));
  const SlotTable& t = *sv.slots();
  EXPECT_EQ((std::array{t[4], t[1], t[3], t[64], t[65], t[66]}),
            (std::array<uint8_t, 6>{0, 1, 2, 4, 1, 3}));
  EXPECT_EQ(sv.len(), 8u);
  TavroSV dg = TavroSV::zero_dynamic(7).value();
  ASSERT_TRUE(dg.apply_diag_kq(randoms(4, 4), Qubits{6, 2}));
  EXPECT_EQ((std::array{(*dg.slots())[6], (*dg.slots())[2]}), (std::array<uint8_t, 2>{0, 1}));
  EXPECT_EQ(dg.len(), 4u);
}

// One target with diag[0] equal to 1 by value leaves the bit-0 half's bits alone (NaN payloads,
// signed zeros); two targets multiply every amplitude, also by 1 + 0i: a signalling NaN comes out
// quiet and -0.0 - (0 * -1.0) is +0.0.
TEST(DiagGate, OnlyOneTargetSkipsTheUnitEntry) {
  const double snan = std::bit_cast<double>(uint64_t{0x7FF0000000000001});
  const double qnan = std::bit_cast<double>(uint64_t{0xFFF800000000ABCD});
  const std::vector<Amp> in{Amp(snan, -0.0), Amp(-0.0, -1.0), Amp(qnan, 2.0), Amp(0.5, 0.25)};
  const Amp d1(0.6, -0.8), high(0.6 * 0.5 - (-0.8) * 0.25, -0.8 * 0.5 + 0.6 * 0.25);
  for (const Amp d0 : {Amp(1.0, 0.0), Amp(1.0, -0.0)}) {
    TavroSV sv = TavroSV::from_amplitudes(2, in).value();
    ASSERT_TRUE(sv.apply_diag_kq(std::vector<Amp>{d0, d1}, Qubits{1}));
    EXPECT_TRUE(same_bits(sv.amplitudes().first(2), std::span(in).first(2)));
    EXPECT_TRUE(same_bits(sv.amplitudes().subspan(3), std::span(&high, 1)));
  }
  TavroSV sv = TavroSV::from_amplitudes(2, in).value();
  ASSERT_TRUE(sv.apply_diag_kq(std::vector<Amp>(4, Amp(1.0, 0.0)), Qubits{1, 0}));
  const uint64_t re0 = std::bit_cast<uint64_t>(sv.amplitudes()[0].real());
  EXPECT_EQ(re0 & 0x7FF8000000000000, 0x7FF8000000000000u) << std::hex << re0;
  EXPECT_EQ(std::bit_cast<uint64_t>(sv.amplitudes()[1].real()), 0u);
}

}  // namespace
}  // namespace tavro
