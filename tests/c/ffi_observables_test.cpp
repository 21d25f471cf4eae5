// Expectation values and noise channels as a C caller sees them: the boundary checks (no
// message, nothing written, nothing drawn), the Pauli byte parser with its messages, the
// core's errors in their order, the values written and the draws each call takes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ffi_support.hpp"
#include "tavro.h"

namespace {

using ffi_test::buffer;
using ffi_test::last_error;
using ffi_test::same_bits;
using ffi_test::took_draws;

constexpr uint64_t SEED = 0xC0FFEE;
// A quiet NaN with a payload no computation makes: an out-parameter still holding it was not
// written.
const double S = std::bit_cast<double>(uint64_t{0x7ff8dead0000beef});
constexpr size_t UNSET = 0xABAB;
// Exact in binary64: probabilities 0.3125, 6.25, 9.015625 and 1, squared norm 16.578125.
const std::vector<TavroComplex> AMPS4 = {{0.5, -0.25}, {1.5, 2.0}, {-3.0, 0.125}, {0.0, -1.0}};
const char* const SEEDED = "-3 qubit index 77 out of bounds for state vector with 2 qubits";
#define GM "-5 invalid gate matrix: "
#define OOB(q, n) "-3 qubit index " #q " out of bounds for state vector with " #n " qubits"
#define DUP(q) "-4 two-qubit gate operands must be distinct, got (" #q ", " #q ")"

struct Env {
  TavroSVHandle* s;  // static, 2 qubits, AMPS4
  TavroSVHandle* d;  // dynamic, 4 declared qubits, only qubit 2 live, in |1>
  TavroRng* r;
  TavroComplex out = {S, S};
  size_t chosen = UNSET;
};

struct Row {
  const char* name;
  int32_t status;
  // The stored "code message"; nullptr: the seeded error kept (-1) or the slot cleared (0).
  const char* last;
  int32_t (*call)(Env&);
  TavroComplex out = {S, S};  // compared bit for bit
  size_t chosen = UNSET;
  size_t draws = 0;
  uint32_t live = 1;  // the dynamic state's live qubits afterwards
};

#define CALL(expr) [](Env& e) { return (void)e, int32_t(expr); }
#define EXP1(op, len, q) CALL(tavro_sv_expectation_1q(e.s, op, len, q, &e.out))
#define EXP2(op, len, q1, q2) CALL(tavro_sv_expectation_2q(e.s, op, len, q1, q2, &e.out))
#define PAULI(str, qubits) \
  CALL(tavro_sv_expectation_pauli(e.s, str, qubits, sizeof(str) - 1, &e.out))

// Operators, column-major. E01 is |0><1| (entry 2 = row 0, column 1), so a transposed layout
// shows in the sign of the imaginary part; E02 likewise for |00><10| on two qubits, the first
// qubit the high bit.
const TavroComplex E01[4] = {{0, 0}, {0, 0}, {1, 0}, {0, 0}};
const std::vector<TavroComplex> E02 = [] {
  std::vector<TavroComplex> m(16, TavroComplex{0, 0});
  m[0 + 4 * 2] = {1, 0};
  return m;
}();
// Channels: a zero operator beside X (all weight on X), and all zeros (no weight at all).
const TavroComplex ZERO_X[8] = {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {1, 0}, {0, 0}};
const TavroComplex ZEROS8[8] = {};
const std::vector<TavroComplex> ZERO_I16 = [] {
  std::vector<TavroComplex> m(32, TavroComplex{0, 0});
  for (size_t r = 0; r < 4; ++r) m[16 + 5 * r] = {1, 0};
  return m;
}();
const double P01[2] = {0.0, 1.0}, P00[2] = {0.0, 0.0}, PNAN[2] = {0.5, NAN}, P3[3] = {};
const size_t Q0[1] = {0}, Q01[2] = {0, 1}, Q10[2] = {1, 0}, Q11[2] = {1, 1}, Q02[2] = {0, 2},
             Q09[2] = {0, 9}, Q001[3] = {0, 0, 1}, Q23[2] = {2, 3};

// clang-format off
const Row ROWS[] = {
    // ---- expectation_1q / _2q: the length first, then the pointers; the core's checks ----
    {"exp1_len16", -1, nullptr, EXP1(E01, 16, 0)},
    {"exp1_null_op", -1, nullptr, EXP1(nullptr, 4, 0)},
    {"exp1_null_out_bad_qubit", -1, nullptr, CALL(tavro_sv_expectation_1q(e.s, E01, 4, 5, nullptr))},
    {"exp1_null_sv", -1, nullptr, CALL(tavro_sv_expectation_1q(nullptr, E01, 4, 0, &e.out))},
    {"exp1_range", -3, OOB(2, 2), EXP1(E01, 4, 2)},
    // conj(a0) a1 + conj(a2) a3 = (0.25 + 1.375i) + (-0.125 + 3i).
    {"exp1_column_major", 0, nullptr, EXP1(E01, 4, 0), {0.125, 4.375}},
    {"exp2_len4", -1, nullptr, EXP2(E02.data(), 4, 1, 0)},
    {"exp2_null_out", -1, nullptr, CALL(tavro_sv_expectation_2q(e.s, E02.data(), 16, 1, 0, nullptr))},
    {"exp2_q1_range_first", -3, OOB(7, 2), EXP2(E02.data(), 16, 7, 5)},
    {"exp2_q2_range", -3, OOB(5, 2), EXP2(E02.data(), 16, 0, 5)},
    {"exp2_duplicate", -4, DUP(1), EXP2(E02.data(), 16, 1, 1)},
    // conj(a0) a2: qubit 1 is the high bit.
    {"exp2_q1_high", 0, nullptr, EXP2(E02.data(), 16, 1, 0), {-1.53125, -0.6875}},
    // ---- expectation_pauli: pointers, then every byte, then the qubits ----
    {"pauli_null_qubits", -1, nullptr, CALL(tavro_sv_expectation_pauli(e.s, "Z", nullptr, 1, &e.out))},
    {"pauli_null_string", -1, nullptr, CALL(tavro_sv_expectation_pauli(e.s, nullptr, Q0, 1, &e.out))},
    {"pauli_null_out", -1, nullptr, CALL(tavro_sv_expectation_pauli(e.s, "Q", Q0, 1, nullptr))},
    {"pauli_null_sv", -1, nullptr, CALL(tavro_sv_expectation_pauli(nullptr, "Z", Q0, 1, &e.out))},
    // No terms: the squared norm, also with NULL pointers.
    {"pauli_empty_null", 0, nullptr, CALL(tavro_sv_expectation_pauli(e.s, nullptr, nullptr, 0, &e.out)),
     {16.578125, 0.0}},
    {"pauli_non_ascii", -5, GM "Pauli string must be ASCII (I/X/Y/Z); got non-ASCII byte 0xc3 at position 1",
     PAULI("Z\xC3", Q01)},
    // A bad byte anywhere comes before a repeated qubit.
    {"pauli_bytes_before_qubits", -5,
     GM "Pauli string must be ASCII (I/X/Y/Z); got non-ASCII byte 0xff at position 2",
     PAULI("ZZ\xFF", Q001)},
    {"pauli_letter", -5, GM "expected one of I/X/Y/Z, got 'A'", PAULI("A", Q0)},
    {"pauli_folded_before_range", -5, GM "expected one of I/X/Y/Z, got 'Q'", PAULI("xq", Q09)},
    {"pauli_digit", -5, GM "expected one of I/X/Y/Z, got '1'", PAULI("1", Q0)},
    {"pauli_nul", -5, "-5 <error message contained NUL>", PAULI("Z\0", Q01)},
    {"pauli_range", -3, OOB(2, 2), PAULI("ZX", Q02)},
    {"pauli_duplicate", -4, DUP(1), PAULI("zI", Q11)},
    // +0.3125 - 6.25 - 9.015625 + 1 in index order, either case.
    {"pauli_zz", 0, nullptr, PAULI("zZ", Q01), {-13.953125, 0.0}},
    // Only n bytes are read: the 'Q' after the first is not part of the string.
    {"pauli_n_bytes", 0, nullptr, CALL(tavro_sv_expectation_pauli(e.s, "ZQ", Q0, 1, &e.out)),
     {2.078125, 0.0}},
    // X on qubit 1: the sum of conj(a_i) a_(i^2) over i in order.
    {"pauli_x_high", 0, nullptr, PAULI("xI", Q10), {-7.0625, 0.0}},
    // X on an untouched dynamic qubit: zero, with the Z on live qubit 2 passed through too.
    {"pauli_dynamic", 0, nullptr, CALL(tavro_sv_expectation_pauli(e.d, "ZX", Q23, 2, &e.out)),
     {0.0, 0.0}},
    // ---- Kraus 1q: sv, ops (also for length 0), rng; then range, allocation, length ----
    {"kraus1_null_ops_len0", -1, nullptr, CALL(tavro_sv_apply_kraus_1q(e.s, nullptr, 0, 0, e.r, &e.chosen))},
    {"kraus1_null_rng", -1, nullptr, CALL(tavro_sv_apply_kraus_1q(e.s, ZERO_X, 8, 0, nullptr, &e.chosen))},
    {"kraus1_null_sv", -1, nullptr, CALL(tavro_sv_apply_kraus_1q(nullptr, ZERO_X, 8, 0, e.r, &e.chosen))},
    {"kraus1_range", -3, OOB(2, 2), CALL(tavro_sv_apply_kraus_1q(e.s, ZERO_X, 8, 2, e.r, &e.chosen))},
    {"kraus1_len6", -5, GM "kraus_ops length must be a non-zero multiple of 4 (got 6)",
     CALL(tavro_sv_apply_kraus_1q(e.s, ZERO_X, 6, 0, e.r, &e.chosen))},
    {"kraus1_len0", -5, GM "kraus_ops length must be a non-zero multiple of 4 (got 0)",
     CALL(tavro_sv_apply_kraus_1q(e.s, ZERO_X, 0, 0, e.r, &e.chosen))},
    // The untouched qubit was allocated before the list was refused, and stays.
    {"kraus1_dynamic_len6", -5, GM "kraus_ops length must be a non-zero multiple of 4 (got 6)",
     CALL(tavro_sv_apply_kraus_1q(e.d, ZERO_X, 6, 0, e.r, &e.chosen)), {S, S}, UNSET, 0, 2},
    {"kraus1_weighted", 0, nullptr, CALL(tavro_sv_apply_kraus_1q(e.s, ZERO_X, 8, 1, e.r, &e.chosen)),
     {S, S}, 1, 1},
    {"kraus1_chosen_null", 0, nullptr, CALL(tavro_sv_apply_kraus_1q(e.s, ZERO_X, 8, 1, e.r, nullptr)),
     {S, S}, UNSET, 1},
    {"kraus1_no_weight_no_draw", 0, nullptr,
     CALL(tavro_sv_apply_kraus_1q(e.s, ZEROS8, 8, 0, e.r, &e.chosen)), {S, S}, 0, 0},
    // ---- Kraus 2q ----
    {"kraus2_null_ops", -1, nullptr, CALL(tavro_sv_apply_kraus_2q(e.s, nullptr, 0, 0, 1, e.r, &e.chosen))},
    {"kraus2_null_rng", -1, nullptr,
     CALL(tavro_sv_apply_kraus_2q(e.s, ZERO_I16.data(), 32, 0, 1, nullptr, &e.chosen))},
    {"kraus2_duplicate_before_length", -4, DUP(1),
     CALL(tavro_sv_apply_kraus_2q(e.s, ZERO_I16.data(), 15, 1, 1, e.r, &e.chosen))},
    {"kraus2_len15", -5, GM "kraus_ops length must be a non-zero multiple of 16 (got 15)",
     CALL(tavro_sv_apply_kraus_2q(e.s, ZERO_I16.data(), 15, 1, 0, e.r, &e.chosen))},
    {"kraus2_weighted", 0, nullptr,
     CALL(tavro_sv_apply_kraus_2q(e.s, ZERO_I16.data(), 32, 1, 0, e.r, &e.chosen)), {S, S}, 1, 1},
    // ---- mixed unitary: sv, unitaries, probs (also for 0 weights), rng; then the core ----
    {"mixed1_null_probs_n0", -1, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 8, nullptr, 0, 0, e.r, &e.chosen))},
    {"mixed1_null_unitaries", -1, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, nullptr, 8, P01, 2, 0, e.r, &e.chosen))},
    {"mixed1_null_rng", -1, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 8, P01, 2, 0, nullptr, &e.chosen))},
    {"mixed1_no_weights", -5, GM "mixed_unitary_1q: unitaries length must be 4 × len(probs) (0 × 4 = 0, got 4)",
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 4, P01, 0, 0, e.r, &e.chosen))},
    {"mixed1_length", -5, GM "mixed_unitary_1q: unitaries length must be 4 × len(probs) (3 × 4 = 12, got 8)",
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 8, P3, 3, 0, e.r, &e.chosen))},
    {"mixed1_range_before_length", -3, OOB(5, 2),
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 8, P3, 3, 5, e.r, &e.chosen))},
    // Refused before any allocation.
    {"mixed1_dynamic_length", -5, GM "mixed_unitary_1q: unitaries length must be 4 × len(probs) (3 × 4 = 12, got 8)",
     CALL(tavro_sv_apply_mixed_unitary_1q(e.d, ZERO_X, 8, P3, 3, 0, e.r, &e.chosen))},
    {"mixed1_weighted", 0, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 8, P01, 2, 0, e.r, &e.chosen)), {S, S}, 1, 1},
    {"mixed1_no_weight_no_draw", 0, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 8, P00, 2, 0, e.r, &e.chosen)), {S, S}, 0, 0},
    {"mixed1_nan_total_last", 0, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_1q(e.s, ZERO_X, 8, PNAN, 2, 0, e.r, nullptr)), {S, S}, UNSET, 1},
    {"mixed1_dynamic_allocates", 0, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_1q(e.d, ZERO_X, 8, P01, 2, 0, e.r, &e.chosen)), {S, S}, 1, 1, 2},
    {"mixed2_null_probs", -1, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_2q(e.s, ZERO_I16.data(), 32, nullptr, 0, 0, 1, e.r, &e.chosen))},
    {"mixed2_duplicate_before_length", -4, DUP(0),
     CALL(tavro_sv_apply_mixed_unitary_2q(e.s, ZERO_I16.data(), 16, P01, 2, 0, 0, e.r, &e.chosen))},
    {"mixed2_length", -5, GM "mixed_unitary_2q: unitaries length must be 16 × len(probs) (2 × 16 = 32, got 16)",
     CALL(tavro_sv_apply_mixed_unitary_2q(e.s, ZERO_I16.data(), 16, P01, 2, 0, 1, e.r, &e.chosen))},
    {"mixed2_weighted", 0, nullptr,
     CALL(tavro_sv_apply_mixed_unitary_2q(e.s, ZERO_I16.data(), 32, P01, 2, 0, 1, e.r, &e.chosen)),
     {S, S}, 1, 1},
};
// clang-format on

