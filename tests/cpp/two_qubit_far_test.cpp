// Roles 2^28 bytes or more apart (a high slot >= 24 on a state's buffer) go through loops of
// their own: RZZ and CRZ one half, or one role, at a time instead of all roles together; the
// two-role vector bodies of lo = 0 and 1 through a copy of the upper half.
// Such a body call only needs its runs to be there, so each case builds one in a large reservation
// whose untouched pages are never backed, and compares it bit for bit with the same call on the
// same values laid out close together, where the ordinary loops run.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "aligned_buffer.hpp"
#include "amp.hpp"
#include "gates/kernels/two_qubit.hpp"

namespace tavro::kernels {
namespace {

constexpr size_t P2(size_t k) { return size_t{1} << k; }
constexpr size_t FAR = P2(24);  // amplitudes: 2^28 bytes

enum class FarGate { Rzz, CrzCtrlLo, CrzCtrlHi, CxCtrlLo, Swap, Iswap, Ctrl2x2CtrlLo, Dense };

struct FarCase {
  const char* name;
  FarGate gate;
  bool runs;      // lo >= 2: the fused RZZ
  size_t len;     // amplitudes per run (2^lo in a pair call)
  size_t count;   // runs per high block
  size_t blocks;  // high blocks
  bool far_lo;    // a1 lies FAR after a0 (lo >= 24) instead of len after it
};

// Pair and segment layouts (a1 right after a0) reach the whole-low-block loops for len 1 and 2
// and the half-by-half loops from len 4; far_lo reaches the role-by-role loops.
const FarCase CASES[] = {
    {"rzz_lo0", FarGate::Rzz, false, 1, 3000, 1, false},
    {"rzz_lo1_two_blocks", FarGate::Rzz, false, 2, 1500, 2, false},
    {"rzz_lo2", FarGate::Rzz, true, 4, 2000, 1, false},
    {"rzz_lo2_two_blocks", FarGate::Rzz, true, 4, 700, 2, false},
    {"rzz_lo12", FarGate::Rzz, true, 4096, 3, 1, false},
    {"rzz_lo24", FarGate::Rzz, true, 5000, 1, 1, true},
    {"rzz_lo24_plain", FarGate::Rzz, false, 4100, 1, 1, true},
    {"crz_ctrl_lo_lo0", FarGate::CrzCtrlLo, false, 1, 3000, 1, false},
    {"crz_ctrl_hi_lo0", FarGate::CrzCtrlHi, false, 1, 3000, 1, false},
    {"crz_ctrl_lo_lo1", FarGate::CrzCtrlLo, false, 2, 1500, 2, false},
    {"crz_ctrl_lo_lo2", FarGate::CrzCtrlLo, true, 4, 2000, 1, false},
    {"crz_ctrl_lo_lo12", FarGate::CrzCtrlLo, true, 4096, 3, 2, false},
    {"crz_ctrl_hi_lo24", FarGate::CrzCtrlHi, true, 4100, 1, 1, true},
    // Two-role gates of lo = 0 and 1: the upper half through a buffer, in tiles (the last one
    // shorter). The dense 4x4 keeps its ordinary loop there.
    {"cx_ctrl_lo_lo0", FarGate::CxCtrlLo, false, 1, 1300, 1, false},
    {"swap_lo0_two_blocks", FarGate::Swap, false, 1, 700, 2, false},
    {"iswap_lo1", FarGate::Iswap, false, 2, 900, 1, false},
    {"ctrl2x2_ctrl_lo_lo1", FarGate::Ctrl2x2CtrlLo, false, 2, 1100, 1, false},
    {"dense_lo0", FarGate::Dense, false, 1, 1300, 1, false},
    {"dense_lo1_two_blocks", FarGate::Dense, false, 2, 600, 2, false},
};

constexpr double ANGLE = 1.2345678901234567;
const std::array<Amp, 4> U2{Amp(0.3, -1.7), Amp(2.5, 0.4), Amp(-0.9, 1.1), Amp(0.6, -0.2)};
const std::array<Amp, 16> M4{
    Amp(0.11, -0.52),  Amp(-1.3, 0.07),  Amp(0.91, 0.33),  Amp(-0.25, -0.75),
    Amp(0.6, 1.2),     Amp(-0.41, 0.19), Amp(0.05, -0.97), Amp(1.7, 0.29),
    Amp(-0.83, -0.14), Amp(0.37, 0.62),  Amp(-1.1, 0.88),  Amp(0.23, -0.31),
    Amp(0.71, 0.01),   Amp(-0.09, -1.4), Amp(0.44, 0.56),  Amp(-0.66, 0.93)};

void run_gate(FarGate g, bool simd, bool runs, const QuartetRuns& q) {
  const double c = std::cos(ANGLE * 0.5), s = std::sin(ANGLE * 0.5);
  switch (g) {
    case FarGate::Rzz:
      return apply_rzz_runs(simd, runs, q, c, s);
    case FarGate::CrzCtrlLo:
      return apply_crz_runs(simd, runs, q, true, c, s);
    case FarGate::CrzCtrlHi:
      return apply_crz_runs(simd, runs, q, false, c, s);
    case FarGate::CxCtrlLo:
      return apply_cx_runs(simd, runs, q, true);
    case FarGate::Swap:
      return apply_swap_runs(simd, runs, q);
    case FarGate::Iswap:
      return apply_iswap_runs(simd, runs, q);
    case FarGate::Ctrl2x2CtrlLo:
      return apply_ctrl_2x2_runs(simd, runs, q, true, U2);
    case FarGate::Dense:
      return apply_2q_runs(simd, runs, q, M4);
  }
}

// The runs of a case at `base`: a1 `lo_dist` after a0, a2 `hi_dist` after a0, high blocks
// `block_stride` apart.
QuartetRuns layout(const FarCase& c, Amp* base, size_t lo_dist, size_t hi_dist,
                   size_t block_stride) {
  const size_t stride = c.far_lo ? c.len : 2 * c.len;
  return {base,    base + lo_dist, base + hi_dist, base + hi_dist + lo_dist, c.len, stride,
          c.count, c.blocks,       block_stride};
}

Amp* role(const QuartetRuns& q, int k) {
  return k == 0 ? q.r0 : k == 1 ? q.r1 : k == 2 ? q.r2 : q.r3;
}

// f(run of role k of far, the same run of near) for every run of every role.
template <class F>
void for_each_run(const QuartetRuns& far, const QuartetRuns& near, const F& f) {
  for (size_t h = 0; h < far.blocks; ++h) {
    for (size_t i = 0; i < far.count; ++i) {
      for (int k = 0; k < 4; ++k) {
        f(role(far, k) + h * far.block_stride + i * far.stride,
          role(near, k) + h * near.block_stride + i * near.stride);
      }
    }
  }
}

class FarRoles : public testing::TestWithParam<FarCase> {};

TEST_P(FarRoles, SameBitsAsRolesCloseTogether) {
  const FarCase& c = GetParam();
  // Far: a2 FAR after a0 (and a1 FAR after a0 with far_lo), blocks 4 FAR apart. Near: every
  // role right after the previous one's runs.
  const size_t extent = (c.far_lo ? c.len : 2 * c.len) * c.count;  // a0 (and a1) runs
  AmpBuffer far_buf = AmpBuffer::reserve(4 * FAR * c.blocks);
  ASSERT_TRUE(far_buf.ok());
  std::vector<Amp> near_buf(8 * extent * c.blocks);
  for (bool simd : {false, true}) {
    SCOPED_TRACE(simd ? "simd" : "portable");
    const size_t lo_far = c.far_lo ? FAR : c.len;
    const size_t lo_near = c.far_lo ? extent : c.len;
    const QuartetRuns far = layout(c, far_buf.data(), lo_far, 2 * FAR, 4 * FAR);
    const QuartetRuns near = layout(c, near_buf.data(), lo_near, 2 * extent, 4 * extent);
    std::mt19937_64 gen(c.len * 1000 + c.count);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<Amp> before;
    for_each_run(far, near, [&](Amp* f, Amp* n) {
      for (size_t k = 0; k < c.len; ++k) {
        f[k] = n[k] = Amp(u(gen), u(gen));
        before.push_back(f[k]);
      }
    });
    run_gate(c.gate, simd, c.runs, far);
    run_gate(c.gate, simd, c.runs, near);
    size_t differ = 0, changed = 0, at = 0;
    for_each_run(far, near, [&](Amp* f, Amp* n) {
      differ += std::memcmp(f, n, c.len * sizeof(Amp)) != 0;
      for (size_t k = 0; k < c.len; ++k, ++at)
        changed += std::memcmp(&f[k], &before[at], sizeof(Amp)) != 0;
    });
    EXPECT_EQ(differ, 0u);
    EXPECT_GT(changed, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Bodies, FarRoles, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<FarCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tavro::kernels
