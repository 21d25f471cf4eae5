#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "par/pool.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

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

// ---- construction and the qubit limit ----

struct LimitCase {
  const char* name;
  Result<TavroSV> (*make)();
  size_t index;
  const char* display;
};

const LimitCase LIMIT_CASES[] = {
    {"zero60", [] { return TavroSV::zero(60); }, 0,
     "invalid number of qubits: 60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed "
     "on a 64-bit host"},
    {"zero64", [] { return TavroSV::zero(64); }, 0,
     "invalid number of qubits: 64 qubits: 2^64 amplitudes of 16 bytes each cannot be addressed "
     "on a 64-bit host"},
    {"zero4e9", [] { return TavroSV::zero(4000000000u); }, 0,
     "invalid number of qubits: 4000000000 qubits: 2^4000000000 amplitudes of 16 bytes each "
     "cannot be addressed on a 64-bit host"},
    {"dynamic60", [] { return TavroSV::zero_dynamic(60); }, 0,
     "invalid number of qubits: 60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed "
     "on a 64-bit host"},
    {"zero59", [] { return TavroSV::zero(59); }, 6,
     "allocation failed for 576460752303423488 complex amplitudes (8589934592 GiB)"},
    {"dynamic59", [] { return TavroSV::zero_dynamic(59); }, 6,
     "allocation failed for 576460752303423488 complex amplitudes (8589934592 GiB)"},
    {"zero40", [] { return TavroSV::zero(40); }, 6,
     "allocation failed for 1099511627776 complex amplitudes (16384 GiB)"},
    {"dynamic40", [] { return TavroSV::zero_dynamic(40); }, 6,
     "allocation failed for 1099511627776 complex amplitudes (16384 GiB)"},
    // The limit is checked before any entry is looked at.
    {"bits60", [] { return TavroSV::from_bitstring(std::vector<uint8_t>(60, 7)); }, 0,
     "invalid number of qubits: 60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed "
     "on a 64-bit host"},
    {"bits_bad_entry",
     [] {
       return TavroSV::from_bitstring(std::vector<uint8_t>{0, 2, 3});
     },
     4, "invalid basis-state index: bitstring entries must be 0 or 1, got 2 at qubit 1"},
    {"bits_bad_last",
     [] {
       return TavroSV::from_bitstring(std::vector<uint8_t>{1, 1, 255});
     },
     4, "invalid basis-state index: bitstring entries must be 0 or 1, got 255 at qubit 2"},
    {"amps_short", [] { return TavroSV::from_amplitudes(2, std::vector<Amp>(3)); }, 5,
     "invalid state-vector buffer length: expected 4, got 3"},
    // Limit before length.
    {"amps60", [] { return TavroSV::from_amplitudes(60, std::vector<Amp>(3)); }, 0,
     "invalid number of qubits: 60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed "
     "on a 64-bit host"},
};

class ConstructorErrors : public testing::TestWithParam<LimitCase> {};

TEST_P(ConstructorErrors, ReturnErrorValue) {
  const auto r = GetParam().make();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().index(), GetParam().index);
  EXPECT_EQ(r.error().display(), GetParam().display);
}

INSTANTIATE_TEST_SUITE_P(State, ConstructorErrors, testing::ValuesIn(LIMIT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StateConstruct, ZeroQubits) {
  for (auto make :
       {+[] { return TavroSV::zero(0); }, +[] { return TavroSV::from_bitstring({}); }}) {
    const auto sv = must(make());
    ASSERT_EQ(sv.len(), 1u);
    EXPECT_EQ(sv.num_qubits(), 0u);
    EXPECT_EQ(sv.live_qubits(), 0u);
    EXPECT_EQ(sv.amplitudes()[0], Amp(1.0, 0.0));
  }
}

TEST(StateConstruct, ZeroFillsEveryAmplitude) {
  // 2^20 amplitudes take the kernel-zeroed path, 2^10 the explicit fill.
  for (uint32_t n : {10u, 20u}) {
    const auto sv = must(TavroSV::zero(n));
    ASSERT_EQ(sv.len(), size_t{1} << n);
    EXPECT_EQ(sv.capacity(), size_t{1} << n);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(sv.amplitudes().data()) % 64, 0u);
    EXPECT_EQ(sv.amplitudes()[0], Amp(1.0, 0.0));
    for (size_t k = 1; k < sv.len(); ++k) ASSERT_EQ(sv.amplitudes()[k], Amp(0.0, 0.0)) << k;
  }
}

