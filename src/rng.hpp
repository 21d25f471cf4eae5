#pragma once

#include <cstdint>

namespace tavro {

// SplitMix64: the expansion that seeds the generator from one 64-bit value.
struct SplitMix64 {
  uint64_t state;

  uint64_t next_u64() {
    state += 0x9e3779b97f4a7c15;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
};

// Xoshiro256++, seeded by four SplitMix64 outputs. Every stochastic choice draws from it.
// The steps are inline: sampling and trajectory loops draw once per iteration.
struct Xoshiro256PlusPlus {
  uint64_t s[4];

  // s[0..3] are the first four outputs of a SplitMix64 whose state is `seed`.
  static Xoshiro256PlusPlus seed_from_u64(uint64_t seed);

  uint64_t next_u64() {
    const uint64_t result = rotl(s[0] + s[3], 23) + s[0];
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }

  // The top 53 bits of the next output times 2^-53, in [0, 1).
  double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

}  // namespace tavro
