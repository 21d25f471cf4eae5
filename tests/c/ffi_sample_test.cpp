// Measurement, release and sampling through the C interface, as a C caller sees them: the
// prototypes, the boundary checks (which must neither store an error nor advance the
// generator), the core errors with their codes and texts, the number of draws each call takes,
// and outcomes predicted by an independent model of the generator and of the Born rule.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tavro.h"

namespace {

// ---- the prototypes: parameter order and types as a C caller writes them

static_assert(std::is_same_v<decltype(&tavro_sv_measure_qubit),
                             int32_t (*)(TavroSVHandle*, size_t, TavroRng*, uint8_t*)>);
static_assert(std::is_same_v<decltype(&tavro_sv_reset_qubit),
                             int32_t (*)(TavroSVHandle*, size_t, TavroRng*, uint8_t*)>);
static_assert(std::is_same_v<decltype(&tavro_sv_free_qubit),
                             int32_t (*)(TavroSVHandle*, size_t, TavroRng*, uint8_t*)>);
static_assert(std::is_same_v<decltype(&tavro_sv_prob_zero),
                             int32_t (*)(const TavroSVHandle*, size_t, double*)>);
static_assert(
    std::is_same_v<decltype(&tavro_sv_sample),
                   int32_t (*)(const TavroSVHandle*, TavroRng*, size_t, uint8_t*, size_t)>);
static_assert(std::is_same_v<decltype(&tavro_sv_sample_bitstring),
                             int32_t (*)(const TavroSVHandle*, TavroRng*, uint8_t*, size_t)>);

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

std::string last_message() {
  const char* m = tavro_last_error_message();
  return m ? m : "<null>";
}

// ---- an independent model of the generator: SplitMix64 seeding, Xoshiro256++ steps

struct ModelRng {
  uint64_t s[4];

  explicit ModelRng(uint64_t seed) {
    for (uint64_t& w : s) {
      seed += 0x9e3779b97f4a7c15;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
      z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
      w = z ^ (z >> 31);
    }
  }
  uint64_t next_u64() {
    const uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = std::rotl(s[3], 45);
    return result;
  }
  double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }
};

// ---- an independent model of the Born rule: blocks of 2048 |a|^2 each summed from -0.0,
// running sums from +0.0, the first block whose running sum reaches r, then a scan.

using Amps = std::vector<TavroComplex>;

double abs2(const TavroComplex& a) { return a.re * a.re + a.im * a.im; }

struct ModelIndex {
  std::vector<double> entries;

  explicit ModelIndex(const Amps& amps) {
    double acc = 0.0;
    for (size_t b = 0; b * 2048 < amps.size(); ++b) {
      double sum = -0.0;
      for (size_t i = b * 2048; i < std::min(amps.size(), (b + 1) * 2048); ++i)
        sum += abs2(amps[i]);
      acc += sum;
      entries.push_back(acc);
    }
  }
  size_t locate(const Amps& amps, double r) const {
    size_t b = 0;  // the first entry not below r, at most the last
    while (b + 1 < entries.size() && entries[b] < r) ++b;
    double acc = b == 0 ? 0.0 : entries[b - 1];
    const size_t end = std::min(amps.size(), (b + 1) * 2048);
    for (size_t i = b * 2048; i < end; ++i) {
      acc += abs2(amps[i]);
      if (acc >= r) return i;
    }
    return end - 1;
  }
};

// Rows of a static state: byte (s, q) is bit q of the located index.
std::vector<uint8_t> model_rows(const Amps& amps, unsigned nq, ModelRng& g, size_t nshots) {
  const ModelIndex index(amps);
  std::vector<double> rs(nshots);
  for (double& r : rs) r = g.next_f64() * index.entries.back();
  std::vector<uint8_t> out;
  for (double r : rs) {
    const size_t idx = index.locate(amps, r);
    for (unsigned q = 0; q < nq; ++q) out.push_back(static_cast<uint8_t>((idx >> q) & 1));
  }
  return out;
}

Amps copy_out(const TavroSVHandle* h) {
  Amps v(tavro_sv_len(h));
  EXPECT_EQ(tavro_sv_copy_amplitudes(h, v.data(), v.size()), 0);
  return v;
}

std::vector<uint64_t> pattern(const Amps& v) {
  std::vector<uint64_t> out;
  for (const TavroComplex& c : v) {
    out.push_back(bits(c.re));
    out.push_back(bits(c.im));
  }
  return out;
}