TEST(StateConstruct, DynamicReservesFullCapacity) {
  const auto sv = must(TavroSV::zero_dynamic(5));
  EXPECT_EQ(sv.len(), 1u);
  EXPECT_EQ(sv.live_qubits(), 0u);
  EXPECT_TRUE(sv.is_dynamic());
  EXPECT_EQ(sv.capacity(), 32u);
  for (uint8_t b : *sv.slots()) EXPECT_EQ(b, NO_SLOT);
}

TEST(StateConstruct, BitstringQubitZeroIsLeastSignificant) {
  const struct {
    std::vector<uint8_t> bits;
    size_t index;
  } cases[] = {{{0, 1, 1}, 6}, {{1, 0, 1}, 5}, {{1}, 1}, {{0, 0, 0, 0, 1}, 16}};
  for (const auto& c : cases) {
    const auto sv = must(TavroSV::from_bitstring(c.bits));
    ASSERT_EQ(sv.len(), size_t{1} << c.bits.size());
    for (size_t k = 0; k < sv.len(); ++k) {
      EXPECT_EQ(sv.amplitudes()[k], k == c.index ? Amp(1, 0) : Amp(0, 0)) << k;
    }
  }
}

TEST(StateConstruct, FromAmplitudesCopiesWithoutNormalising) {
  std::vector<Amp> v = {{3, 0}, {0, 4}, {0, 0}, {-0.0, -0.0}};
  auto sv = must(TavroSV::from_amplitudes(2, v));
  v[0] = Amp(9, 9);
  EXPECT_EQ(std::memcmp(sv.amplitudes().data() + 1, v.data() + 1, 3 * sizeof(Amp)), 0);
  EXPECT_EQ(sv.amplitudes()[0], Amp(3, 0));
  EXPECT_EQ(sv.norm_squared(), 25.0);
}

// ---- copies and reset ----

TEST(StateCopy, DynamicCloneIsIndependent) {
  auto sv = must(TavroSV::zero_dynamic(10));
  ASSERT_TRUE(sv.resolve(7));
  ASSERT_TRUE(sv.resolve(3));
  sv.amps()[3] = Amp(0.5, -0.25);
  auto copy = sv.clone();
  EXPECT_EQ(copy.len(), 4u);
  EXPECT_EQ(copy.capacity(), 1024u);
  EXPECT_EQ(*copy.slots(), *sv.slots());
  EXPECT_EQ(copy.live_qubits(), 2u);
  EXPECT_EQ(copy.amplitudes()[3], Amp(0.5, -0.25));
  ASSERT_TRUE(copy.resolve(1));
  copy.amps()[3] = Amp(1, 1);
  EXPECT_EQ(sv.len(), 4u);
  EXPECT_EQ(sv.amplitudes()[3], Amp(0.5, -0.25));
  EXPECT_FALSE(sv.is_allocated(1));
}

TEST(StateCopy, LargeStaticCloneIsBitIdentical) {
  const auto v = random_amps(size_t{1} << 18, 1);
  const auto sv = must(TavroSV::from_amplitudes(18, v));
  const auto copy = sv.clone();
  EXPECT_EQ(copy.capacity(), copy.len());
  EXPECT_FALSE(copy.is_dynamic());
  EXPECT_EQ(std::memcmp(copy.amplitudes().data(), v.data(), v.size() * sizeof(Amp)), 0);
}

TEST(StateCopy, ResetKeepsDynamicSlots) {
  auto sv = must(TavroSV::zero_dynamic(5));
  for (size_t q : {4, 0, 2}) ASSERT_TRUE(sv.resolve(q));
  for (auto& a : sv.amps()) a = Amp(0.1, 0.2);
  const SlotTable before = *sv.slots();
  sv.reset_to_zero();
  EXPECT_EQ(sv.len(), 8u);
  EXPECT_EQ(sv.live_qubits(), 3u);
  EXPECT_EQ(*sv.slots(), before);
  EXPECT_EQ(sv.amplitudes()[0], Amp(1, 0));
  for (size_t k = 1; k < 8; ++k) EXPECT_EQ(sv.amplitudes()[k], Amp(0, 0));
}

