#pragma once

namespace tavro::kernels {

// Whether the vector kernels may run: the best target this processor supports has a native
// fused multiply-add (emulated ones round twice and would change results). Cached.
bool simd_available();

}  // namespace tavro::kernels
