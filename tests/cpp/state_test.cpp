#include <gtest/gtest.h>

#include <algorithm>
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

std::string limit(const std::string& n) {
  return "invalid number of qubits: " + n + " qubits: 2^" + n +
         " amplitudes of 16 bytes each cannot be addressed on a 64-bit host";
}

// The qubit limit comes before any allocation, bitstring entry or length check.
TEST(StateConstruct, Errors) {
  const std::pair<Result<TavroSV>, std::string> cases[] = {
      {TavroSV::zero(60), limit("60")},
      {TavroSV::from_bitstring(std::vector<uint8_t>(60, 7)), limit("60")},
      {TavroSV::from_amplitudes(60, std::vector<Amp>(3)), limit("60")},
      {TavroSV::zero_dynamic(4000000000u), limit("4000000000")},
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
  EXPECT_EQ(shape(TavroSV::zero(3).value()) + " " + shape(TavroSV::zero_dynamic(5).value()),
            "8/8/3 1/32/0");
}

// Slots go out in first-touch order, controls resolve in list order; a clone is deep and a reset
// keeps the slots; an allocation doubles the buffer, old amplitudes keep their index and the new
// half is zero.
TEST(StateSlots, ResolveCloneResetAndMapControls) {
  auto sv = TavroSV::zero_dynamic(20).value();
  for (const auto& [q, slot] : {std::pair{2u, 0u}, {0u, 1u}, {2u, 0u}})
    EXPECT_EQ(*sv.resolve(q), slot);
  sv.amps()[3] = Amp(4, 0);
  auto copy = sv.clone();
  ASSERT_TRUE(copy.resolve(1));
  copy.reset_to_zero();
  EXPECT_EQ(shape(copy) + " " + shape(sv),
            "8/1048576/3 0:1 1:2 2:0 64:2 65:0 66:1 4/1048576/2 0:1 2:0 64:2 65:0");
  EXPECT_EQ(std::make_pair(*sv.get(3), *copy.get(3)), std::make_pair(Amp(4, 0), Amp(0, 0)));
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

// On a dynamic state every check comes before the first allocation; the first qubit is checked and
// placed first.
TEST(StateSlots, Phys2) {
  const std::tuple<size_t, size_t, std::string, std::string> cases[] = {
      {3, 1, "0,1", "4/16/2 1:1 3:0 64:3 65:1"},
      {1, 9, "qubit index 9 out of bounds for state vector with 4 qubits", "1/16/0"},
      {9, 10, "qubit index 9 out of bounds for state vector with 4 qubits", "1/16/0"},
      {2, 2, "two-qubit gate operands must be distinct, got (2, 2)", "1/16/0"}};
  for (const auto& [q1, q2, result, after] : cases) {
    auto sv = TavroSV::zero_dynamic(4).value();
    const auto r = sv.phys2(q1, q2);
    EXPECT_EQ(r ? std::to_string(r->first) + "," + std::to_string(r->second) : r.error().display(),
              result);
    EXPECT_EQ(shape(sv), after);
  }
}

// The sum adds per-range partials (one range below the parallel cut-over), each from -0.0 in index
// order, in range order; normalize then multiplies every component once by 1 / sqrt of that sum
// (3 and 4i by 1/5 = 0.2: 0.6000000000000001), and a zero or NaN norm leaves the state alone
// (-0.0 + (+0.0) is +0.0, so zeros sum to +0.0). The copies of from_amplitudes and clone, and
// the reset, run on the pool too and must land every piece at its offset. No squared magnitude
// fuses: for (re, im) below, re*re = 1 + 2^-26 + 2^-54 drops its last term when rounded and
// im*im ~ 0.75 ulp(1) then decides the rounding, so a fused re*re + im*im lands one ulp higher.
TEST(StateNorm, ProbabilitySumAndNormalize) {
  const double re = 1.0 + std::ldexp(1.0, -27), im = std::sqrt(6.0) * std::ldexp(1.0, -28);
  ASSERT_NE(bits(re * re + im * im), bits(std::fma(re, re, im * im)));
  std::vector<Amp> big(size_t{1} << 17);
  for (size_t k = 0; k < big.size(); ++k) big[k] = Amp(std::sin(k * 0.7), std::cos(k * 1.3));
  std::vector<std::vector<Amp>> states = {
      {{re, im}}, {{-0.0, -0.0}, {-0.0, -0.0}}, {{NAN, 0}, {2, 0}}, {{3, 0}, {0, 4}}};
  for (const size_t len : {1 << 14, 1 << 17}) states.emplace_back(big.begin(), big.begin() + len);
  for (std::vector<Amp> v : states) {
    const size_t len = v.size(), t = par::NUM_THREADS();
    auto sv = TavroSV::from_amplitudes(std::countr_zero(len), v).value();
    auto copy = sv.clone();
    EXPECT_EQ(std::memcmp(copy.amplitudes().data(), v.data(), len * sizeof(Amp)), 0);
    const double p0 = v[0].real() * v[0].real() + v[0].imag() * v[0].imag();
    EXPECT_EQ(bits(*sv.probability(0)), bits(p0));
    EXPECT_EQ(bits(*sv.probability_logical(0)), bits(p0));
    const size_t chunk = len >= par::MIN_AMPS() && t >= 2 ? len / (4 * t) : len;
    double ns = chunk < len ? 0.0 : -0.0;  // the parallel partials are added from +0.0
    for (size_t b = 0; b < len; b += chunk) {
      double acc = -0.0;
      for (size_t k = b; k < std::min(len, b + chunk); ++k)
        acc = acc + (v[k].real() * v[k].real() + v[k].imag() * v[k].imag());
      ns = ns + acc;
    }
    ASSERT_EQ(bits(sv.norm_squared()), bits(ns)) << len;
    EXPECT_EQ(bits(sv.normalize()), bits(std::sqrt(ns)));
    const double factor = 1.0 / std::sqrt(ns);
    for (auto& a : v) a = ns > 0 ? Amp(a.real() * factor, a.imag() * factor) : a;
    EXPECT_EQ(std::memcmp(sv.amplitudes().data(), v.data(), len * sizeof(Amp)), 0) << len;
    copy.reset_to_zero();
    for (size_t k = 0; k < len; ++k) ASSERT_EQ(copy.amplitudes()[k], Amp(k == 0, 0)) << k;
  }
}

}  // namespace
}  // namespace tavro
