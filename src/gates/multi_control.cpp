// The multi-controlled gate operations of TavroSV: check the controls, then the targets, resolve
// the targets and then the controls, and hand the work to one kernel.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "gates/kernels/multi_control.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "state/sv.hpp"

namespace tavro {

namespace {

// Each control fully before the next, in list order: its range, then equality with each target
// in argument order, then repetition. A control has passed its range check before it enters the
// seen mask, so its bit (below 59) always fits.
template <size_t N>
Status check_controls(std::span<const size_t> controls, const std::array<size_t, N>& targets,
                      size_t num_qubits) {
  uint64_t seen = 0;
  for (const size_t c : controls) {
    if (c >= num_qubits) return std::unexpected(QubitIndexOutOfBounds{c, num_qubits});
    for (const size_t t : targets) {
      if (c == t) return std::unexpected(DuplicateQubits{t});
    }
    const uint64_t bit = uint64_t{1} << c;
    if ((seen & bit) != 0) return std::unexpected(DuplicateQubits{c});
    seen |= bit;
  }
  return {};
}

// The slots of validated controls (untouched ones allocated in list order) and their mask; the
// array lives on the stack.
struct ControlSlots {
  std::array<size_t, 64> slot{};
  uint64_t mask = 0;

  ControlSlots(TavroSV& sv, std::span<const size_t> controls)
      : mask(sv.map_controls(controls, slot.data())) {}
};

// The one-target operations with a nonempty control list: the controls, then the target's range
// (through its resolution, which allocates it first on a dynamic state), then the controls'
// slots; one(simd, amps, control slot, target slot) for a single control, else general(simd,
// amps, control mask, target slot). An error returns before anything changed.
template <class One, class General>
Status on_controlled_target(TavroSV& sv, std::span<const size_t> controls, size_t target,
                            const One& one, const General& general) {
  TAVRO_TRY(check_controls(controls, std::array{target}, sv.num_qubits()));
  auto t = sv.resolve(target);
  if (!t) return std::unexpected(std::move(t).error());
  const ControlSlots c(sv, controls);
  if (controls.size() == 1) {
    one(sv.simd(), sv.amps(), c.slot[0], *t);
  } else {
    general(sv.simd(), sv.amps(), c.mask, *t);
  }
  return {};
}

}  // namespace

Status TavroSV::apply_mcx(std::span<const size_t> controls, size_t target) {
  if (controls.empty()) return apply_x(target);
  return on_controlled_target(*this, controls, target, kernels::apply_cx_kernel,
                              kernels::apply_mcx_general_kernel);
}

Status TavroSV::apply_controlled_gate_1q(const std::array<Amp, 4>& gate,
                                         std::span<const size_t> controls, size_t target) {
  if (controls.empty()) return apply_gate_1q(gate, target);
  return on_controlled_target(
      *this, controls, target,
      [&gate](bool simd, std::span<Amp> a, size_t c, size_t t) {
        kernels::apply_ctrl_2x2_kernel(simd, a, c, t, gate);
      },
      [&gate](bool simd, std::span<Amp> a, uint64_t ctrl, size_t t) {
        kernels::apply_mctrl_2x2_general_kernel(simd, a, ctrl, t, gate);
      });
}

// No one-control shortcut here: any nonempty list runs the general kernel.
Status TavroSV::apply_controlled_gate_2q(const std::array<Amp, 16>& gate,
                                         std::span<const size_t> controls, size_t q1, size_t q2) {
  if (controls.empty()) return apply_gate_2q(gate, q1, q2);
  TAVRO_TRY(check_controls(controls, std::array{q1, q2}, num_qubits_));
  auto s = phys2(q1, q2);
  if (!s) return std::unexpected(std::move(s).error());
  const auto [s1, s2] = *s;
  const ControlSlots c(*this, controls);
  // The kernel's local index is (bit at the higher slot << 1) | bit at the lower slot; q1 stays
  // the high bit of the gate's own basis in both slot orders.
  kernels::apply_mctrl_4x4_general_kernel(simd_, amps(), c.mask, std::min(s1, s2), std::max(s1, s2),
                                          kernels::in_local_order(gate, s1 < s2));
  return {};
}

}  // namespace tavro
