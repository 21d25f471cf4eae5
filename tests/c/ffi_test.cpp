// The C interface as a C caller sees it: only tavro.h and the exported functions of
// libtavro.so are used here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <latch>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tavro.h"

namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// Quiet NaNs with payloads no computation produces: an out-parameter still holding them was
// not written.
const double SENTINEL_RE = std::bit_cast<double>(uint64_t{0x7ff8dead0000beef});
const double SENTINEL_IM = std::bit_cast<double>(uint64_t{0x7ff8beef0000dead});
const double SENTINEL_D = std::bit_cast<double>(uint64_t{0x7ff80000c0ffee00});

// Exact in binary64: the probabilities are 0.3125, 6.25, 9.015625 and 1, the squared norm
// 16.578125 whatever the order of the additions.
const TavroComplex AMPS4[4] = {{0.5, -0.25}, {1.5, 2.0}, {-3.0, 0.125}, {0.0, -1.0}};
constexpr double NORM2_AMPS4 = 16.578125;

// The error every row starts from, so that "untouched" and "cleared" can be told apart.
constexpr int32_t SEED_CODE = -6;
const char* const SEED_MESSAGE = "invalid basis-state index: index 9 >= 2^2";

const char* const LIMIT60 =
    "invalid number of qubits: 60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed "
    "on a 64-bit host";

std::string last_message() {
  const char* m = tavro_last_error_message();
  return m ? m : "<null>";
}

// ---- every function's result and its effect on the last error ----

// The handles a row works on, fresh for each row, and sentinel-filled out-parameters.
struct Env {
  TavroSVHandle* stat = nullptr;  // from_amplitudes(2, AMPS4)
  TavroSVHandle* dyn = nullptr;   // zero_dynamic(10), no qubit touched
  TavroComplex cout{SENTINEL_RE, SENTINEL_IM};
  double dout = SENTINEL_D;
  std::vector<TavroComplex> buf = std::vector<TavroComplex>(1024, {SENTINEL_RE, SENTINEL_IM});
};

// A constructor's result as its buffer length (0 for NULL); the handle is released.
double len_of(TavroSVHandle* h) {
  const double n = static_cast<double>(tavro_sv_len(h));
  tavro_sv_free(h);
  return n;
}

enum class Effect { Untouched, Cleared, Stored };

struct Row {
  const char* name;
  double (*call)(Env&);
  double result;  // compared bit for bit
  Effect effect;
  int32_t code = 0;               // Stored only
  const char* message = nullptr;  // Stored only
  std::optional<TavroComplex> cout =
      std::nullopt;                           // expected complex out-parameter; none: not written
  std::optional<double> dout = std::nullopt;  // expected double out-parameter; none: not written
};

const uint8_t BITS_011[3] = {0, 1, 1};
const uint8_t BITS_023[3] = {0, 2, 3};
const uint8_t ONES60[60] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                            1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                            1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

using E = Effect;

