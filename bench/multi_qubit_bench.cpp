// Dense gates on 3, 4 and 5 qubits and diagonal gates on 2, 5 and 10, through the state's own
// operations, on the slot placements the kernels tell apart. A fresh state has every slot live,
// so a qubit is its slot here.
//
// Dense placements (the label gives the slots and the arithmetic form):
//   low    0 .. k-1            plain body, groups of consecutive amplitudes;
//   lo2    2 .. k+1            fused body on runs of 4 amplitudes, one vector per role;
//   mid    around n/2          fused body on long runs;
//   mixed  n-1, 0, n/2, ...    plain body, roles far apart;
//   top    n-k .. n-1          fused body, one block: runs of groups divided among the workers.
// Every amplitude is read and written once, so a memory-bound gate is about 1 against the
// streaming pass; k = 5 does 32 complex multiply-adds per amplitude and may be bound by its
// arithmetic instead.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "baseline.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"
#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

struct Placement {
  const char* name;
  std::vector<size_t> (*slots)(uint32_t n, size_t k);
};

const Placement PLACEMENTS[] = {
    {"low",
     [](uint32_t, size_t k) {
       std::vector<size_t> s(k);
       for (size_t j = 0; j < k; ++j) s[j] = j;
       return s;
     }},
    {"lo2",
     [](uint32_t, size_t k) {
       std::vector<size_t> s(k);
       for (size_t j = 0; j < k; ++j) s[j] = k + 1 - j;
       return s;
     }},
    {"mid",
     [](uint32_t n, size_t k) {
       std::vector<size_t> s(k);
       for (size_t j = 0; j < k; ++j) s[j] = n / 2 - 2 + j;
       return s;
     }},
    {"mixed",
     [](uint32_t n, size_t k) {
       const size_t all[] = {n - 1, 0, n / 2, 3, n / 2 + 3, 6, n - 4, 1, n / 2 - 3, 9};
       return std::vector<size_t>(all, all + k);
     }},
    {"top",
     [](uint32_t n, size_t k) {
       std::vector<size_t> s(k);
       for (size_t j = 0; j < k; ++j) s[j] = n - 1 - j;
       return s;
     }},
};

// A dense unitary with no zero entry: the k-fold Hadamard times a diagonal of phases,
// m[c*D + r] = (-1)^popcount(r & c) / sqrt(D) * e^(i phi_c). Unitary up to rounding, so many
// iterations on one state neither overflow nor sink into subnormals.
std::vector<Amp> dense_unitary(size_t k) {
  const size_t d = size_t{1} << k;
  const double scale = 1.0 / std::sqrt(static_cast<double>(d));
  std::vector<Amp> m(d * d);
  for (size_t c = 0; c < d; ++c) {
    const double phi = 0.37 * static_cast<double>(c) - 1.1;
    for (size_t r = 0; r < d; ++r) {
      const double sign = (__builtin_popcountll(r & c) % 2 == 0) ? scale : -scale;
      m[c * d + r] = Amp(sign * std::cos(phi), sign * std::sin(phi));
    }
  }
  return m;
}

std::vector<Amp> phases(size_t k) {
  std::vector<Amp> d(size_t{1} << k);
  for (size_t i = 0; i < d.size(); ++i) {
    d[i] = Amp(std::cos(0.29 * static_cast<double>(i)), std::sin(0.29 * static_cast<double>(i)));
  }
  return d;
}

std::string slot_list(const std::vector<size_t>& s) {
  std::string out;
  for (const size_t t : s) {
    if (!out.empty()) out += ',';
    out += std::to_string(t);
  }
  return out;
}

// "slots body": the arithmetic form the lowest slot picks.
std::string dense_label(const std::vector<size_t>& s) {
  const size_t lowest = *std::min_element(s.begin(), s.end());
  return slot_list(s) + (lowest >= 2 ? " fused" : " plain");
}

template <class Apply>
void on_state(benchmark::State& st, uint32_t n, const Apply& apply, const std::string& label) {
  RatioTimer timer(st, n, Against::Stream);
  auto sv = TavroSV::zero(n);
  if (!sv) {
    st.SkipWithError(sv.error().display().c_str());
    return;
  }
  fill_uniform(sv->amps());
  apply(*sv);  // untimed, as in add_state_bench
  for (auto _ : st) timer.time([&] { apply(*sv); });
  timer.report();
  st.SetLabel(label);
}

const bool registered = [] {
  for (const size_t k : {3, 4, 5}) {
    for (const Placement& p : PLACEMENTS) {
      add_bench("kq/k" + std::to_string(k) + "/" + p.name,
                [k, &p](benchmark::State& st, uint32_t n) {
                  const std::vector<Amp> m = dense_unitary(k);
                  const std::vector<size_t> s = p.slots(n, k);
                  on_state(
                      st, n, [&](TavroSV& sv) { (void)sv.apply_gate_kq(m, s); }, dense_label(s));
                });
    }
  }
  // Diagonal: k = 2 on a low and a high slot, k = 5 and k = 10 on low and high slots mixed.
  for (const size_t k : {2, 5, 10}) {
    add_bench("diag/k" + std::to_string(k), [k](benchmark::State& st, uint32_t n) {
      const std::vector<Amp> d = phases(k);
      const std::vector<size_t> s = PLACEMENTS[3].slots(n, k);
      const par::Plan p = par::plan_indexed(size_t{1} << n, par::NUM_THREADS(), par::MIN_AMPS());
      on_state(
          st, n, [&](TavroSV& sv) { (void)sv.apply_diag_kq(d, s); },
          slot_list(s) + " " + regime_name(p.regime) + " " + std::to_string(p.pieces));
    });
  }
  return true;
}();

}  // namespace
}  // namespace tavro::bench
