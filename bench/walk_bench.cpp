// The two walkers with a body that does exactly the baseline's work: every amplitude it is
// handed is multiplied by the streaming constant, through the same vector body (inline for
// the runs of fewer than 16 amplitudes that low slots produce). Each amplitude is read and
// written once per walk, so any ratio above 1 is the walker's: its cut, its jobs, and the
// calls it makes into the body. The slots are chosen so that every regime runs.
#include <span>
#include <string>

#include "baseline.hpp"
#include "par/pairs.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"
#include "par/quartets.hpp"
#include "ratio.hpp"

namespace tavro::bench {
namespace {

// "Regime pieces x jobs", so a row says which path it timed.
std::string plan_label(const par::Plan& p) {
  return std::string(regime_name(p.regime)) + " " + std::to_string(p.pieces) + "x" +
         std::to_string(p.jobs);
}

void scale_span(std::span<Amp> a, Amp c) { scale_any(a.data(), a.size(), c); }

// A slot from the qubit count: a fixed slot, or one counted down from the top.
using SlotOf = size_t (*)(uint32_t n);

void pairs(benchmark::State& st, uint32_t n, SlotOf slot_of) {
  RatioTimer timer(st, n, Against::Stream);
  AmpBuffer b = touched_buffer(size_t{1} << n);
  const size_t s = size_t{1} << slot_of(n);
  const Amp c = stream_factor();
  const auto body = [c](std::span<Amp> lo, std::span<Amp> hi) {
    scale_span(lo, c);
    scale_span(hi, c);
  };
  for (auto _ : st) timer.time([&] { par::par_walk_pairs(b.span(), s, body); });
  timer.report();
  st.SetLabel(plan_label(par::plan_pairs(b.size(), s, par::NUM_THREADS(), par::MIN_AMPS())));
}

void quartets(benchmark::State& st, uint32_t n, SlotOf lo_of, SlotOf hi_of) {
  RatioTimer timer(st, n, Against::Stream);
  AmpBuffer b = touched_buffer(size_t{1} << n);
  const size_t s_lo = size_t{1} << lo_of(n);
  const size_t s_hi = size_t{1} << hi_of(n);
  const Amp c = stream_factor();
  // The pair body's two runs hold all four roles of their quartets; the body need not know
  // which amplitude is which to scale them all.
  const auto pair = [c](std::span<Amp> lower, std::span<Amp> upper, size_t) {
    scale_span(lower, c);
    scale_span(upper, c);
  };
  const auto quartet = [c](std::span<Amp> a0, std::span<Amp> a1, std::span<Amp> a2,
                           std::span<Amp> a3) {
    scale_span(a0, c);
    scale_span(a1, c);
    scale_span(a2, c);
    scale_span(a3, c);
  };
  for (auto _ : st) {
    timer.time([&] { par::par_walk_quartets(b.span(), s_lo, s_hi, pair, quartet); });
  }
  timer.report();
  st.SetLabel(
      plan_label(par::plan_quartets(b.size(), s_lo, s_hi, par::NUM_THREADS(), par::MIN_AMPS())));
}

const bool registered = [] {
  const auto add_pairs = [](const char* name, SlotOf t) {
    add_bench(std::string("walk/pairs_") + name,
              [t](benchmark::State& st, uint32_t n) { pairs(st, n, t); });
  };
  const auto add_quartets = [](const char* name, SlotOf lo, SlotOf hi) {
    add_bench(std::string("walk/quartets_") + name,
              [lo, hi](benchmark::State& st, uint32_t n) { quartets(st, n, lo, hi); });
  };
  // Pairs: one call per two amplitudes; short runs; whole blocks of a middle slot; the top
  // slot's single block split across the pool; and four blocks split one job after another.
  add_pairs("t0", [](uint32_t) -> size_t { return 0; });
  add_pairs("t3", [](uint32_t) -> size_t { return 3; });
  add_pairs("mid", [](uint32_t n) -> size_t { return n / 2; });
  add_pairs("top", [](uint32_t n) -> size_t { return n - 1; });
  add_pairs("top3", [](uint32_t n) -> size_t { return n - 3; });
  // Quartets: whole high blocks of four amplitudes; low blocks inside the single high block;
  // the four-slice split; whole high blocks of a middle pair.
  add_quartets(
      "0_1", [](uint32_t) -> size_t { return 0; }, [](uint32_t) -> size_t { return 1; });
  add_quartets(
      "3_top", [](uint32_t) -> size_t { return 3; }, [](uint32_t n) -> size_t { return n - 1; });
  add_quartets(
      "top2", [](uint32_t n) -> size_t { return n - 2; },
      [](uint32_t n) -> size_t { return n - 1; });
  add_quartets(
      "mid", [](uint32_t n) -> size_t { return n / 2 - 1; },
      [](uint32_t n) -> size_t { return n / 2; });
  return true;
}();

}  // namespace
}  // namespace tavro::bench