Amps random_amps(unsigned n, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<double> normal;
  Amps v(size_t{1} << n);
  for (TavroComplex& a : v) a = {normal(g), normal(g)};
  return v;
}

TavroSVHandle* from(const Amps& v) {
  TavroSVHandle* h = tavro_sv_from_amplitudes(static_cast<uint32_t>(std::countr_zero(v.size())),
                                              v.data(), v.size());
  EXPECT_NE(h, nullptr);
  return h;
}

// ---- counting the draws a call took

constexpr uint64_t SEED = 0x5eed;

// A uniform 6-qubit state: every |a|^2 is 1/64, so every running sum is exact and a draw u
// lands on index ceil(64 u) - 1 (0 for u = 0) with no rounding to blur it.
TavroSVHandle* uniform_probe() {
  static const Amps amps(64, TavroComplex{0.125, 0.0});
  return tavro_sv_from_amplitudes(6, amps.data(), 64);
}

// How many draws `rng` (seeded with `seed`) has taken: eight probe shots are matched against
// the model's stream after k draws, for k up to `most`. nullopt when none matches.
std::optional<int> draws_taken(TavroRng* rng, uint64_t seed, int most = 16) {
  TavroSVHandle* probe = uniform_probe();
  std::vector<uint8_t> got(8 * 6);
  const int32_t rc = tavro_sv_sample(probe, rng, 8, got.data(), got.size());
  tavro_sv_free(probe);
  if (rc != 0) return std::nullopt;
  for (int k = 0; k <= most; ++k) {
    ModelRng g(seed);
    for (int i = 0; i < k; ++i) g.next_u64();
    std::vector<uint8_t> want;
    for (int s = 0; s < 8; ++s) {
      const double u = g.next_f64();
      const size_t idx = u == 0.0 ? 0 : static_cast<size_t>(std::ceil(u * 64)) - 1;
      for (int q = 0; q < 6; ++q) want.push_back(static_cast<uint8_t>((idx >> q) & 1));
    }
    if (want == got) return k;
  }
  return std::nullopt;
}

TEST(DrawCounter, SeesEveryDrawOfAKnownCall) {
  // The counter itself: k shots of sample take exactly k draws.
  for (size_t k : {0, 1, 2, 5, 13}) {
    TavroRng* rng = tavro_rng_new(SEED);
    TavroSVHandle* probe = uniform_probe();
    std::vector<uint8_t> sink(6 * k + 1);
    ASSERT_EQ(tavro_sv_sample(probe, rng, k, sink.data(), 6 * k), 0);
    EXPECT_EQ(draws_taken(rng, SEED), static_cast<int>(k));
    tavro_sv_free(probe);
    tavro_rng_free(rng);
  }
}

// ---- every function: status, last error, out-parameters and draws, one row each

constexpr uint8_t SENTINEL = 0xAB;
const double SENTINEL_D = std::bit_cast<double>(uint64_t{0x7ff80000c0ffee00});
constexpr int32_t SEED_CODE = -3;
const char* const SEED_MESSAGE = "qubit index 77 out of bounds for state vector with 3 qubits";

struct Env {
  TavroSVHandle* basis = nullptr;  // |101>, 3 qubits
  TavroSVHandle* zero = nullptr;   // 2 qubits, every amplitude 0
  TavroSVHandle* nan = nullptr;    // 1 qubit, amplitude 0 is NaN
  TavroSVHandle* huge = nullptr;   // 1 qubit, |a|^2 overflows
  TavroSVHandle* tiny = nullptr;   // 1 qubit, squared norm 2.5e-310
  TavroSVHandle* dyn = nullptr;    // 5 declared qubits, only qubit 3 live (slot 0), in |1>
  TavroSVHandle* empty = nullptr;  // 0 qubits
  TavroSVHandle* dead = nullptr;   // dynamic 3 qubits, qubits 2 and 0 live (slots 0, 1), zeroed
  TavroRng* rng = nullptr;
  std::vector<uint8_t> out = std::vector<uint8_t>(64, SENTINEL);
  double dout = SENTINEL_D;
};

enum class Effect { Untouched, Cleared, Stored };
using E = Effect;

struct Row {
  const char* name;
  int32_t status;
  Effect effect;
  int draws;  // generator advances the call took
  // Stored: the message (the code is the status). Otherwise the bytes of out after the call,
  // one digit each (the rest stays SENTINEL), or "p=" and prob_zero's value.
  const char* expect;
  int32_t (*call)(Env&);
};

