#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "amp.hpp"
#include "error.hpp"
#include "rng.hpp"

// Projective measurement on a physical slot of a raw amplitude buffer. These validate
// nothing: `slot` is a live slot of `amps`. The state-level operations (prob_zero,
// measure_qubit, reset_qubit, free_qubit) resolve the qubit and call them.

namespace tavro {

// (p0, p1): the raw sums of re*re + im*im over the indices whose bit `slot` is 0 and 1, in
// the fixed run order (per piece, combined in piece order, when the buffer goes parallel).
// Never fails.
std::pair<double, double> abs2_sums(std::span<const Amp> amps, size_t slot);

// The first (outcome 0) or second member of abs2_sums, bit for bit; on slot 2 and from slot 5
// on, only that outcome's amplitudes are read.
double abs2_sum(std::span<const Amp> amps, size_t slot, uint8_t outcome);

// One draw u; outcome 0 when u < p0 (a NaN p0 gives 1), else 1; then project_slot on it.
// InvalidBasisIndex from the projection, after the draw, with the buffer unchanged.
Result<uint8_t> measure_slot(std::span<Amp> amps, size_t slot, Xoshiro256PlusPlus& rng);

// Zeroes the amplitudes whose bit `slot` differs from `outcome` and multiplies the others by
// 1 / sqrt(prob). InvalidBasisIndex when prob <= 1e-300, with nothing changed.
Status project_slot(std::span<Amp> amps, size_t slot, uint8_t outcome, double prob);

namespace detail {

// The sequential rule over the whole buffer: runs of indices sharing bit `slot`, each summed
// from -0.0 and then added to p0 or p1 (both from +0.0).
std::pair<double, double> abs2_sums_sequential(std::span<const Amp> amps, size_t slot);

// The partial of one parallel piece [begin, end), with global indices. Slot 0 has its own
// order: an odd begin seeds p1 with |a_begin|^2, an odd remaining length then seeds p0 with
// the last term, and the pairs follow.
std::pair<double, double> abs2_sums_piece(std::span<const Amp> amps, size_t slot, size_t begin,
                                          size_t end);

}  // namespace detail

}  // namespace tavro
