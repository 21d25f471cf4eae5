#pragma once

// Generators with a chosen next draw, and the check that a generator took exactly k steps: the
// draw counts of every stochastic operation are part of its behaviour.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "rng.hpp"

namespace tavro::draws {

// A generator whose next draw is exactly u (a multiple of 2^-53): with s0 = 0 the output is
// rotl(s3, 23); s1 and s2 keep the stream alive after it.
inline Xoshiro256PlusPlus drawing(double u) {
  const uint64_t out = static_cast<uint64_t>(std::ldexp(u, 53)) << 11;
  return Xoshiro256PlusPlus{{0, 0x9E3779B97F4A7C15, 0x6A09E667F3BCC909, std::rotr(out, 23)}};
}

// Whether `now` is `start` advanced by exactly k steps.
inline bool advanced_by(const Xoshiro256PlusPlus& now, Xoshiro256PlusPlus start, size_t k) {
  for (size_t i = 0; i < k; ++i) start.next_u64();
  return std::memcmp(now.s, start.s, sizeof now.s) == 0;
}

}  // namespace tavro::draws
