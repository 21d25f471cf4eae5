#include "par/pool.hpp"

#include <sched.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <thread>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

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

// The process-wide pool. The global limit lets a configured count above the core count be
// honoured: TBB otherwise caps every arena at the number of cores.
struct Pool {
  explicit Pool(size_t threads)
      : limit(tbb::global_control::max_allowed_parallelism, threads),
        arena(static_cast<int>(threads)) {
    arena.initialize();
  }
  tbb::global_control limit;
  tbb::task_arena arena;
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
  // One piece is one task: the walkers have already sized the pieces for the worker count.
  pool().arena.execute([&] {
    tbb::parallel_for(
        size_t{0}, count, [&](size_t i) { piece(i); }, tbb::simple_partitioner{});
  });
}

}  // namespace tavro::par
