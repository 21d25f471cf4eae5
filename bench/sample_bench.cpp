// Measurement and sampling against the baselines: the outcome sums (one read pass), a
// measurement (the sums, then the collapse: a read pass and a streaming pass), and multi-shot
// sampling (the Born index, a read pass, then one search and one block scan per shot).
#include <string>

#include "baseline.hpp"
#include "ratio.hpp"
#include "rng.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

using SlotOf = size_t (*)(uint32_t n);

constexpr SlotOf SLOT0 = [](uint32_t) -> size_t { return 0; };
constexpr SlotOf SLOT1 = [](uint32_t) -> size_t { return 1; };
constexpr SlotOf SLOT2 = [](uint32_t) -> size_t { return 2; };
constexpr SlotOf SLOT3 = [](uint32_t) -> size_t { return 3; };
constexpr SlotOf SLOT_MID = [](uint32_t n) -> size_t { return n / 2; };
constexpr SlotOf SLOT_TOP = [](uint32_t n) -> size_t { return n - 1; };

// Measures one qubit per iteration. A measured qubit is left in |0> or |1>, and measuring it
// again would find a certain outcome on half the buffer already zero; so an untimed H puts it
// back in an equal superposition before the next measurement, and every timed measurement
// finds the same kind of state: a uniform magnitude, half of it collapsed away.
void measure(benchmark::State& st, uint32_t n, SlotOf slot_of) {
  RatioTimer timer(st, n, Against::StreamAndRead);
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return;
  }
  fill_uniform(sv->amps());
  const size_t q = slot_of(n);
  auto rng = Xoshiro256PlusPlus::seed_from_u64(7);
  (void)sv->apply_h(q);
  for (auto _ : st) {
    timer.time([&] { benchmark::DoNotOptimize(sv->measure_qubit(q, rng)); });
    (void)sv->apply_h(q);
  }
  timer.report();
}

// `shots` shots per iteration from a touched uniform state. Besides the ratios, ns_per_shot
// is the time beyond one read pass (the Born index needs one) per shot.
void shots(benchmark::State& st, uint32_t n, size_t nshots) {
  RatioTimer timer(st, n, Against::StreamAndRead);
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return;
  }
  fill_uniform(sv->amps());
  auto rng = Xoshiro256PlusPlus::seed_from_u64(11);
  (void)sv->sample(nshots, rng);  // untimed, as in add_state_bench
  for (auto _ : st) {
    timer.time([&] {
      auto rows = sv->sample(nshots, rng);
      benchmark::DoNotOptimize(rows->data());
    });
  }
  timer.report();
  st.counters["ns_per_shot"] =
      (timer.best_seconds() - timer.read_seconds()) * 1e9 / static_cast<double>(nshots);
}

const bool registered = [] {
  const auto add_prob = [](const char* name, SlotOf slot_of) {
    add_state_bench(std::string("sample/prob_zero_") + name, Against::StreamAndRead,
                    [slot_of](TavroSV& sv) {
                      const size_t q = slot_of(static_cast<uint32_t>(sv.num_qubits()));
                      benchmark::DoNotOptimize(sv.prob_zero(q));
                    });
  };
  add_prob("t0", SLOT0);
  add_prob("t1", SLOT1);
  add_prob("t2", SLOT2);
  add_prob("t3", SLOT3);
  add_prob("mid", SLOT_MID);
  add_prob("top", SLOT_TOP);
  const auto add_measure = [](const char* name, SlotOf slot_of) {
    add_bench(std::string("sample/measure_") + name,
              [slot_of](benchmark::State& st, uint32_t n) { measure(st, n, slot_of); });
  };
  add_measure("t0", SLOT0);
  add_measure("t1", SLOT1);
  add_measure("t2", SLOT2);
  add_measure("t3", SLOT3);
  add_measure("mid", SLOT_MID);
  add_measure("top", SLOT_TOP);
  add_bench("sample/shots_1000", [](benchmark::State& st, uint32_t n) { shots(st, n, 1000); });
  add_bench("sample/shots_1e6", [](benchmark::State& st, uint32_t n) { shots(st, n, 1000000); });
  return true;
}();

}  // namespace
}  // namespace tavro::bench
