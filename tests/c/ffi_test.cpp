// The C interface as a C caller sees it: only tavro.h and the exported functions of
// libtavro.so are used here.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "tavro.h"

namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

std::string msg() { return tavro_last_error_message() ? tavro_last_error_message() : "<null>"; }

// A quiet NaN with a payload no computation produces: an out-parameter still holding it was
// not written.
const double S = std::bit_cast<double>(uint64_t{0x7ff8dead0000beef});
// Exact in binary64: probabilities 0.3125, 6.25, 9.015625 and 1, squared norm 16.578125.
const TavroComplex AMPS4[4] = {{0.5, -0.25}, {1.5, 2.0}, {-3.0, 0.125}, {0.0, -1.0}};
const uint8_t BITS[1] = {1};

// from_amplitudes(2, AMPS4), zero_dynamic(10) with no qubit touched, and what the row's
// constructor returned.
struct Env {
  TavroSVHandle *stat, *dyn, *made = nullptr;
  TavroComplex c[4] = {{S, S}, {S, S}, {S, S}, {S, S}};
};

struct Row {
  const char* name;
  double (*call)(Env&);
  double result;  // compared bit for bit
  // "code message" stored afterwards; none: the seeded error is kept, pointer and all.
  const char* last = nullptr;
  TavroComplex out = {S, S};  // e.c[0] afterwards; a double out-parameter is e.c[0].re
};

#define CALL(expr) []([[maybe_unused]] Env& e) { return double(expr); }
// A constructor's result as its buffer length (0 for NULL); the handle is released after the row.
#define LEN(ctor) CALL(tavro_sv_len(e.made = (ctor)))
#define IDX "invalid basis-state index: index "

const Row ROWS[] = {
    {"clear_last_error", CALL((tavro_clear_last_error(), 0)), 0, "0 <null>"},
    {"zero", LEN(tavro_sv_zero(3)), 8, "0 <null>"},
    // 2^64 fits no length (a shift by 64 would give 1); 2^63 passes the length check and meets
    // the qubit limit before any amplitude is read.
    {"from_amplitudes_64", LEN(tavro_sv_from_amplitudes(64, AMPS4, 1)), 0},
    {"from_amplitudes_63", LEN(tavro_sv_from_amplitudes(63, AMPS4, size_t{1} << 63)), 0,
     "-2 invalid number of qubits: 63 qubits: 2^63 amplitudes of 16 bytes each cannot be "
     "addressed on a 64-bit host"},
    {"from_bitstring_null", LEN(tavro_sv_from_bitstring(nullptr, 0)), 0},
    {"copy", CALL(tavro_sv_copy_amplitudes(e.stat, e.c, 4)), 0, nullptr, AMPS4[0]},
    // A dynamic buffer holds its live qubits only.
    {"copy_dynamic_len2", CALL(tavro_sv_copy_amplitudes(e.dyn, e.c, 2)), -1},
    {"get", CALL(tavro_sv_get(e.stat, 2, e.c)), 0, "0 <null>", {-3.0, 0.125}},
    {"get_null_out_bad_index", CALL(tavro_sv_get(e.stat, 4, nullptr)), -1},
    {"probability", CALL(tavro_sv_probability(e.stat, 1, &e.c->re)), 0, "0 <null>", {6.25, S}},
    {"probability_logical", CALL(tavro_sv_probability_logical(e.stat, 8, &e.c->re)), -6,
     "-6 " IDX "8 >= 2^2"},
    {"norm_squared_null", CALL(tavro_sv_norm_squared(nullptr)), -1.0},
};

class EveryFunction : public testing::TestWithParam<Row> {};

TEST_P(EveryFunction, ResultLastErrorAndOutParameter) {
  const Row& row = GetParam();
  Env e{tavro_sv_from_amplitudes(2, AMPS4, 4), tavro_sv_zero_dynamic(10)};
  ASSERT_EQ(tavro_sv_get(e.stat, 9, e.c), -6);  // the error every row starts from
  const char* seeded = tavro_last_error_message();
  EXPECT_EQ(bits(row.call(e)), bits(row.result));
  EXPECT_EQ(std::to_string(tavro_last_error_code()) + " " + msg(),
            row.last ? row.last : "-6 " IDX "9 >= 2^2");
  EXPECT_TRUE(row.last || tavro_last_error_message() == seeded) << "not even rewritten";
  EXPECT_EQ(std::memcmp(&e.c[0], &row.out, sizeof row.out), 0);  // bit for bit
  for (TavroSVHandle* h : {e.stat, e.dyn, e.made}) tavro_sv_free(h);
  tavro_clear_last_error();
}

INSTANTIATE_TEST_SUITE_P(CFace, EveryFunction, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return i.param.name; });

// A new thread starts empty; two threads that both store before either reads see their own.
TEST(LastError, PerThread) {
  std::latch stored(2);
  std::string seen[2];
  const auto worker = [&](size_t k) {
    seen[k] = std::to_string(tavro_last_error_code()) + msg();
    EXPECT_EQ(tavro_sv_from_bitstring(BITS, (size_t{1} << 32) + k), nullptr);  // no read
    stored.arrive_and_wait();
    seen[k] += msg();
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join(), b.join();
  EXPECT_EQ(seen[0], "0<null>invalid number of qubits: bitstring too long (4294967296)");
  EXPECT_EQ(seen[1], "0<null>invalid number of qubits: bitstring too long (4294967297)");
  EXPECT_EQ(tavro_last_error_message(), nullptr);  // nor did they reach this thread's slot
}

// A forked child runs parallel work after the parent used the pool (copying the amplitudes in),
// then meets a real fault: room for one 1 GiB reservation but not a second refuses the clone
// inside the trap.
TEST(Process, ForkedChildRunsParallelWorkAndTrapsAFault) {
  // 2^20 amplitudes: far above the parallel cut-over.
  const std::vector<TavroComplex> amps(size_t{1} << 20, TavroComplex{0.5, -0.25});
  TavroSVHandle* h = tavro_sv_from_amplitudes(20, amps.data(), amps.size());
  testing::internal::CaptureStderr();  // the child inherits the redirected descriptor
  const pid_t pid = fork();
  if (pid == 0) {
    if (tavro_sv_reset_to_zero(h) != 0 || tavro_sv_norm_squared(h) != 1.0) _exit(1);
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit lim{pages * size_t(sysconf(_SC_PAGESIZE)) + (size_t{3} << 29), RLIM_INFINITY};
    TavroSVHandle* d = setrlimit(RLIMIT_AS, &lim) == 0 ? tavro_sv_zero_dynamic(26) : nullptr;
    if (d == nullptr || tavro_sv_apply_h(d, 26) != -3 || tavro_sv_clone(d) != nullptr) _exit(2);
    // The fault stores nothing and the source handle stays usable.
    _exit(tavro_last_error_code() != -3 || tavro_sv_norm_squared(d) != 1.0 ? 3 : 0);
  }
  int status = -1;
  for (int i = 0; i < 3000 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(10000);
  if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  EXPECT_EQ(status, 0) << "the child failed a check, crashed or hung";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tavro_sv_clone panicked across C ABI: cloning a dynamic state re-reserves what it "
            "already held: AllocationFailed { amplitudes: 67108864 }\n");
  // The parent's pool still works, and the child's reset did not reach the parent's memory.
  EXPECT_EQ(bits(tavro_sv_norm_squared(h)), bits(327680.0));
  tavro_sv_free(h);
}

}  // namespace
