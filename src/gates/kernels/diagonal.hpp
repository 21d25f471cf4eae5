#pragma once

#include <cstddef>
#include <span>

#include "amp.hpp"

// The diagonal kernel for two to ten targets on a raw interleaved buffer. It validates nothing:
// the slots are distinct live physical slots and `diag` has 2^slots.size() entries.

namespace tavro::kernels {

// Multiplies every amplitude by the entry of its local index, whose bit (k-1-j) is the
// amplitude's bit at slots[j] (slots[0] the most significant), with the plain complex product;
// an entry of 1 multiplies too. Takes no vector flag: its vector and portable bodies form the same
// plain products.
void apply_diag_kq(std::span<Amp> amps, std::span<const size_t> slots, std::span<const Amp> diag);

}  // namespace tavro::kernels