// The smallest nshots whose product with 3 overflows size_t; the product wraps to 2, so a
// wrapping check would accept out_len 2.
constexpr size_t WRAPS_TO_2 = std::numeric_limits<size_t>::max() / 3 + 1;

const char* const ZERO_PROJECTION =
    "invalid basis-state index: projection on qubit 0 outcome 1 has zero probability";
const char* const ZERO_PROJECTION_1 =
    "invalid basis-state index: projection on qubit 1 outcome 1 has zero probability";
const char* const TOO_SMALL_0 =
    "degenerate state: squared norm 0.000e0 is too small to sample from";

// clang-format off
const Row ROWS[] = {
    // boundary: NULL pointers and wrong lengths, before anything else
    {"measure_null_sv", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_measure_qubit(nullptr, 0, e.rng, e.out.data()); }},
    {"measure_null_rng", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_measure_qubit(e.basis, 0, nullptr, e.out.data()); }},
    {"measure_null_out", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_measure_qubit(e.basis, 0, e.rng, nullptr); }},
    // The NULL out is refused before the range check could store -3.
    {"measure_null_out_bad_target", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_measure_qubit(e.basis, 99, e.rng, nullptr); }},
    {"reset_null_rng", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_reset_qubit(e.basis, 0, nullptr, e.out.data()); }},
    {"reset_null_out", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_reset_qubit(e.basis, 0, e.rng, nullptr); }},
    {"free_null_sv", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_free_qubit(nullptr, 0, e.rng, e.out.data()); }},
    {"free_null_out", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_free_qubit(e.dyn, 3, e.rng, nullptr); }},
    {"prob_zero_null_sv", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_prob_zero(nullptr, 0, &e.dout); }},
    {"prob_zero_null_out", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_prob_zero(e.basis, 9, nullptr); }},
    {"sample_null_sv", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(nullptr, e.rng, 2, e.out.data(), 6); }},
    {"sample_null_rng", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, nullptr, 2, e.out.data(), 6); }},
    {"sample_null_out", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, 2, nullptr, 6); }},
    // Required even when no byte would be written.
    {"sample_null_out_zero_shots", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, 0, nullptr, 0); }},
    {"sample_len_short", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, 2, e.out.data(), 5); }},
    {"sample_len_long", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, 2, e.out.data(), 7); }},
    {"sample_len_shots_only", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, 2, e.out.data(), 2); }},
    {"sample_len_wraps", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, WRAPS_TO_2, e.out.data(), 2); }},
    // The length check comes before the degenerate state would be found.
    {"sample_len_before_degenerate", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.zero, e.rng, 1, e.out.data(), 1); }},
    // A dynamic state is sized by its declared width (5), not its live count (1).
    {"sample_dynamic_live_width", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample(e.dyn, e.rng, 3, e.out.data(), 3); }},
    {"bitstring_null_rng", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample_bitstring(e.basis, nullptr, e.out.data(), 3); }},
    {"bitstring_null_out", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample_bitstring(e.basis, e.rng, nullptr, 3); }},
    {"bitstring_len_short", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample_bitstring(e.basis, e.rng, e.out.data(), 2); }},
    {"bitstring_len_long", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample_bitstring(e.basis, e.rng, e.out.data(), 4); }},
    {"bitstring_dynamic_live_width", -1, E::Untouched, 0, "",
     [](Env& e) { return tavro_sv_sample_bitstring(e.dyn, e.rng, e.out.data(), 1); }},

    // core errors: the range check before any draw
    {"measure_out_of_range", -3, E::Stored, 0,
     "qubit index 3 out of bounds for state vector with 3 qubits",
     [](Env& e) { return tavro_sv_measure_qubit(e.basis, 3, e.rng, e.out.data()); }},
    {"reset_out_of_range", -3, E::Stored, 0,
     "qubit index 18446744073709551615 out of bounds for state vector with 3 qubits",
     [](Env& e) { return tavro_sv_reset_qubit(e.basis, SIZE_MAX, e.rng, e.out.data()); }},
    {"free_out_of_range", -3, E::Stored, 0,
     "qubit index 5 out of bounds for state vector with 5 qubits",
     [](Env& e) { return tavro_sv_free_qubit(e.dyn, 5, e.rng, e.out.data()); }},
    {"free_static_out_of_range", -3, E::Stored, 0,
     "qubit index 4 out of bounds for state vector with 3 qubits",
     [](Env& e) { return tavro_sv_free_qubit(e.basis, 4, e.rng, e.out.data()); }},
    {"prob_zero_out_of_range", -3, E::Stored, 0,
     "qubit index 7 out of bounds for state vector with 5 qubits",
     [](Env& e) { return tavro_sv_prob_zero(e.dyn, 7, &e.dout); }},
    // a zero-probability outcome: after the one draw
    {"measure_zero_state", -6, E::Stored, 1, ZERO_PROJECTION,
     [](Env& e) { return tavro_sv_measure_qubit(e.zero, 0, e.rng, e.out.data()); }},
    {"reset_zero_state", -6, E::Stored, 1, ZERO_PROJECTION_1,
     [](Env& e) { return tavro_sv_reset_qubit(e.zero, 1, e.rng, e.out.data()); }},
    // The message names the physical slot: qubit 0 lives in slot 1, qubit 2 in slot 0.
    {"measure_names_the_slot", -6, E::Stored, 1, ZERO_PROJECTION_1,
     [](Env& e) { return tavro_sv_measure_qubit(e.dead, 0, e.rng, e.out.data()); }},
    {"free_names_the_slot", -6, E::Stored, 1, ZERO_PROJECTION,
     [](Env& e) { return tavro_sv_free_qubit(e.dead, 2, e.rng, e.out.data()); }},
    // a degenerate state: before any draw
    {"sample_zero_state", -9, E::Stored, 0, TOO_SMALL_0,
     [](Env& e) { return tavro_sv_sample(e.zero, e.rng, 3, e.out.data(), 6); }},
    {"sample_tiny_state", -9, E::Stored, 0,
     "degenerate state: squared norm 2.500e-310 is too small to sample from",
     [](Env& e) { return tavro_sv_sample(e.tiny, e.rng, 3, e.out.data(), 3); }},
    {"sample_nan_state", -9, E::Stored, 0, "degenerate state: non-finite squared norm (NaN)",
     [](Env& e) { return tavro_sv_sample(e.nan, e.rng, 2, e.out.data(), 2); }},
    {"sample_huge_state", -9, E::Stored, 0, "degenerate state: non-finite squared norm (inf)",
     [](Env& e) { return tavro_sv_sample(e.huge, e.rng, 2, e.out.data(), 2); }},
    {"bitstring_zero_state", -9, E::Stored, 0, TOO_SMALL_0,
     [](Env& e) { return tavro_sv_sample_bitstring(e.zero, e.rng, e.out.data(), 2); }},

    // success: the last error is cleared, the outcome written, the draws exact
    {"measure_one", 0, E::Cleared, 1, "1",
     [](Env& e) { return tavro_sv_measure_qubit(e.basis, 2, e.rng, e.out.data()); }},
    {"measure_zero_bit", 0, E::Cleared, 1, "0",
     [](Env& e) { return tavro_sv_measure_qubit(e.basis, 1, e.rng, e.out.data()); }},
    // An untouched dynamic qubit: 0 after one step.
    {"measure_untouched", 0, E::Cleared, 1, "0",
     [](Env& e) { return tavro_sv_measure_qubit(e.dyn, 4, e.rng, e.out.data()); }},
    {"measure_live_dynamic", 0, E::Cleared, 1, "1",
     [](Env& e) { return tavro_sv_measure_qubit(e.dyn, 3, e.rng, e.out.data()); }},
    {"reset_one", 0, E::Cleared, 1, "1",
     [](Env& e) { return tavro_sv_reset_qubit(e.basis, 0, e.rng, e.out.data()); }},
    {"reset_untouched", 0, E::Cleared, 1, "0",
     [](Env& e) { return tavro_sv_reset_qubit(e.dyn, 0, e.rng, e.out.data()); }},
    {"free_live", 0, E::Cleared, 1, "1",
     [](Env& e) { return tavro_sv_free_qubit(e.dyn, 3, e.rng, e.out.data()); }},
    {"free_untouched", 0, E::Cleared, 1, "0",
     [](Env& e) { return tavro_sv_free_qubit(e.dyn, 1, e.rng, e.out.data()); }},
    {"free_static", 0, E::Cleared, 1, "1",
     [](Env& e) { return tavro_sv_free_qubit(e.basis, 2, e.rng, e.out.data()); }},
    {"prob_zero_one", 0, E::Cleared, 0, "p=0",
     [](Env& e) { return tavro_sv_prob_zero(e.basis, 0, &e.dout); }},
    {"prob_zero_zero_bit", 0, E::Cleared, 0, "p=1",
     [](Env& e) { return tavro_sv_prob_zero(e.basis, 1, &e.dout); }},
    // 1.0 for an untouched qubit, even on a state whose norm is 0.
    {"prob_zero_untouched", 0, E::Cleared, 0, "p=1",
     [](Env& e) { return tavro_sv_prob_zero(e.dead, 1, &e.dout); }},
    {"prob_zero_zeroed_live", 0, E::Cleared, 0, "p=0",
     [](Env& e) { return tavro_sv_prob_zero(e.dead, 2, &e.dout); }},
    {"sample_rows", 0, E::Cleared, 3, "101101101",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, 3, e.out.data(), 9); }},
    {"sample_zero_shots", 0, E::Cleared, 0, "",
     [](Env& e) { return tavro_sv_sample(e.basis, e.rng, 0, e.out.data(), 0); }},
    // Untouched qubits read 0; qubit 3 is 1.
    {"sample_dynamic", 0, E::Cleared, 2, "0001000010",
     [](Env& e) { return tavro_sv_sample(e.dyn, e.rng, 2, e.out.data(), 10); }},
    // No qubit: the shots still draw, and nothing is written.
    {"sample_no_qubits", 0, E::Cleared, 5, "",
     [](Env& e) { return tavro_sv_sample(e.empty, e.rng, 5, e.out.data(), 0); }},
    {"bitstring", 0, E::Cleared, 1, "101",
     [](Env& e) { return tavro_sv_sample_bitstring(e.basis, e.rng, e.out.data(), 3); }},
    {"bitstring_dynamic", 0, E::Cleared, 1, "00010",
     [](Env& e) { return tavro_sv_sample_bitstring(e.dyn, e.rng, e.out.data(), 5); }},
};
// clang-format on

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

