#include "ratio.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "baseline.hpp"

namespace tavro::bench {
namespace {

// At least this many timed passes of each kind, and more until this much time was spent,
// up to a cap: many passes on small buffers, where one pass is short and noise is large.
constexpr int MIN_REPS = 7;
constexpr int MAX_REPS = 2000;
constexpr double MIN_SPENT = 0.5;

template <class F>
double seconds_of(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The fastest of several runs of f, after one untimed run (caches, the pool's threads and
// the clock settle).
template <class F>
double fastest(F&& f) {
  f();
  double best = std::numeric_limits<double>::infinity();
  double spent = 0.0;
  for (int rep = 0; rep < MAX_REPS && (rep < MIN_REPS || spent < MIN_SPENT); ++rep) {
    const double s = seconds_of(f);
    best = std::min(best, s);
    spent += s;
  }
  return best;
}

Baseline measure(uint32_t n) {
  AmpBuffer buffer = touched_buffer(size_t{1} << n);
  if (!buffer.ok()) {
    std::fprintf(stderr, "baseline: cannot reserve 2^%u amplitudes\n", n);
    std::exit(1);
  }
  const std::span<Amp> a = buffer.span();
  const Amp c = stream_factor();
  constexpr double NONE = std::numeric_limits<double>::infinity();
  Baseline best{NONE, 0, NONE, 0};
  // Each kind back to back, as a benchmark repeats its own operation: on a state that fits
  // in the last-level cache, a streaming pass right after a read-only pass was measured
  // 1.3x to 1.8x slower than one right after another streaming pass.
  for (const size_t pieces : piece_candidates()) {
    const double s = fastest([&] { stream_pass(a, c, pieces); });
    if (s < best.stream) {
      best.stream = s;
      best.stream_pieces = pieces;
    }
  }
  for (const size_t pieces : piece_candidates()) {
    const double r = fastest([&] { benchmark::DoNotOptimize(read_pass(a, pieces)); });
    if (r < best.read) {
      best.read = r;
      best.read_pieces = pieces;
    }
  }
  return best;
}

// Long enough for several iterations of a pass over the largest states; TAVRO_BENCH_MIN_TIME
// (seconds) sets one time for every count, for the longer sweeps.
double min_time_for(uint32_t n) {
  if (const char* env = std::getenv("TAVRO_BENCH_MIN_TIME")) {
    const double t = std::strtod(env, nullptr);
    if (t > 0.0) return t;
  }
  if (n >= 28) return 2.0;
  if (n >= 26) return 1.0;
  if (n >= 24) return 0.5;
  return 0.25;
}

struct Entry {
  std::string name;
  BenchFn fn;
  size_t iterations = 0;  // 0: run for min_time_for(n)
};

std::vector<Entry>& registry() {
  static std::vector<Entry> entries;
  return entries;
}

// The buffer the baseline passes beside a benchmark run on: one, for the qubit count being
// measured, since the largest are 4 GiB.
std::span<Amp> beside_buffer(uint32_t n) {
  static uint32_t held = 0;
  static AmpBuffer buffer;
  if (held != n) {
    buffer = AmpBuffer();
    buffer = touched_buffer(size_t{1} << n);
    held = buffer.ok() ? n : 0;
    if (!buffer.ok()) {
      std::fprintf(stderr, "baseline: cannot reserve 2^%u amplitudes\n", n);
      std::exit(1);
    }
  }
  return buffer.span();
}

// The median of v (the mean of the middle two for an even count); v is not empty.
double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t h = v.size() / 2;
  return v.size() % 2 != 0 ? v[h] : (v[h - 1] + v[h]) / 2.0;
}

}  // namespace

const Baseline& baseline(uint32_t n) {
  static std::map<uint32_t, Baseline> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, measure(n)).first;
  return it->second;
}

void baseline_stream_pass(std::span<Amp> a, Amp c) {
  stream_pass(a, c, baseline(static_cast<uint32_t>(std::countr_zero(a.size()))).stream_pieces);
}

RatioTimer::RatioTimer(benchmark::State& state, uint32_t n, Against against)
    : state_(state), n_(n), against_(against) {
  (void)baseline(n);  // the piece counts, and the first buffer of this size faulted in
  (void)beside_buffer(n);
}

void RatioTimer::run_baselines() {
  since_baseline_ = 0;
  const std::span<Amp> a = beside_buffer(n_);
  const Baseline& b = baseline(n_);
  const Amp c = stream_factor();
  double stream = std::numeric_limits<double>::infinity();
  for (int k = 0; k < BLOCK; ++k)
    stream = std::min(stream, seconds_of([&] { stream_pass(a, c, b.stream_pieces); }));
  stream_ = std::min(stream_, stream);
  const bool timed = block_best_ < std::numeric_limits<double>::infinity();
  if (timed) ratios_.push_back(block_best_ / stream);
  if (against_ == Against::StreamAndRead) {
    double read = std::numeric_limits<double>::infinity();
    for (int k = 0; k < BLOCK; ++k) {
      read = std::min(read,
                      seconds_of([&] { benchmark::DoNotOptimize(read_pass(a, b.read_pieces)); }));
    }
    read_ = std::min(read_, read);
    if (timed) read_ratios_.push_back(block_best_ / read);
  }
  block_best_ = std::numeric_limits<double>::infinity();
}

double RatioTimer::read_seconds() {
  if (!(read_ < std::numeric_limits<double>::infinity())) run_baselines();
  return read_;
}

void RatioTimer::report() {
  if (!(best_ < std::numeric_limits<double>::infinity())) return;
  if (block_best_ < std::numeric_limits<double>::infinity()) run_baselines();  // the last block
  state_.counters["ratio"] = median(ratios_);
  state_.counters["blocks"] = static_cast<double>(ratios_.size());
  if (against_ == Against::StreamAndRead) state_.counters["ratio_read"] = median(read_ratios_);
}

bool add_bench(const std::string& name, BenchFn fn, size_t iterations) {
  registry().push_back({name, std::move(fn), iterations});
  return true;
}

bool add_state_bench(const std::string& name, Against against, std::function<void(TavroSV&)> op,
                     std::function<std::string(uint32_t n)> label) {
  return add_bench(name, [against, op = std::move(op), label = std::move(label)](
                             benchmark::State& st, uint32_t n) {
    RatioTimer timer(st, n, against);
    auto sv = TavroSV::zero(n);
    if (!sv) {
      st.SkipWithError(sv.error().display().c_str());
      return;
    }
    fill_uniform(sv->amps());
    op(*sv);  // untimed: whatever the first call sets up (a dynamic state's slots) is done
    for (auto _ : st) timer.time([&] { op(*sv); });
    timer.report();
    if (label) st.SetLabel(label(n));
  });
}

void register_all() {
  std::vector<Entry> entries = registry();
  // The baselines first, so their own rows (ratio about 1) head each qubit count.
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    const bool bx = x.name.starts_with("baseline/");
    const bool by = y.name.starts_with("baseline/");
    if (bx != by) return bx;
    return !bx && x.name < y.name;
  });
  // One qubit count after another, so that every benchmark of a count runs within minutes of
  // its baseline: the memory bandwidth of these machines is shared with other machines and
  // drifts over a run. A last streaming pass closes each count; its ratio away from 1 shows
  // how far the machine drifted while the count ran.
  entries.push_back({"baseline/stream_again", [](benchmark::State& st, uint32_t n) {
                       RatioTimer timer(st, n, Against::Stream);
                       AmpBuffer b = touched_buffer(size_t{1} << n);
                       const Amp c = stream_factor();
                       for (auto _ : st) timer.time([&] { baseline_stream_pass(b.span(), c); });
                       timer.report();
                     }});
  for (const uint32_t n : QUBITS) {
    for (const Entry& e : entries) {
      const std::string full = e.name + "/" + std::to_string(n);
      auto* b = benchmark::RegisterBenchmark(full.c_str(),
                                             [fn = e.fn, n](benchmark::State& st) { fn(st, n); })
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
      if (e.iterations != 0) {
        b->Iterations(static_cast<benchmark::IterationCount>(e.iterations));
      } else {
        b->MinTime(min_time_for(n));
      }
    }
  }
}

const char* regime_name(par::Regime r) {
  switch (r) {
    case par::Regime::Sequential:
      return "Sequential";
    case par::Regime::Chunks:
      return "Chunks";
    case par::Regime::WholeBlocks:
      return "WholeBlocks";
    case par::Regime::SplitBlocks:
      return "SplitBlocks";
    case par::Regime::LowBlocks:
      return "LowBlocks";
    case par::Regime::FourSlice:
      return "FourSlice";
    case par::Regime::GroupRuns:
      return "GroupRuns";
  }
  return "?";
}

}  // namespace tavro::bench
