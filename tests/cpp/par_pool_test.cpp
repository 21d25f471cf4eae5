// The process-wide worker count, the cut-over and the pool itself. The worker count is fixed
// once per process, so the environment rule is checked end to end in child processes of this
// binary, each started with its own variables.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <ranges>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"
#include "par/pool.hpp"

namespace tavro::par {
namespace {

// The test runner sets RAYON_NUM_THREADS to a plain decimal, or leaves it unset. A later
// change of the variable changes nothing. A traversal of MIN_AMPS amplitudes may go parallel.
TEST(Pool, WorkerCountIsFixedAtFirstUse) {
  const char* v = std::getenv("RAYON_NUM_THREADS");
  const size_t asked = v ? std::strtoull(v, nullptr, 10) : 0;
  const std::string saved = v ? v : "";
  EXPECT_EQ(NUM_THREADS(), asked > 0 ? asked : available_processors());
  EXPECT_EQ(MIN_AMPS(), min_amps_for(NUM_THREADS()));
  setenv("RAYON_NUM_THREADS", NUM_THREADS() == 5 ? "6" : "5", 1);
  EXPECT_EQ(NUM_THREADS(), asked > 0 ? asked : available_processors());
  v ? setenv("RAYON_NUM_THREADS", saved.c_str(), 1) : unsetenv("RAYON_NUM_THREADS");
  EXPECT_FALSE(runs_parallel(MIN_AMPS() - 1));
  EXPECT_EQ(runs_parallel(MIN_AMPS()), NUM_THREADS() >= 2);
}

// A child forked after the pool has run jobs still runs every piece (on its own thread: the
// pool's workers are not copied), and the parent's pool still works afterwards.
TEST(RunPieces, ForkedChildRunsEveryPiece) {
  std::vector<std::atomic<int>> runs(64);
  const auto job = [&] { run_pieces(runs.size(), [&](size_t i) { ++runs[i]; }); };
  job();
  const pid_t pid = fork();
  if (pid == 0) {
    for (int k = 0; k < 20; ++k) job();
    _exit(std::ranges::all_of(runs, [](const auto& r) { return r == 21; }) ? 0 : 1);
  }
  int status = -1;
  for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(10000);
  if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  EXPECT_EQ(status, 0) << "the child lost a piece, crashed or hung";
  job();
  EXPECT_TRUE(std::ranges::all_of(runs, [](const auto& r) { return r == 2; }));
}

// Every index below the count runs exactly once, none past it; a single piece runs on the
// caller's thread.
TEST(RunPieces, EveryPieceExactlyOnce) {
  for (size_t count : {0, 1, 3, 1000}) {
    std::vector<std::atomic<int>> hits(count + 1);
    run_pieces(count, [&](size_t i) { ++hits[std::min(i, count)]; });
    for (size_t i = 0; i <= count; ++i) ASSERT_EQ(hits[i].load(), i < count) << count << "/" << i;
  }
  std::thread::id ran_on;
  run_pieces(1, [&](size_t) { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// A fault in one piece comes back to the caller with its message; the pool stays usable.
TEST(RunPieces, FaultInAPieceReachesTheCaller) {
  try {
    run_pieces(64, [](size_t i) {
      if (i == 37) throw Fault("piece 37 broke its invariant");
    });
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "piece 37 broke its invariant");
  }
  std::atomic<size_t> sum{0};
  run_pieces(100, [&](size_t i) { sum += i; });
  EXPECT_EQ(sum.load(), 4950u);
}

// Run only in a child started by ChildEnvironment. A huge configured count still runs jobs,
// on a bounded number of threads.
TEST(PoolChild, DISABLED_WorkerCount) {
  const size_t asked = std::strtoull(std::getenv("TAVRO_EXPECT_WORKERS"), nullptr, 10);
  EXPECT_EQ(NUM_THREADS(), asked > 0 ? asked : available_processors());
  std::atomic<size_t> done{0};
  run_pieces(2000, [&](size_t) { ++done; });
  EXPECT_EQ(done.load(), 2000u);
  EXPECT_LE(std::ranges::distance(std::filesystem::directory_iterator("/proc/self/task")), 272);
}

class ChildEnvironment : public testing::TestWithParam<std::string> {};

TEST_P(ChildEnvironment, WorkerCountIsParsedOnceAtFirstUse) {
  const std::string cmd =
      "env -u RAYON_NUM_THREADS -u RAYON_RS_NUM_CPUS " + GetParam() + " " +
      std::filesystem::read_symlink("/proc/self/exe").string() +
      " --gtest_filter=PoolChild.* --gtest_also_run_disabled_tests | grep -q 'PASSED  ] 1 test'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// TAVRO_EXPECT_WORKERS=0 stands for the processor count.
INSTANTIATE_TEST_SUITE_P(
    Table, ChildEnvironment,
    testing::Values("RAYON_NUM_THREADS=+5 TAVRO_EXPECT_WORKERS=5",
                    "RAYON_NUM_THREADS=0 RAYON_RS_NUM_CPUS=5 TAVRO_EXPECT_WORKERS=0",
                    "RAYON_NUM_THREADS=100000 TAVRO_EXPECT_WORKERS=100000"));

}  // namespace
}  // namespace tavro::par