class EveryCall : public testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    static const uint8_t BITS[3] = {1, 0, 1};
    static const TavroComplex ZERO4[4] = {};
    static const TavroComplex NAN2[2] = {{std::nan(""), 0.0}, {0.0, 0.0}};
    static const TavroComplex HUGE2[2] = {{1e200, 0.0}, {0.0, 0.0}};
    static const TavroComplex ZERO_GATE[4] = {};
    e_.basis = tavro_sv_from_bitstring(BITS, 3);
    e_.zero = tavro_sv_from_amplitudes(2, ZERO4, 4);
    e_.nan = tavro_sv_from_amplitudes(1, NAN2, 2);
    e_.huge = tavro_sv_from_amplitudes(1, HUGE2, 2);
    // a * a rounds to the subnormal nearest 2.5e-310 closely enough for four digits.
    const TavroComplex tiny[2] = {{std::sqrt(2.5e-310), 0.0}, {0.0, 0.0}};
    e_.tiny = tavro_sv_from_amplitudes(1, tiny, 2);
    e_.dyn = tavro_sv_zero_dynamic(5);
    const uint8_t none = 0;
    e_.empty = tavro_sv_from_bitstring(&none, 0);
    e_.dead = tavro_sv_zero_dynamic(3);
    e_.rng = tavro_rng_new(SEED);
    for (TavroSVHandle* h :
         {e_.basis, e_.zero, e_.nan, e_.huge, e_.tiny, e_.dyn, e_.empty, e_.dead}) {
      ASSERT_NE(h, nullptr);
    }
    ASSERT_NE(e_.rng, nullptr);
    ASSERT_EQ(tavro_sv_apply_x(e_.dyn, 3), 0);
    ASSERT_EQ(tavro_sv_apply_z(e_.dead, 2), 0);
    ASSERT_EQ(tavro_sv_apply_z(e_.dead, 0), 0);
    ASSERT_EQ(tavro_sv_apply_gate_1q(e_.dead, ZERO_GATE, 4, 0), 0);
    ASSERT_EQ(tavro_sv_is_allocated(e_.dead, 1), 0);
    // The error every row starts from, so that untouched, cleared and stored differ.
    ASSERT_EQ(tavro_sv_apply_h(e_.basis, 77), SEED_CODE);
    ASSERT_EQ(last_message(), SEED_MESSAGE);
    seed_ptr_ = tavro_last_error_message();
    before_ = {copy_out(e_.basis), copy_out(e_.zero), copy_out(e_.dyn), copy_out(e_.dead)};
  }
  void TearDown() override {
    for (TavroSVHandle* h :
         {e_.basis, e_.zero, e_.nan, e_.huge, e_.tiny, e_.dyn, e_.empty, e_.dead}) {
      tavro_sv_free(h);
    }
    tavro_rng_free(e_.rng);
    tavro_clear_last_error();
  }
  Env e_;
  const char* seed_ptr_ = nullptr;
  std::vector<Amps> before_;
};

