#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "par/pool.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// "len/capacity/live" and every slot-table entry that is not free, e.g. "4/16/2 0:1 2:0 64:2
// 65:0" for qubit 2 in slot 0 and qubit 0 in slot 1.
std::string shape(const TavroSV& sv) {
  std::string s = std::to_string(sv.len()) + "/" + std::to_string(sv.capacity()) + "/" +
                  std::to_string(sv.live_qubits());
  for (size_t i = 0; sv.slots() && i < 128; ++i)
    if ((*sv.slots())[i] != NO_SLOT)
      (s += " ") += std::to_string(i) + ":" + std::to_string((*sv.slots())[i]);
  return s;
}

// The qubit limit comes before any allocation, bitstring entry or length check.
TEST(StateConstruct, Errors) {
  const std::string limit60 =
      "invalid number of qubits: 60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed "
      "on a 64-bit host";
  const std::pair<Result<TavroSV>, std::string> cases[] = {
      {TavroSV::zero(60), limit60},
      {TavroSV::from_bitstring(std::vector<uint8_t>(60, 7)), limit60},
      {TavroSV::from_amplitudes(60, std::vector<Amp>(3)), limit60},
      {TavroSV::zero_dynamic(4000000000u),
       "invalid number of qubits: 4000000000 qubits: 2^4000000000 amplitudes of 16 bytes each "
       "cannot be addressed on a 64-bit host"},
      {TavroSV::zero(59),
       "allocation failed for 576460752303423488 complex amplitudes (8589934592 GiB)"},
      {TavroSV::from_bitstring(std::vector<uint8_t>{0, 2, 3}),
       "invalid basis-state index: bitstring entries must be 0 or 1, got 2 at qubit 1"},
      {TavroSV::from_amplitudes(2, std::vector<Amp>(3)),
       "invalid state-vector buffer length: expected 4, got 3"}};
  for (const auto& [r, display] : cases) EXPECT_EQ(r ? "ok" : r.error().display(), display);
}

// 2^20 amplitudes may come pre-zeroed from the allocator, 2^10 take the explicit fill.
TEST(StateConstruct, Shapes) {
  for (uint32_t n : {0u, 10u, 20u}) {
    const auto sv = TavroSV::zero(n).value();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(sv.amplitudes().data()) % 64, 0u);
    for (size_t k = 0; k < sv.len(); ++k) ASSERT_EQ(sv.amplitudes()[k], Amp(k == 0, 0)) << k;
  }
  EXPECT_EQ(*TavroSV::from_bitstring(std::vector<uint8_t>{0, 1, 1}).value().get(6), Amp(1, 0));
  EXPECT_EQ(shape(TavroSV::zero(3).value()), "8/8/3");
  EXPECT_EQ(shape(TavroSV::zero_dynamic(5).value()), "1/32/0");
}

// Physical reads are bounded by the length but report the declared width; a logical read
// of an untouched qubit's bit is zero without touching the buffer. A clone is deep.
TEST(StateReads, DynamicReadsCloneAndReset) {
  auto sv = TavroSV::zero_dynamic(5).value();
  for (size_t q : {2, 0, 4}) ASSERT_TRUE(sv.resolve(q));  // slots 0, 1, 2
  for (size_t k = 0; k < 8; ++k) sv.amps()[k] = Amp(k + 1.0, 0);
  EXPECT_EQ(sv.get(8).error().display(), "invalid basis-state index: index 8 >= 2^5");
  EXPECT_EQ(*sv.get_logical(0b00001), Amp(3, 0));
  EXPECT_EQ(*sv.get_logical(0b10100), Amp(6, 0));
  EXPECT_EQ(*sv.get_logical(0b01101), Amp(0, 0));
  EXPECT_EQ(sv.get_logical(32).error().display(), "invalid basis-state index: index 32 >= 2^5");
  EXPECT_EQ(std::make_tuple(sv.is_allocated(2), sv.is_allocated(1), sv.is_allocated(7)),
            std::make_tuple(true, false, false));
  auto st = TavroSV::zero(4).value();
  EXPECT_EQ(std::make_pair(st.is_allocated(3), st.is_allocated(7)), std::make_pair(true, false));
  auto copy = sv.clone();
  EXPECT_EQ(shape(copy), "8/32/3 0:1 2:0 4:2 64:2 65:0 66:4");
  ASSERT_TRUE(copy.resolve(1));
  copy.reset_to_zero();
  EXPECT_EQ(shape(copy), "16/32/4 0:1 1:3 2:0 4:2 64:2 65:0 66:4 67:1");
  EXPECT_EQ(shape(sv), "8/32/3 0:1 2:0 4:2 64:2 65:0 66:4");
  EXPECT_EQ(*sv.get(7), Amp(8, 0));
}