const Row ROWS[] = {
    // last-error functions
    {"clear_last_error", [](Env&) { return tavro_clear_last_error(), 0.0; }, 0, E::Cleared},
    {"last_error_code", [](Env&) { return double(tavro_last_error_code()); }, -6, E::Untouched},
    {"last_error_message", [](Env&) { return double(std::strlen(tavro_last_error_message())); }, 41,
     E::Untouched},

    // constructors: clear on success, store a core error, store nothing on a rejection
    {"zero_3", [](Env&) { return len_of(tavro_sv_zero(3)); }, 8, E::Cleared},
    {"zero_0", [](Env&) { return len_of(tavro_sv_zero(0)); }, 1, E::Cleared},
    {"zero_60", [](Env&) { return len_of(tavro_sv_zero(60)); }, 0, E::Stored, -2, LIMIT60},
    {"zero_59", [](Env&) { return len_of(tavro_sv_zero(59)); }, 0, E::Stored, -8,
     "allocation failed for 576460752303423488 complex amplitudes (8589934592 GiB)"},
    {"zero_dynamic_10", [](Env&) { return len_of(tavro_sv_zero_dynamic(10)); }, 1, E::Cleared},
    {"zero_dynamic_64", [](Env&) { return len_of(tavro_sv_zero_dynamic(64)); }, 0, E::Stored, -2,
     "invalid number of qubits: 64 qubits: 2^64 amplitudes of 16 bytes each cannot be addressed "
     "on a 64-bit host"},
    {"from_amplitudes_ok", [](Env&) { return len_of(tavro_sv_from_amplitudes(2, AMPS4, 4)); }, 4,
     E::Cleared},
    {"from_amplitudes_len3", [](Env&) { return len_of(tavro_sv_from_amplitudes(2, AMPS4, 3)); }, 0,
     E::Untouched},
    {"from_amplitudes_len5", [](Env&) { return len_of(tavro_sv_from_amplitudes(2, AMPS4, 5)); }, 0,
     E::Untouched},
    {"from_amplitudes_null", [](Env&) { return len_of(tavro_sv_from_amplitudes(2, nullptr, 4)); },
     0, E::Untouched},
    {"from_amplitudes_0_qubits", [](Env&) { return len_of(tavro_sv_from_amplitudes(0, AMPS4, 1)); },
     1, E::Cleared},
    // 2^64 fits no length, so 64 qubits is a boundary rejection whatever len says.
    {"from_amplitudes_64_len0", [](Env&) { return len_of(tavro_sv_from_amplitudes(64, AMPS4, 0)); },
     0, E::Untouched},
    {"from_amplitudes_64_len1", [](Env&) { return len_of(tavro_sv_from_amplitudes(64, AMPS4, 1)); },
     0, E::Untouched},
    // 2^63 passes the length check and meets the qubit limit before any amplitude is read.
    {"from_amplitudes_63",
     [](Env&) { return len_of(tavro_sv_from_amplitudes(63, AMPS4, size_t{1} << 63)); }, 0,
     E::Stored, -2,
     "invalid number of qubits: 63 qubits: 2^63 amplitudes of 16 bytes each cannot be addressed "
     "on a 64-bit host"},
    {"from_bitstring_011", [](Env&) { return len_of(tavro_sv_from_bitstring(BITS_011, 3)); }, 8,
     E::Cleared},
    {"from_bitstring_empty", [](Env&) { return len_of(tavro_sv_from_bitstring(BITS_011, 0)); }, 1,
     E::Cleared},
    {"from_bitstring_null_empty", [](Env&) { return len_of(tavro_sv_from_bitstring(nullptr, 0)); },
     0, E::Untouched},
    {"from_bitstring_023", [](Env&) { return len_of(tavro_sv_from_bitstring(BITS_023, 3)); }, 0,
     E::Stored, -6,
     "invalid basis-state index: bitstring entries must be 0 or 1, got 2 at qubit 1"},
    {"from_bitstring_60", [](Env&) { return len_of(tavro_sv_from_bitstring(ONES60, 60)); }, 0,
     E::Stored, -2, LIMIT60},
    // The length is refused before a single entry is read.
    {"from_bitstring_2pow32",
     [](Env&) { return len_of(tavro_sv_from_bitstring(BITS_011, size_t{1} << 32)); }, 0, E::Stored,
     -2, "invalid number of qubits: bitstring too long (4294967296)"},
    {"clone_static", [](Env& e) { return len_of(tavro_sv_clone(e.stat)); }, 4, E::Untouched},
    {"clone_dynamic", [](Env& e) { return len_of(tavro_sv_clone(e.dyn)); }, 1, E::Untouched},
    {"clone_null", [](Env&) { return len_of(tavro_sv_clone(nullptr)); }, 0, E::Untouched},

    // release and the generator
    {"sv_free_null", [](Env&) { return tavro_sv_free(nullptr), 0.0; }, 0, E::Untouched},
    {"rng_free_null", [](Env&) { return tavro_rng_free(nullptr), 0.0; }, 0, E::Untouched},
    {"rng_new",
     [](Env&) {
       TavroRng* r = tavro_rng_new(7);
       tavro_rng_free(r);
       return r ? 1.0 : 0.0;
     },
     1, E::Untouched},

    // accessors
    {"len_static", [](Env& e) { return double(tavro_sv_len(e.stat)); }, 4, E::Untouched},
    {"len_dynamic", [](Env& e) { return double(tavro_sv_len(e.dyn)); }, 1, E::Untouched},
    {"len_null", [](Env&) { return double(tavro_sv_len(nullptr)); }, 0, E::Untouched},
    {"num_qubits_static", [](Env& e) { return double(tavro_sv_num_qubits(e.stat)); }, 2,
     E::Untouched},
    {"num_qubits_dynamic", [](Env& e) { return double(tavro_sv_num_qubits(e.dyn)); }, 10,
     E::Untouched},
    {"num_qubits_null", [](Env&) { return double(tavro_sv_num_qubits(nullptr)); }, 0, E::Untouched},
    {"live_qubits_static", [](Env& e) { return double(tavro_sv_live_qubits(e.stat)); }, 2,
     E::Untouched},
    {"live_qubits_dynamic", [](Env& e) { return double(tavro_sv_live_qubits(e.dyn)); }, 0,
     E::Untouched},
    {"live_qubits_null", [](Env&) { return double(tavro_sv_live_qubits(nullptr)); }, 0,
     E::Untouched},
    {"is_dynamic_static", [](Env& e) { return double(tavro_sv_is_dynamic(e.stat)); }, 0,
     E::Untouched},
    {"is_dynamic_dynamic", [](Env& e) { return double(tavro_sv_is_dynamic(e.dyn)); }, 1,
     E::Untouched},
    {"is_dynamic_null", [](Env&) { return double(tavro_sv_is_dynamic(nullptr)); }, -1,
     E::Untouched},
    {"is_allocated_static_1", [](Env& e) { return double(tavro_sv_is_allocated(e.stat, 1)); }, 1,
     E::Untouched},
    {"is_allocated_static_2", [](Env& e) { return double(tavro_sv_is_allocated(e.stat, 2)); }, 0,
     E::Untouched},
    {"is_allocated_dynamic_0", [](Env& e) { return double(tavro_sv_is_allocated(e.dyn, 0)); }, 0,
     E::Untouched},
    {"is_allocated_dynamic_10", [](Env& e) { return double(tavro_sv_is_allocated(e.dyn, 10)); }, 0,
     E::Untouched},
    {"is_allocated_huge", [](Env& e) { return double(tavro_sv_is_allocated(e.stat, SIZE_MAX)); }, 0,
     E::Untouched},
    {"is_allocated_null", [](Env&) { return double(tavro_sv_is_allocated(nullptr, 0)); }, -1,
     E::Untouched},

    // copy_amplitudes: exact length only
    {"copy_static_4",
     [](Env& e) { return double(tavro_sv_copy_amplitudes(e.stat, e.buf.data(), 4)); }, 0,
     E::Untouched},
    {"copy_static_3",
     [](Env& e) { return double(tavro_sv_copy_amplitudes(e.stat, e.buf.data(), 3)); }, -1,
     E::Untouched},
    {"copy_static_5",
     [](Env& e) { return double(tavro_sv_copy_amplitudes(e.stat, e.buf.data(), 5)); }, -1,
     E::Untouched},
    {"copy_static_0",
     [](Env& e) { return double(tavro_sv_copy_amplitudes(e.stat, e.buf.data(), 0)); }, -1,
     E::Untouched},
    {"copy_out_null", [](Env& e) { return double(tavro_sv_copy_amplitudes(e.stat, nullptr, 4)); },
     -1, E::Untouched},
    {"copy_sv_null",
     [](Env& e) { return double(tavro_sv_copy_amplitudes(nullptr, e.buf.data(), 4)); }, -1,
     E::Untouched},
    // The buffer of a dynamic state holds its live qubits only, not 2^num_qubits.
    {"copy_dynamic_1024",
     [](Env& e) { return double(tavro_sv_copy_amplitudes(e.dyn, e.buf.data(), 1024)); }, -1,
     E::Untouched},
    {"copy_dynamic_1",
     [](Env& e) { return double(tavro_sv_copy_amplitudes(e.dyn, e.buf.data(), 1)); }, 0,
     E::Untouched},

    // reads by physical index
    {"get_2", [](Env& e) { return double(tavro_sv_get(e.stat, 2, &e.cout)); }, 0, E::Cleared, 0,
     nullptr, TavroComplex{-3.0, 0.125}},
    {"get_4", [](Env& e) { return double(tavro_sv_get(e.stat, 4, &e.cout)); }, -6, E::Stored, -6,
     "invalid basis-state index: index 4 >= 2^2"},
    {"get_max", [](Env& e) { return double(tavro_sv_get(e.stat, SIZE_MAX, &e.cout)); }, -6,
     E::Stored, -6, "invalid basis-state index: index 18446744073709551615 >= 2^2"},
    // The message prints the declared width although the buffer is shorter.
    {"get_dynamic_1", [](Env& e) { return double(tavro_sv_get(e.dyn, 1, &e.cout)); }, -6, E::Stored,
     -6, "invalid basis-state index: index 1 >= 2^10"},
    {"get_dynamic_0", [](Env& e) { return double(tavro_sv_get(e.dyn, 0, &e.cout)); }, 0, E::Cleared,
     0, nullptr, TavroComplex{1.0, 0.0}},
    {"get_null_sv", [](Env& e) { return double(tavro_sv_get(nullptr, 0, &e.cout)); }, -1,
     E::Untouched},
    {"get_null_out", [](Env& e) { return double(tavro_sv_get(e.stat, 0, nullptr)); }, -1,
     E::Untouched},
    // The out pointer is checked before the index.
    {"get_null_out_bad_index", [](Env& e) { return double(tavro_sv_get(e.stat, 4, nullptr)); }, -1,
     E::Untouched},
    {"probability_1", [](Env& e) { return double(tavro_sv_probability(e.stat, 1, &e.dout)); }, 0,
     E::Cleared, 0, nullptr, std::nullopt, 6.25},
    {"probability_2", [](Env& e) { return double(tavro_sv_probability(e.stat, 2, &e.dout)); }, 0,
     E::Cleared, 0, nullptr, std::nullopt, 9.015625},
    {"probability_4", [](Env& e) { return double(tavro_sv_probability(e.stat, 4, &e.dout)); }, -6,
     E::Stored, -6, "invalid basis-state index: index 4 >= 2^2"},
    {"probability_dynamic_1",
     [](Env& e) { return double(tavro_sv_probability(e.dyn, 1, &e.dout)); }, -6, E::Stored, -6,
     "invalid basis-state index: index 1 >= 2^10"},
    {"probability_null_sv",
     [](Env& e) { return double(tavro_sv_probability(nullptr, 0, &e.dout)); }, -1, E::Untouched},
    {"probability_null_out",
     [](Env& e) { return double(tavro_sv_probability(e.stat, 0, nullptr)); }, -1, E::Untouched},

    // reads by logical index
    {"get_logical_3", [](Env& e) { return double(tavro_sv_get_logical(e.stat, 3, &e.cout)); }, 0,
     E::Cleared, 0, nullptr, TavroComplex{0.0, -1.0}},
    {"get_logical_4", [](Env& e) { return double(tavro_sv_get_logical(e.stat, 4, &e.cout)); }, -6,
     E::Stored, -6, "invalid basis-state index: index 4 >= 2^2"},
    {"get_logical_top_bit",
     [](Env& e) { return double(tavro_sv_get_logical(e.stat, size_t{1} << 63, &e.cout)); }, -6,
     E::Stored, -6, "invalid basis-state index: index 9223372036854775808 >= 2^2"},
    // Every index below 2^10 is accepted on the dynamic state; an untouched qubit reads 0.
    {"get_logical_dynamic_1023",
     [](Env& e) { return double(tavro_sv_get_logical(e.dyn, 1023, &e.cout)); }, 0, E::Cleared, 0,
     nullptr, TavroComplex{0.0, 0.0}},
    {"get_logical_dynamic_0",
     [](Env& e) { return double(tavro_sv_get_logical(e.dyn, 0, &e.cout)); }, 0, E::Cleared, 0,
     nullptr, TavroComplex{1.0, 0.0}},
    {"get_logical_dynamic_1024",
     [](Env& e) { return double(tavro_sv_get_logical(e.dyn, 1024, &e.cout)); }, -6, E::Stored, -6,
     "invalid basis-state index: index 1024 >= 2^10"},
    {"get_logical_null_sv",
     [](Env& e) { return double(tavro_sv_get_logical(nullptr, 0, &e.cout)); }, -1, E::Untouched},
    {"get_logical_null_out",
     [](Env& e) { return double(tavro_sv_get_logical(e.stat, 0, nullptr)); }, -1, E::Untouched},
    {"probability_logical_0",
     [](Env& e) { return double(tavro_sv_probability_logical(e.stat, 0, &e.dout)); }, 0, E::Cleared,
     0, nullptr, std::nullopt, 0.3125},
    {"probability_logical_dynamic_512",
     [](Env& e) { return double(tavro_sv_probability_logical(e.dyn, 512, &e.dout)); }, 0,
     E::Cleared, 0, nullptr, std::nullopt, 0.0},
    {"probability_logical_8",
     [](Env& e) { return double(tavro_sv_probability_logical(e.stat, 8, &e.dout)); }, -6, E::Stored,
     -6, "invalid basis-state index: index 8 >= 2^2"},
    {"probability_logical_null_sv",
     [](Env& e) { return double(tavro_sv_probability_logical(nullptr, 0, &e.dout)); }, -1,
     E::Untouched},
    {"probability_logical_null_out",
     [](Env& e) { return double(tavro_sv_probability_logical(e.stat, 0, nullptr)); }, -1,
     E::Untouched},

    // whole-state operations
    {"norm_squared", [](Env& e) { return tavro_sv_norm_squared(e.stat); }, NORM2_AMPS4,
     E::Untouched},
    {"norm_squared_dynamic", [](Env& e) { return tavro_sv_norm_squared(e.dyn); }, 1.0,
     E::Untouched},
    {"norm_squared_null", [](Env&) { return tavro_sv_norm_squared(nullptr); }, -1.0, E::Untouched},
    {"normalize", [](Env& e) { return tavro_sv_normalize(e.stat); }, std::sqrt(NORM2_AMPS4),
     E::Untouched},
    {"normalize_null", [](Env&) { return tavro_sv_normalize(nullptr); }, -1.0, E::Untouched},
    {"reset_to_zero", [](Env& e) { return double(tavro_sv_reset_to_zero(e.stat)); }, 0,
     E::Untouched},
    {"reset_to_zero_null", [](Env&) { return double(tavro_sv_reset_to_zero(nullptr)); }, -1,
     E::Untouched},
};

