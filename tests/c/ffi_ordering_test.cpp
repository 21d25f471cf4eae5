// The ordering optimizer and the version texts as a C caller sees them: the order of the
// boundary checks (shown by pointers that must not be read), empty arrays, the placements of
// small circuits, the trapped fault of a bad pair index, and the last error.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ffi_support.hpp"
#include "tavro.h"

namespace {

using ffi_test::last_error;

const double S = std::bit_cast<double>(uint64_t{0x7ff8dead0000beef});
constexpr size_t UNSET = 0xABAB;
const char* const SEEDED = "-3 qubit index 5 out of bounds for state vector with 1 qubits";

// Pointers that fault if read: a check that comes later than it should crashes the test.
const double* const BAD_D = reinterpret_cast<const double*>(uintptr_t{8});
const size_t* const BAD_Z = reinterpret_cast<const size_t*>(uintptr_t{8});
constexpr size_t HUGE_N = size_t{1} << 40;

struct Out {
  size_t perm[6] = {UNSET, UNSET, UNSET, UNSET, UNSET, UNSET};
  double cost = S;
};

struct Row {
  const char* name;
  int32_t status;
  int32_t (*call)(Out&);
  std::vector<size_t> perm;  // the first entries of perm afterwards; the rest stay UNSET
  double cost = S;           // compared bit for bit
  const char* stderr_line = "";
};

const double ONES[5] = {1, 1, 1, 1, 1}, ZEROS[4] = {};
const size_t I01[1] = {0}, J01[1] = {1}, I012[2] = {0, 1}, J012[2] = {1, 2}, J05[1] = {5};
const double W1[1] = {1.0}, W11[2] = {1.0, 1.0};
#define CALL(...) [](Out& o) { return (void)o, tavro_optimize_ordering(__VA_ARGS__); }
const std::vector<size_t> NONE;

// The cost model's factors at up to 20 qubits: one-qubit work 1.15, 1.08, 1.03 on slots 0 to
// 2 and 1.0 above; pair work 1.3, 1.22 with the lower slot at 0 or 1 and 1.0 above. Costs add
// in qubit order, then pair order, from +0.0.
const Row ROWS[] = {
    // The method before any pointer, cost_out before the arrays, the arrays by count.
    {"method_first", -1, CALL(3, BAD_D, BAD_Z, BAD_Z, BAD_D, HUGE_N, 2, 7, nullptr, nullptr), NONE},
    {"cost_out_second", -1, CALL(3, BAD_D, BAD_Z, BAD_Z, BAD_D, HUGE_N, 1, 7, o.perm, nullptr),
     NONE},
    {"null_weights", -1, CALL(2, nullptr, I01, J01, W1, 1, 0, 7, o.perm, &o.cost), NONE},
    {"null_perm", -1, CALL(2, W11, I01, J01, W1, 1, 0, 7, nullptr, &o.cost), NONE},
    {"null_pair_w", -1, CALL(2, W11, I01, J01, nullptr, 1, 0, 7, o.perm, &o.cost), NONE},
    {"null_pair_i", -1, CALL(2, W11, nullptr, J01, W1, 1, 1, 7, o.perm, &o.cost), NONE},
    // Zero counts accept NULL arrays; the pair arrays are not even looked at.
    {"nothing", 0, CALL(0, nullptr, nullptr, nullptr, nullptr, 0, 1, 7, nullptr, &o.cost), NONE,
     0.0},
    {"no_pairs_unread",
     0,
     CALL(5, ONES, BAD_Z, BAD_Z, BAD_D, 0, 0, 7, o.perm, &o.cost),
     // Greedy costs the same as the identity, which wins the tie.
     {0, 1, 2, 3, 4},
     (((0.0 + 1.15) + 1.08) + 1.03 + 1.0) + 1.0},
    // One pair on slots (0, 1): exchanging 0 and 2, then 1 and 3, lifts it to slots (2, 3).
    {"one_pair", 0, CALL(4, ZEROS, I01, J01, W1, 1, 0, 7, o.perm, &o.cost), {2, 3, 0, 1}, 1.0},
    // Pairs (0, 1) and (1, 2): nothing beats the identity, 1.3 + 1.22.
    {"chain",
     0,
     CALL(3, ZEROS, I012, J012, W11, 2, 0, 7, o.perm, &o.cost),
     {0, 1, 2},
     0.0 + 1.3 + 1.22},
    // Two qubits anneal too: the same pair again.
    {"two_anneal", 0, CALL(2, ZEROS, I01, J01, W1, 1, 1, 7, o.perm, &o.cost), {0, 1}, 1.3},
    // A pair index beyond the qubits breaks the optimizer's invariant: trapped, nothing written.
    {"pair_index_fault", -1, CALL(2, W11, I01, J05, W1, 1, 0, 7, o.perm, &o.cost), NONE, S,
     "tavro_optimize_ordering panicked across C ABI: index out of bounds: the len is 2 but the "
     "index is 5\n"},
};

class Ordering : public testing::TestWithParam<Row> {};

TEST_P(Ordering, StatusOutputsLastErrorAndStandardError) {
  const Row& row = GetParam();
  TavroSVHandle* one = tavro_sv_zero(1);
  ASSERT_EQ(tavro_sv_apply_x(one, 5), -3);  // the error every row starts from
  Out o;
  testing::internal::CaptureStderr();
  EXPECT_EQ(row.call(o), row.status);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), row.stderr_line);
  EXPECT_EQ(last_error(), row.status == 0 ? "0 <null>" : SEEDED);
  std::vector<size_t> want = row.perm;
  want.resize(6, UNSET);
  EXPECT_EQ(std::vector<size_t>(o.perm, o.perm + 6), want);
  EXPECT_EQ(std::bit_cast<uint64_t>(o.cost), std::bit_cast<uint64_t>(row.cost)) << o.cost;
  tavro_sv_free(one);
  tavro_clear_last_error();
}

