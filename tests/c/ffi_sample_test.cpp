// Measurement, release and sampling through the C interface, as a C caller sees them: the
// boundary checks (which must neither store an error nor advance the generator), the core
// errors with their codes and texts, the outcomes written and the number of draws each call
// takes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "tavro.h"

namespace {

constexpr uint64_t SEED = 0x5eed;
const char* const SEEDED = "qubit index 77 out of bounds for state vector with 3 qubits";

struct Env {
  TavroSVHandle* b;  // |101>, 3 qubits
  TavroSVHandle* z;  // 2 qubits, every amplitude 0
  TavroSVHandle* d;  // dynamic, 5 declared qubits, only qubit 3 live, in |1>
  TavroSVHandle* n;  // no qubit: one amplitude, rows of no bytes
  TavroRng* r;
  uint8_t o[16] = {};  // outcomes, filled with 0xAB
  double p = -7.0;     // prob_zero's result
};

struct Row {
  const char* name;
  int32_t status;
  int draws;  // generator advances the call took
  // A failure: the stored message ("" for a rejection: nothing stored). A success: the bytes
  // of o, one digit each (the rest untouched).
  const char* expect;
  int32_t (*call)(Env&);
  double p = -7.0;  // p afterwards
};

#define CALL(expr) [](Env& e) { return expr; }
// The smallest nshots whose product with 3 wraps in size_t (to 2).
constexpr size_t WRAPS = std::numeric_limits<size_t>::max() / 3 + 1;
// Shot counts whose uniforms (8 bytes each) no allocator holds: 2^62 overflows the byte count
// (out_len matches only with no qubit), 2^50 asks for 8 PiB, beyond any address space. out_len
// matches the count, so only the core can refuse, and it must write nothing.
constexpr size_t OVERFLOWS = size_t{1} << 62, TOO_MANY = size_t{1} << 50;

const Row ROWS[] = {
    {"measure_null_rng", -1, 0, "", CALL(tavro_sv_measure_qubit(e.b, 0, nullptr, e.o))},
    // The NULL out is refused before the range check could store -3.
    {"measure_null_out_bad_target", -1, 0, "", CALL(tavro_sv_measure_qubit(e.b, 9, e.r, nullptr))},
    {"free_null_sv", -1, 0, "", CALL(tavro_sv_free_qubit(nullptr, 0, e.r, e.o))},
    {"prob_zero_null_out", -1, 0, "", CALL(tavro_sv_prob_zero(e.b, 9, nullptr))},
    {"sample_null_out_no_shots", -1, 0, "", CALL(tavro_sv_sample(e.b, e.r, 0, nullptr, 0))},
    {"sample_len_short", -1, 0, "", CALL(tavro_sv_sample(e.b, e.r, 2, e.o, 5))},
    {"sample_len_wraps", -1, 0, "", CALL(tavro_sv_sample(e.b, e.r, WRAPS, e.o, 2))},
    // The length check comes before the degenerate state would be found.
    {"sample_len_first", -1, 0, "", CALL(tavro_sv_sample(e.z, e.r, 1, e.o, 1))},
    // A dynamic state is sized by its declared width (5), not its live count (1).
    {"sample_live_width", -1, 0, "", CALL(tavro_sv_sample(e.d, e.r, 3, e.o, 3))},
    {"bitstring_len_long", -1, 0, "", CALL(tavro_sv_sample_bitstring(e.b, e.r, e.o, 4))},
    // The range check comes before any draw; a zero-probability outcome after its one draw.
    {"measure_out_of_range", -3, 0, "qubit index 3 out of bounds for state vector with 3 qubits",
     CALL(tavro_sv_measure_qubit(e.b, 3, e.r, e.o))},
    {"reset_zero_state", -6, 1,
     "invalid basis-state index: projection on qubit 1 outcome 1 has zero probability",
     CALL(tavro_sv_reset_qubit(e.z, 1, e.r, e.o))},
    {"sample_zero_state", -9, 0,
     "degenerate state: squared norm 0.000e0 is too small to sample from",
     CALL(tavro_sv_sample(e.z, e.r, 3, e.o, 6))},
    // Refused before the first draw whatever the width, no qubit included.
    {"sample_no_qubit_overflows", -8, 0,
     "allocation failed for a sample buffer of 4611686018427387904 shots, 8 bytes each "
     "(17179869184 GiB)",
     CALL(tavro_sv_sample(e.n, e.r, OVERFLOWS, e.o, 0))},
    {"sample_no_qubit_too_many", -8, 0,
     "allocation failed for a sample buffer of 1125899906842624 shots, 8 bytes each "
     "(8388608 GiB)",
     CALL(tavro_sv_sample(e.n, e.r, TOO_MANY, e.o, 0))},
    {"sample_too_many", -8, 0,
     "allocation failed for a sample buffer of 1125899906842624 shots, 8 bytes each "
     "(8388608 GiB)",
     CALL(tavro_sv_sample(e.b, e.r, TOO_MANY, e.o, 3 * TOO_MANY))},
    {"sample_dynamic_too_many", -8, 0,
     "allocation failed for a sample buffer of 1125899906842624 shots, 8 bytes each "
     "(8388608 GiB)",
     CALL(tavro_sv_sample(e.d, e.r, TOO_MANY, e.o, 5 * TOO_MANY))},
    {"measure", 0, 1, "1", CALL(tavro_sv_measure_qubit(e.b, 2, e.r, e.o))},
    // An untouched dynamic qubit reads 0 after one draw.
    {"measure_untouched", 0, 1, "0", CALL(tavro_sv_measure_qubit(e.d, 4, e.r, e.o))},
    {"free", 0, 1, "1", CALL(tavro_sv_free_qubit(e.d, 3, e.r, e.o))},
    {"prob_zero_untouched", 0, 0, "", CALL(tavro_sv_prob_zero(e.d, 1, &e.p)), 1.0},
    {"sample", 0, 3, "101101101", CALL(tavro_sv_sample(e.b, e.r, 3, e.o, 9))},
    {"sample_dynamic", 0, 2, "0001000010", CALL(tavro_sv_sample(e.d, e.r, 2, e.o, 10))},
    {"bitstring", 0, 1, "101", CALL(tavro_sv_sample_bitstring(e.b, e.r, e.o, 3))},
    // No qubit: one draw per shot, nothing written.
    {"sample_no_qubit", 0, 5, "", CALL(tavro_sv_sample(e.n, e.r, 5, e.o, 0))},
};

class EveryCall : public testing::TestWithParam<Row> {};

TEST_P(EveryCall, StatusLastErrorOutAndDraws) {
  const Row& row = GetParam();
  static const uint8_t BITS[3] = {1, 0, 1};
  static const TavroComplex ZERO4[4] = {};
  Env e{tavro_sv_from_bitstring(BITS, 3), tavro_sv_from_amplitudes(2, ZERO4, 4),
        tavro_sv_zero_dynamic(5), tavro_sv_zero(0), tavro_rng_new(SEED)};
  std::memset(e.o, 0xAB, sizeof e.o);
  ASSERT_EQ(tavro_sv_apply_x(e.d, 3), 0);
  ASSERT_EQ(tavro_sv_apply_h(e.b, 77), -3);  // the error every row starts from
  EXPECT_EQ(row.call(e), row.status);
  const char* message = row.status == 0 ? nullptr : row.status == -1 ? SEEDED : row.expect;
  EXPECT_STREQ(tavro_last_error_message(), message);
  std::vector<uint8_t> want(16, 0xAB);
  for (size_t k = 0; row.status == 0 && row.expect[k] != 0; ++k)
    want[k] = uint8_t(row.expect[k] - '0');
  EXPECT_EQ(std::vector<uint8_t>(e.o, e.o + 16), want);
  EXPECT_EQ(e.p, row.p);
  // The draws: the generator's next eight shots of a uniform 6-qubit state are those of a fresh
  // twin after that many one-draw shots.
  static const std::vector<TavroComplex> flat(64, TavroComplex{0.125, 0.0});
  TavroSVHandle* uniform = tavro_sv_from_amplitudes(6, flat.data(), 64);
  TavroRng* twin = tavro_rng_new(SEED);
  std::vector<uint8_t> got(48), skip(48), next(48);
  tavro_sv_sample(uniform, twin, row.draws, skip.data(), 6 * row.draws);
  tavro_sv_sample(uniform, twin, 8, next.data(), 48);
  tavro_sv_sample(uniform, e.r, 8, got.data(), 48);
  EXPECT_EQ(got, next) << "the call did not take " << row.draws << " draws";
  for (TavroSVHandle* h : {e.b, e.z, e.d, e.n, uniform}) tavro_sv_free(h);
  for (TavroRng* r : {e.r, twin}) tavro_rng_free(r);
  tavro_clear_last_error();
}

INSTANTIATE_TEST_SUITE_P(CFace, EveryCall, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return i.param.name; });

}  // namespace