TEST(StateCopy, ResetLargeStaticState) {
  auto sv = must(TavroSV::from_amplitudes(17, random_amps(size_t{1} << 17, 2)));
  sv.reset_to_zero();
  EXPECT_EQ(sv.amplitudes()[0], Amp(1, 0));
  for (size_t k = 1; k < sv.len(); ++k) ASSERT_EQ(sv.amplitudes()[k], Amp(0, 0)) << k;
}

// ---- reads ----

TEST(StateReads, PhysicalIndexBoundByLengthMessageByDeclaredWidth) {
  auto sv = must(TavroSV::zero_dynamic(5));
  for (size_t q : {1, 3, 4}) ASSERT_TRUE(sv.resolve(q));
  sv.amps()[7] = Amp(0.25, 0.5);
  EXPECT_EQ(*sv.get(7), Amp(0.25, 0.5));
  EXPECT_EQ(*sv.probability(7), 0.25 * 0.25 + 0.5 * 0.5);
  for (auto r : {sv.get(8).error(), sv.probability(8).error()}) {
    EXPECT_EQ(r.display(), "invalid basis-state index: index 8 >= 2^5");
  }
  EXPECT_EQ(sv.get(SIZE_MAX).error().display(),
            "invalid basis-state index: index 18446744073709551615 >= 2^5");
}

TEST(StateReads, ProbabilityDoesNotFuse) {
  // re*re = 1 + 2^-26 + 2^-54 drops its last term when rounded; im*im ~ 0.75 ulp(1) then
  // decides the rounding, so a fused re*re + im*im would land one ulp higher.
  const double re = 1.0 + std::ldexp(1.0, -27);
  const double im = std::sqrt(6.0) * std::ldexp(1.0, -28);
  const auto sv = must(TavroSV::from_amplitudes(0, std::vector<Amp>{{re, im}}));
  const double re2 = re * re;
  const double im2 = im * im;
  ASSERT_NE(bits(re2 + im2), bits(std::fma(re, re, im2)));
  EXPECT_EQ(bits(*sv.probability(0)), bits(re2 + im2));
  EXPECT_EQ(bits(*sv.probability_logical(0)), bits(re2 + im2));
}

// ---- slots and logical reads ----

TEST(StateSlots, AllocationOrderAndTable) {
  auto sv = must(TavroSV::zero_dynamic(4));
  EXPECT_EQ(*sv.resolve(2), 0u);
  EXPECT_EQ(sv.len(), 2u);
  EXPECT_EQ(*sv.resolve(0), 1u);
  EXPECT_EQ(sv.len(), 4u);
  EXPECT_EQ(*sv.resolve(2), 0u);  // an allocated qubit keeps its slot
  SlotTable expected;
  expected.fill(NO_SLOT);
  expected[2] = 0;
  expected[0] = 1;
  expected[64] = 2;
  expected[65] = 0;
  EXPECT_EQ(*sv.slots(), expected);
  EXPECT_EQ(sv.live_qubits(), 2u);
}

TEST(StateSlots, AllocationZeroesTheNewHalf) {
  auto sv = must(TavroSV::zero_dynamic(20));
  for (size_t q = 0; q < 17; ++q) ASSERT_TRUE(sv.resolve(q));
  ASSERT_EQ(sv.len(), size_t{1} << 17);
  for (auto& a : sv.amps()) a = Amp(1, 1);
  ASSERT_TRUE(sv.resolve(19));
  const auto a = sv.amplitudes();
  for (size_t k = 0; k < a.size() / 2; ++k) ASSERT_EQ(a[k], Amp(1, 1)) << k;
  for (size_t k = a.size() / 2; k < a.size(); ++k) ASSERT_EQ(a[k], Amp(0, 0)) << k;
}

struct Phys2Case {
  const char* name;
  bool dynamic;
  size_t q1, q2;
  size_t error_index;  // SIZE_MAX: success
  const char* display;
  size_t s1, s2;
};

const Phys2Case PHYS2_CASES[] = {
    {"fresh_dynamic_first_gets_lower", true, 3, 1, SIZE_MAX, "", 0, 1},
    {"static_identity", false, 3, 1, SIZE_MAX, "", 3, 1},
    {"second_out_of_range", true, 1, 9, 1,
     "qubit index 9 out of bounds for state vector with 4 qubits", 0, 0},
    {"first_reported_first", true, 9, 10, 1,
     "qubit index 9 out of bounds for state vector with 4 qubits", 0, 0},
    {"range_before_duplicate", false, 9, 9, 1,
     "qubit index 9 out of bounds for state vector with 4 qubits", 0, 0},
    {"duplicate", true, 2, 2, 2, "two-qubit gate operands must be distinct, got (2, 2)", 0, 0},
};