class EveryFunction : public testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    env_.stat = tavro_sv_from_amplitudes(2, AMPS4, 4);
    env_.dyn = tavro_sv_zero_dynamic(10);
    ASSERT_NE(env_.stat, nullptr);
    ASSERT_NE(env_.dyn, nullptr);
    TavroComplex scratch;
    ASSERT_EQ(tavro_sv_get(env_.stat, 9, &scratch), SEED_CODE);
    ASSERT_EQ(last_message(), SEED_MESSAGE);
    seed_ptr_ = tavro_last_error_message();
  }
  void TearDown() override {
    tavro_sv_free(env_.stat);
    tavro_sv_free(env_.dyn);
    tavro_clear_last_error();
  }
  Env env_;
  const char* seed_ptr_ = nullptr;
};

TEST_P(EveryFunction, ResultLastErrorAndOutParameters) {
  const Row& row = GetParam();
  const double got = row.call(env_);
  EXPECT_EQ(bits(got), bits(row.result)) << got;
  switch (row.effect) {
    case Effect::Untouched:
      EXPECT_EQ(tavro_last_error_code(), SEED_CODE);
      EXPECT_EQ(last_message(), SEED_MESSAGE);
      // Not even rewritten: the caller's pointer stays valid.
      EXPECT_EQ(tavro_last_error_message(), seed_ptr_);
      break;
    case Effect::Cleared:
      EXPECT_EQ(tavro_last_error_code(), 0);
      EXPECT_EQ(tavro_last_error_message(), nullptr);
      break;
    case Effect::Stored:
      EXPECT_EQ(tavro_last_error_code(), row.code);
      EXPECT_EQ(last_message(), row.message);
      break;
  }
  const TavroComplex c = row.cout.value_or(TavroComplex{SENTINEL_RE, SENTINEL_IM});
  EXPECT_EQ(bits(env_.cout.re), bits(c.re));
  EXPECT_EQ(bits(env_.cout.im), bits(c.im));
  EXPECT_EQ(bits(env_.dout), bits(row.dout.value_or(SENTINEL_D)));
  // A rejected copy writes nothing; only the rows that copy change the buffer's head.
  const bool copied = std::strncmp(row.name, "copy_", 5) == 0 && row.result == 0;
  if (!copied) {
    EXPECT_EQ(bits(env_.buf[0].re), bits(SENTINEL_RE));
  }
}

