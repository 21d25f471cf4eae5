// The shared pieces of the C functions on their own: status codes of every error variant,
// the stored message, and the trap's handling of each kind of exception.
#include "ffi/trap.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

namespace tavro::ffi {
namespace {

std::string stored_message() {
  const char* m = last_error_message();
  return m ? m : "<null>";
}

struct VariantCase {
  const char* name;
  Error error;
  int32_t code;
  const char* message;
};

const VariantCase VARIANTS[] = {
    {"InvalidNumQubits", InvalidNumQubits{"x"}, -2, "invalid number of qubits: x"},
    {"QubitIndexOutOfBounds", QubitIndexOutOfBounds{5, 3}, -3,
     "qubit index 5 out of bounds for state vector with 3 qubits"},
    {"DuplicateQubits", DuplicateQubits{2}, -4,
     "two-qubit gate operands must be distinct, got (2, 2)"},
    {"InvalidGateMatrix", InvalidGateMatrix{"m"}, -5, "invalid gate matrix: m"},
    {"InvalidBasisIndex", InvalidBasisIndex{"b"}, -6, "invalid basis-state index: b"},
    {"InvalidStateLength", InvalidStateLength{4, 3}, -7,
     "invalid state-vector buffer length: expected 4, got 3"},
    {"AllocationFailed", AllocationFailed{1024}, -8,
     "allocation failed for 1024 complex amplitudes (0.0000152587890625 GiB)"},
    {"DegenerateState", DegenerateState{"d"}, -9, "degenerate state: d"},
    {"NonUnitary", NonUnitary{"u"}, -10, "non-unitary gate: u"},
};

class Codes : public testing::TestWithParam<VariantCase> {
 protected:
  void TearDown() override { clear_last_error(); }
};

TEST_P(Codes, SetLastErrorStoresCodeAndDisplay) {
  const VariantCase& c = GetParam();
  EXPECT_EQ(set_last_error(c.error), c.code);
  EXPECT_EQ(last_error_code(), c.code);
  EXPECT_EQ(stored_message(), c.message);
}

TEST_P(Codes, ReportOfAStatusStoresTheSame) {
  const VariantCase& c = GetParam();
  EXPECT_EQ(report(Status(std::unexpected(c.error))), c.code);
  EXPECT_EQ(last_error_code(), c.code);
  EXPECT_EQ(stored_message(), c.message);
}

TEST_P(Codes, ReportOfAValueWritesNothingOnError) {
  const VariantCase& c = GetParam();
  int written = 0;
  EXPECT_EQ(report(Result<int>(std::unexpected(c.error)), [&](int v) { written = v; }), c.code);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(last_error_code(), c.code);
}

INSTANTIATE_TEST_SUITE_P(Ffi, Codes, testing::ValuesIn(VARIANTS),
                         [](const testing::TestParamInfo<VariantCase>& i) { return i.param.name; });

TEST(LastErrorSlot, MessageWithZeroByteIsReplacedCodeKept) {
  const std::string with_nul("X\0Y", 3);
  EXPECT_EQ(set_last_error(InvalidGateMatrix{with_nul}), -5);
  EXPECT_EQ(last_error_code(), -5);
  ASSERT_NE(last_error_message(), nullptr);
  EXPECT_EQ(std::strlen(last_error_message()), 29u);
  EXPECT_STREQ(last_error_message(), "<error message contained NUL>");
  clear_last_error();
}

TEST(LastErrorSlot, SuccessfulReportsWriteThenClear) {
  set_last_error(DuplicateQubits{1});
  int written = 0;
  EXPECT_EQ(report(Result<int>(7),
                   [&](int v) {
                     written = v;
                     // The out-parameter is written while the old error is still held.
                     EXPECT_EQ(last_error_code(), -4);
                   }),
            0);
  EXPECT_EQ(written, 7);
  EXPECT_EQ(last_error_code(), 0);
  EXPECT_EQ(last_error_message(), nullptr);
  set_last_error(DuplicateQubits{1});
  EXPECT_EQ(report(Status{}), 0);
  EXPECT_EQ(last_error_code(), 0);
  EXPECT_EQ(last_error_message(), nullptr);
}

TEST(LastErrorSlot, EachThreadHasItsOwn) {
  set_last_error(NonUnitary{"main"});
  int32_t other_code = 1;
  const char* other_message = "unset";
  std::thread([&] {
    other_code = last_error_code();
    other_message = last_error_message();
    set_last_error(DegenerateState{"other"});
  }).join();
  EXPECT_EQ(other_code, 0);
  EXPECT_EQ(other_message, nullptr);
  EXPECT_EQ(last_error_code(), -10);
  EXPECT_EQ(stored_message(), "non-unitary gate: main");
  clear_last_error();
}

// ---- the trap ----

struct ThrowCase {
  const char* name;
  void (*raise)();
  const char* line;  // what standard error receives
};

const ThrowCase THROWS[] = {
    {"Fault", [] { throw Fault("allocate called in static mode"); },
     "tavro_sv_apply_h panicked across C ABI: allocate called in static mode\n"},
    {"FaultWithDebug",
     [] {
       throw Fault("controls were validated by check_controls: " +
                   Error(QubitIndexOutOfBounds{7, 3}).debug());
     },
     "tavro_sv_apply_h panicked across C ABI: controls were validated by check_controls: "
     "QubitIndexOutOfBounds { qubit: 7, num_qubits: 3 }\n"},
    {"StdException", [] { throw std::runtime_error("boom"); },
     "tavro_sv_apply_h panicked across C ABI: boom\n"},
    {"BadAlloc", [] { throw std::bad_alloc(); },
     "tavro_sv_apply_h panicked across C ABI: std::bad_alloc\n"},
    {"NonStdPayload", [] { throw 42; },
     "tavro_sv_apply_h panicked across C ABI: <non-string panic payload>\n"},
};

class Trapped : public testing::TestWithParam<ThrowCase> {};

TEST_P(Trapped, FailureValueOneLineLastErrorUntouched) {
  const ThrowCase& c = GetParam();
  set_last_error(QubitIndexOutOfBounds{4, 2});
  const char* before = last_error_message();
  testing::internal::CaptureStderr();
  const int32_t status = trap("tavro_sv_apply_h", int32_t{-1}, [&]() -> int32_t {
    c.raise();
    return 0;
  });
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, -1);
  EXPECT_EQ(err, c.line);
  EXPECT_EQ(last_error_code(), -3);
  EXPECT_EQ(last_error_message(), before);
  clear_last_error();
}

TEST_P(Trapped, FailureValueFollowsTheResultType) {
  const ThrowCase& c = GetParam();
  testing::internal::CaptureStderr();
  const double d = trap("tavro_sv_normalize", 0.5, [&]() -> double {
    c.raise();
    return 2.0;
  });
  int dummy = 0;
  int* const p = trap("tavro_sv_clone", static_cast<int*>(nullptr), [&]() -> int* {
    c.raise();
    return &dummy;
  });
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(d, 0.5);
  EXPECT_EQ(p, nullptr);
  // Each line names its own function.
  EXPECT_EQ(err.rfind("tavro_sv_normalize panicked across C ABI: ", 0), 0u) << err;
  EXPECT_NE(err.find("\ntavro_sv_clone panicked across C ABI: "), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Ffi, Trapped, testing::ValuesIn(THROWS),
                         [](const testing::TestParamInfo<ThrowCase>& i) { return i.param.name; });

TEST(Trap, PassesTheBodysResultAndWritesNothing) {
  testing::internal::CaptureStderr();
  const int32_t v = trap("tavro_sv_get", int32_t{-1}, [] { return int32_t{-7}; });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(v, -7);
}

}  // namespace
}  // namespace tavro::ffi
