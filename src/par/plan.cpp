#include "par/plan.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "error.hpp"

namespace tavro::par {

namespace {

constexpr size_t MIN_SPLIT = 1024;  // the smallest in-block piece, in pairs or quartets

size_t workers_t(size_t workers) { return std::max<size_t>(workers, 1); }

// k * T, saturated: an absurd configured worker count must shrink pieces to their minimum,
// not wrap the divisor to zero.
size_t per_worker(size_t k, size_t t) {
  return t > std::numeric_limits<size_t>::max() / k ? std::numeric_limits<size_t>::max() : k * t;
}

// A block of 2 * half amplitudes; half = 2^63 (slot 63) leaves no block size to divide by.
size_t block_of(size_t half) {
  if (half == 0 || half > std::numeric_limits<size_t>::max() / 2)
    throw Fault("attempt to divide by zero");
  return 2 * half;
}

// Blocks must tile the buffer; the first one that would not is reported like a slice index.
void check_tiles(size_t n, size_t block) {
  if (n % block == 0) return;
  const size_t end = n - n % block + block;
  throw Fault("range end index " + std::to_string(end) + " out of range for slice of length " +
              std::to_string(n));
}

Plan sequential(size_t n) { return {Regime::Sequential, n, 1, 1}; }

}  // namespace

Plan plan_within_block(size_t s, size_t workers) {
  const size_t inner = roundup8(std::max(s / per_worker(4, workers_t(workers)), MIN_SPLIT));
  return {Regime::SplitBlocks, inner, ceil_div(s, inner), 1};
}

Plan plan_pairs(size_t n, size_t s, size_t workers, size_t min_amps) {
  const size_t block = block_of(s);
  check_tiles(n, block);
  if (n < min_amps || workers < 2) return sequential(n);
  const size_t t = workers_t(workers);
  const size_t nb = n / block;
  if (nb >= t) {
    const size_t chunk = std::max<size_t>(nb / per_worker(4, t), 1) * block;
    return {Regime::WholeBlocks, chunk, ceil_div(n, chunk), 1};
  }
  Plan p = plan_within_block(s, workers);
  p.jobs = nb;
  return p;
}

Plan plan_quartets(size_t n, size_t s_lo, size_t s_hi, size_t workers, size_t min_amps) {
  const size_t high_block = block_of(s_hi);
  const size_t low_block = block_of(s_lo);
  if (s_lo >= s_hi) throw Fault("mid > len");
  check_tiles(n, high_block);
  if (n < min_amps || workers < 2) return sequential(n);
  const size_t t = workers_t(workers);
  const size_t nb_hi = n / high_block;
  if (nb_hi >= t) {
    const size_t chunk = std::max<size_t>(nb_hi / per_worker(4, t), 1) * high_block;
    return {Regime::WholeBlocks, chunk, ceil_div(n, chunk), 1};
  }
  const size_t nb_lo = s_hi / low_block;
  if (nb_lo >= t) {
    const size_t c = std::max<size_t>(nb_lo / per_worker(4, t), 1) * low_block;
    return {Regime::LowBlocks, c, ceil_div(s_hi, c), nb_hi};
  }
  // Divisor 2T: the four slices are already short, so about two pieces per worker.
  const size_t inner = roundup8(std::max(s_lo / per_worker(2, t), MIN_SPLIT));
  return {Regime::FourSlice, inner, ceil_div(s_lo, inner), nb_hi * nb_lo};
}

Plan plan_runner(size_t n, size_t block, size_t workers, size_t min_amps) {
  if (n < min_amps || workers < 2 || n <= block) return sequential(n);
  if (block == 0) throw Fault("attempt to divide by zero");
  const size_t chunk = std::max<size_t>((n / block) / per_worker(4, workers_t(workers)), 1) * block;
  if (chunk >= n) return sequential(n);
  return {Regime::Chunks, chunk, ceil_div(n, chunk), 1};
}

Plan plan_group_runs(size_t n, size_t block, size_t runs, size_t workers, size_t min_amps) {
  const Plan p = plan_runner(n, block, workers, min_amps);
  if (p.regime == Regime::Chunks && p.pieces >= workers) return p;
  if (n < min_amps || workers < 2 || runs < 2) return p;
  const size_t chunk = std::max<size_t>(runs / per_worker(4, workers_t(workers)), 1);
  return {Regime::GroupRuns, chunk, ceil_div(runs, chunk), 1};
}

Plan plan_reduce(size_t n, size_t workers) {
  // No rounding to 8: a range's partial does not care about vector groups.
  const size_t chunk = std::max<size_t>(n / per_worker(4, workers_t(workers)), 1);
  return {Regime::Chunks, chunk, ceil_div(n, chunk), 1};
}

Plan plan_indexed(size_t n, size_t workers, size_t min_amps) {
  if (n < min_amps || n < 9 || workers < 2) return sequential(n);
  const size_t chunk = std::max<size_t>((n / 8) / per_worker(4, workers_t(workers)), 1) * 8;
  if (chunk >= n) return sequential(n);
  return {Regime::Chunks, chunk, ceil_div(n, chunk), 1};
}

}  // namespace tavro::par