INSTANTIATE_TEST_SUITE_P(CFace, EveryFunction, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return i.param.name; });

// ---- the last error across calls and threads ----

class LastError : public testing::Test {
 protected:
  void SetUp() override {
    tavro_clear_last_error();
    sv_ = tavro_sv_zero(3);
    ASSERT_NE(sv_, nullptr);
  }
  void TearDown() override {
    tavro_sv_free(sv_);
    tavro_clear_last_error();
  }
  TavroSVHandle* sv_ = nullptr;
};

TEST_F(LastError, NewThreadStartsEmpty) {
  TavroComplex c;
  ASSERT_EQ(tavro_sv_get(sv_, 8, &c), -6);  // the main thread holds an error
  int32_t code = 99;
  const char* msg = "unset";
  std::thread([&] {
    code = tavro_last_error_code();
    msg = tavro_last_error_message();
  }).join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(msg, nullptr);
  EXPECT_EQ(tavro_last_error_code(), -6);
}

TEST_F(LastError, FailureThenSuccessClears) {
  TavroComplex c;
  ASSERT_EQ(tavro_sv_get(sv_, 8, &c), -6);
  ASSERT_EQ(tavro_sv_get(sv_, 7, &c), 0);
  EXPECT_EQ(tavro_last_error_code(), 0);
  EXPECT_EQ(tavro_last_error_message(), nullptr);
}

