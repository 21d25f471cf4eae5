// Dense gates on 3, 4 and 5 qubits and diagonal gates on 2, 5 and 10, through the state's own
// operations, on the slot placements the kernels tell apart. A fresh state has every slot live,
// so a qubit is its slot here.
//
// Dense placements, the first k of:
//   low    0, 1, 2, 3, 4             plain body, groups of consecutive amplitudes;
//   lo2    2, 3, 4, 5, 6             fused body on runs of 4 amplitudes, one vector per role;
//   mid    n/2 - 2 .. n/2 + 2        fused body on long runs;
//   mixed  n-1, 0, n/2, 3, n/2+3     plain body, roles far apart (the diagonal rows take up to
//                                    ten: 6, n-4, 1, n/2-3, 2 follow);
//   top    n-1, n-2, .. n-5          fused body, one block: its runs divided among the workers.
// Every amplitude is read and written once, so a memory-bound gate is about 1 against the
// streaming pass; k = 5 does 32 complex multiply-adds per amplitude and may be bound by its
// arithmetic instead.
#include <array>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "ratio.hpp"
#include "state/sv.hpp"

namespace tavro::bench {
namespace {

using Slots = std::array<size_t, 10>;

struct Placement {
  const char* name;
  Slots (*slots)(uint32_t n);  // the first k are the targets
};

const Placement PLACEMENTS[] = {
    {"low",
     [](uint32_t) {
       return Slots{0, 1, 2, 3, 4};
     }},
    {"lo2",
     [](uint32_t) {
       return Slots{2, 3, 4, 5, 6};
     }},
    {"mid",
     [](uint32_t n) {
       return Slots{n / 2 - 2, n / 2 - 1, n / 2, n / 2 + 1, n / 2 + 2};
     }},
    {"mixed",
     [](uint32_t n) { return Slots{n - 1, 0, n / 2, 3, n / 2 + 3, 6, n - 4, 1, n / 2 - 3, 2}; }},
    {"top",
     [](uint32_t n) {
       return Slots{n - 1, n - 2, n - 3, n - 4, n - 5};
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

const bool registered = [] {
  for (const size_t k : {3, 4, 5}) {
    for (const Placement& p : PLACEMENTS) {
      add_state_bench("kq/k" + std::to_string(k) + "/" + p.name, Against::Stream,
                      [k, &p, m = dense_unitary(k)](TavroSV& sv) {
                        const Slots s = p.slots(sv.num_qubits());
                        (void)sv.apply_gate_kq(m, std::span(s).first(k));
                      });
    }
  }
  // Diagonal: k = 2 on a low and a high slot, k = 5 and k = 10 on low and high slots mixed.
  for (const size_t k : {2, 5, 10}) {
    add_state_bench("diag/k" + std::to_string(k), Against::Stream, [k, d = phases(k)](TavroSV& sv) {
      const Slots s = PLACEMENTS[3].slots(sv.num_qubits());
      (void)sv.apply_diag_kq(d, std::span(s).first(k));
    });
  }
  return true;
}();

}  // namespace
}  // namespace tavro::bench