TEST_P(EveryCall, StatusLastErrorOutAndDraws) {
  const Row& row = GetParam();
  EXPECT_EQ(row.call(e_), row.status);
  switch (row.effect) {
    case Effect::Untouched:
      EXPECT_EQ(tavro_last_error_code(), SEED_CODE);
      EXPECT_EQ(tavro_last_error_message(), seed_ptr_);  // not even rewritten
      break;
    case Effect::Cleared:
      EXPECT_EQ(tavro_last_error_code(), 0);
      EXPECT_EQ(tavro_last_error_message(), nullptr);
      break;
    case Effect::Stored:
      EXPECT_EQ(tavro_last_error_code(), row.status);
      EXPECT_EQ(last_message(), row.expect);
      break;
  }
  const std::string expect = row.effect == Effect::Stored ? "" : row.expect;
  double dout = SENTINEL_D;
  std::vector<uint8_t> want(e_.out.size(), SENTINEL);
  if (expect.starts_with("p=")) {
    dout = std::stod(expect.substr(2));
  } else {
    for (size_t k = 0; k < expect.size(); ++k) want[k] = static_cast<uint8_t>(expect[k] - '0');
  }
  EXPECT_EQ(e_.out, want);
  EXPECT_EQ(bits(e_.dout), bits(dout));
  // A failed call leaves every state as it was.
  if (row.status != 0) {
    const std::vector<Amps> after = {copy_out(e_.basis), copy_out(e_.zero), copy_out(e_.dyn),
                                     copy_out(e_.dead)};
    for (size_t k = 0; k < after.size(); ++k)
      EXPECT_EQ(pattern(after[k]), pattern(before_[k])) << k;
  }
  EXPECT_EQ(draws_taken(e_.rng, SEED), row.draws);
}