class Phys2 : public testing::TestWithParam<Phys2Case> {};

TEST_P(Phys2, ChecksThenAllocates) {
  const auto& c = GetParam();
  auto sv = must(c.dynamic ? TavroSV::zero_dynamic(4) : TavroSV::zero(4));
  const auto r = sv.phys2(c.q1, c.q2);
  if (c.error_index == SIZE_MAX) {
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->first, c.s1);
    EXPECT_EQ(r->second, c.s2);
    return;
  }
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().index(), c.error_index);
  EXPECT_EQ(r.error().display(), c.display);
  EXPECT_EQ(sv.live_qubits(), c.dynamic ? 0u : 4u);  // nothing allocated
  EXPECT_EQ(sv.len(), c.dynamic ? 1u : 16u);
}

INSTANTIATE_TEST_SUITE_P(State, Phys2, testing::ValuesIn(PHYS2_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StateSlots, ResolveOutOfRange) {
  auto sv = must(TavroSV::zero_dynamic(4));
  const auto r = sv.resolve(4);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().debug(), "QubitIndexOutOfBounds { qubit: 4, num_qubits: 4 }");
  EXPECT_EQ(sv.live_qubits(), 0u);
}

TEST(StateSlots, MapControls) {
  auto sv = must(TavroSV::zero_dynamic(6));
  ASSERT_TRUE(sv.resolve(5));  // slot 0
  const std::vector<size_t> controls = {2, 5, 0};
  size_t out[3] = {};
  EXPECT_EQ(sv.map_controls(controls, out), 0b111u);
  EXPECT_EQ(out[0], 1u);
  EXPECT_EQ(out[1], 0u);
  EXPECT_EQ(out[2], 2u);
  EXPECT_EQ(sv.live_qubits(), 3u);

  auto small = must(TavroSV::zero(3));
  const std::vector<size_t> bad = {1, 7};
  try {
    small.map_controls(bad, out);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_STREQ(f.what(),
                 "controls were validated by check_controls: QubitIndexOutOfBounds { qubit: 7, "
                 "num_qubits: 3 }");
  }
}

TEST(StateSlots, LogicalReads) {
  auto sv = must(TavroSV::zero_dynamic(4));
  ASSERT_TRUE(sv.resolve(2));  // slot 0
  ASSERT_TRUE(sv.resolve(0));  // slot 1
  // physical index: bit0 = qubit 2, bit1 = qubit 0
  const Amp vals[4] = {{1, 0}, {2, 0}, {3, 0}, {4, 0}};
  for (size_t k = 0; k < 4; ++k) sv.amps()[k] = vals[k];
  EXPECT_EQ(*sv.get_logical(0b0001), vals[2]);
  EXPECT_EQ(*sv.get_logical(0b0100), vals[1]);
  EXPECT_EQ(*sv.get_logical(0b0101), vals[3]);
  EXPECT_EQ(*sv.get_logical(0b0010), Amp(0, 0));  // qubit 1 untouched
  EXPECT_EQ(*sv.get_logical(0b1101), Amp(0, 0));
  EXPECT_EQ(*sv.probability_logical(0b0101), 16.0);
  EXPECT_EQ(sv.get_logical(16).error().display(), "invalid basis-state index: index 16 >= 2^4");
  EXPECT_EQ(sv.get_logical(SIZE_MAX).error().index(), 4u);

  auto empty = must(TavroSV::zero_dynamic(4));
  EXPECT_EQ(*empty.get_logical(0), Amp(1, 0));
  EXPECT_EQ(*empty.get_logical(0b0100), Amp(0, 0));
  auto st = must(TavroSV::zero(0));
  EXPECT_EQ(st.get_logical(1).error().display(), "invalid basis-state index: index 1 >= 2^0");
}

