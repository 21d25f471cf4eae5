// Every one-qubit gate family through the state's own operations, on the slots whose paths
// differ: 0, 1 and 2 (fixed-group bodies), 3 (the pair walker's shortest runs), the middle
// slot (whole blocks) and the top slot (one block split across the pool; X keeps it whole on
// the caller's thread). The diagonal gates S, T and P share one body; Sdg and Tdg differ from S
// and T only in a sign, so they have no rows of their own.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "baseline.hpp"
#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

using Op = void (*)(TavroSV& sv, size_t slot);

// A unitary with no zero, real or repeated entry, so the dense body takes no easy path the
// compiler could find; column-major [U00, U10, U01, U11], built as U(1.1, 0.4, -0.9).
std::array<Amp, 4> dense_matrix() {
  const double c = std::cos(0.55), s = std::sin(0.55);
  const Amp ep = std::polar(1.0, 0.4), el = std::polar(1.0, -0.9), epl = std::polar(1.0, -0.5);
  return {Amp(c, 0.0), ep * s, -el * s, epl * c};
}

struct Gate {
  const char* name;
  Op op;
};

// Angles with every sine and cosine away from 0 and 1, so no product is trivial.
const std::array<Gate, 14> GATES{{
    {"h", [](TavroSV& sv, size_t t) { (void)sv.apply_h(t); }},
    {"x", [](TavroSV& sv, size_t t) { (void)sv.apply_x(t); }},
    {"y", [](TavroSV& sv, size_t t) { (void)sv.apply_y(t); }},
    {"z", [](TavroSV& sv, size_t t) { (void)sv.apply_z(t); }},
    {"s", [](TavroSV& sv, size_t t) { (void)sv.apply_s(t); }},
    {"t", [](TavroSV& sv, size_t t) { (void)sv.apply_t(t); }},
    {"p", [](TavroSV& sv, size_t t) { (void)sv.apply_p(0.3, t); }},
    {"rx", [](TavroSV& sv, size_t t) { (void)sv.apply_rx(0.3, t); }},
    {"ry", [](TavroSV& sv, size_t t) { (void)sv.apply_ry(0.3, t); }},
    {"rz", [](TavroSV& sv, size_t t) { (void)sv.apply_rz(0.3, t); }},
    {"sx", [](TavroSV& sv, size_t t) { (void)sv.apply_sx(t); }},
    {"u", [](TavroSV& sv, size_t t) { (void)sv.apply_u(0.3, 0.5, 0.7, t); }},
    {"dense",
     [](TavroSV& sv, size_t t) {
       static const std::array<Amp, 4> m = dense_matrix();
       (void)sv.apply_gate_1q(m, t);
     }},
    {"sdg", [](TavroSV& sv, size_t t) { (void)sv.apply_sdg(t); }},
}};

struct Slot {
  const char* name;
  size_t (*of)(uint32_t n);
};

const std::array<Slot, 6> SLOTS{{
    {"t0", [](uint32_t) -> size_t { return 0; }},
    {"t1", [](uint32_t) -> size_t { return 1; }},
    {"t2", [](uint32_t) -> size_t { return 2; }},
    {"t3", [](uint32_t) -> size_t { return 3; }},
    {"mid", [](uint32_t n) -> size_t { return n / 2; }},
    {"top", [](uint32_t n) -> size_t { return n - 1; }},
}};

// The fastest single-piece streaming pass (on the caller's thread, whatever the pool) over `a`,
// once per qubit count: X on the top slot runs on the caller's thread by design, so its fair
// reference is this pass, which it gets as the counter ratio_seq.
double sequential_stream(std::span<Amp> a) {
  static std::map<size_t, double> cache;
  auto it = cache.find(a.size());
  if (it != cache.end()) return it->second;
  const Amp c = stream_factor();
  stream_pass(a, c, 1);  // untimed: the first pass settles caches and clocks
  double best = std::numeric_limits<double>::infinity();
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    stream_pass(a, c, 1);
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return cache.emplace(a.size(), best).first->second;
}

void gate_on_slot(benchmark::State& st, uint32_t n, Op op, size_t (*slot_of)(uint32_t),
                  bool seq_ratio) {
  RatioTimer timer(st, n, Against::Stream);
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return;
  }
  fill_uniform(sv->amps());
  const size_t t = slot_of(n);
  op(*sv, t);  // untimed, as in add_state_bench
  for (auto _ : st) timer.time([&] { op(*sv, t); });
  timer.report();
  if (seq_ratio) st.counters["ratio_seq"] = timer.best_seconds() / sequential_stream(sv->amps());
}

const bool registered = [] {
  for (const Gate& g : GATES) {
    for (const Slot& s : SLOTS) {
      const bool seq = std::string(g.name) == "x" && std::string(s.name) == "top";
      add_bench(std::string("gate1q/") + g.name + "_" + s.name,
                [op = g.op, of = s.of, seq](benchmark::State& st, uint32_t n) {
                  gate_on_slot(st, n, op, of, seq);
                });
    }
  }
  return true;
}();

}  // namespace
}  // namespace tavro::bench