INSTANTIATE_TEST_SUITE_P(CFace, EveryCall, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return i.param.name; });

// ---- what the calls do to the state

// (p0, p1) of a buffer shorter than the parallel cut-over: runs of 2^slot indices sharing the
// slot bit, each summed from -0.0, then added to p0 or p1, both from +0.0.
std::pair<double, double> model_sums(const Amps& amps, size_t slot) {
  double p[2] = {0.0, 0.0};
  const size_t run = size_t{1} << slot;
  for (size_t i = 0; i < amps.size(); i += run) {
    double sum = -0.0;
    for (size_t k = i; k < i + run; ++k) sum += abs2(amps[k]);
    p[(i >> slot) & 1] += sum;
  }
  return {p[0], p[1]};
}

TEST(Measure, OutcomeAndCollapseFollowTheModelBitForBit) {
  // u < p0 picks 0; then the other half becomes +0 and this half is multiplied by
  // 1 / sqrt(p) of the outcome, every component on its own.
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    for (size_t q = 0; q < 4; ++q) {
      const Amps psi = random_amps(4, 100 + seed);
      TavroSVHandle* h = from(psi);
      TavroRng* rng = tavro_rng_new(seed);
      const auto [p0, p1] = model_sums(psi, q);
      double core_p0 = -1.0;
      ASSERT_EQ(tavro_sv_prob_zero(h, q, &core_p0), 0);
      EXPECT_EQ(bits(core_p0), bits(p0));
      uint8_t out = 9;
      ASSERT_EQ(tavro_sv_measure_qubit(h, q, rng, &out), 0);

      ModelRng g(seed);
      const uint8_t outcome = g.next_f64() < p0 ? 0 : 1;
      EXPECT_EQ(out, outcome) << "seed " << seed << " qubit " << q;
      const double scale = 1.0 / std::sqrt(outcome == 0 ? p0 : p1);
      Amps want = psi;
      for (size_t i = 0; i < want.size(); ++i) {
        if (((i >> q) & 1) != outcome) {
          want[i] = {0.0, 0.0};
        } else {
          want[i] = {psi[i].re * scale, psi[i].im * scale};
        }
      }
      EXPECT_EQ(pattern(copy_out(h)), pattern(want)) << "seed " << seed << " qubit " << q;
      tavro_rng_free(rng);
      tavro_sv_free(h);
    }
  }
}