TEST(StateSlots, IsAllocated) {
  auto st = must(TavroSV::zero(4));
  auto dy = must(TavroSV::zero_dynamic(4));
  ASSERT_TRUE(dy.resolve(1));
  EXPECT_TRUE(st.is_allocated(3));
  EXPECT_FALSE(st.is_allocated(7));
  EXPECT_FALSE(dy.is_allocated(7));
  EXPECT_FALSE(dy.is_allocated(SIZE_MAX));
  EXPECT_TRUE(dy.is_allocated(1));
  EXPECT_FALSE(dy.is_allocated(0));
}

// ---- norms ----

TEST(StateNorm, SmallCases) {
  auto one = must(TavroSV::zero(0));
  EXPECT_EQ(one.norm_squared(), 1.0);
  EXPECT_EQ(one.normalize(), 1.0);
  EXPECT_EQ(one.amplitudes()[0], Amp(1, 0));

  // -0.0 + (+0.0) is +0.0: an all-zero buffer sums to +0.0 even from the -0.0 start.
  auto zeros = must(TavroSV::from_amplitudes(2, std::vector<Amp>(4, Amp(-0.0, -0.0))));
  EXPECT_EQ(bits(zeros.norm_squared()), bits(0.0));
  EXPECT_EQ(bits(zeros.normalize()), bits(0.0));
  EXPECT_EQ(bits(zeros.amplitudes()[1].real()), bits(-0.0));

  auto nan = must(TavroSV::from_amplitudes(1, std::vector<Amp>{{NAN, 0}, {2, 0}}));
  EXPECT_TRUE(std::isnan(nan.normalize()));
  EXPECT_EQ(nan.amplitudes()[1], Amp(2, 0));

  auto v = must(TavroSV::from_amplitudes(1, std::vector<Amp>{{3, 0}, {0, 4}}));
  EXPECT_EQ(v.normalize(), 5.0);
  EXPECT_EQ(bits(v.amplitudes()[0].real()), bits(0.6000000000000001));
  EXPECT_EQ(bits(v.amplitudes()[1].imag()), bits(0.8));
  EXPECT_EQ(bits(v.amplitudes()[1].real()), bits(0.0));

  auto inf = must(TavroSV::from_amplitudes(1, std::vector<Amp>{{INFINITY, 0}, {2, 0}}));
  EXPECT_EQ(inf.normalize(), INFINITY);
  EXPECT_TRUE(std::isnan(inf.amplitudes()[0].real()));
  EXPECT_EQ(inf.amplitudes()[1], Amp(0, 0));
}

// The parallel sum adds per-range partials, each from -0.0 in index order, in range order.
TEST(StateNorm, LargeSumFollowsTheRangeCut) {
  for (uint32_t n : {14u, 16u, 17u}) {
    const auto v = random_amps(size_t{1} << n, n);
    const auto sv = must(TavroSV::from_amplitudes(n, v));
    auto range_sum = [&](size_t b, size_t e) {
      double acc = -0.0;
      for (size_t k = b; k < e; ++k) {
        const double re2 = v[k].real() * v[k].real();
        const double im2 = v[k].imag() * v[k].imag();
        acc = acc + (re2 + im2);
      }
      return acc;
    };
    double expected;
    const size_t len = v.size();
    if (len < par::MIN_AMPS() || par::NUM_THREADS() < 2) {
      expected = range_sum(0, len);
    } else {
      const size_t chunk = std::max<size_t>(len / (4 * par::NUM_THREADS()), 1);
      expected = 0.0;
      for (size_t b = 0; b < len; b += chunk)
        expected = expected + range_sum(b, std::min(len, b + chunk));
    }
    EXPECT_EQ(bits(sv.norm_squared()), bits(expected)) << n;
  }
}

TEST(StateNorm, LargeNormalizeScalesEveryComponentOnce) {
  const auto v = random_amps(size_t{1} << 17, 9);
  auto sv = must(TavroSV::from_amplitudes(17, v));
  const double ns = sv.norm_squared();
  const double factor = 1.0 / std::sqrt(ns);
  EXPECT_EQ(bits(sv.normalize()), bits(std::sqrt(ns)));
  for (size_t k = 0; k < v.size(); ++k) {
    ASSERT_EQ(bits(sv.amplitudes()[k].real()), bits(v[k].real() * factor)) << k;
    ASSERT_EQ(bits(sv.amplitudes()[k].imag()), bits(v[k].imag() * factor)) << k;
  }
}

}  // namespace
}  // namespace tavro