TEST_F(LastError, BoundaryRejectionKeepsEarlierError) {
  TavroComplex c;
  ASSERT_EQ(tavro_sv_get(sv_, 8, &c), -6);
  const char* before = tavro_last_error_message();
  EXPECT_EQ(tavro_sv_get(nullptr, 0, &c), -1);
  EXPECT_EQ(tavro_sv_probability(sv_, 0, nullptr), -1);
  EXPECT_EQ(tavro_sv_from_amplitudes(2, AMPS4, 3), nullptr);
  EXPECT_EQ(tavro_last_error_code(), -6);
  EXPECT_EQ(last_message(), "invalid basis-state index: index 8 >= 2^3");
  EXPECT_EQ(tavro_last_error_message(), before);
}

TEST_F(LastError, LaterErrorReplacesEarlier) {
  TavroComplex c;
  ASSERT_EQ(tavro_sv_get(sv_, 8, &c), -6);
  EXPECT_EQ(tavro_sv_zero(60), nullptr);
  EXPECT_EQ(tavro_last_error_code(), -2);
  EXPECT_EQ(last_message(), LIMIT60);
}

TEST_F(LastError, ClearOnEmptySlotDoesNothing) {
  tavro_clear_last_error();
  tavro_clear_last_error();
  EXPECT_EQ(tavro_last_error_code(), 0);
  EXPECT_EQ(tavro_last_error_message(), nullptr);
}

