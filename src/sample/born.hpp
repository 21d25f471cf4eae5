#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "amp.hpp"
#include "error.hpp"

namespace tavro {

// The cumulative Born index of a buffer: entry b is the running sum of the block sums of
// blocks 0..b, each block 2048 consecutive amplitudes (the last may be shorter). Built per
// sampling call, never stored in the state.
class BornIndex {
 public:
  static constexpr size_t BLOCK = 2048;

  // Block sums (each from -0.0 in index order, the same on the pool as on the caller's
  // thread), then the running sum from +0.0. DegenerateState when the total is not finite
  // or below 1e-300 (an empty buffer counts as total 0).
  static Result<BornIndex> build(std::span<const Amp> amps);

  // The basis index of target r: a branch-free search for the block, then a scan inside it
  // from the previous entry until the running sum reaches r; the block's last index when
  // rounding keeps it below. `amps` is the buffer the index was built from. Never fails.
  size_t locate(std::span<const Amp> amps, double r) const;

  // The block locate scans for r: the count of entries strictly below r, at most the last.
  size_t block_of(double r) const;
  // The running sums locate's scan forms in block b, written to out (room for BLOCK values);
  // returns the block's length. They never decrease, so the first one >= r is where the
  // scan stops.
  size_t scan_sums(std::span<const Amp> amps, size_t b, double* out) const;

  // The last entry, the total squared norm. A Fault on an empty index.
  double total() const;
  std::span<const double> entries() const { return entries_; }

 private:
  explicit BornIndex(std::vector<double> entries) : entries_(std::move(entries)) {}

  std::vector<double> entries_;
};

}  // namespace tavro
