// The state's own operations against the baselines: construction, copy and the two norms.
#include <optional>
#include <utility>

#include "baseline.hpp"
#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

// A new state and the first pass over it, against one pass over memory that is already there.
// Each iteration's zero() reuses the buffer the previous iteration released, whose pages are
// still there, and writes its zeros with streaming stores; the pass then writes it once more.
// (A fresh mapping would instead leave its page faults and the kernel's zeroing of every page
// to the pass.) The release is not timed here (it is not part of making the state) but has its
// own row, state/release.
void zero_pass(benchmark::State& st, uint32_t n) {
  RatioTimer timer(st, n, Against::Stream);
  const Amp c = stream_factor();
  const auto make = [&] {
    std::optional<TavroSV> sv;
    auto made = TavroSV::zero(n);
    if (made) {
      sv.emplace(std::move(*made));
      baseline_stream_pass(sv->amps(), c);
    }
    return sv;
  };
  // Untimed: the first buffer of this size is a fresh mapping and may land on memory the host
  // has not backed yet, which costs up to ten times a pass and would end the run after a single
  // iteration.
  make();
  for (auto _ : st) {
    std::optional<TavroSV> sv;
    timer.time([&] { sv = make(); });
  }
  timer.report();
}

// Dynamic construction reserves the capacity and writes one amplitude: at most one page fault
// (a 2 MiB huge page on large states), none when it reuses the buffer the previous iteration
// released. A constant cost, far below a pass on large states.
void zero_dynamic(benchmark::State& st, uint32_t n) {
  RatioTimer timer(st, n, Against::Stream);
  for (auto _ : st) {
    std::optional<TavroSV> sv;
    timer.time([&] { sv.emplace(*TavroSV::zero_dynamic(n)); });
  }
  timer.report();
}

// The copy alone, into the buffer the previous iteration's copy released (its pages still
// there: no page fault is timed), written with streaming stores. The copy's release is
// untimed, as in zero_pass.
void clone(benchmark::State& st, uint32_t n) {
  RatioTimer timer(st, n, Against::Stream);
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return;
  }
  fill_uniform(sv->amps());
  sv->clone();  // untimed, as in zero_pass
  for (auto _ : st) {
    std::optional<TavroSV> copy;
    timer.time([&] { copy.emplace(sv->clone()); });
    benchmark::DoNotOptimize(copy->amplitudes().data());
  }
  timer.report();
}

// Freeing a state whose every page is present: its buffer is kept for the next reservation of
// its size and its pages marked lazily free (one madvise), not unmapped; the kernel takes them
// back only when it needs the memory. Creating and touching the state is untimed.
void release(benchmark::State& st, uint32_t n) {
  RatioTimer timer(st, n, Against::Stream);
  for (auto _ : st) {
    auto sv = TavroSV::zero(n);
    if (!sv) {
      st.SkipWithError(sv.error().display().c_str());
      return;
    }
    fill_uniform(sv->amps());
    std::optional<TavroSV> held(std::move(*sv));
    timer.time([&] { held.reset(); });
  }
  timer.report();
}

const bool registered = [] {
  add_bench("state/zero_pass", zero_pass);
  // These two time microseconds beside a pass or more of untimed work per iteration: a fixed
  // count, 50 blocks of the ratio's three.
  add_bench("state/zero_dynamic", zero_dynamic, 150);
  add_bench("state/clone", clone);
  add_bench("state/release", release, 150);
  add_state_bench("state/norm_squared", Against::StreamAndRead,
                  [](TavroSV& sv) { benchmark::DoNotOptimize(sv.norm_squared()); });
  add_state_bench("state/normalize", Against::Stream,
                  [](TavroSV& sv) { benchmark::DoNotOptimize(sv.normalize()); });
  return true;
}();

}  // namespace
}  // namespace tavro::bench
