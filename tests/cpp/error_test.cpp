#include "error.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace tavro {
namespace {

struct ErrorCase {
  std::string name;
  Error error;
  size_t index;
  std::string display;
  std::string debug;
};

std::vector<ErrorCase> error_cases() {
  using namespace std::string_literals;
  return {
      {"InvalidNumQubits",
       InvalidNumQubits{"60 qubits: 2^60 amplitudes of 16 bytes each cannot be "
                        "addressed on a 64-bit host"},
       0,
       "invalid number of qubits: 60 qubits: 2^60 amplitudes of 16 bytes each cannot be "
       "addressed on a 64-bit host",
       "InvalidNumQubits(\"60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed on a "
       "64-bit host\")"},
      {"InvalidNumQubitsEscapes", InvalidNumQubits{"a\"b\\c\nd"}, 0,
       "invalid number of qubits: a\"b\\c\nd", "InvalidNumQubits(\"a\\\"b\\\\c\\nd\")"},
      {"QubitIndexOutOfBounds", QubitIndexOutOfBounds{5, 3}, 1,
       "qubit index 5 out of bounds for state vector with 3 qubits",
       "QubitIndexOutOfBounds { qubit: 5, num_qubits: 3 }"},
      {"QubitIndexOutOfBoundsFields", QubitIndexOutOfBounds{7, 3}, 1,
       "qubit index 7 out of bounds for state vector with 3 qubits",
       "QubitIndexOutOfBounds { qubit: 7, num_qubits: 3 }"},
      {"QubitIndexOutOfBoundsMax", QubitIndexOutOfBounds{SIZE_MAX, 0}, 1,
       "qubit index 18446744073709551615 out of bounds for state vector with 0 qubits",
       "QubitIndexOutOfBounds { qubit: 18446744073709551615, num_qubits: 0 }"},
      {"DuplicateQubits", DuplicateQubits{2}, 2,
       "two-qubit gate operands must be distinct, got (2, 2)", "DuplicateQubits(2)"},
      {"DuplicateQubitsThree", DuplicateQubits{3}, 2,
       "two-qubit gate operands must be distinct, got (3, 3)", "DuplicateQubits(3)"},
      {"InvalidGateMatrix", InvalidGateMatrix{"expected 4 entries, got 3"}, 3,
       "invalid gate matrix: expected 4 entries, got 3",
       "InvalidGateMatrix(\"expected 4 entries, got 3\")"},
      {"InvalidBasisIndex", InvalidBasisIndex{"index 8 >= 2^5"}, 4,
       "invalid basis-state index: index 8 >= 2^5", "InvalidBasisIndex(\"index 8 >= 2^5\")"},
      {"InvalidStateLength", InvalidStateLength{8, 5}, 5,
       "invalid state-vector buffer length: expected 8, got 5",
       "InvalidStateLength { expected: 8, actual: 5 }"},
      {"AllocationFailed", AllocationFailed{1024}, 6,
       "allocation failed for 1024 complex amplitudes (0.0000152587890625 GiB)",
       "AllocationFailed { amplitudes: 1024 }"},
      {"AllocationFailed59", AllocationFailed{size_t{1} << 59}, 6,
       "allocation failed for 576460752303423488 complex amplitudes (8589934592 GiB)",
       "AllocationFailed { amplitudes: 576460752303423488 }"},
      {"DegenerateState", DegenerateState{"squared norm 0.000e0 is too small to sample from"}, 7,
       "degenerate state: squared norm 0.000e0 is too small to sample from",
       "DegenerateState(\"squared norm 0.000e0 is too small to sample from\")"},
      {"DegenerateStateControl", DegenerateState{"x\x1b\ty"}, 7, "degenerate state: x\x1b\ty",
       "DegenerateState(\"x\\u{1b}\\ty\")"},
      {"NonUnitary", NonUnitary{"U U^dagger != I"}, 8, "non-unitary gate: U U^dagger != I",
       "NonUnitary(\"U U^dagger != I\")"},
      {"NonUnitaryEmpty", NonUnitary{""}, 8, "non-unitary gate: ", "NonUnitary(\"\")"},
  };
}

class ErrorRenderTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorRenderTest, IndexDisplayDebug) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(c.error.index(), c.index);
  EXPECT_EQ(c.error.variant().index(), c.index);
  EXPECT_EQ(c.error.display(), c.display);
  EXPECT_EQ(c.error.debug(), c.debug);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, ErrorRenderTest, testing::ValuesIn(error_cases()),
                         [](const testing::TestParamInfo<ErrorCase>& info) {
                           return info.param.name;
                         });

