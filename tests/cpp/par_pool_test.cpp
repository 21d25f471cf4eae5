// The process-wide worker count, the cut-over and the pool itself. The worker count is fixed
// once per process, so the environment rule is checked end to end in child processes of this
// binary, each started with its own variables.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"
#include "par/pool.hpp"

extern char** environ;

namespace tavro::par {
namespace {

// The worker count the environment of this process asks for, read independently of the pool:
// plain positive decimals are what the test runner sets.
size_t expected_workers() {
  const char* v = std::getenv("RAYON_NUM_THREADS");
  if (v != nullptr && *v != '\0' && std::strspn(v, "0123456789") == std::strlen(v)) {
    const size_t n = std::strtoull(v, nullptr, 10);
    if (n > 0) return n;
  }
  return worker_count_from_env(v, std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
}

TEST(Pool, NumThreadsFollowsTheEnvironment) {
  EXPECT_EQ(NUM_THREADS(), expected_workers());
  EXPECT_EQ(MIN_AMPS(), min_amps_for(NUM_THREADS()));
}

TEST(Pool, AvailableProcessorsMatchesTheAffinityMask) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  EXPECT_EQ(available_processors(), static_cast<size_t>(CPU_COUNT(&set)));
}

TEST(Pool, ChangingTheEnvironmentLaterChangesNothing) {
  const size_t before = NUM_THREADS();
  const size_t min_before = MIN_AMPS();
  const char* old = std::getenv("RAYON_NUM_THREADS");
  const std::string saved = old ? old : "";
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", before == 5 ? "6" : "5", 1), 0);
  EXPECT_EQ(NUM_THREADS(), before);
  EXPECT_EQ(MIN_AMPS(), min_before);
  if (old)
    setenv("RAYON_NUM_THREADS", saved.c_str(), 1);
  else
    unsetenv("RAYON_NUM_THREADS");
}

// Which sizes leave the caller's thread, for the three worker counts the tests run under.
struct ParallelRow {
  size_t n;
  bool w1, w3, w8;
};

TEST(Pool, RunsParallelAtTheCutOver) {
  const ParallelRow rows[] = {
      {0, false, false, false},
      {1, false, false, false},
      {16384, false, false, false},
      {32768, false, false, false},  // 15 qubits stay
      {65535, false, false, false},
      {65536, false, true, false},  // 16 qubits go with 3
      {131071, false, true, false},
      {131072, false, true, true},
      {size_t{1} << 30, false, true, true},
  };
  const size_t w = NUM_THREADS();
  if (w != 1 && w != 3 && w != 8) GTEST_SKIP() << "table covers 1, 3 and 8 workers";
  for (const ParallelRow& r : rows) {
    const bool expected = w == 1 ? r.w1 : w == 3 ? r.w3 : r.w8;
    EXPECT_EQ(runs_parallel(r.n), expected) << r.n;
  }
}

class RunPieces : public testing::TestWithParam<size_t> {};

TEST_P(RunPieces, EveryPieceExactlyOnce) {
  const size_t count = GetParam();
  std::vector<std::atomic<int>> hits(count + 1);
  run_pieces(count, [&](size_t i) { hits[std::min(i, count)].fetch_add(1); });
  for (size_t i = 0; i < count; ++i) EXPECT_EQ(hits[i].load(), 1) << i;
  EXPECT_EQ(hits[count].load(), 0) << "no index past the count";
}

INSTANTIATE_TEST_SUITE_P(Counts, RunPieces, testing::Values(0, 1, 2, 3, 17, 1000));

TEST(RunPiecesSingle, RunsOnTheCallersThread) {
  std::thread::id ran_on;
  run_pieces(1, [&](size_t) { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(RunPiecesFault, OnePieceFaultReachesTheCaller) {
  std::atomic<int> ran{0};
  try {
    run_pieces(64, [&](size_t i) {
      ran.fetch_add(1);
      if (i == 37) throw Fault("piece 37 broke its invariant");
    });
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "piece 37 broke its invariant");
  }
  EXPECT_GE(ran.load(), 1);
  // The pool stays usable after a failed job.
  std::atomic<size_t> sum{0};
  run_pieces(100, [&](size_t i) { sum.fetch_add(i); });
  EXPECT_EQ(sum.load(), 4950u);
}

TEST(RunPiecesFault, EveryPieceFaultsOneComesBack) {
  try {
    run_pieces(32, [](size_t i) { throw Fault("piece " + std::to_string(i)); });
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    ASSERT_EQ(f.message().rfind("piece ", 0), 0u);
    EXPECT_LT(std::stoul(f.message().substr(6)), 32u);
  }
}

TEST(RunPiecesConcurrency, CallersOnSeveralThreadsShareThePool) {
  constexpr size_t CALLERS = 4, PIECES = 200, ROUNDS = 20;
  std::vector<std::vector<std::atomic<int>>> hits(CALLERS);
  for (auto& h : hits) h = std::vector<std::atomic<int>>(PIECES);
  std::vector<std::thread> callers;
  for (size_t c = 0; c < CALLERS; ++c)
    callers.emplace_back([&, c] {
      for (size_t r = 0; r < ROUNDS; ++r) run_pieces(PIECES, [&](size_t i) { hits[c][i]++; });
    });
  for (auto& t : callers) t.join();
  for (size_t c = 0; c < CALLERS; ++c)
    for (size_t i = 0; i < PIECES; ++i) EXPECT_EQ(hits[c][i].load(), int(ROUNDS)) << c << "/" << i;
}

// ---------------------------------------------------------------------------------------------
// Child processes: the first use of the worker count happens on several threads at once in a
// fresh process, under variables chosen per row.

int threads_of_this_process() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// Run only in a child (see ChildEnvironment): TAVRO_EXPECT_WORKERS is the count to find,
// "default" for the processor count.
TEST(PoolChild, DISABLED_FirstUseFromManyThreads) {
  const char* expect_text = std::getenv("TAVRO_EXPECT_WORKERS");
  ASSERT_NE(expect_text, nullptr);
  const size_t expect = std::strcmp(expect_text, "default") == 0
                            ? available_processors()
                            : std::strtoull(expect_text, nullptr, 10);
  constexpr size_t THREADS = 8;
  std::barrier start(THREADS);
  std::vector<size_t> seen(THREADS), seen_min(THREADS);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < THREADS; ++i)
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      seen_min[i] = MIN_AMPS();
      seen[i] = NUM_THREADS();
    });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < THREADS; ++i) {
    EXPECT_EQ(seen[i], expect) << "thread " << i;
    EXPECT_EQ(seen_min[i], min_amps_for(expect)) << "thread " << i;
  }
  // A huge configured count still runs jobs, on a bounded number of threads.
  std::atomic<size_t> done{0};
  run_pieces(2000, [&](size_t) {
    volatile double x = 0;
    for (int k = 0; k < 20000; ++k) x = x + 1.0;
    done.fetch_add(1);
  });
  EXPECT_EQ(done.load(), 2000u);
  EXPECT_LE(threads_of_this_process(), 256 + 16);
}

