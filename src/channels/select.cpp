// The one selection rule of the Kraus and mixed-unitary channels.
#include "channels/select.hpp"

namespace tavro::channels {

size_t select_index(std::span<const double> weights, Xoshiro256PlusPlus& rng) {
  double total = -0.0;
  for (const double w : weights) total = total + w;
  // False for NaN: a NaN total goes on to draw.
  if (total <= 0.0) return 0;
  const double target = total * rng.next_f64();
  double running = 0.0;
  for (size_t k = 0; k < weights.size(); ++k) {
    running = running + weights[k];
    if (running > target) return k;
  }
  // Reached with a NaN total, or when rounding leaves the running sum at the target.
  return weights.size() - 1;
}

}  // namespace tavro::channels