TEST_F(LastError, IsolatedBetweenThreads) {
  // Both threads store before either reads, so a shared slot would show the other's error.
  struct Seen {
    int32_t code = 0;
    std::string message;
  } a, b;
  std::latch stored(2);
  std::thread ta([&] {
    TavroComplex c;
    tavro_sv_get(sv_, 9, &c);
    stored.arrive_and_wait();
    a = {tavro_last_error_code(), last_message()};
  });
  std::thread tb([&] {
    TavroSVHandle* h = tavro_sv_zero_dynamic(61);
    stored.arrive_and_wait();
    b = {tavro_last_error_code(), last_message()};
    tavro_sv_free(h);
  });
  ta.join();
  tb.join();
  EXPECT_EQ(a.code, -6);
  EXPECT_EQ(a.message, "invalid basis-state index: index 9 >= 2^3");
  EXPECT_EQ(b.code, -2);
  EXPECT_EQ(b.message,
            "invalid number of qubits: 61 qubits: 2^61 amplitudes of 16 bytes each cannot be "
            "addressed on a 64-bit host");
  EXPECT_EQ(tavro_last_error_code(), 0);
  EXPECT_EQ(tavro_last_error_message(), nullptr);
}

// ---- what the handles hold ----

std::vector<TavroComplex> copy_out(const TavroSVHandle* h) {
  std::vector<TavroComplex> v(tavro_sv_len(h), TavroComplex{SENTINEL_RE, SENTINEL_IM});
  EXPECT_EQ(tavro_sv_copy_amplitudes(h, v.data(), v.size()), 0);
  return v;
}

// Bit patterns of a buffer: re, im, re, im, ...
std::vector<uint64_t> pattern(const std::vector<TavroComplex>& v) {
  std::vector<uint64_t> out;
  for (const TavroComplex& c : v) {
    out.push_back(bits(c.re));
    out.push_back(bits(c.im));
  }
  return out;
}

std::vector<uint64_t> basis_pattern(size_t n, size_t one) {
  std::vector<TavroComplex> v(n, TavroComplex{0.0, 0.0});
  v[one].re = 1.0;
  return pattern(v);
}

struct BasisCase {
  const char* name;
  std::vector<uint8_t> bits;
  size_t index;  // qubit 0 is the least significant bit
};

const BasisCase BASIS_CASES[] = {
    {"empty", {}, 0},        {"q0", {1}, 1},          {"q1_q2", {0, 1, 1}, 6},
    {"q0_q2", {1, 0, 1}, 5}, {"q3", {0, 0, 0, 1}, 8}, {"all5", {1, 1, 1, 1, 1}, 31},
};

class Bitstring : public testing::TestWithParam<BasisCase> {};

TEST_P(Bitstring, SingleOneAtItsIndex) {
  const BasisCase& c = GetParam();
  const uint8_t dummy = 0;
  TavroSVHandle* h =
      tavro_sv_from_bitstring(c.bits.empty() ? &dummy : c.bits.data(), c.bits.size());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(tavro_sv_num_qubits(h), c.bits.size());
  EXPECT_EQ(tavro_sv_live_qubits(h), c.bits.size());
  EXPECT_EQ(tavro_sv_is_dynamic(h), 0);
  EXPECT_EQ(pattern(copy_out(h)), basis_pattern(size_t{1} << c.bits.size(), c.index));
  double p = SENTINEL_D;
  ASSERT_EQ(tavro_sv_probability_logical(h, c.index, &p), 0);
  EXPECT_EQ(bits(p), bits(1.0));
  tavro_sv_free(h);
}

INSTANTIATE_TEST_SUITE_P(CFace, Bitstring, testing::ValuesIn(BASIS_CASES),
                         [](const testing::TestParamInfo<BasisCase>& i) { return i.param.name; });

TEST(Handles, ZeroStatesReadOneAtIndexZero) {
  for (uint32_t n : {0u, 1u, 4u, 12u}) {
    TavroSVHandle* h = tavro_sv_zero(n);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(tavro_sv_len(h), size_t{1} << n);
    EXPECT_EQ(pattern(copy_out(h)), basis_pattern(size_t{1} << n, 0)) << n;
    tavro_sv_free(h);
  }
}

TEST(Handles, FromAmplitudesCopiesTheCallersBuffer) {
  std::vector<TavroComplex> src(AMPS4, AMPS4 + 4);
  TavroSVHandle* h = tavro_sv_from_amplitudes(2, src.data(), src.size());
  ASSERT_NE(h, nullptr);
  const auto expected = pattern(src);
  src[1] = TavroComplex{99.0, 99.0};  // the state must not see later changes
  EXPECT_EQ(pattern(copy_out(h)), expected);
  // Physical and logical reads agree on a static state.
  for (size_t k = 0; k < 4; ++k) {
    TavroComplex a{SENTINEL_RE, SENTINEL_IM}, b{SENTINEL_RE, SENTINEL_IM};
    ASSERT_EQ(tavro_sv_get(h, k, &a), 0);
    ASSERT_EQ(tavro_sv_get_logical(h, k, &b), 0);
    EXPECT_EQ(bits(a.re), expected[2 * k]);
    EXPECT_EQ(bits(a.im), expected[2 * k + 1]);
    EXPECT_EQ(bits(b.re), expected[2 * k]);
    EXPECT_EQ(bits(b.im), expected[2 * k + 1]);
  }
  tavro_sv_free(h);
}

