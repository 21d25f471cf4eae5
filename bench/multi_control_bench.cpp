// The multi-controlled gates through the state's own operations, on slot sets the general walk
// tells apart: runs of one amplitude (every slot low), lowest involved slot 2 (runs of one
// line), every slot in the middle of the register, and the top slot among the controls (one
// block, so the runs are divided among the workers). A fresh state has every slot live, so a
// qubit is its slot here.
//
// What each gate has to move, on a large state against the streaming pass: with k controls and
// one target 2^-k of the buffer (about 0.25 for two controls, 0.125 for three), with one control
// and two targets half of it. Runs of one amplitude touch every line, so the low rows read and
// write everything; at lowest slot 2 the hardware fetches the other line of an aligned pair too.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "par/plan.hpp"
#include "par/pool.hpp"
#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

// Controls and targets (one, or q1 and q2) as slots of an n-qubit state; unused entries are
// ignored.
struct Slots {
  std::array<size_t, 3> controls;
  size_t num_controls;
  std::array<size_t, 2> targets;
};

struct Config {
  const char* name;
  Slots (*slots)(uint32_t n);
};

// One target.
const Config ONE_TARGET[] = {
    {"c2_low",
     [](uint32_t) {
       return Slots{{0, 1}, 2, {2}};
     }},
    {"c2_2",
     [](uint32_t) {
       return Slots{{2, 5}, 2, {8}};
     }},
    {"c2_mid",
     [](uint32_t n) {
       return Slots{{n / 2 - 3, n / 2 + 2}, 2, {n / 2}};
     }},
    {"c2_top",
     [](uint32_t n) {
       return Slots{{4, n - 1}, 2, {9}};
     }},
    {"c3_2",
     [](uint32_t) {
       return Slots{{2, 5, 11}, 3, {8}};
     }},
    {"c3_mid",
     [](uint32_t n) {
       return Slots{{n / 2 - 3, n / 2, n / 2 + 3}, 3, {n / 2 + 1}};
     }},
    {"c3_top",
     [](uint32_t n) {
       return Slots{{4, 9, n - 1}, 3, {6}};
     }},
};
// Two targets, q1 above q2 and below it.
const Config TWO_TARGETS[] = {
    {"c1_low",
     [](uint32_t) {
       return Slots{{1}, 1, {0, 2}};
     }},
    {"c1_2",
     [](uint32_t) {
       return Slots{{5}, 1, {2, 8}};
     }},
    {"c1_mid",
     [](uint32_t n) {
       return Slots{{n / 2}, 1, {n / 2 + 3, n / 2 - 2}};
     }},
    {"c1_top",
     [](uint32_t n) {
       return Slots{{n - 1}, 1, {9, 3}};
     }},
    {"c2_mid",
     [](uint32_t n) {
       return Slots{{n / 2 - 3, n / 2 + 2}, 2, {n / 2, n / 2 + 4}};
     }},
};

// A unitary 2x2 (H with a phase on its second column) and a unitary 4x4 (H x H times four phases),
// no zero entry: thousands of iterations on one state neither overflow nor sink into subnormals.
constexpr double R = 0.7071067811865476;
const std::array<Amp, 4> U2{Amp(R, 0), Amp(R, 0), Amp(0.6 * R, 0.8 * R), Amp(-0.6 * R, -0.8 * R)};
std::array<Amp, 16> dense_unitary() {
  constexpr double PHI[4] = {0.3, 1.1, -0.7, 2.3};
  std::array<Amp, 16> m;
  for (size_t c = 0; c < 4; ++c) {
    for (size_t r = 0; r < 4; ++r) {
      const double sign = std::popcount(r & c) % 2 == 0 ? 0.5 : -0.5;
      m[r + 4 * c] = Amp(sign * std::cos(PHI[c]), sign * std::sin(PHI[c]));
    }
  }
  return m;
}

struct Gate {
  const char* name;
  bool two_targets;
  void (*apply)(TavroSV& sv, const Slots& s);
};

std::span<const size_t> controls_of(const Slots& s) {
  return std::span(s.controls).first(s.num_controls);
}

const Gate GATES[] = {
    {"mcx", false,
     [](TavroSV& sv, const Slots& s) { (void)sv.apply_mcx(controls_of(s), s.targets[0]); }},
    {"c1q", false,
     [](TavroSV& sv, const Slots& s) {
       (void)sv.apply_controlled_gate_1q(U2, controls_of(s), s.targets[0]);
     }},
    {"c2q", true,
     [](TavroSV& sv, const Slots& s) {
       static const std::array<Amp, 16> m = dense_unitary();
       (void)sv.apply_controlled_gate_2q(m, controls_of(s), s.targets[0], s.targets[1]);
     }},
};

// "controls -> targets Regime pieces": the slots and the cut of the group runner (the one-control
// rows of mcx and c1q would take the two-qubit kernels; none is registered).
std::string label(const Gate& g, const Slots& s, uint32_t n) {
  uint64_t all = 0;
  std::string text;
  for (const size_t c : controls_of(s)) {
    all |= uint64_t{1} << c;
    text += std::to_string(c) + " ";
  }
  text += "->";
  for (size_t k = 0; k < (g.two_targets ? 2u : 1u); ++k) {
    all |= uint64_t{1} << s.targets[k];
    text += ' ';
    text += std::to_string(s.targets[k]);
  }
  const size_t len = size_t{1} << n;
  const size_t block = size_t{2} << (63 - std::countl_zero(all));
  const size_t runs = len >> (std::popcount(all) + std::countr_zero(all));
  const par::Plan p = par::plan_group_runs(len, block, runs, par::NUM_THREADS(), par::MIN_AMPS());
  return text + " " + regime_name(p.regime) + " " + std::to_string(p.pieces);
}

const bool registered = [] {
  for (const Gate& g : GATES) {
    for (const Config& c : g.two_targets ? std::span<const Config>(TWO_TARGETS) : ONE_TARGET) {
      add_state_bench(
          std::string("mc/") + g.name + "/" + c.name, Against::Stream,
          [&g, &c](TavroSV& sv) { g.apply(sv, c.slots(sv.num_qubits())); },
          [&g, &c](uint32_t n) { return label(g, c.slots(n), n); });
    }
  }
  return true;
}();

}  // namespace
}  // namespace tavro::bench