TEST(Measure, BothOutcomesOccurOverSeeds) {
  // The draws really decide: on |+> some seeds give 0 and some 1, each as the model says.
  int count[2] = {0, 0};
  for (uint64_t seed = 0; seed < 32; ++seed) {
    TavroSVHandle* h = tavro_sv_zero(1);
    ASSERT_EQ(tavro_sv_apply_h(h, 0), 0);
    double p0 = 0.0;
    ASSERT_EQ(tavro_sv_prob_zero(h, 0, &p0), 0);
    TavroRng* rng = tavro_rng_new(seed);
    uint8_t out = 9;
    ASSERT_EQ(tavro_sv_measure_qubit(h, 0, rng, &out), 0);
    ModelRng g(seed);
    EXPECT_EQ(out, g.next_f64() < p0 ? 0 : 1) << seed;
    ++count[out & 1];
    tavro_rng_free(rng);
    tavro_sv_free(h);
  }
  EXPECT_GT(count[0], 4);
  EXPECT_GT(count[1], 4);
}

struct SampleCase {
  const char* name;
  unsigned qubits;
  size_t shots;
};

// One block, two blocks with few and many shots (the index is scanned per shot or per block),
// and 2^17 amplitudes: the block sums and the rows go to the pool with three workers.
const SampleCase SAMPLE_CASES[] = {
    {"q5_s200", 5, 200}, {"q12_s3", 12, 3}, {"q12_s100", 12, 100},
    {"q14_s40", 14, 40}, {"q17_s5", 17, 5}, {"q17_s500", 17, 500},
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.name; }

class Sample : public testing::TestWithParam<SampleCase> {};

TEST_P(Sample, RowsFollowTheModelBitForBit) {
  const SampleCase& c = GetParam();
  const Amps psi = random_amps(c.qubits, c.qubits * 1000 + c.shots);
  TavroSVHandle* h = from(psi);
  TavroRng* rng = tavro_rng_new(SEED + c.shots);
  std::vector<uint8_t> got(c.shots * c.qubits);
  ASSERT_EQ(tavro_sv_sample(h, rng, c.shots, got.data(), got.size()), 0);
  ModelRng g(SEED + c.shots);
  EXPECT_EQ(got, model_rows(psi, c.qubits, g, c.shots));
  // Sampling does not collapse: the buffer is bit for bit the input.
  EXPECT_EQ(pattern(copy_out(h)), pattern(psi));
  EXPECT_EQ(draws_taken(rng, SEED + c.shots, static_cast<int>(c.shots) + 4),
            static_cast<int>(c.shots));
  tavro_rng_free(rng);
  tavro_sv_free(h);
}

INSTANTIATE_TEST_SUITE_P(CFace, Sample, testing::ValuesIn(SAMPLE_CASES),
                         [](const testing::TestParamInfo<SampleCase>& i) { return i.param.name; });

TEST(Sample, BitstringIsTheFirstRowOfSample) {
  const Amps psi = random_amps(6, 77);
  TavroSVHandle* h = from(psi);
  TavroRng* a = tavro_rng_new(3);
  TavroRng* b = tavro_rng_new(3);
  for (int k = 0; k < 20; ++k) {
    std::vector<uint8_t> one(6, SENTINEL), row(6, SENTINEL);
    ASSERT_EQ(tavro_sv_sample_bitstring(h, a, one.data(), 6), 0);
    ASSERT_EQ(tavro_sv_sample(h, b, 1, row.data(), 6), 0);
    EXPECT_EQ(one, row) << k;
  }
  tavro_rng_free(a);
  tavro_rng_free(b);
  tavro_sv_free(h);
}

