// The dense k-qubit and diagonal gate operations of TavroSV: both failure tables in their order
// with their texts, leaving the state as it was; dense gates on 3 to 5 qubits against a long
// double matrix-vector product on static and dynamic states; 1 and 2 targets bit for bit as the
// one- and two-qubit operations; slots allocated in argument order; diagonal gates bit for bit
// against their definition on every Highway target, from one short group to 2^18 amplitudes cut
// among the workers.
#include <gtest/gtest.h>
#include <hwy/targets.h>

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

using CL = std::complex<long double>;
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
std::vector<Amp> copy_of(const TavroSV& sv) {
  return {sv.amplitudes().begin(), sv.amplitudes().end()};
}
std::vector<Amp> logical(const TavroSV& sv) {
  std::vector<Amp> v(P2(sv.num_qubits()));
  for (size_t i = 0; i < v.size(); ++i) v[i] = sv.get_logical(i).value();
  return v;
}
// The local index of basis index i: bit (k-1-j) is the bit of qubit q[j].
size_t local(size_t i, const Qubits& q) {
  size_t r = 0;
  for (const size_t t : q) r = (r << 1) | ((i >> t) & 1);
  return r;
}
// Basis index i with its target bits set to local index c.
size_t with_local(size_t i, const Qubits& q, size_t c) {
  for (size_t j = 0; j < q.size(); ++j) {
    const size_t bit = (c >> (q.size() - 1 - j)) & 1;
    i = (i & ~P2(q[j])) | (bit << q[j]);
  }
  return i;
}

// A static state of random amplitudes, or a dynamic one prepared by U gates on `touched` (in
// that order, so its slots differ from the qubits) and a CX between the first two.
TavroSV prepared(bool dynamic, uint32_t n, const Qubits& touched, uint64_t seed) {
  if (!dynamic) return TavroSV::from_amplitudes(n, randoms(P2(n), seed)).value();
  TavroSV sv = TavroSV::zero_dynamic(n).value();
  double th = 0.3 + 0.01 * static_cast<double>(seed);
  for (const size_t q : touched) {
    EXPECT_TRUE(sv.apply_u(th, 2 * th, -th, q));
    th += 0.41;
  }
  if (touched.size() >= 2) {
    EXPECT_TRUE(sv.apply_cx(touched[0], touched[1]));
  }
  return sv;
}

// ---- failures ----