INSTANTIATE_TEST_SUITE_P(CFace, Ordering, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return i.param.name; });

// Twelve qubits with pairs along a ring and across it: a relabelling of 0..11 that the same
// seed reproduces for either method, on any thread.
TEST(OrderingSeed, SameArgumentsAndSeedSameResult) {
  constexpr size_t N = 12;
  std::vector<double> w1(N), pw;
  std::vector<size_t> pi, pj;
  for (size_t q = 0; q < N; ++q) {
    w1[q] = double(q % 4) * 0.75;
    for (size_t step : {size_t{1}, size_t{5}}) {
      pi.push_back(q), pj.push_back((q + step) % N), pw.push_back(1.0 + double((q * step) % 3));
    }
  }
  for (uint32_t method : {0u, 1u}) {
    std::vector<size_t> first(N), again(N, UNSET);
    double c1 = S, c2 = S;
    ASSERT_EQ(tavro_optimize_ordering(N, w1.data(), pi.data(), pj.data(), pw.data(), pi.size(),
                                      method, 99, first.data(), &c1),
              0);
    std::thread([&] {
      EXPECT_EQ(tavro_optimize_ordering(N, w1.data(), pi.data(), pj.data(), pw.data(), pi.size(),
                                        method, 99, again.data(), &c2),
                0);
    }).join();
    EXPECT_EQ(first, again) << method;
    EXPECT_EQ(std::bit_cast<uint64_t>(c1), std::bit_cast<uint64_t>(c2)) << method;
    std::vector<size_t> sorted = first;
    std::sort(sorted.begin(), sorted.end());
    for (size_t q = 0; q < N; ++q) EXPECT_EQ(sorted[q], q) << "not a relabelling";
  }
}

// Static texts: the same pointer on every call and every thread; the last error untouched.
TEST(Version, FixedTextsSamePointer) {
  TavroSVHandle* one = tavro_sv_zero(1);
  ASSERT_EQ(tavro_sv_apply_x(one, 5), -3);
  const char* version = tavro_version();
  const char* info = tavro_library_info();
  EXPECT_STREQ(version, "0.3.0");
  EXPECT_STREQ(info, "tavro 0.3.0");
  EXPECT_EQ(tavro_version(), version);
  EXPECT_EQ(tavro_library_info(), info);
  const char* other = nullptr;
  std::thread([&] { other = tavro_version(); }).join();
  EXPECT_EQ(other, version);
  EXPECT_EQ(last_error(), SEEDED);
  tavro_sv_free(one);
  tavro_clear_last_error();
}

}  // namespace
