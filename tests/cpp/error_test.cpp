#include "error.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tavro {
namespace {

// In variant order: the faces map variants by position and pass the display text on unchanged.
TEST(ErrorRender, IndexDisplayDebug) {
  const std::tuple<Error, std::string, std::string> cases[] = {
      {InvalidNumQubits{"a\"b\\c\nd"}, "invalid number of qubits: a\"b\\c\nd",
       "InvalidNumQubits(\"a\\\"b\\\\c\\nd\")"},
      {QubitIndexOutOfBounds{7, 3}, "qubit index 7 out of bounds for state vector with 3 qubits",
       "QubitIndexOutOfBounds { qubit: 7, num_qubits: 3 }"},
      {DuplicateQubits{2}, "two-qubit gate operands must be distinct, got (2, 2)",
       "DuplicateQubits(2)"},
      {InvalidGateMatrix{"got 3"}, "invalid gate matrix: got 3", "InvalidGateMatrix(\"got 3\")"},
      {InvalidBasisIndex{"index 8 >= 2^5"}, "invalid basis-state index: index 8 >= 2^5",
       "InvalidBasisIndex(\"index 8 >= 2^5\")"},
      {InvalidStateLength{8, 5}, "invalid state-vector buffer length: expected 8, got 5",
       "InvalidStateLength { expected: 8, actual: 5 }"},
      {AllocationFailed{1024},
       "allocation failed for 1024 complex amplitudes (0.0000152587890625 GiB)",
       "AllocationFailed { amplitudes: 1024 }"},
      {DegenerateState{"x\x1b\ty"}, "degenerate state: x\x1b\ty",
       "DegenerateState(\"x\\u{1b}\\ty\")"},
      {NonUnitary{""}, "non-unitary gate: ", "NonUnitary(\"\")"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [error, display, debug] = cases[i];
    EXPECT_EQ(error.index(), i);
    EXPECT_EQ(error.display(), display);
    EXPECT_EQ(error.debug(), debug);
  }
}

// bytes = 16 * amplitudes saturating at 2^64 - 1, rounded to binary64, over 2^30: 2^63 + 16
// bytes rounds to 2^63, 2^64 - 16 rounds up to 2^64, and 2^60 amplitudes saturate, not wrap.
TEST(AllocationFigure, ShortestGib) {
  const std::pair<size_t, std::string> cases[] = {{3, "0.00000004470348358154297"},
                                                  {1000000007, "14.901161298155785"},
                                                  {size_t{1} << 40, "16384"},
                                                  {size_t{1} << 59, "8589934592"},
                                                  {(size_t{1} << 59) + 1, "8589934592"},
                                                  {(size_t{1} << 60) - 1, "17179869184"},
                                                  {size_t{1} << 60, "17179869184"},
                                                  {SIZE_MAX, "17179869184"}};
  for (const auto& [amplitudes, gib] : cases)
    EXPECT_EQ(Error(AllocationFailed{amplitudes}).display(),
              "allocation failed for " + std::to_string(amplitudes) + " complex amplitudes (" +
                  gib + " GiB)");
}

// A sampling buffer is counted in shots and bytes per shot, its figure from their product
// saturating as the amplitudes' does (2^62 shots of 8 bytes give 2^64 - 1 bytes, 2^64 as a
// double); the amplitude form and its debug text stay as they are for state buffers.
TEST(AllocationFigure, SampleBuffers) {
  const std::tuple<size_t, size_t, std::string, std::string> cases[] = {
      {3, 8, "3 shots, 8 bytes each (0.000000022351741790771484 GiB)",
       "shots: 3, bytes_per_shot: 8"},
      {size_t{1} << 40, 5, "1099511627776 shots, 5 bytes each (5120 GiB)",
       "shots: 1099511627776, bytes_per_shot: 5"},
      {size_t{1} << 62, 8, "4611686018427387904 shots, 8 bytes each (17179869184 GiB)",
       "shots: 4611686018427387904, bytes_per_shot: 8"},
      {SIZE_MAX, 59, "18446744073709551615 shots, 59 bytes each (17179869184 GiB)",
       "shots: 18446744073709551615, bytes_per_shot: 59"}};
  for (const auto& [shots, each, display, debug] : cases) {
    const Error e = AllocationFailed{0, shots, each};
    EXPECT_EQ(e.index(), 6u);
    EXPECT_EQ(e.display(), "allocation failed for a sample buffer of " + display);
    EXPECT_EQ(e.debug(), "AllocationFailed { amplitudes: 0, " + debug + " }");
  }
}

Result<int> fails_with(Error e) { return std::unexpected(std::move(e)); }

Result<int> chain(bool fail_first, bool fail_second) {
  TAVRO_TRY(fail_first ? fails_with(DuplicateQubits{9}) : Result<int>{4});
  TAVRO_TRY(fail_second ? fails_with(InvalidBasisIndex{"b"}) : Result<int>{4});
  return 2;
}

// TAVRO_TRY stops at the first error and hands that same error on.
TEST(TavroTry, StopsAtFirstError) {
  EXPECT_EQ(chain(true, true).error().debug(), "DuplicateQubits(9)");
  EXPECT_EQ(chain(false, true).error().debug(), "InvalidBasisIndex(\"b\")");
  EXPECT_EQ(chain(false, false).value(), 2);
}

}  // namespace
}  // namespace tavro
