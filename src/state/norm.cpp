// The squared norm and in-place normalisation of the state.
#include <cmath>

#include "par/pool.hpp"
#include "par/reduce.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

// One accumulator from -0.0, index order, each term's products rounded on their own.
double sum_squares(const Amp* a, size_t begin, size_t end) {
  double acc = -0.0;
  for (size_t k = begin; k < end; ++k) {
    const double re2 = a[k].real() * a[k].real();
    const double im2 = a[k].imag() * a[k].imag();
    acc = acc + (re2 + im2);
  }
  return acc;
}

}  // namespace

double TavroSV::norm_squared() const {
  const Amp* a = amps_.data();
  const size_t n = len();
  if (!par::runs_parallel(n)) return sum_squares(a, 0, n);
  return par::par_reduce(
      n, 0.0, [a](size_t begin, size_t end) { return sum_squares(a, begin, end); },
      [](double x, double y) { return x + y; });
}

double TavroSV::normalize() {
  const double ns = norm_squared();
  const double norm = std::sqrt(ns);
  if (!(ns > 0)) return norm;  // +0, -0 and NaN leave the state as it is
  // A multiplication by the reciprocal, not a division: 3 * (1/5) = 0.6000000000000001.
  const double factor = 1.0 / norm;
  par::par_walk_indexed(amps_.span(), [factor](size_t, std::span<Amp> piece) {
    double* d = reinterpret_cast<double*>(piece.data());
    for (size_t k = 0; k < 2 * piece.size(); ++k) d[k] = d[k] * factor;
  });
  return norm;
}

}  // namespace tavro