struct ChildRow {
  const char* name;
  const char* num_threads;  // null: unset
  const char* num_cpus;
  const char* expect;
};

const ChildRow CHILD_ROWS[] = {
    {"plus_five", "+5", nullptr, "5"},
    {"zero_ignores_cpus", "0", "5", "default"},
    {"both_unset", nullptr, nullptr, "default"},
    {"malformed_takes_cpus", "abc", "5", "5"},
    {"trailing_space_no_cpus", "3 ", nullptr, "default"},
    {"overflow_takes_cpus", "99999999999999999999", "2", "2"},
    {"more_than_cores", "24", nullptr, "24"},
    {"absurd_count_is_kept", "100000", nullptr, "100000"},
};

class ChildEnvironment : public testing::TestWithParam<ChildRow> {};

TEST_P(ChildEnvironment, WorkerCountIsParsedOnceAtFirstUse) {
  const ChildRow& r = GetParam();
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    if (kv.rfind("RAYON_", 0) == 0 || kv.rfind("TAVRO_EXPECT_WORKERS=", 0) == 0) continue;
    env.push_back(kv);
  }
  if (r.num_threads) env.push_back(std::string("RAYON_NUM_THREADS=") + r.num_threads);
  if (r.num_cpus) env.push_back(std::string("RAYON_RS_NUM_CPUS=") + r.num_cpus);
  env.push_back(std::string("TAVRO_EXPECT_WORKERS=") + r.expect);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  char out_path[] = "/tmp/tavro_pool_child_XXXXXX";
  const int fd = mkstemp(out_path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string exe = "/proc/self/exe";
  std::string filter = "--gtest_filter=PoolChild.DISABLED_FirstUseFromManyThreads";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {exe.data(), filter.data(), disabled.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(rc, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  std::ifstream in(out_path);
  const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(out_path);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Table, ChildEnvironment, testing::ValuesIn(CHILD_ROWS),
                         [](const testing::TestParamInfo<ChildRow>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
}  // namespace tavro::par
