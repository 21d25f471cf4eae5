#include "rng.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace tavro {
namespace {

// Published reference outputs of both algorithms.
TEST(RngReference, Outputs) {
  Xoshiro256PlusPlus g{{1, 2, 3, 4}};
  for (const uint64_t want :
       {41943041ull, 58720359ull, 3588806011781223ull, 3591011842654386ull, 9228616714210784205ull,
        9973669472204895162ull, 14011001112246962877ull, 12406186145184390807ull,
        15849039046786891736ull, 10450023813501588000ull})
    EXPECT_EQ(g.next_u64(), want);
  SplitMix64 sm{1234567};
  for (const uint64_t want : {6457827717110365317ull, 3203168211198807973ull,
                              9817491932198370423ull, 4593380528125082431ull})
    EXPECT_EQ(sm.next_u64(), want);
}

class SeededTest : public testing::TestWithParam<uint64_t> {};

// Both faces seed the same way: the state is the expansion's first four outputs, in order;
// a uniform draw consumes exactly one output and keeps its top 53 bits.
TEST_P(SeededTest, SeedAndDraws) {
  SplitMix64 sm{GetParam()};
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::seed_from_u64(GetParam());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(g.s[i], sm.next_u64()) << i;
  Xoshiro256PlusPlus twin = g;
  for (int i = 0; i < 1000; ++i) {
    const double expected = std::ldexp(static_cast<double>(twin.next_u64() >> 11), -53);
    ASSERT_EQ(std::bit_cast<uint64_t>(g.next_f64()), std::bit_cast<uint64_t>(expected)) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededTest,
                         testing::Values(0, 42, std::numeric_limits<uint64_t>::max()));

// An output with all top 53 bits set (s0 = 0, s3 = 2^64 - 1) maps to 1 - 2^-53, still below 1.
TEST(RngEdge, ExtremeDraws) {
  Xoshiro256PlusPlus g{{0, 0, 0, std::numeric_limits<uint64_t>::max()}};
  EXPECT_EQ(std::bit_cast<uint64_t>(g.next_f64()), std::bit_cast<uint64_t>(1.0 - 0x1.0p-53));
  Xoshiro256PlusPlus z{{0, 0, 0, 0}};
  EXPECT_EQ(std::bit_cast<uint64_t>(z.next_f64()), 0u);
}

}  // namespace
}  // namespace tavro
