#pragma once

#include <complex>

namespace tavro {

// Storage only: two doubles, real part first, so buffers pass unchanged to NumPy and C.
// Results are never computed with the std::complex operators (see gates/kernels/complex.hpp).
using Amp = std::complex<double>;

}  // namespace tavro
