#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "amp.hpp"

// The dense k-qubit kernel (k = 3, 4, 5) on a raw interleaved buffer. It validates nothing but
// k: the slots are distinct live physical slots and the gate has 4^k entries.
//
// A group is the D = 2^k amplitudes that differ only in the target bits; its local index i has
// bit (k-1-j) equal to the amplitude's bit at targets[j], so targets[0] is the most significant.
// Where the lowest target slot is 2 or more, the 2^lowest consecutive groups of a run share one
// set of roles and the fused arithmetic form applies (its vector bodies work across the run);
// below that the plain form applies. The form depends on the slots alone; `simd` (the state's
// flag) picks vector or portable bodies of that form, which give the same bits.

namespace tavro::kernels {

// The column-major D x D `gate` (entry c*D + r = row r, column c) on the groups of the first k
// entries of `targets`. A k other than 3, 4 or 5 is a Fault.
void apply_kq(bool simd, std::span<Amp> amps, const std::array<size_t, 5>& targets, size_t k,
              std::span<const Amp> gate);

}  // namespace tavro::kernels
