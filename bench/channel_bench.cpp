// Noise channels against the baselines. A one-qubit Kraus channel is one read-only sweep that
// weighs every operator on the caller's thread, then the gate and the renormalisation (two
// streaming passes on the pool): besides the ratios it reports ratio_budget, its time over one
// single-threaded read-only pass plus two streaming passes (dense complex operators, and real
// ones, whose weights need fewer products). A two-qubit Kraus channel weighs each operator on a
// scratch copy (copy, gate, squared norm), then applies the chosen one and renormalises; it
// holds two buffers at its peak. A mixed-unitary channel is its gate plus one selection: its
// ratio is the gate's, and us_over_gate its time beyond the same gate's on a small state, in
// microseconds.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "baseline.hpp"
#include "ratio.hpp"
#include "rng.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

using SlotOf = size_t (*)(uint32_t n);

constexpr SlotOf SLOT0 = [](uint32_t) -> size_t { return 0; };
constexpr SlotOf SLOT_MID = [](uint32_t n) -> size_t { return n / 2; };
constexpr SlotOf SLOT_TOP = [](uint32_t n) -> size_t { return n - 1; };

// d x d unitaries with no zero entry, each scaled by sqrt(1 / count): a complete set of Kraus
// operators whose weights stay near 1 / count on any state, so repeated application keeps the
// magnitudes away from subnormals. Entry (r, c) = e^(i 2 pi (r c + k (r + c)) / d) / sqrt(d).
std::vector<Amp> scaled_unitaries(size_t d, size_t count) {
  std::vector<Amp> ops;
  const double scale = 1.0 / std::sqrt(static_cast<double>(d * count));
  for (size_t k = 0; k < count; ++k) {
    for (size_t c = 0; c < d; ++c) {
      for (size_t r = 0; r < d; ++r) {
        const double phase =
            2.0 * M_PI * static_cast<double>(r * c + k * (r + c) + 1) / static_cast<double>(d);
        ops.push_back(std::polar(scale, phase));
      }
    }
  }
  return ops;
}

template <class F>
double seconds_of(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A static n-qubit state with every amplitude written, so no page fault is timed; none, with
// the run marked skipped, when it cannot be reserved.
std::optional<TavroSV> touched_state(benchmark::State& st, uint32_t n) {
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return std::nullopt;
  }
  fill_uniform(sv->amps());
  return std::move(*sv);
}

// Real rotations [[c, -s], [s, c]] scaled by sqrt(1 / count): the real operators of the usual
// noise models, whose weights take the shorter products.
std::vector<Amp> scaled_rotations(size_t count) {
  std::vector<Amp> ops;
  const double scale = 1.0 / std::sqrt(static_cast<double>(count));
  for (size_t k = 0; k < count; ++k) {
    const double c = std::cos(0.3 + static_cast<double>(k)),
                 s = std::sin(0.3 + static_cast<double>(k));
    for (const double x : {c, s, -s, c}) ops.push_back(Amp(scale * x, 0.0));
  }
  return ops;
}

void kraus_1q(benchmark::State& st, uint32_t n, size_t count, SlotOf slot_of, bool real) {
  RatioTimer timer(st, n, Against::StreamAndRead);
  auto sv = touched_state(st, n);
  if (!sv) return;
  const std::vector<Amp> ops = real ? scaled_rotations(count) : scaled_unitaries(2, count);
  const size_t q = slot_of(n);
  auto rng = Xoshiro256PlusPlus::seed_from_u64(5);
  (void)sv->apply_kraus_1q(ops, q, rng);
  // The budget's passes run on the state itself right after each iteration, so drift cancels:
  // a single-piece read-only pass and a streaming pass (a unit-modulus factor, which leaves the
  // weights' scale alone).
  std::vector<double> ratios;
  for (auto _ : st) {
    double it = 0.0;
    timer.time([&] {
      it = seconds_of([&] { benchmark::DoNotOptimize(sv->apply_kraus_1q(ops, q, rng)); });
    });
    const double read =
        seconds_of([&] { benchmark::DoNotOptimize(read_pass(sv->amplitudes(), 1)); });
    const double stream = seconds_of([&] { baseline_stream_pass(sv->amps(), stream_factor()); });
    ratios.push_back(it / (read + 2.0 * stream));
  }
  timer.report();
  std::sort(ratios.begin(), ratios.end());
  if (!ratios.empty()) st.counters["ratio_budget"] = ratios[ratios.size() / 2];
}

