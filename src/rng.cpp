#include "rng.hpp"

namespace tavro {

Xoshiro256PlusPlus Xoshiro256PlusPlus::seed_from_u64(uint64_t seed) {
  SplitMix64 sm{seed};
  Xoshiro256PlusPlus g{};
  for (uint64_t& word : g.s) word = sm.next_u64();
  return g;
}

}  // namespace tavro
