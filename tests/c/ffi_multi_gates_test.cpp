// The dense k-qubit, diagonal and multi-controlled gate functions as a C caller sees them: the
// boundary checks (no message, no change, no allocation), the core's errors in their order,
// and each function against calls it must equal bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ffi_support.hpp"
#include "tavro.h"

namespace {

using ffi_test::buffer;
using ffi_test::last_error;
using ffi_test::same_bits;

// 16 amplitudes, no component zero and all distinct, so that a misplaced entry shows and a
// product by an exact 0 or 1 adds nothing but a signed zero.
std::vector<TavroComplex> distinct(size_t n) {
  std::vector<TavroComplex> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = {0.0625 + 0.125 * double(k), -0.03125 - 0.0625 * double(k)};
  return v;
}

const std::vector<TavroComplex> V8 = distinct(8), V16 = distinct(16);
// Big enough for any gate the rows pass, including the refused 4^6 and 2^11; never applied.
const std::vector<TavroComplex> ZEROS(4096, TavroComplex{0.0, 0.0});
const TavroComplex* const Z = ZEROS.data();
const char* const SEEDED = "-3 qubit index 77 out of bounds for state vector with 3 qubits";
#define DUP(q) "-4 two-qubit gate operands must be distinct, got (" #q ", " #q ")"
#define OOB(q, n) "-3 qubit index " #q " out of bounds for state vector with " #n " qubits"

struct Env {
  TavroSVHandle* s;  // static, 3 qubits, V8
  TavroSVHandle* d;  // dynamic, 6 declared qubits, none touched
};

struct Row {
  const char* name;
  int32_t status;
  const char* last;  // the stored "code message"; nullptr: the seeded error is kept
  int32_t (*call)(Env&);
};

#define CALL(expr) [](Env& e) { return (void)e, int32_t(expr); }
const size_t T3[3] = {0, 1, 2}, T11[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const size_t R292[3] = {2, 9, 2}, R229[3] = {2, 2, 9}, R414[3] = {4, 1, 4};
const size_t C0[1] = {0}, C1[1] = {1}, C2[1] = {2}, C3[1] = {3}, C5[1] = {5}, C9[1] = {9},
             C11[2] = {1, 1}, P11[2] = {1, 1}, P56[2] = {5, 6};

// clang-format off
const Row ROWS[] = {
    // Dense k-qubit: the count first, then the pointers and the length; none reaches the core.
    {"kq_null_sv", -1, nullptr, CALL(tavro_sv_apply_gate_kq(nullptr, Z, 4, T3, 1))},
    {"kq_k0", -1, nullptr, CALL(tavro_sv_apply_gate_kq(e.s, Z, 1, T3, 0))},
    {"kq_k6", -1, nullptr, CALL(tavro_sv_apply_gate_kq(e.s, Z, 4096, T11, 6))},
    {"kq_len63", -1, nullptr, CALL(tavro_sv_apply_gate_kq(e.s, Z, 63, T3, 3))},
    {"kq_null_targets", -1, nullptr, CALL(tavro_sv_apply_gate_kq(e.s, Z, 64, nullptr, 3))},
    {"kq_null_gate", -1, nullptr, CALL(tavro_sv_apply_gate_kq(e.s, nullptr, 64, T3, 3))},
    // Each target for range before repetition, in order.
    {"kq_range_before_repeat", -3, OOB(9, 3), CALL(tavro_sv_apply_gate_kq(e.s, Z, 64, R292, 3))},
    {"kq_repeat", -4, DUP(2), CALL(tavro_sv_apply_gate_kq(e.s, Z, 64, R229, 3))},
    {"kq_dynamic_repeat", -4, DUP(4), CALL(tavro_sv_apply_gate_kq(e.d, Z, 64, R414, 3))},
    // Diagonal: up to ten targets, 2^k entries.
    {"diag_k11", -1, nullptr, CALL(tavro_sv_apply_diag_kq(e.s, Z, 2048, T11, 11))},
    {"diag_k0", -1, nullptr, CALL(tavro_sv_apply_diag_kq(e.s, Z, 1, T3, 0))},
    {"diag_len3", -1, nullptr, CALL(tavro_sv_apply_diag_kq(e.s, Z, 3, T3, 2))},
    {"diag_null_targets", -1, nullptr, CALL(tavro_sv_apply_diag_kq(e.s, Z, 4, nullptr, 2))},
    {"diag_null_diag", -1, nullptr, CALL(tavro_sv_apply_diag_kq(e.s, nullptr, 4, T3, 2))},
    {"diag_null_sv", -1, nullptr, CALL(tavro_sv_apply_diag_kq(nullptr, Z, 4, T3, 2))},
    {"diag_repeat", -4, DUP(1), CALL(tavro_sv_apply_diag_kq(e.s, Z, 4, P11, 2))},
    {"diag_dynamic_range", -3, OOB(6, 6), CALL(tavro_sv_apply_diag_kq(e.d, Z, 4, P56, 2))},
    // Multi-controlled X: controls in order (range, the target, repetition), then the target.
    {"mcx_null_controls", -1, nullptr, CALL(tavro_sv_apply_mcx(e.s, nullptr, 1, 0))},
    {"mcx_null_sv", -1, nullptr, CALL(tavro_sv_apply_mcx(nullptr, C0, 1, 1))},
    {"mcx_control_range_first", -3, OOB(9, 3), CALL(tavro_sv_apply_mcx(e.s, C9, 1, 9))},
    {"mcx_target_after_controls", -3, OOB(9, 3), CALL(tavro_sv_apply_mcx(e.s, C0, 1, 9))},
    {"mcx_control_is_target", -4, DUP(5), CALL(tavro_sv_apply_mcx(e.d, C5, 1, 5))},
    {"mcx_repeated_control", -4, DUP(1), CALL(tavro_sv_apply_mcx(e.s, C11, 2, 0))},
    {"mcx_no_controls_is_x", -3, OOB(3, 3), CALL(tavro_sv_apply_mcx(e.s, nullptr, 0, 3))},
    // Controlled 2x2: four entries.
    {"cg1q_len16", -1, nullptr, CALL(tavro_sv_apply_controlled_gate_1q(e.s, Z, 16, C0, 1, 1))},
    {"cg1q_null_gate", -1, nullptr,
     CALL(tavro_sv_apply_controlled_gate_1q(e.s, nullptr, 4, C0, 1, 1))},
    {"cg1q_null_controls", -1, nullptr,
     CALL(tavro_sv_apply_controlled_gate_1q(e.s, Z, 4, nullptr, 2, 1))},
    {"cg1q_null_sv", -1, nullptr, CALL(tavro_sv_apply_controlled_gate_1q(nullptr, Z, 4, C0, 1, 1))},
    {"cg1q_control_is_target", -4, DUP(0),
     CALL(tavro_sv_apply_controlled_gate_1q(e.s, Z, 4, C0, 1, 0))},
    // Controlled 4x4: sixteen entries; a control equal to q1, then to q2; then phys2's checks.
    {"cg2q_len4", -1, nullptr, CALL(tavro_sv_apply_controlled_gate_2q(e.s, Z, 4, C0, 1, 1, 2))},
    {"cg2q_null_controls", -1, nullptr,
     CALL(tavro_sv_apply_controlled_gate_2q(e.s, Z, 16, nullptr, 1, 1, 2))},
    {"cg2q_null_sv", -1, nullptr,
     CALL(tavro_sv_apply_controlled_gate_2q(nullptr, Z, 16, C0, 1, 1, 2))},
    {"cg2q_control_is_q1", -4, DUP(2),
     CALL(tavro_sv_apply_controlled_gate_2q(e.s, Z, 16, C2, 1, 2, 1))},
    {"cg2q_control_is_q2", -4, DUP(1),
     CALL(tavro_sv_apply_controlled_gate_2q(e.s, Z, 16, C1, 1, 2, 1))},
    {"cg2q_no_controls_equal", -4, DUP(1),
     CALL(tavro_sv_apply_controlled_gate_2q(e.s, Z, 16, nullptr, 0, 1, 1))},
    {"cg2q_dynamic_q2_range", -3, OOB(9, 6),
     CALL(tavro_sv_apply_controlled_gate_2q(e.d, Z, 16, C3, 1, 4, 9))},
};
// clang-format on

class Refused : public testing::TestWithParam<Row> {};

// A refused call returns its code, stores the core's text or nothing, and changes neither
// state: no amplitude, no slot.
TEST_P(Refused, StatusLastErrorNothingChangedNothingAllocated) {
  const Row& row = GetParam();
  Env e{tavro_sv_from_amplitudes(3, V8.data(), 8), tavro_sv_zero_dynamic(6)};
  ASSERT_EQ(tavro_sv_apply_h(e.s, 77), -3);  // the error every row starts from
  EXPECT_EQ(row.call(e), row.status);
  EXPECT_EQ(last_error(), row.last != nullptr ? row.last : SEEDED);
  EXPECT_TRUE(same_bits(buffer(e.s), V8));
  EXPECT_EQ(tavro_sv_len(e.d), 1u);
  tavro_sv_free(e.s);
  tavro_sv_free(e.d);
  tavro_clear_last_error();
}

INSTANTIATE_TEST_SUITE_P(CFace, Refused, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return i.param.name; });

// Matrices, column-major. U is arbitrary; X swaps; CX has q1 as its control.
const TavroComplex U4[4] = {{0.6, 0.1}, {-0.3, 0.7}, {0.2, -0.5}, {0.9, 0.4}};
const TavroComplex X4[4] = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
const std::vector<TavroComplex> M16 = [] {
  std::vector<TavroComplex> m(16);
  for (size_t k = 0; k < 16; ++k) m[k] = {0.05 * double(k) - 0.3, 0.4 - 0.03 * double(k * k % 7)};
  return m;
}();
// Entries (row r, column c) at r + 4c: |00>, |01> fixed, |10> <-> |11>.
const std::vector<TavroComplex> CX16 = [] {
  std::vector<TavroComplex> m(16, TavroComplex{0, 0});
  m[0] = m[5] = m[4 * 3 + 2] = m[4 * 2 + 3] = {1, 0};
  return m;
}();
// 8x8 permutation i -> i ^ 4: X on the most significant target.
const std::vector<TavroComplex> FLIP_HIGH64 = [] {
  std::vector<TavroComplex> m(64, TavroComplex{0, 0});
  for (size_t c = 0; c < 8; ++c) m[8 * c + (c ^ 4)] = {1, 0};
  return m;
}();
const TavroComplex NEG1[4] = {{1, 0}, {-1, 0}, {1, 0}, {1, 0}};  // entry 1: high 0, low 1
const TavroComplex DZ[2] = {{1, 0}, {-1, 0}};

struct Same {
  const char* name;
  int32_t (*call)(TavroSVHandle*);
  int32_t (*twin)(TavroSVHandle*);  // what the call must equal, bit for bit
};

#define ON(expr) [](TavroSVHandle* h) { return int32_t(expr); }
const size_t JUNK[1] = {99};
const size_t Q2[1] = {2}, Q3[1] = {3}, Q130[3] = {1, 3, 0}, Q03[2] = {0, 3}, Q21[2] = {2, 1};

// Negates the amplitudes whose qubit hi is 0 and qubit lo is 1, with exact steps only.
int32_t negate_01(TavroSVHandle* h, size_t hi, size_t lo) {
  int32_t status = tavro_sv_apply_x(h, hi);
  status |= tavro_sv_apply_cz(h, hi, lo);
  return status | tavro_sv_apply_x(h, hi);
}

// clang-format off
const Same SAME[] = {
    {"mcx_no_controls", ON(tavro_sv_apply_mcx(h, nullptr, 0, 2)), ON(tavro_sv_apply_x(h, 2))},
    // A count of 0 means no controls, whatever the pointer holds.
    {"mcx_count0_ignores_list", ON(tavro_sv_apply_mcx(h, JUNK, 0, 2)), ON(tavro_sv_apply_x(h, 2))},
    {"mcx_one_control", ON(tavro_sv_apply_mcx(h, Q3, 1, 1)), ON(tavro_sv_apply_cx(h, 3, 1))},
    {"cg1q_no_controls", ON(tavro_sv_apply_controlled_gate_1q(h, U4, 4, nullptr, 0, 2)),
     ON(tavro_sv_apply_gate_1q(h, U4, 4, 2))},
    {"cg1q_x_one_control", ON(tavro_sv_apply_controlled_gate_1q(h, X4, 4, Q2, 1, 3)),
     ON(tavro_sv_apply_cx(h, 2, 3))},
    {"cg2q_no_controls", ON(tavro_sv_apply_controlled_gate_2q(h, M16.data(), 16, nullptr, 0, 1, 3)),
     ON(tavro_sv_apply_gate_2q(h, M16.data(), 16, 1, 3))},
    // q1 is the high bit of the local basis whichever slot is higher.
    {"cg2q_cx_is_toffoli", ON(tavro_sv_apply_controlled_gate_2q(h, CX16.data(), 16, Q2, 1, 1, 3)),
     ON(tavro_sv_apply_mcx(h, Q21, 2, 3))},
    {"kq1_is_gate_1q", ON(tavro_sv_apply_gate_kq(h, U4, 4, Q2, 1)),
     ON(tavro_sv_apply_gate_1q(h, U4, 4, 2))},
    {"kq3_targets0_is_high", ON(tavro_sv_apply_gate_kq(h, FLIP_HIGH64.data(), 64, Q130, 3)),
     ON(tavro_sv_apply_x(h, 1))},
    {"diag1_is_z", ON(tavro_sv_apply_diag_kq(h, DZ, 2, Q2, 1)), ON(tavro_sv_apply_z(h, 2))},
    // Entry 1 is targets[0] = 0 and targets[1] = 1.
    {"diag2_targets0_is_high", ON(tavro_sv_apply_diag_kq(h, NEG1, 4, Q03, 2)),
     ON(negate_01(h, 0, 3))},
};
// clang-format on

class Equals : public testing::TestWithParam<Same> {};

TEST_P(Equals, TheSameBitsAsItsTwin) {
  const Same& row = GetParam();
  TavroSVHandle* h = tavro_sv_from_amplitudes(4, V16.data(), 16);
  TavroSVHandle* twin = tavro_sv_from_amplitudes(4, V16.data(), 16);
  ASSERT_EQ(tavro_sv_apply_h(h, 9), -3);
  EXPECT_EQ(row.call(h), 0);
  EXPECT_EQ(last_error(), "0 <null>");  // success clears
  ASSERT_EQ(row.twin(twin), 0);
  EXPECT_FALSE(same_bits(buffer(h), V16)) << "the call did nothing";
  EXPECT_TRUE(same_bits(buffer(h), buffer(twin)));
  tavro_sv_free(h);
  tavro_sv_free(twin);
}

INSTANTIATE_TEST_SUITE_P(CFace, Equals, testing::ValuesIn(SAME),
                         [](const testing::TestParamInfo<Same>& i) { return i.param.name; });

}  // namespace
