#include "par/pool.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

namespace tavro::par {

namespace {

// The most threads the pool really starts. The configured count still drives every cut, so
// results never depend on this cap; it only keeps RAYON_NUM_THREADS=100000 from spawning
// a hundred thousand threads.
constexpr size_t MAX_POOL_THREADS = 256;

// An unsigned decimal as the environment rule reads it: an optional single '+', then one or
// more ASCII digits and nothing else, fitting in 64 bits. "+3" -> 3; "3 ", "-1", "+", "" -> none.
std::optional<size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return std::nullopt;
  size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const size_t digit = static_cast<size_t>(*p - '0');
    if (value > (std::numeric_limits<size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

size_t configured_workers() {
  static const size_t workers = worker_count_from_env(
      std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
  return workers;
}

// A set of CPUs, or nothing when it could not be read (more CPUs than a cpu_set_t holds).
using CpuSet = std::optional<cpu_set_t>;

CpuSet thread_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0 || CPU_COUNT(&set) == 0) return std::nullopt;
  return set;
}

// The loading thread's mask when the library loads: a launch restriction (taskset, a batch
// system's binding) is already in it, while a host that pins its main thread later is not.
const CpuSet LOAD_CPUS = thread_cpus();

// An OpenMP runtime told to bind (OMP_PROC_BIND, OMP_PLACES, GOMP_CPU_AFFINITY) pins its first
// thread to one place when it loads, possibly before this library, so the load-time mask is that
// one place. The runtime's places still cover every CPU its launch allowed, or the ones the user
// chose. Asked only when binding is on: a runtime that initialises on the question may then bind.
CpuSet openmp_places() {
  const char* bind = std::getenv("OMP_PROC_BIND");
  const bool binds = (bind != nullptr && strcasecmp(bind, "false") != 0) ||
                     std::getenv("OMP_PLACES") != nullptr ||
                     std::getenv("GOMP_CPU_AFFINITY") != nullptr;
  if (!binds) return std::nullopt;
  using Count = int (*)();
  using PlaceCount = int (*)(int);
  using PlaceIds = void (*)(int, int*);
  const auto places = reinterpret_cast<Count>(dlsym(RTLD_DEFAULT, "omp_get_num_places"));
  const auto procs = reinterpret_cast<PlaceCount>(dlsym(RTLD_DEFAULT, "omp_get_place_num_procs"));
  const auto ids = reinterpret_cast<PlaceIds>(dlsym(RTLD_DEFAULT, "omp_get_place_proc_ids"));
  if (places == nullptr || procs == nullptr || ids == nullptr) return std::nullopt;
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> place;
  for (int p = 0, n = places(); p < n; ++p) {
    place.assign(static_cast<size_t>(std::max(procs(p), 0)), -1);
    ids(p, place.data());
    for (const int cpu : place)
      if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_SET(cpu, &set);
  }
  if (CPU_COUNT(&set) == 0) return std::nullopt;
  return set;
}

// Puts each worker, once, on the CPUs the process may use. Workers are started by whichever
// thread first hands the pool work and inherit its mask, which may be a single pinned core;
// the caller's own thread also runs pieces and keeps its mask.
class WorkerPlacement final : public tbb::task_scheduler_observer {
 public:
  WorkerPlacement(tbb::task_arena& arena, const CpuSet& cpus)
      : tbb::task_scheduler_observer(arena), cpus_(cpus) {
    if (cpus_) observe(true);
  }
  ~WorkerPlacement() override { observe(false); }

  void on_scheduler_entry(bool is_worker) override {
    thread_local bool placed = false;
    if (!is_worker || placed) return;
    placed = true;
    // A refusal (the CPUs went away since) leaves the worker where it was: slower, still right.
    pthread_setaffinity_np(pthread_self(), sizeof(*cpus_), &*cpus_);
  }

 private:
  CpuSet cpus_;
};

// Set in a child forked after the pool started. The child holds a copy of the pool's state but
// none of its threads, and TBB would wait there for workers that never come; so the child runs
// every piece itself, in piece order. Pieces write disjoint ranges and partials are combined
// by piece index, so the results are those the pool would give.
std::atomic<bool> forked_from_pool{false};

// The process-wide pool. The global limit lets a configured count above the core count be
// honoured: TBB otherwise caps every arena at the number of cores.
struct Pool {
  explicit Pool(size_t threads)
      : limit(tbb::global_control::max_allowed_parallelism, threads),
        arena(static_cast<int>(threads)) {
    arena.initialize();
    pthread_atfork(nullptr, nullptr,
                   [] { forked_from_pool.store(true, std::memory_order_relaxed); });
  }
  tbb::global_control limit;
  tbb::task_arena arena;
  // Before any job, so no worker enters unplaced. An OpenMP runtime may load after this
  // library (a Python host imports it later), so its places are read here, at first use.
  WorkerPlacement placement{arena, openmp_places().or_else([] { return LOAD_CPUS; })};
};

Pool& pool() {
  static Pool p(std::min(std::max<size_t>(configured_workers(), 1), MAX_POOL_THREADS));
  return p;
}

}  // namespace

size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  return std::max<size_t>(std::thread::hardware_concurrency(), 1);
}

size_t worker_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                             size_t fallback) {
  // 0 in the first variable means "the default" outright; the second is not consulted.
  if (const auto n = parse_count(rayon_num_threads)) return *n > 0 ? *n : fallback;
  if (const auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return *n;
  return fallback;
}

size_t NUM_THREADS() {
  // Asking for the count starts the pool, as the first traversal of any size must.
  static const size_t workers = (pool(), configured_workers());
  return workers;
}

size_t min_amps_for(size_t workers) {
  constexpr size_t BASE = 16384;
  if (workers >= (size_t{1} << 50)) return BASE;
  // Below 2^50 workers the product fits; its power of two may not (2^49 + 1 workers).
  const size_t x = BASE * std::max<size_t>(workers, 1);
  if (x > (size_t{1} << 63)) return BASE;
  return std::bit_ceil(x);
}

size_t MIN_AMPS() {
  static const size_t min_amps = min_amps_for(NUM_THREADS());
  return min_amps;
}

bool runs_parallel(size_t n) {
  const size_t min_amps = MIN_AMPS();  // first, so the pool starts on any traversal
  return n >= min_amps && NUM_THREADS() >= 2;
}

void run_pieces(size_t count, FunctionRef<void(size_t)> piece) {
  if (count == 0) return;
  if (count == 1) return piece(0);
  if (forked_from_pool.load(std::memory_order_relaxed)) {
    for (size_t i = 0; i < count; ++i) piece(i);
    return;
  }
  // One piece is one task: the walkers have already sized the pieces for the worker count.
  pool().arena.execute([&] {
    tbb::parallel_for(
        size_t{0}, count, [&](size_t i) { piece(i); }, tbb::simple_partitioner{});
  });
}

}  // namespace tavro::par