// The faces map variants by position: a reordering of the alternatives must show up here.
TEST(ErrorIndex, EachVariantHasItsPositionAndPayloadSurvives) {
  const Error e0 = InvalidNumQubits{"t"};
  const Error e1 = QubitIndexOutOfBounds{4, 2};
  const Error e5 = InvalidStateLength{16, 3};
  const Error e6 = AllocationFailed{77};
  EXPECT_EQ(e0.index(), 0u);
  ASSERT_NE(e0.get_if<InvalidNumQubits>(), nullptr);
  EXPECT_EQ(e0.get_if<InvalidNumQubits>()->text, "t");
  EXPECT_EQ(e0.get_if<NonUnitary>(), nullptr);
  ASSERT_NE(e1.get_if<QubitIndexOutOfBounds>(), nullptr);
  EXPECT_EQ(e1.get_if<QubitIndexOutOfBounds>()->qubit, 4u);
  EXPECT_EQ(e1.get_if<QubitIndexOutOfBounds>()->num_qubits, 2u);
  ASSERT_NE(e5.get_if<InvalidStateLength>(), nullptr);
  EXPECT_EQ(e5.get_if<InvalidStateLength>()->expected, 16u);
  EXPECT_EQ(e5.get_if<InvalidStateLength>()->actual, 3u);
  ASSERT_NE(e6.get_if<AllocationFailed>(), nullptr);
  EXPECT_EQ(e6.get_if<AllocationFailed>()->amplitudes, 77u);
  EXPECT_EQ(e6.get_if<DegenerateState>(), nullptr);
}

struct GibCase {
  std::string name;
  size_t amplitudes;
  std::string figure;
};

const GibCase GIB_CASES[] = {
    {"One", 1, "0.000000014901161193847656"},
    {"Three", 3, "0.00000004470348358154297"},
    {"Hundred", 100, "0.0000014901161193847656"},
    {"Kilo", 1024, "0.0000152587890625"},
    {"BillionAndSeven", 1000000007, "14.901161298155785"},
    {"TwoPow40", size_t{1} << 40, "16384"},
    {"TwoPow59", size_t{1} << 59, "8589934592"},
    // 2^63 + 16 bytes rounds to 2^63 on the way to binary64.
    {"TwoPow59PlusOne", (size_t{1} << 59) + 1, "8589934592"},
    // 2^64 - 16 bytes: not saturated, but rounds to 2^64 all the same.
    {"TwoPow60MinusOne", (size_t{1} << 60) - 1, "17179869184"},
    // From here the byte count saturates at 2^64 - 1 instead of wrapping to a small number.
    {"TwoPow60", size_t{1} << 60, "17179869184"},
    {"TwoPow60PlusOne", (size_t{1} << 60) + 1, "17179869184"},
    {"TwoPow63", size_t{1} << 63, "17179869184"},
    {"SizeMax", std::numeric_limits<size_t>::max(), "17179869184"},
};

class AllocationFigureTest : public testing::TestWithParam<GibCase> {};

TEST_P(AllocationFigureTest, Display) {
  const GibCase& c = GetParam();
  const Error e = AllocationFailed{c.amplitudes};
  EXPECT_EQ(e.display(), "allocation failed for " + std::to_string(c.amplitudes) +
                             " complex amplitudes (" + c.figure + " GiB)");
  EXPECT_EQ(e.debug(), "AllocationFailed { amplitudes: " + std::to_string(c.amplitudes) + " }");
}

INSTANTIATE_TEST_SUITE_P(Payloads, AllocationFigureTest, testing::ValuesIn(GIB_CASES),
                         [](const testing::TestParamInfo<GibCase>& info) {
                           return info.param.name;
                         });

// Errors travel by value through std::expected; TAVRO_TRY must hand the same error on.
Result<int> fails_with(Error e) { return std::unexpected(std::move(e)); }
Result<int> succeeds() { return 4; }

Status chain(bool fail_first, bool fail_second, int& reached) {
  reached = 0;
  TAVRO_TRY(fail_first ? fails_with(DuplicateQubits{9}) : succeeds());
  reached = 1;
  TAVRO_TRY(fail_second ? fails_with(InvalidBasisIndex{"b"}) : succeeds());
  reached = 2;
  return {};
}

TEST(TavroTry, StopsAtFirstErrorAndPassesItOn) {
  int reached = -1;
  const Status a = chain(true, true, reached);
  ASSERT_FALSE(a.has_value());
  EXPECT_EQ(reached, 0);
  EXPECT_EQ(a.error().debug(), "DuplicateQubits(9)");

  const Status b = chain(false, true, reached);
  ASSERT_FALSE(b.has_value());
  EXPECT_EQ(reached, 1);
  EXPECT_EQ(b.error().display(), "invalid basis-state index: b");

  const Status c = chain(false, false, reached);
  EXPECT_TRUE(c.has_value());
  EXPECT_EQ(reached, 2);
}

// Invariant faults show the Debug form after their fixed prefix.
TEST(FaultMessage, EmbedsDebugForm) {
  const Fault f("prefix: " + Error(AllocationFailed{8}).debug());
  EXPECT_STREQ(f.what(), "prefix: AllocationFailed { amplitudes: 8 }");
  EXPECT_EQ(f.message(), f.what());
}

}  // namespace
}  // namespace tavro
