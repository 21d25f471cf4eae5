// Every two-qubit gate through the state's own operations, on every class of slot pair the
// kernels tell apart: the fixed groups {0, 1}, {0, 2}, {1, 2}; one low and one high slot; two
// middle slots; lower slot 2 with a small upper slot (one vector per role run, many high
// blocks); and the two ends of the register, (0, n-1) and (n-2, n-1). A fresh state has every
// slot live, so a qubit is its slot here. The controlled gates take the lower slot as control
// on all pairs but the fixed groups, where both orders are run.
//
// What each gate has to move, on a large state against the streaming pass (the label gives the
// cut the quartet walk chose):
//   CX, CY, CRX, CRY, CRZ  the control-1 half: about 0.5 once both slots are >= 3;
//   CZ, CP                 a quarter (a3): about 0.25 from lower slot 3 up;
//   SWAP, iSWAP            half (a1 and a2);
//   RZZ, RXX, RYY, dense   everything: about 1.
// Below lower slot 2 a role's run is shorter than a line, so every line is read and written
// whatever the gate touches. At lower slot 2 a run is one line and the hardware fetches the
// other line of each aligned pair with it: CZ on (2, 3) measured about 0.4, not 0.25.
#include <array>
#include <cmath>
#include <string>

#include "baseline.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"
#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

// A slot pair from the qubit count; `first` is the control of the controlled gates.
struct Pair {
  const char* name;
  size_t (*first)(uint32_t n);
  size_t (*second)(uint32_t n);
  bool fixed_group;  // {0, 1}, {0, 2}, {1, 2}: CX, CZ and SWAP run group bodies there
};

template <size_t K>
size_t at(uint32_t) {
  return K;
}
size_t mid_lo(uint32_t n) { return n / 2 - 1; }
size_t mid_hi(uint32_t n) { return n / 2 + 2; }
size_t top(uint32_t n) { return n - 1; }
size_t below_top(uint32_t n) { return n - 2; }
size_t top3(uint32_t n) { return n - 3; }

const Pair PAIRS[] = {
    {"01", at<0>, at<1>, true},     {"10", at<1>, at<0>, true},     {"02", at<0>, at<2>, true},
    {"20", at<2>, at<0>, true},     {"12", at<1>, at<2>, true},     {"21", at<2>, at<1>, true},
    {"1_high", at<1>, top3, false}, {"mid", mid_lo, mid_hi, false}, {"2_3", at<2>, at<3>, false},
    {"2_5", at<2>, at<5>, false},   {"0_top", at<0>, top, false},   {"top2", below_top, top, false},
};

// A gate on the two slots of a pair. The angles are arbitrary; every gate is unitary, so
// thousands of iterations on one state neither overflow nor sink into subnormals.
struct Gate {
  const char* name;
  bool has_fixed_groups;  // CX, CZ, SWAP
  bool ordered;           // the order of the two slots changes what the gate does
  void (*apply)(TavroSV& sv, size_t a, size_t b);
};

// A dense unitary with no zero entry: (H x H) times a diagonal of four phases,
// m[r + 4c] = (-1)^popcount(r & c) / 2 * e^(i phi_c).
std::array<Amp, 16> dense_unitary() {
  constexpr double PHI[4] = {0.3, 1.1, -0.7, 2.3};
  std::array<Amp, 16> m;
  for (size_t c = 0; c < 4; ++c) {
    for (size_t r = 0; r < 4; ++r) {
      const double sign = (__builtin_popcountll(r & c) % 2 == 0) ? 0.5 : -0.5;
      m[r + 4 * c] = Amp(sign * std::cos(PHI[c]), sign * std::sin(PHI[c]));
    }
  }
  return m;
}

const Gate GATES[] = {
    {"cx", true, true, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_cx(a, b); }},
    {"cy", false, true, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_cy(a, b); }},
    {"cz", true, false, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_cz(a, b); }},
    {"cp", false, false, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_cp(0.37, a, b); }},
    {"crx", false, true, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_crx(0.37, a, b); }},
    {"cry", false, true, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_cry(0.37, a, b); }},
    {"crz", false, true, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_crz(0.37, a, b); }},
    {"swap", true, false, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_swap(a, b); }},
    {"iswap", false, false, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_iswap(a, b); }},
    {"rxx", false, false, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_rxx(0.37, a, b); }},
    {"ryy", false, false, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_ryy(0.37, a, b); }},
    {"rzz", false, false, [](TavroSV& sv, size_t a, size_t b) { (void)sv.apply_rzz(0.37, a, b); }},
    {"dense", false, true,
     [](TavroSV& sv, size_t a, size_t b) {
       static const std::array<Amp, 16> m = dense_unitary();
       (void)sv.apply_gate_2q(m, a, b);
     }},
};

// "a,b Regime pieces x jobs": the slots and the cut of the quartet walk (or of the chunked
// runner for the group bodies).
std::string label(const Gate& g, const Pair& p, uint32_t n, size_t a, size_t b) {
  const size_t lo = a < b ? a : b;
  const size_t hi = a < b ? b : a;
  const size_t len = size_t{1} << n;
  const par::Plan plan =
      g.has_fixed_groups && p.fixed_group
          ? par::plan_runner(len, hi == 1 ? 4 : 8, par::NUM_THREADS(), par::MIN_AMPS())
          : par::plan_quartets(len, size_t{1} << lo, size_t{1} << hi, par::NUM_THREADS(),
                               par::MIN_AMPS());
  return std::to_string(a) + "," + std::to_string(b) + " " + regime_name(plan.regime) + " " +
         std::to_string(plan.pieces) + "x" + std::to_string(plan.jobs);
}

void gate_on_pair(benchmark::State& st, uint32_t n, const Gate& g, const Pair& p) {
  RatioTimer timer(st, n, Against::Stream);
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return;
  }
  fill_uniform(sv->amps());
  const size_t a = p.first(n);
  const size_t b = p.second(n);
  g.apply(*sv, a, b);  // untimed, as in add_state_bench
  for (auto _ : st) timer.time([&] { g.apply(*sv, a, b); });
  timer.report();
  st.SetLabel(label(g, p, n, a, b));
}

const bool registered = [] {
  for (const Gate& g : GATES) {
    for (const Pair& p : PAIRS) {
      // The reversed fixed groups only where the order of the slots matters.
      const bool reversed = p.first(20) > p.second(20);
      if (reversed && !g.ordered) continue;
      add_bench(std::string("2q/") + g.name + "/" + p.name,
                [&g, &p](benchmark::State& st, uint32_t n) { gate_on_pair(st, n, g, p); });
    }
  }
  return true;
}();

}  // namespace
}  // namespace tavro::bench
