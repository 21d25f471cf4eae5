#pragma once

// The ratio every benchmark reports: its time per iteration divided by the time of one
// baseline pass over a buffer of the same qubit count. The machines are shared with other
// machines and their memory bandwidth drifts by a factor of two within seconds, so the two
// sides are compared only where they were measured together: every few iterations of the
// benchmark are followed by as many baseline passes on a buffer of their own, each such block
// gives the ratio of its fastest iteration to its fastest pass, and the benchmark reports the
// median of its blocks' ratios.
//
// A benchmark is one line:
//   add_state_bench("gate/h_t0", Against::Stream, [](TavroSV& sv) { (void)sv.apply_h(0); });
// or, when it needs its own set-up, a function of (benchmark::State&, n) that times its
// iterations through a RatioTimer and is registered with add_bench.

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "par/plan.hpp"
#include "state/sv.hpp"

namespace tavro::bench {

// The qubit counts every benchmark runs at: 16 MiB to 4 GiB per state.
inline constexpr std::array<uint32_t, 5> QUBITS{20, 22, 24, 26, 28};

// The baselines of one qubit count: the fastest streaming and read-only passes over a
// touched buffer of 2^n amplitudes, each over every piece count of piece_candidates(), and
// the piece count that gave it. Measured on first request and cached; the buffer is released
// before this returns.
struct Baseline {
  double stream;
  size_t stream_pieces;
  double read;
  size_t read_pieces;
};
const Baseline& baseline(uint32_t n);

// One streaming pass over `a` (a power-of-two length) cut as its baseline is.
void baseline_stream_pass(std::span<Amp> a, Amp c);

// Which baselines a benchmark is compared with: the streaming pass always ("ratio"), and the
// read-only pass too ("ratio_read") for reductions that only read the buffer.
enum class Against : uint8_t { Stream, StreamAndRead };

// Times the iterations of one benchmark run (manual time) and reports the ratio counters.
// Construct it before allocating any state: it may measure the baseline, which needs a buffer
// of its own, and the largest states should not be held twice at once.
class RatioTimer {
 public:
  RatioTimer(benchmark::State& state, uint32_t n, Against against);

  // Times f() as one iteration; every BLOCK iterations, runs the baseline passes beside it.
  template <class F>
  void time(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    state_.SetIterationTime(seconds);
    if (seconds < best_) best_ = seconds;
    if (seconds < block_best_) block_best_ = seconds;
    if (++since_baseline_ == BLOCK) run_baselines();
  }

  // Sets the counters from the fastest iteration; call once, after the timed loop.
  void report();

  double best_seconds() const { return best_; }
  // The fastest read-only pass beside this benchmark so far (measured now if none ran yet).
  double read_seconds();

 private:
  // Several passes of each kind in a row: on a state that fits in the last-level cache the
  // first pass after a switch finds the cache holding the other buffer.
  static constexpr int BLOCK = 3;
  void run_baselines();

  benchmark::State& state_;
  uint32_t n_;
  Against against_;
  int since_baseline_ = 0;
  double stream_ = std::numeric_limits<double>::infinity();
  double read_ = std::numeric_limits<double>::infinity();
  double best_ = std::numeric_limits<double>::infinity();
  double block_best_ = std::numeric_limits<double>::infinity();
  std::vector<double> ratios_;       // per block, to the streaming pass
  std::vector<double> read_ratios_;  // per block, to the read-only pass
};

using BenchFn = std::function<void(benchmark::State&, uint32_t n)>;

// Registers the benchmark `name`/n for every n of QUBITS (manual time, minimum running time
// growing with n so that the largest states still get several iterations). Returns true, so
// that a file can register at static initialisation: `const bool done = [] { ...; }();`.
// `iterations`, when not 0, fixes the count instead: a row whose timed part is microseconds
// beside its untimed set-up and baseline passes would repeat them for hours to fill a minimum
// time.
bool add_bench(const std::string& name, BenchFn fn, size_t iterations = 0);

// Registers `name`/n timing op(sv) on a static n-qubit state whose every amplitude was
// written once before timing (no page fault is timed). The state is kept across iterations.
// `label`, when given, names the path the row timed: label(n) becomes the row's label.
bool add_state_bench(const std::string& name, Against against, std::function<void(TavroSV&)> op,
                     std::function<std::string(uint32_t n)> label = {});

// Hands every registered benchmark to the library, one qubit count after another: for each,
// the "baseline/" rows first, then the others sorted by name, then baseline/stream_again, a
// last streaming pass whose ratio shows how far the machine drifted meanwhile. Called once
// by main.
void register_all();

// The regime's name, for labels that say which path a row timed.
const char* regime_name(par::Regime r);

}  // namespace tavro::bench
