// The shared pieces of the C functions on their own: the code of every error variant, the
// stored message, and the trap's handling of each kind of exception.
#include "ffi/trap.hpp"

#include <gtest/gtest.h>

#include <new>
#include <string>

namespace tavro::ffi {
namespace {

TEST(LastErrorSlot, CodeIsMinusTwoMinusTheVariantPositionAndMessageTheDisplayText) {
  const Error errors[] = {
      // in declaration order
      InvalidNumQubits{"x"},  QubitIndexOutOfBounds{5, 3}, DuplicateQubits{2},
      InvalidGateMatrix{"m"}, InvalidBasisIndex{"b"},      InvalidStateLength{4, 3},
      AllocationFailed{1024}, DegenerateState{"d"},        NonUnitary{"u"}};
  for (int32_t i = 0; i < 9; ++i) {
    EXPECT_EQ(report(Status(std::unexpected(errors[i]))), -2 - i);
    EXPECT_EQ(last_error_code(), -2 - i);
    EXPECT_STREQ(last_error_message(), errors[i].display().c_str());
  }
  // A message holding a zero byte is replaced; the code stays.
  EXPECT_EQ(set_last_error(InvalidGateMatrix{std::string("X\0Y", 3)}), -5);
  EXPECT_STREQ(last_error_message(), "<error message contained NUL>");
  clear_last_error();
}

struct ThrowCase {
  void (*raise)();
  const char* message;  // what the line on standard error carries
};

const ThrowCase THROWS[] = {
    {[] { throw Fault("allocate called in static mode"); }, "allocate called in static mode"},
    {[] { throw std::bad_alloc(); }, "std::bad_alloc"},
    {[] { throw 42; }, "<non-string panic payload>"},
};

class Trapped : public testing::TestWithParam<ThrowCase> {};

TEST_P(Trapped, FailureValueOneLineNamingTheFunctionLastErrorUntouched) {
  set_last_error(QubitIndexOutOfBounds{4, 2});
  const char* before = last_error_message();
  testing::internal::CaptureStderr();
  EXPECT_EQ(trap("tavro_sv_get", int32_t{-1}, [] { return int32_t{-7}; }), -7);  // no line
  EXPECT_EQ(trap("tavro_sv_normalize", 0.5, [] { return GetParam().raise(), 2.0; }), 0.5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("tavro_sv_normalize panicked across C ABI: ") + GetParam().message + "\n");
  EXPECT_EQ(last_error_message(), before);
  clear_last_error();
}

INSTANTIATE_TEST_SUITE_P(Ffi, Trapped, testing::ValuesIn(THROWS));

}  // namespace
}  // namespace tavro::ffi