TEST(Generators, SameSeedGivesTheSameRun) {
  // Two copies of one state driven by two generators of one seed through the same calls.
  const Amps psi = random_amps(5, 5);
  TavroSVHandle* h[2] = {from(psi), from(psi)};
  TavroRng* rng[2] = {tavro_rng_new(99), tavro_rng_new(99)};
  std::vector<uint8_t> log[2];
  for (int k = 0; k < 2; ++k) {
    uint8_t out = 0;
    std::vector<uint8_t> rows(40);
    ASSERT_EQ(tavro_sv_sample(h[k], rng[k], 8, rows.data(), 40), 0);
    log[k].insert(log[k].end(), rows.begin(), rows.end());
    for (size_t q : {3, 0, 4}) {
      ASSERT_EQ(tavro_sv_measure_qubit(h[k], q, rng[k], &out), 0);
      log[k].push_back(out);
    }
    ASSERT_EQ(tavro_sv_reset_qubit(h[k], 1, rng[k], &out), 0);
    log[k].push_back(out);
    ASSERT_EQ(tavro_sv_sample(h[k], rng[k], 8, rows.data(), 40), 0);
    log[k].insert(log[k].end(), rows.begin(), rows.end());
  }
  EXPECT_EQ(log[0], log[1]);
  EXPECT_EQ(pattern(copy_out(h[0])), pattern(copy_out(h[1])));
  // A third generator of another seed drives a different run.
  TavroRng* other = tavro_rng_new(100);
  std::vector<uint8_t> rows(40), first(log[0].begin(), log[0].begin() + 40);
  TavroSVHandle* fresh = from(psi);
  ASSERT_EQ(tavro_sv_sample(fresh, other, 8, rows.data(), 40), 0);
  EXPECT_NE(rows, first);
  tavro_sv_free(fresh);
  tavro_rng_free(other);
  for (int k = 0; k < 2; ++k) {
    tavro_rng_free(rng[k]);
    tavro_sv_free(h[k]);
  }
}

TEST(Release, FreeQubitSwapsIntoTheTopSlotAndHalvesTheBuffer) {
  TavroSVHandle* h = tavro_sv_zero_dynamic(3);
  TavroRng* rng = tavro_rng_new(1);
  ASSERT_EQ(tavro_sv_apply_z(h, 0), 0);  // slot 0
  ASSERT_EQ(tavro_sv_apply_x(h, 1), 0);  // slot 1, |1>
  ASSERT_EQ(tavro_sv_len(h), 4u);
  uint8_t out = 9;
  ASSERT_EQ(tavro_sv_free_qubit(h, 0, rng, &out), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(tavro_sv_len(h), 2u);
  EXPECT_EQ(tavro_sv_live_qubits(h), 1u);
  EXPECT_EQ(tavro_sv_is_allocated(h, 0), 0);
  EXPECT_EQ(tavro_sv_is_allocated(h, 1), 1);
  // Qubit 1 moved to slot 0: the buffer is |1> there.
  EXPECT_EQ(pattern(copy_out(h)), pattern(Amps{{0.0, 0.0}, {1.0, 0.0}}));
  TavroComplex c;
  ASSERT_EQ(tavro_sv_get_logical(h, 2, &c), 0);
  EXPECT_EQ(c.re, 1.0);
  // The released qubit comes back as the new top slot on its next gate.
  ASSERT_EQ(tavro_sv_apply_x(h, 0), 0);
  EXPECT_EQ(tavro_sv_len(h), 4u);
  ASSERT_EQ(tavro_sv_get_logical(h, 3, &c), 0);
  EXPECT_EQ(c.re, 1.0);
  ASSERT_EQ(tavro_sv_free_qubit(h, 0, rng, &out), 0);
  EXPECT_EQ(out, 1);  // measured before the release
  EXPECT_EQ(tavro_sv_len(h), 2u);
  tavro_rng_free(rng);
  tavro_sv_free(h);
}

TEST(Release, ResetLeavesTheQubitAllocatedInZero) {
  static const uint8_t BITS[2] = {1, 1};
  TavroSVHandle* h = tavro_sv_from_bitstring(BITS, 2);
  TavroRng* rng = tavro_rng_new(4);
  uint8_t out = 9;
  ASSERT_EQ(tavro_sv_reset_qubit(h, 0, rng, &out), 0);
  EXPECT_EQ(out, 1);
  EXPECT_EQ(pattern(copy_out(h)), pattern(Amps{{0, 0}, {0, 0}, {1, 0}, {0, 0}}));
  ASSERT_EQ(tavro_sv_reset_qubit(h, 0, rng, &out), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(tavro_sv_len(h), 4u);
  tavro_rng_free(rng);
  tavro_sv_free(h);
}

}  // namespace