TEST(Handles, NormalizeMultipliesByTheReciprocal) {
  const TavroComplex v[2] = {{3.0, 0.0}, {0.0, 4.0}};
  TavroSVHandle* h = tavro_sv_from_amplitudes(1, v, 2);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(bits(tavro_sv_norm_squared(h)), bits(25.0));
  EXPECT_EQ(bits(tavro_sv_normalize(h)), bits(5.0));
  // 3 * (1 / 5) = 0.6000000000000001, where 3 / 5 would give 0.6.
  const std::vector<uint64_t> want = {0x3FE3333333333334, 0, 0, 0x3FE999999999999A};
  EXPECT_EQ(pattern(copy_out(h)), want);
  tavro_sv_free(h);
}

TEST(Handles, DegenerateNormsLeaveTheStateAlone) {
  const TavroComplex zeros[4] = {};
  TavroSVHandle* z = tavro_sv_from_amplitudes(2, zeros, 4);
  ASSERT_NE(z, nullptr);
  // The sum starts at -0.0, but -0.0 + (0*0 + 0*0) is +0.0: a state with amplitudes reads +0.
  EXPECT_EQ(bits(tavro_sv_norm_squared(z)), bits(0.0));
  EXPECT_EQ(bits(tavro_sv_normalize(z)), bits(0.0));
  EXPECT_EQ(pattern(copy_out(z)), pattern(std::vector<TavroComplex>(4, {0.0, 0.0})));
  tavro_sv_free(z);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const TavroComplex with_nan[2] = {{nan, 0.0}, {2.0, 0.0}};
  TavroSVHandle* n = tavro_sv_from_amplitudes(1, with_nan, 2);
  ASSERT_NE(n, nullptr);
  EXPECT_TRUE(std::isnan(tavro_sv_normalize(n)));
  TavroComplex a;
  ASSERT_EQ(tavro_sv_get(n, 1, &a), 0);
  EXPECT_EQ(bits(a.re), bits(2.0));
  tavro_sv_free(n);
}

TEST(Handles, CloneIsIndependent) {
  TavroSVHandle* src = tavro_sv_from_amplitudes(2, AMPS4, 4);
  ASSERT_NE(src, nullptr);
  TavroSVHandle* copy = tavro_sv_clone(src);
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy, src);
  EXPECT_EQ(pattern(copy_out(copy)), pattern(copy_out(src)));
  ASSERT_EQ(tavro_sv_reset_to_zero(copy), 0);
  EXPECT_EQ(pattern(copy_out(copy)), basis_pattern(4, 0));
  EXPECT_EQ(pattern(copy_out(src)), pattern(std::vector<TavroComplex>(AMPS4, AMPS4 + 4)));
  tavro_sv_free(src);  // the copy outlives its source
  EXPECT_EQ(tavro_sv_len(copy), 4u);
  tavro_sv_free(copy);
}

TEST(Handles, CloneOfDynamicStateStaysDynamic) {
  TavroSVHandle* src = tavro_sv_zero_dynamic(10);
  ASSERT_NE(src, nullptr);
  TavroSVHandle* copy = tavro_sv_clone(src);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(tavro_sv_is_dynamic(copy), 1);
  EXPECT_EQ(tavro_sv_num_qubits(copy), 10u);
  EXPECT_EQ(tavro_sv_live_qubits(copy), 0u);
  EXPECT_EQ(tavro_sv_len(copy), 1u);
  tavro_sv_free(copy);
  tavro_sv_free(src);
}

TEST(Handles, ResetKeepsTheDynamicLength) {
  TavroSVHandle* h = tavro_sv_zero_dynamic(5);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(tavro_sv_reset_to_zero(h), 0);
  EXPECT_EQ(tavro_sv_len(h), 1u);
  EXPECT_EQ(tavro_sv_live_qubits(h), 0u);
  EXPECT_EQ(pattern(copy_out(h)), basis_pattern(1, 0));
  tavro_sv_free(h);
}

