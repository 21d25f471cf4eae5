#pragma once

#include <cstddef>

#include "par/function_ref.hpp"

namespace tavro::par {

// The worker count of the process-wide pool, fixed on first use from RAYON_NUM_THREADS,
// then RAYON_RS_NUM_CPUS, then the logical processor count. Starts the pool.
size_t NUM_THREADS();

// The cut-over amplitude count: below it every traversal stays on the caller's thread.
size_t MIN_AMPS();

// The worker-count rule on explicit inputs (null means unset); `fallback` is the processor count.
size_t worker_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                             size_t fallback);

// The processors this process may run on (its affinity mask), else the hardware thread count,
// at least 1: the worker count when neither variable gives one.
size_t available_processors();

// MIN_AMPS for a given worker count: the next power of two of 16384 * max(workers, 1).
size_t min_amps_for(size_t workers);

// True when a traversal of n amplitudes may leave the caller's thread. Reads MIN_AMPS first,
// so the pool starts at the first traversal of any size.
bool runs_parallel(size_t n);

// Runs piece(0) ... piece(count - 1) on the pool and returns when all have finished. An
// exception thrown by a piece (a Fault) is rethrown on the caller's thread.
void run_pieces(size_t count, FunctionRef<void(size_t)> piece);

}  // namespace tavro::par