void kraus_2q(benchmark::State& st, uint32_t n, size_t count) {
  RatioTimer timer(st, n, Against::Stream);
  auto sv = touched_state(st, n);
  if (!sv) return;
  const std::vector<Amp> ops = scaled_unitaries(4, count);
  auto rng = Xoshiro256PlusPlus::seed_from_u64(6);
  const size_t q1 = n / 2, q2 = 1;
  (void)sv->apply_kraus_2q(ops, q1, q2, rng);
  for (auto _ : st) {
    timer.time([&] { benchmark::DoNotOptimize(sv->apply_kraus_2q(ops, q1, q2, rng)); });
  }
  timer.report();
  // The state and one scratch copy, whatever the operator count.
  st.counters["peak_buffers"] = 2.0;
}

// The channel and its bare gate on `sv`, as two callables.
template <size_t D>
struct MixedPair {
  std::vector<Amp> us = scaled_unitaries(D, 4);
  std::vector<double> probs{0.4, 0.3, 0.2, 0.1};
  std::array<Amp, D * D> gate;
  Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::seed_from_u64(8);

  MixedPair() { std::copy_n(us.begin(), D * D, gate.begin()); }
  auto channel(TavroSV& sv, size_t q1, size_t q2) {
    if constexpr (D == 2) {
      return sv.apply_mixed_unitary_1q(us, probs, q1, rng);
    } else {
      return sv.apply_mixed_unitary_2q(us, probs, q1, q2, rng);
    }
  }
  auto bare(TavroSV& sv, size_t q1, size_t q2) {
    if constexpr (D == 2) {
      return sv.apply_gate_1q(gate, q1);
    } else {
      return sv.apply_gate_2q(gate, q1, q2);
    }
  }
};

// The time of the channel beyond its gate in microseconds, on a 6-qubit state where a call
// costs about a microsecond: the mean of many calls of each, alternating in batches.
template <size_t D>
double us_over_gate() {
  static const double cached = [] {
    constexpr int BATCH = 1000, ROUNDS = 50;
    TavroSV sv = TavroSV::zero(6).value();
    MixedPair<D> m;
    double channel = 0.0, bare = 0.0;
    for (int r = 0; r < ROUNDS; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < BATCH; ++i) benchmark::DoNotOptimize(m.channel(sv, 3, 1));
      const auto t1 = std::chrono::steady_clock::now();
      for (int i = 0; i < BATCH; ++i) benchmark::DoNotOptimize(m.bare(sv, 3, 1));
      const auto t2 = std::chrono::steady_clock::now();
      channel += std::chrono::duration<double>(t1 - t0).count();
      bare += std::chrono::duration<double>(t2 - t1).count();
    }
    return (channel - bare) / (BATCH * ROUNDS) * 1e6;
  }();
  return cached;
}

template <size_t D>
void mixed_unitary(benchmark::State& st, uint32_t n) {
  RatioTimer timer(st, n, Against::Stream);
  auto sv = touched_state(st, n);
  if (!sv) return;
  MixedPair<D> m;
  for (auto _ : st) timer.time([&] { benchmark::DoNotOptimize(m.channel(*sv, n / 2, 1)); });
  timer.report();
  st.counters["us_over_gate"] = us_over_gate<D>();
}

const bool registered = [] {
  for (const size_t count : {size_t{2}, size_t{4}}) {
    std::string k = "k";
    k += std::to_string(count);
    for (const auto& [name, slot_of] :
         {std::pair{"t0", SLOT0}, std::pair{"mid", SLOT_MID}, std::pair{"top", SLOT_TOP}}) {
      add_bench(std::string("channel/kraus_1q_").append(k).append("_").append(name),
                [count, of = slot_of](benchmark::State& st, uint32_t n) {
                  kraus_1q(st, n, count, of, false);
                });
    }
    add_bench(
        std::string("channel/kraus_1q_real_").append(k).append("_mid"),
        [count](benchmark::State& st, uint32_t n) { kraus_1q(st, n, count, SLOT_MID, true); });
    add_bench(std::string("channel/kraus_2q_").append(k),
              [count](benchmark::State& st, uint32_t n) { kraus_2q(st, n, count); });
  }
  add_bench("channel/mixed_unitary_1q", mixed_unitary<2>);
  add_bench("channel/mixed_unitary_2q", mixed_unitary<4>);
  return true;
}();

}  // namespace
}  // namespace tavro::bench
