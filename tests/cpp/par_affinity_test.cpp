// Where the pool's workers run. A host may pin the thread that first uses the pool to one CPU;
// the workers must still spread over the CPUs the process was launched on, and no further.
// The pool starts once per process, so each case runs in a child of this binary, launched
// under its own CPU mask and environment.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "par/pool.hpp"

namespace tavro::par {
namespace {

cpu_set_t current_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  return set;
}

std::vector<int> cpu_list(const cpu_set_t& set) {
  std::vector<int> cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &set)) cpus.push_back(c);
  return cpus;
}

std::string format_cpus(const cpu_set_t& set) {
  std::string text;
  for (const int c : cpu_list(set)) {
    if (!text.empty()) text += ',';
    text += std::to_string(c);
  }
  return text;
}

// Run only in a child started by LaunchedChild. TAVRO_EXPECT_CPUS lists the launch CPUs the
// parent chose; TAVRO_PINNED_AT_LOAD says an OpenMP runtime pinned this thread before the
// library loaded, otherwise the test pins it here, before the pool's first use.
TEST(AffinityChild, DISABLED_WorkersSpreadOverTheLaunchCpus) {
  cpu_set_t expected;
  CPU_ZERO(&expected);
  for (const char* p = std::getenv("TAVRO_EXPECT_CPUS"); *p != '\0';) {
    char* end = nullptr;
    CPU_SET(static_cast<int>(std::strtol(p, &end, 10)), &expected);
    p = *end == ',' ? end + 1 : end;
  }
  if (std::getenv("TAVRO_PINNED_AT_LOAD") != nullptr) {
    const cpu_set_t at_start = current_cpus();
    if (CPU_COUNT(&at_start) != 1)
      GTEST_SKIP() << "child-skip: no OpenMP runtime pinned the first thread at load (mask "
                   << format_cpus(at_start) << ")";
  } else {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu_list(current_cpus()).front(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  }
  const cpu_set_t caller = current_cpus();
  ASSERT_EQ(CPU_COUNT(&caller), 1);

  // Each piece records the mask of a worker it ran on; none is left by the caller's thread.
  std::mutex lock;
  std::vector<cpu_set_t> workers;
  const auto caller_id = std::this_thread::get_id();
  run_pieces(4 * NUM_THREADS(), [&](size_t) {
    if (std::this_thread::get_id() != caller_id) {
      const cpu_set_t mine = current_cpus();
      const std::lock_guard guard(lock);
      workers.push_back(mine);
    }
    // Long enough that the workers wake and take pieces before the caller drains the job.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  EXPECT_FALSE(workers.empty()) << "no piece left the caller's thread";
  for (const cpu_set_t& w : workers)
    EXPECT_TRUE(CPU_EQUAL(&w, &expected))
        << "worker mask " << format_cpus(w) << ", launch " << format_cpus(expected);
  const cpu_set_t after = current_cpus();
  EXPECT_TRUE(CPU_EQUAL(&after, &caller)) << "caller moved to " << format_cpus(after);
}

struct Launch {
  const char* name;
  int cpus;  // the first this many CPUs of the test's own mask; 0 takes them all
  const char* env;
};

void PrintTo(const Launch& row, std::ostream* os) { *os << row.name; }

class LaunchedChild : public testing::TestWithParam<Launch> {};

// Starts the child with the calling thread briefly set to the launch mask, as taskset would:
// a spawned process inherits the spawning thread's mask.
TEST_P(LaunchedChild, WorkersStayInTheLaunchMaskAndLeaveThePinnedCaller) {
  const Launch& row = GetParam();
  const cpu_set_t own = current_cpus();
  const std::vector<int> all = cpu_list(own);
  const size_t wanted = row.cpus == 0 ? std::max<size_t>(all.size(), 2) : row.cpus;
  if (all.size() < wanted)
    GTEST_SKIP() << "needs " << wanted << " CPUs, this process may use " << all.size();
  cpu_set_t launch;
  CPU_ZERO(&launch);
  for (size_t i = 0; i < (row.cpus == 0 ? all.size() : wanted); ++i) CPU_SET(all[i], &launch);

  const std::string cmd =
      "env -u RAYON_NUM_THREADS -u RAYON_RS_NUM_CPUS -u OMP_PROC_BIND -u "
      "OMP_PLACES TAVRO_EXPECT_CPUS=" +
      format_cpus(launch) + " " + row.env + " " +
      std::filesystem::read_symlink("/proc/self/exe").string() +
      " --gtest_filter=AffinityChild.* --gtest_also_run_disabled_tests 2>&1";
  ASSERT_EQ(sched_setaffinity(0, sizeof(launch), &launch), 0);
  FILE* child = popen(cmd.c_str(), "r");
  ASSERT_EQ(sched_setaffinity(0, sizeof(own), &own), 0);
  ASSERT_NE(child, nullptr) << cmd;
  std::string out;
  char buf[4096];
  while (const size_t got = std::fread(buf, 1, sizeof(buf), child)) out.append(buf, got);
  const int status = pclose(child);

  if (const size_t at = out.find("child-skip: "); at != std::string::npos)
    GTEST_SKIP() << out.substr(at + 12, out.find('\n', at) - at - 12);
  EXPECT_EQ(status, 0) << cmd << "\n" << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << cmd << "\n" << out;
}

// The OpenMP rows preload the runtime so that it binds the first thread before this library's
// load-time snapshot, as a host linked with it does.
INSTANTIATE_TEST_SUITE_P(
    Table, LaunchedChild,
    testing::Values(Launch{"PinnedCallerUnrestricted", 0, "RAYON_NUM_THREADS=8"},
                    Launch{"PinnedCallerInTwoCpus", 2, "RAYON_NUM_THREADS=8"},
                    Launch{"PinnedCallerInThreeCpus", 3, "RAYON_NUM_THREADS=4"},
                    Launch{"OpenMpBoundBeforeLoad", 0,
                           "LD_PRELOAD=libgomp.so.1 OMP_PROC_BIND=true TAVRO_PINNED_AT_LOAD=1 "
                           "RAYON_NUM_THREADS=8"},
                    Launch{"OpenMpBoundInTwoCpus", 2,
                           "LD_PRELOAD=libgomp.so.1 OMP_PROC_BIND=true TAVRO_PINNED_AT_LOAD=1 "
                           "RAYON_NUM_THREADS=8"}),
    [](const testing::TestParamInfo<Launch>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavro::par