// A gate touches qubits of a dynamic state.
TEST(Handles, DynamicStateWithTwoTouchedQubits) {
  TavroSVHandle* h = tavro_sv_zero_dynamic(10);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(tavro_sv_apply_x(h, 7), 0);  // slot 0
  ASSERT_EQ(tavro_sv_apply_x(h, 2), 0);  // slot 1
  EXPECT_EQ(tavro_sv_len(h), 4u);
  EXPECT_EQ(tavro_sv_num_qubits(h), 10u);
  EXPECT_EQ(tavro_sv_live_qubits(h), 2u);
  EXPECT_EQ(tavro_sv_is_dynamic(h), 1);
  for (size_t q = 0; q <= 10; ++q) {
    EXPECT_EQ(tavro_sv_is_allocated(h, q), q == 2 || q == 7 ? 1 : 0) << q;
  }
  TavroComplex c{SENTINEL_RE, SENTINEL_IM};
  EXPECT_EQ(tavro_sv_get(h, 4, &c), -6);
  EXPECT_EQ(last_message(), "invalid basis-state index: index 4 >= 2^10");
  EXPECT_EQ(bits(c.re), bits(SENTINEL_RE));
  // |q7 q2> = |11> sits at physical index 3 and at logical index 2^7 + 2^2.
  EXPECT_EQ(pattern(copy_out(h)), basis_pattern(4, 3));
  for (size_t k = 0; k < 1024; ++k) {
    ASSERT_EQ(tavro_sv_get_logical(h, k, &c), 0) << k;
    EXPECT_EQ(bits(c.re), bits(k == 132 ? 1.0 : 0.0)) << k;
  }
  std::vector<TavroComplex> big(1024);
  EXPECT_EQ(tavro_sv_copy_amplitudes(h, big.data(), 1024), -1);
  ASSERT_EQ(tavro_sv_reset_to_zero(h), 0);
  EXPECT_EQ(tavro_sv_len(h), 4u);
  EXPECT_EQ(tavro_sv_is_allocated(h, 7), 1);
  EXPECT_EQ(pattern(copy_out(h)), basis_pattern(4, 0));
  tavro_sv_free(h);
}

TEST(Handles, GeneratorsAreDistinctRecords) {
  TavroRng* a = tavro_rng_new(42);
  TavroRng* b = tavro_rng_new(42);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  tavro_rng_free(a);
  tavro_rng_free(b);
}

// ---- processes: a forked child and a trapped fault ----

// The wait status of the child, or nullopt after killing it when it did not end in time.
std::optional<int> wait_with_timeout(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return std::nullopt;
}

TEST(Fork, ChildRunsParallelWorkAfterParentUsedThePool) {
  // 2^20 amplitudes lie far above the parallel cut-over for any worker count up to 16.
  constexpr size_t N = size_t{1} << 20;
  const std::vector<TavroComplex> amps(N, TavroComplex{0.5, -0.25});
  TavroSVHandle* h = tavro_sv_from_amplitudes(20, amps.data(), N);
  ASSERT_NE(h, nullptr);
  // 2^20 * 0.3125, exact for every cut of the sum.
  constexpr double NORM2 = 327680.0;
  ASSERT_EQ(bits(tavro_sv_norm_squared(h)), bits(NORM2));
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    int rc = 0;
    if (tavro_sv_norm_squared(h) != NORM2) rc |= 1;
    if (tavro_sv_reset_to_zero(h) != 0) rc |= 2;  // a parallel fill
    if (tavro_sv_norm_squared(h) != 1.0) rc |= 4;
    _exit(rc);
  }
  const auto status = wait_with_timeout(pid, 30);
  ASSERT_TRUE(status.has_value()) << "the child hung in the worker pool";
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  // The parent's pool still works, and the child's reset did not reach the parent's memory.
  EXPECT_EQ(bits(tavro_sv_norm_squared(h)), bits(NORM2));
  tavro_sv_free(h);
}

// Virtual memory of this process in bytes.
size_t vm_bytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

TEST(Trap, FaultInCloneIsReportedOnStderr) {
  char path[] = "/tmp/tavro_trap_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_NE(fd, -1);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    dup2(fd, 2);
    // Room for one 1 GiB reservation but not for a second: the copy's is refused.
    const rlim_t limit = vm_bytes() + (size_t{3} << 29);
    const rlimit lim{limit, limit};
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(10);
    TavroSVHandle* d = tavro_sv_zero_dynamic(26);
    if (d == nullptr) _exit(11);
    TavroComplex c;
    if (tavro_sv_get(d, 1, &c) != -6) _exit(12);
    if (tavro_sv_clone(d) != nullptr) _exit(13);
    // The fault stores nothing and the source handle stays usable.
    if (tavro_last_error_code() != -6) _exit(14);
    if (last_message() != "invalid basis-state index: index 1 >= 2^26") _exit(15);
    if (tavro_sv_len(d) != 1 || tavro_sv_norm_squared(d) != 1.0) _exit(16);
    tavro_sv_free(d);
    _exit(0);
  }
  close(fd);
  const auto status = wait_with_timeout(pid, 30);
  std::ifstream in(path);
  std::stringstream err;
  err << in.rdbuf();
  unlink(path);
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_EQ(err.str(),
            "tavro_sv_clone panicked across C ABI: cloning a dynamic state re-reserves what it "
            "already held: AllocationFailed { amplitudes: 67108864 }\n");
}

}  // namespace
