#include "rng.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tavro {
namespace {

struct StreamCase {
  std::string name;
  uint64_t state[4];
  std::vector<uint64_t> outputs;
};

// Published reference outputs of each algorithm.
std::vector<StreamCase> xoshiro_cases() {
  return {
      {"State1234",
       {1, 2, 3, 4},
       {41943041ull, 58720359ull, 3588806011781223ull, 3591011842654386ull, 9228616714210784205ull,
        9973669472204895162ull, 14011001112246962877ull, 12406186145184390807ull,
        15849039046786891736ull, 10450023813501588000ull}},
  };
}

class XoshiroReferenceTest : public testing::TestWithParam<StreamCase> {};

TEST_P(XoshiroReferenceTest, Outputs) {
  const StreamCase& c = GetParam();
  Xoshiro256PlusPlus g{{c.state[0], c.state[1], c.state[2], c.state[3]}};
  for (size_t i = 0; i < c.outputs.size(); ++i) EXPECT_EQ(g.next_u64(), c.outputs[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Reference, XoshiroReferenceTest, testing::ValuesIn(xoshiro_cases()),
                         [](const testing::TestParamInfo<StreamCase>& info) {
                           return info.param.name;
                         });

struct SplitMixCase {
  std::string name;
  uint64_t state;
  std::vector<uint64_t> outputs;
};

const SplitMixCase SPLITMIX_CASES[] = {
    {"State1234567",
     1234567,
     {6457827717110365317ull, 3203168211198807973ull, 9817491932198370423ull,
      4593380528125082431ull, 16408922859458223821ull}},
    {"State0",
     0,
     {0xe220a8397b1dcdafull, 0x6e789e6aa1b965f4ull, 0x06c45d188009454full, 0xf88bb8a8724c81ecull}},
};

class SplitMixReferenceTest : public testing::TestWithParam<SplitMixCase> {};

TEST_P(SplitMixReferenceTest, Outputs) {
  const SplitMixCase& c = GetParam();
  SplitMix64 sm{c.state};
  for (size_t i = 0; i < c.outputs.size(); ++i) EXPECT_EQ(sm.next_u64(), c.outputs[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Reference, SplitMixReferenceTest, testing::ValuesIn(SPLITMIX_CASES),
                         [](const testing::TestParamInfo<SplitMixCase>& info) {
                           return info.param.name;
                         });

const uint64_t SEEDS[] = {
    0, 1, 42, 1234567, 0x9e3779b97f4a7c15ull, std::numeric_limits<uint64_t>::max()};

class SeededTest : public testing::TestWithParam<uint64_t> {};

// Both faces seed the same way, so the state words must be exactly the expansion's first four
// outputs, in order.
TEST_P(SeededTest, SeedIsFourSplitMixOutputs) {
  SplitMix64 sm{GetParam()};
  const Xoshiro256PlusPlus g = Xoshiro256PlusPlus::seed_from_u64(GetParam());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(g.s[i], sm.next_u64()) << i;
}

// A uniform draw consumes exactly one output and keeps its top 53 bits.
TEST_P(SeededTest, F64IsTop53BitsOfOneOutput) {
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::seed_from_u64(GetParam());
  Xoshiro256PlusPlus twin = g;
  for (int i = 0; i < 2000; ++i) {
    const double u = g.next_f64();
    const double expected = std::ldexp(static_cast<double>(twin.next_u64() >> 11), -53);
    ASSERT_EQ(std::bit_cast<uint64_t>(u), std::bit_cast<uint64_t>(expected)) << i;
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
  for (int i = 0; i < 4; ++i) EXPECT_EQ(g.s[i], twin.s[i]);
}

// Copies are independent values: a copied generator replays, the original is not advanced.
TEST_P(SeededTest, CopyReplaysStream) {
  Xoshiro256PlusPlus a = Xoshiro256PlusPlus::seed_from_u64(GetParam());
  const Xoshiro256PlusPlus start = a;
  std::vector<uint64_t> first;
  for (int i = 0; i < 16; ++i) first.push_back(a.next_u64());
  Xoshiro256PlusPlus b = start;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(b.next_u64(), first[i]);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededTest, testing::ValuesIn(SEEDS));

// The largest draw: an output with all top 53 bits set maps to 1 - 2^-53, still below 1.
TEST(RngEdge, LargestDrawBelowOne) {
  // rotl(s0 + s3, 23) + s0 with s0 = 0 and s3 = 2^64 - 1 gives all ones.
  Xoshiro256PlusPlus g{{0, 0, 0, std::numeric_limits<uint64_t>::max()}};
  const double u = g.next_f64();
  EXPECT_EQ(std::bit_cast<uint64_t>(u), std::bit_cast<uint64_t>(1.0 - 0x1.0p-53));
  Xoshiro256PlusPlus z{{0, 0, 0, 0}};
  EXPECT_EQ(std::bit_cast<uint64_t>(z.next_f64()), 0u);
}

}  // namespace
}  // namespace tavro