TEST(StateReads, ProbabilityDoesNotFuse) {
  // re*re = 1 + 2^-26 + 2^-54 drops its last term when rounded; im*im ~ 0.75 ulp(1) then
  // decides the rounding, so a fused re*re + im*im would land one ulp higher.
  const double re = 1.0 + std::ldexp(1.0, -27);
  const double im = std::sqrt(6.0) * std::ldexp(1.0, -28);
  const auto sv = TavroSV::from_amplitudes(0, std::vector<Amp>{{re, im}}).value();
  const double plain = re * re + im * im;
  ASSERT_NE(bits(plain), bits(std::fma(re, re, im * im)));
  EXPECT_EQ(bits(*sv.probability(0)), bits(plain));
  EXPECT_EQ(bits(*sv.probability_logical(0)), bits(plain));
}

// Slots go out in first-touch order, controls resolve in list order; an allocation doubles
// the buffer, old amplitudes keep their index and the new half is zero.
TEST(StateSlots, ResolveAndMapControls) {
  auto sv = TavroSV::zero_dynamic(20).value();
  EXPECT_EQ(*sv.resolve(2), 0u);
  EXPECT_EQ(*sv.resolve(0), 1u);
  EXPECT_EQ(*sv.resolve(2), 0u);
  EXPECT_EQ(shape(sv), "4/1048576/2 0:1 2:0 64:2 65:0");
  EXPECT_EQ(sv.resolve(20).error().debug(), "QubitIndexOutOfBounds { qubit: 20, num_qubits: 20 }");
  size_t out[3] = {};
  EXPECT_EQ(sv.map_controls(std::vector<size_t>{5, 0, 2}, out), 0b111u);
  EXPECT_EQ(std::vector<size_t>(out, out + 3), (std::vector<size_t>{2, 1, 0}));
  try {
    sv.map_controls(std::vector<size_t>{1, 20}, out);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_STREQ(f.what(),
                 "controls were validated by check_controls: QubitIndexOutOfBounds { qubit: 20, "
                 "num_qubits: 20 }");
  }
  for (size_t q = 3; q < 17; ++q) ASSERT_TRUE(sv.resolve(q));
  for (auto& a : sv.amps()) a = Amp(1, 1);
  ASSERT_TRUE(sv.resolve(19));
  const auto a = sv.amplitudes();
  for (size_t k = 0; k < a.size(); ++k) ASSERT_EQ(a[k], k < a.size() / 2 ? Amp(1, 1) : Amp(0, 0));
}