struct Failure {
  const char* name;
  bool diag;
  Qubits targets;
  size_t len;
  std::string text;
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

const std::string OOB = "qubit index ", OOB_END = " out of bounds for state vector with 5 qubits";
std::string dup(size_t q) {
  return "two-qubit gate operands must be distinct, got (" + std::to_string(q) + ", " +
         std::to_string(q) + ")";
}
const Failure FAILURES[] = {
    {"gate_k0",
     false,
     {},
     0,
     "invalid gate matrix: apply_gate_kq supports 1..=5 target qubits, got 0"},
    {"gate_k6_before_length",
     false,
     {0, 1, 2, 3, 4, 5},
     7,
     "invalid gate matrix: apply_gate_kq supports 1..=5 target qubits, got 6"},
    {"gate_length_before_targets",
     false,
     {0, 9, 9},
     63,
     "invalid gate matrix: gate for 3 qubits must be 8\u00d78 = 64 elements, got 63"},
    {"gate_k1_length",
     false,
     {9},
     16,
     "invalid gate matrix: gate for 1 qubits must be 2\u00d72 = 4 elements, got 16"},
    {"gate_k5_length",
     false,
     {0, 1, 2, 3, 4},
     1023,
     "invalid gate matrix: gate for 5 qubits must be 32\u00d732 = 1024 elements, got 1023"},
    {"gate_range_before_repeat", false, {2, 9, 2}, 64, OOB + "9" + OOB_END},
    {"gate_repeat_before_range", false, {2, 2, 9}, 64, dup(2)},
    {"gate_repeat_last", false, {0, 4, 3, 1, 4}, 1024, dup(4)},
    {"gate_k1_range", false, {5}, 4, OOB + "5" + OOB_END},
    {"gate_k2_range_before_repeat", false, {5, 5}, 16, OOB + "5" + OOB_END},
    {"gate_k2_repeat", false, {3, 3}, 16, dup(3)},
    {"diag_k0",
     true,
     {},
     0,
     "invalid gate matrix: apply_diag_kq supports 1..=10 target qubits, got 0"},
    {"diag_k11_before_length",
     true,
     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
     3,
     "invalid gate matrix: apply_diag_kq supports 1..=10 target qubits, got 11"},
    {"diag_length_before_targets",
     true,
     {0, 7},
     3,
     "invalid gate matrix: diagonal for 2 qubits must have 4 entries, got 3"},
    {"diag_k10_length",
     true,
     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
     1023,
     "invalid gate matrix: diagonal for 10 qubits must have 1024 entries, got 1023"},
    {"diag_range_before_repeat", true, {1, 6, 1}, 8, OOB + "6" + OOB_END},
    {"diag_repeat_before_range", true, {1, 1, 6}, 8, dup(1)},
    {"diag_k1_range", true, {7}, 2, OOB + "7" + OOB_END},
};

class MultiQubitFailure : public testing::TestWithParam<Failure> {};

// On a static state and on a dynamic one with qubits 3 and 0 live: the error, and no slot
// allocated, no length changed, no amplitude bit changed.
TEST_P(MultiQubitFailure, ReportsInOrderAndChangesNothing) {
  const Failure& f = GetParam();
  const std::vector<Amp> gate = randoms(f.len, 1);
  for (const bool dynamic : {false, true}) {
    TavroSV sv = prepared(dynamic, 5, {3, 0}, 2);
    const std::vector<Amp> before = copy_of(sv);
    const SlotTable slots = dynamic ? *sv.slots() : SlotTable{};
    const Status r = f.diag ? sv.apply_diag_kq(gate, f.targets) : sv.apply_gate_kq(gate, f.targets);
    ASSERT_FALSE(r.has_value()) << "dynamic=" << dynamic;
    EXPECT_EQ(r.error().display(), f.text);
    EXPECT_EQ(sv.live_qubits(), dynamic ? 2u : 5u);
    EXPECT_EQ(sv.len(), dynamic ? 4u : 32u);
    EXPECT_TRUE(same_bits(sv.amplitudes(), before)) << "dynamic=" << dynamic;
    if (dynamic) {
      EXPECT_EQ(*sv.slots(), slots);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, MultiQubitFailure, testing::ValuesIn(FAILURES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- dense gates ----

struct Dense {
  const char* name;
  bool dynamic;
  Qubits touched;  // dynamic: qubits live before the gate, in allocation order
  Qubits targets;
};
void PrintTo(const Dense& d, std::ostream* os) { *os << d.name; }

// On 7 qubits: lowest slot 0, 1, 2 and higher, targets ascending, descending and mixed, the top
// slot among them. On the dynamic states the targets' slots differ from their qubits, and some
// targets are allocated by the gate itself.
const Dense DENSE[] = {
    {"k3_asc_low", false, {}, {0, 1, 2}},
    {"k3_desc_low", false, {}, {2, 1, 0}},
    {"k3_lowest1", false, {}, {1, 4, 2}},
    {"k3_lowest2", false, {}, {2, 5, 3}},
    {"k3_top", false, {}, {6, 3, 4}},
    {"k4_mixed_top", false, {}, {4, 0, 6, 2}},
    {"k4_asc_high", false, {}, {3, 4, 5, 6}},
    {"k5_asc_low", false, {}, {0, 1, 2, 3, 4}},
    {"k5_desc_top", false, {}, {6, 5, 4, 3, 2}},
    {"k5_mixed", false, {}, {4, 0, 6, 2, 5}},
    {"dyn_k3_new", true, {5, 1}, {4, 1, 3}},
    {"dyn_k4_live", true, {6, 0, 5, 2, 3}, {0, 5, 2, 3}},
    {"dyn_k5_mixed", true, {2, 6, 4}, {3, 6, 0, 4, 1}},
};

class DenseGate : public testing::TestWithParam<Dense> {};

// Within 1e-12 of the long double product (the gate is random, not unitary) on every logical
// amplitude.
TEST_P(DenseGate, MatchesMatrixVectorProduct) {
  const Dense& t = GetParam();
  const size_t k = t.targets.size(), d = P2(k);
  const std::vector<Amp> gate = randoms(d * d, 10 + k);
  TavroSV sv = prepared(t.dynamic, 7, t.touched, k);
  const std::vector<Amp> in = logical(sv);
  ASSERT_TRUE(sv.apply_gate_kq(gate, t.targets));
  const std::vector<Amp> out = logical(sv);
  size_t bad = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const size_t r = local(i, t.targets);
    CL acc = 0;
    for (size_t c = 0; c < d; ++c) {
      const Amp x = in[with_local(i, t.targets, c)];
      acc += CL(gate[c * d + r].real(), gate[c * d + r].imag()) * CL(x.real(), x.imag());
    }
    bad += !(std::abs(CL(out[i].real(), out[i].imag()) - acc) <= 1e-12L);
  }
  EXPECT_EQ(bad, 0u);
  uint64_t live = 0;  // touched and targets: every target is allocated, nothing else
  for (const Qubits* qs : {&t.touched, &t.targets})
    for (const size_t q : *qs) live |= P2(q);
  if (t.dynamic) {
    EXPECT_EQ(sv.live_qubits(), static_cast<uint32_t>(std::popcount(live)));
  }
}

INSTANTIATE_TEST_SUITE_P(Slots, DenseGate, testing::ValuesIn(DENSE),
                         [](const auto& info) { return std::string(info.param.name); });

// One and two targets are the one- and two-qubit operations, slots and bits alike.
TEST(DenseGateSmall, OneAndTwoTargetsAreTheOneAndTwoQubitGates) {
  const Qubits CASES[] = {{3}, {0}, {1, 4}, {4, 1}, {0, 1}, {2, 5}, {5, 0}};
  for (const bool dynamic : {false, true}) {
    for (const Qubits& q : CASES) {
      const std::vector<Amp> g = randoms(P2(2 * q.size()), q.size());
      TavroSV a = prepared(dynamic, 6, {5, 1}, 4);
      TavroSV b = a.clone();
      ASSERT_TRUE(a.apply_gate_kq(g, q));
      if (q.size() == 1) {
        ASSERT_TRUE(b.apply_gate_1q({g[0], g[1], g[2], g[3]}, q[0]));
      } else {
        std::array<Amp, 16> m;
        std::copy(g.begin(), g.end(), m.begin());
        ASSERT_TRUE(b.apply_gate_2q(m, q[0], q[1]));
      }
      EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << q[0] << " dynamic=" << dynamic;
      if (dynamic) {
        EXPECT_EQ(*a.slots(), *b.slots());
      }
    }
  }
}

// The permutation i -> i ^ 4 flips the most significant local bit: X on targets[0], whichever
// body runs (values compared: the zero terms may turn -0.0 into +0.0).
TEST(DenseGateSmall, PermutationOfTheHighBitIsXOnTheFirstTarget) {
  std::vector<Amp> p(64, Amp(0.0, 0.0));
  for (size_t c = 0; c < 8; ++c) p[c * 8 + (c ^ 4)] = Amp(1.0, 0.0);
  for (const Qubits& q : {Qubits{3, 0, 5}, Qubits{1, 4, 0}, Qubits{2, 3, 5}, Qubits{5, 2, 3}}) {
    TavroSV a = prepared(false, 6, {}, 7);
    TavroSV b = a.clone();
    ASSERT_TRUE(a.apply_gate_kq(p, q));
    ASSERT_TRUE(b.apply_x(q[0]));
    size_t bad = 0;
    for (size_t i = 0; i < a.len(); ++i) bad += a.amplitudes()[i] != b.amplitudes()[i];
    EXPECT_EQ(bad, 0u) << q[0] << q[1] << q[2];
  }
}

// Untouched targets get the next slots in argument order and the buffer doubles for each.
TEST(DenseGateSmall, SlotsAllocatedInArgumentOrder) {
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

// ---- diagonal gates ----

// diag[idx] * a with idx the local index: re = d.re a.re - d.im a.im, im = d.im a.re + d.re a.im.
std::vector<Amp> diag_model(std::vector<Amp> a, const Qubits& q, const std::vector<Amp>& d) {
  for (size_t i = 0; i < a.size(); ++i) {
    const Amp e = d[local(i, q)], x = a[i];
    a[i] =
        Amp(e.real() * x.real() - e.imag() * x.imag(), e.imag() * x.real() + e.real() * x.imag());
  }
  return a;
}

struct Diag {
  const char* name;
  uint32_t n;
  Qubits targets;
};
void PrintTo(const Diag& d, std::ostream* os) { *os << d.name; }

// k = 1 to 10; only low targets, only high ones and both, in any order; buffers of one short
// group; 2^18 amplitudes, cut into chunks of whole groups by 3 and 8 workers.
const Diag DIAGS[] = {
    {"k1_high", 10, {7}},
    {"k1_low", 10, {1}},
    {"k2_low_high", 10, {1, 4}},
    {"k2_high_low", 10, {4, 1}},
    {"k3_low", 10, {0, 2, 1}},
    {"k4_mixed", 10, {9, 0, 5, 2}},
    {"k5_mixed", 10, {3, 8, 1, 6, 0}},
    {"k7_mixed", 10, {6, 2, 9, 0, 4, 7, 3}},
    {"k10_asc", 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
    {"k10_desc", 10, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
    {"k10_shuffled", 12, {11, 3, 0, 7, 2, 9, 5, 1, 10, 6}},
    {"short_k2", 2, {1, 0}},
    {"short_k2_of_3", 3, {0, 2}},
    {"one_group_k3", 3, {2, 0, 1}},
    {"large_k6", 18, {17, 2, 9, 0, 5, 12}},
    {"large_k2_low", 18, {1, 0}},
};

class DiagGate : public testing::TestWithParam<Diag> {};

// Every compiled Highway target (the scalar one runs the portable body), the large buffers on
// the best one alone.
TEST_P(DiagGate, MatchesDefinitionBitForBit) {
  const Diag& t = GetParam();
  const std::vector<Amp> d = randoms(P2(t.targets.size()), t.targets.size());
  const TavroSV sv = prepared(false, t.n, {}, t.n);
  const std::vector<Amp> want = diag_model(copy_of(sv), t.targets, d);
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  if (t.n > 12) targets.clear();
  targets.push_back(0);  // 0: no mock
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    TavroSV got = sv.clone();
    ASSERT_TRUE(got.apply_diag_kq(d, t.targets));
    EXPECT_TRUE(same_bits(got.amplitudes(), want)) << hwy::TargetName(target);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, DiagGate, testing::ValuesIn(DIAGS),
                         [](const auto& info) { return std::string(info.param.name); });

// (1, -1, 1, 1) negates exactly the amplitudes whose first target is 0 and second is 1.
TEST(DiagGateSmall, FirstTargetIsTheHighBitOfTheEntry) {
  const std::vector<Amp> d{1.0, -1.0, 1.0, 1.0};
  for (const Qubits& q : {Qubits{1, 4}, Qubits{4, 1}}) {
    TavroSV sv = prepared(false, 5, {}, 9);
    const std::vector<Amp> in = copy_of(sv);
    ASSERT_TRUE(sv.apply_diag_kq(d, q));
    size_t bad = 0;
    for (size_t i = 0; i < in.size(); ++i) {
      const bool negated = ((i >> q[0]) & 1) == 0 && ((i >> q[1]) & 1) == 1;
      bad += sv.amplitudes()[i] != (negated ? -in[i] : in[i]);
    }
    EXPECT_EQ(bad, 0u) << q[0] << ", " << q[1];
  }
}

// With one target and diag[0] equal to 1 by value the bit-0 half keeps its exact bits; two or
// more targets multiply every amplitude, also by 1 + 0i: -0.0 - (0 * -1.0) is +0.0, and a
// signalling NaN comes out quiet.
TEST(DiagGateSmall, OnlyOneTargetSkipsTheUnitEntry) {
  const double snan = std::bit_cast<double>(uint64_t{0x7FF0000000000001});
  const double qnan = std::bit_cast<double>(uint64_t{0xFFF800000000ABCD});
  const std::vector<Amp> in{Amp(snan, -0.0), Amp(-0.0, -1.0), Amp(qnan, 2.0), Amp(0.5, 0.25)};
  const Amp d1(0.6, -0.8);
  const Amp high(0.6 * 0.5 - (-0.8) * 0.25, -0.8 * 0.5 + 0.6 * 0.25);
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
  EXPECT_EQ(sv.amplitudes()[1].imag(), -1.0);
}

}  // namespace
}  // namespace tavro