class Observed : public testing::TestWithParam<Row> {};

TEST_P(Observed, StatusLastErrorOutputsDrawsAndState) {
  const Row& row = GetParam();
  Env e{tavro_sv_from_amplitudes(2, AMPS4.data(), 4), tavro_sv_zero_dynamic(4),
        tavro_rng_new(SEED)};
  ASSERT_EQ(tavro_sv_apply_x(e.d, 2), 0);
  ASSERT_EQ(tavro_sv_apply_h(e.s, 77), -3);  // the error every row starts from
  EXPECT_EQ(row.call(e), row.status);
  EXPECT_EQ(last_error(), row.last ? row.last : row.status == 0 ? "0 <null>" : SEEDED);
  EXPECT_EQ(std::memcmp(&e.out, &row.out, sizeof e.out), 0)
      << e.out.re << " " << e.out.im << " (bits compared)";
  EXPECT_EQ(e.chosen, row.chosen);
  EXPECT_TRUE(took_draws(e.r, SEED, row.draws)) << "not " << row.draws << " draws";
  EXPECT_EQ(tavro_sv_live_qubits(e.d), row.live);
  if (row.status != 0) {
    EXPECT_TRUE(same_bits(buffer(e.s), AMPS4)) << "a failed call changed it";
  }
  tavro_sv_free(e.s);
  tavro_sv_free(e.d);
  tavro_rng_free(e.r);
  tavro_clear_last_error();
}

INSTANTIATE_TEST_SUITE_P(CFace, Observed, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return i.param.name; });

}  // namespace