// Every check comes before the first allocation; the first qubit is checked and placed first.
TEST(StateSlots, Phys2) {
  const std::tuple<bool, size_t, size_t, std::string, std::string> cases[] = {
      {true, 3, 1, "0,1", "4/16/2 1:1 3:0 64:3 65:1"},
      {false, 3, 1, "3,1", "16/16/4"},
      {true, 1, 9, "qubit index 9 out of bounds for state vector with 4 qubits", "1/16/0"},
      {true, 9, 10, "qubit index 9 out of bounds for state vector with 4 qubits", "1/16/0"},
      {false, 9, 9, "qubit index 9 out of bounds for state vector with 4 qubits", "16/16/4"},
      {true, 2, 2, "two-qubit gate operands must be distinct, got (2, 2)", "1/16/0"}};
  for (const auto& [dynamic, q1, q2, result, after] : cases) {
    auto sv = (dynamic ? TavroSV::zero_dynamic(4) : TavroSV::zero(4)).value();
    const auto r = sv.phys2(q1, q2);
    EXPECT_EQ(r ? std::to_string(r->first) + "," + std::to_string(r->second) : r.error().display(),
              result);
    EXPECT_EQ(shape(sv), after);
  }
}

// (amplitudes, returned norm, amplitudes after): a zero or NaN norm leaves the state alone
// (-0.0 + (+0.0) is +0.0, so zeros sum to +0.0); 3 and 4i are multiplied by 1/5 = 0.2.
TEST(StateNorm, SmallCases) {
  const std::tuple<std::vector<Amp>, double, std::vector<Amp>> cases[] = {
      {{{-0.0, -0.0}, {-0.0, -0.0}}, 0.0, {{-0.0, -0.0}, {-0.0, -0.0}}},
      {{{NAN, 0}, {2, 0}}, NAN, {{NAN, 0}, {2, 0}}},
      {{{3, 0}, {0, 4}}, 5.0, {{0.6000000000000001, 0}, {0, 0.8}}}};
  for (const auto& [amps, norm, after] : cases) {
    auto sv = TavroSV::from_amplitudes(1, amps).value();
    EXPECT_EQ(bits(sv.normalize()), bits(norm));
    EXPECT_EQ(std::memcmp(sv.amplitudes().data(), after.data(), 2 * sizeof(Amp)), 0);
  }
}

// The parallel sum adds per-range partials, each from -0.0 in index order, in range order;
// normalize then multiplies every component once by 1 / sqrt of that sum. The copies of
// from_amplitudes and clone run on the pool too and must land every piece at its offset.
TEST(StateNorm, LargeStates) {
  for (uint32_t n : {14u, 17u}) {
    std::vector<Amp> v(size_t{1} << n);
    for (size_t k = 0; k < v.size(); ++k) v[k] = Amp(std::sin(k * 0.7), std::cos(k * 1.3));
    auto sv = TavroSV::from_amplitudes(n, v).value();
    auto copy = sv.clone();
    EXPECT_EQ(std::memcmp(copy.amplitudes().data(), v.data(), v.size() * sizeof(Amp)), 0);
    const size_t len = v.size();
    const size_t chunk = len >= par::MIN_AMPS() && par::NUM_THREADS() >= 2
                             ? std::max<size_t>(len / (4 * par::NUM_THREADS()), 1)
                             : len;
    double ns = chunk < len ? 0.0 : -0.0;  // the parallel partials are added from +0.0
    for (size_t b = 0; b < len; b += chunk) {
      double acc = -0.0;
      for (size_t k = b; k < std::min(len, b + chunk); ++k)
        acc = acc + (v[k].real() * v[k].real() + v[k].imag() * v[k].imag());
      ns = ns + acc;
    }
    ASSERT_EQ(bits(sv.norm_squared()), bits(ns)) << n;
    EXPECT_EQ(bits(sv.normalize()), bits(std::sqrt(ns)));
    const double factor = 1.0 / std::sqrt(ns);
    for (auto& a : v) a = Amp(a.real() * factor, a.imag() * factor);
    EXPECT_EQ(std::memcmp(sv.amplitudes().data(), v.data(), len * sizeof(Amp)), 0);
    copy.reset_to_zero();
    for (size_t k = 0; k < len; ++k) ASSERT_EQ(copy.amplitudes()[k], Amp(k == 0, 0)) << k;
  }
}

}  // namespace
}  // namespace tavro
