// class TavroSV: the gate methods, in the order of the method table.
#include "face.hpp"

namespace tavro::python {
namespace {

// Every gate method takes the state for exclusive use, converts its plain arguments in
// parameter order, a matrix last, and calls one core operation; the gate methods from apply_x
// to apply_rzz share four bodies by the shape of their parameters.

template <const Params<1>& P, Status (TavroSV::*Op)(size_t)>
PyObject* sv_gate_q(PyObject* self, Args<1> a) {
  const ExclusiveSV sv(self);
  const size_t q = to_index(a[0], P.names[0]);
  check(((*sv).*Op)(q));
  return detail::none();
}

template <const Params<2>& P, Status (TavroSV::*Op)(double, size_t)>
PyObject* sv_gate_aq(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const double angle = to_f64(a[0], P.names[0]);
  const size_t q = to_index(a[1], P.names[1]);
  check(((*sv).*Op)(angle, q));
  return detail::none();
}

template <const Params<2>& P, Status (TavroSV::*Op)(size_t, size_t)>
PyObject* sv_gate_qq(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const size_t q1 = to_index(a[0], P.names[0]);
  const size_t q2 = to_index(a[1], P.names[1]);
  check(((*sv).*Op)(q1, q2));
  return detail::none();
}

template <const Params<3>& P, Status (TavroSV::*Op)(double, size_t, size_t)>
PyObject* sv_gate_aqq(PyObject* self, Args<3> a) {
  const ExclusiveSV sv(self);
  const double angle = to_f64(a[0], P.names[0]);
  const size_t q1 = to_index(a[1], P.names[1]);
  const size_t q2 = to_index(a[2], P.names[2]);
  check(((*sv).*Op)(angle, q1, q2));
  return detail::none();
}

constexpr Params<1> APPLY_X{"apply_x", {"target"}, 1};
constexpr char APPLY_X_DOC[] = "apply_x($self, target)\n--\n\n";

constexpr Params<1> APPLY_Y{"apply_y", {"target"}, 1};
constexpr char APPLY_Y_DOC[] = "apply_y($self, target)\n--\n\n";

constexpr Params<1> APPLY_Z{"apply_z", {"target"}, 1};
constexpr char APPLY_Z_DOC[] = "apply_z($self, target)\n--\n\n";

constexpr Params<1> APPLY_H{"apply_h", {"target"}, 1};
constexpr char APPLY_H_DOC[] = "apply_h($self, target)\n--\n\n";

constexpr Params<1> APPLY_S{"apply_s", {"target"}, 1};
constexpr char APPLY_S_DOC[] = "apply_s($self, target)\n--\n\n";

constexpr Params<1> APPLY_SDG{"apply_sdg", {"target"}, 1};
constexpr char APPLY_SDG_DOC[] = "apply_sdg($self, target)\n--\n\n";

constexpr Params<1> APPLY_T{"apply_t", {"target"}, 1};
constexpr char APPLY_T_DOC[] = "apply_t($self, target)\n--\n\n";

constexpr Params<1> APPLY_TDG{"apply_tdg", {"target"}, 1};
constexpr char APPLY_TDG_DOC[] = "apply_tdg($self, target)\n--\n\n";

constexpr Params<1> APPLY_SX{"apply_sx", {"target"}, 1};
constexpr char APPLY_SX_DOC[] = "apply_sx($self, target)\n--\n\n";

constexpr Params<2> APPLY_P{"apply_p", {"lambda", "target"}, 2};
constexpr char APPLY_P_DOC[] = "apply_p($self, lambda, target)\n--\n\n";

constexpr Params<2> APPLY_RX{"apply_rx", {"theta", "target"}, 2};
constexpr char APPLY_RX_DOC[] = "apply_rx($self, theta, target)\n--\n\n";

constexpr Params<2> APPLY_RY{"apply_ry", {"theta", "target"}, 2};
constexpr char APPLY_RY_DOC[] = "apply_ry($self, theta, target)\n--\n\n";

constexpr Params<2> APPLY_RZ{"apply_rz", {"lmbda", "target"}, 2};
constexpr char APPLY_RZ_DOC[] = "apply_rz($self, lmbda, target)\n--\n\n";

constexpr Params<4> APPLY_U{"apply_u", {"theta", "phi", "lmbda", "target"}, 4};
constexpr char APPLY_U_DOC[] = "apply_u($self, theta, phi, lmbda, target)\n--\n\n";
PyObject* sv_apply_u(PyObject* self, Args<4> a) {
  const ExclusiveSV sv(self);
  const double theta = to_f64(a[0], "theta");
  const double phi = to_f64(a[1], "phi");
  const double lmbda = to_f64(a[2], "lmbda");
  const size_t target = to_index(a[3], "target");
  check(sv->apply_u(theta, phi, lmbda, target));
  return detail::none();
}

constexpr Params<2> APPLY_CX{"apply_cx", {"control", "target"}, 2};
constexpr char APPLY_CX_DOC[] = "apply_cx($self, control, target)\n--\n\n";

constexpr Params<2> APPLY_CY{"apply_cy", {"control", "target"}, 2};
constexpr char APPLY_CY_DOC[] = "apply_cy($self, control, target)\n--\n\n";

constexpr Params<2> APPLY_CZ{"apply_cz", {"q1", "q2"}, 2};
constexpr char APPLY_CZ_DOC[] = "apply_cz($self, q1, q2)\n--\n\n";

constexpr Params<2> APPLY_SWAP{"apply_swap", {"q1", "q2"}, 2};
constexpr char APPLY_SWAP_DOC[] = "apply_swap($self, q1, q2)\n--\n\n";

constexpr Params<2> APPLY_ISWAP{"apply_iswap", {"q1", "q2"}, 2};
constexpr char APPLY_ISWAP_DOC[] = "apply_iswap($self, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_CP{"apply_cp", {"lmbda", "q1", "q2"}, 3};
constexpr char APPLY_CP_DOC[] = "apply_cp($self, lmbda, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_CRX{"apply_crx", {"theta", "control", "target"}, 3};
constexpr char APPLY_CRX_DOC[] = "apply_crx($self, theta, control, target)\n--\n\n";

constexpr Params<3> APPLY_CRY{"apply_cry", {"theta", "control", "target"}, 3};
constexpr char APPLY_CRY_DOC[] = "apply_cry($self, theta, control, target)\n--\n\n";

constexpr Params<3> APPLY_CRZ{"apply_crz", {"lmbda", "control", "target"}, 3};
constexpr char APPLY_CRZ_DOC[] = "apply_crz($self, lmbda, control, target)\n--\n\n";

constexpr Params<3> APPLY_RXX{"apply_rxx", {"theta", "q1", "q2"}, 3};
constexpr char APPLY_RXX_DOC[] = "apply_rxx($self, theta, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_RYY{"apply_ryy", {"theta", "q1", "q2"}, 3};
constexpr char APPLY_RYY_DOC[] = "apply_ryy($self, theta, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_RZZ{"apply_rzz", {"theta", "q1", "q2"}, 3};
constexpr char APPLY_RZZ_DOC[] = "apply_rzz($self, theta, q1, q2)\n--\n\n";

constexpr Params<2> APPLY_GATE_1Q{"apply_gate_1q", {"gate", "target"}, 2};
constexpr char APPLY_GATE_1Q_DOC[] =
    "apply_gate_1q($self, gate, target)\n--\n\n"
    "Applies the one-qubit gate `gate` to qubit target. gate is a 2x2 complex128 NumPy array in "
    "row-major indexing (gate[row, column]) or a flat list of 4 complex numbers in column-major "
    "order [U00, U10, U01, U11]. The matrix is applied as given; unitarity is not checked.";
PyObject* sv_apply_gate_1q(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const size_t target = to_index(a[1], "target");
  const std::array<Amp, 4> gate = extract_2x2(a[0]);
  check(sv->apply_gate_1q(gate, target));
  return detail::none();
}

constexpr Params<3> APPLY_GATE_2Q{"apply_gate_2q", {"gate", "q1", "q2"}, 3};
constexpr char APPLY_GATE_2Q_DOC[] =
    "apply_gate_2q($self, gate, q1, q2)\n--\n\n"
    "Applies the two-qubit gate `gate` to qubits q1 and q2. gate is a 4x4 complex128 NumPy array "
    "in row-major indexing (gate[row, column]) or a flat list of 16 complex numbers in "
    "column-major order. q1 is the most significant bit of the local basis: the 2-bit subindex "
    "into the matrix is (bit_q1 << 1) | bit_q2. Unitarity is not checked.";
PyObject* sv_apply_gate_2q(PyObject* self, Args<3> a) {
  const ExclusiveSV sv(self);
  const size_t q1 = to_index(a[1], "q1");
  const size_t q2 = to_index(a[2], "q2");
  const std::array<Amp, 16> gate = extract_4x4(a[0]);
  check(sv->apply_gate_2q(gate, q1, q2));
  return detail::none();
}

// apply_gate_kq and apply_diag_kq: (gate or diagonal, targets), the targets converted and
// counted before the values are looked at; up to 1024 values on the stack.
template <std::span<const Amp> (*Extract)(PyObject*, size_t, GateRoom&),
          Status (TavroSV::*Op)(std::span<const Amp>, std::span<const size_t>)>
PyObject* sv_gate_targets(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const QubitList targets = to_qubits(a[1], "targets");
  GateRoom room;
  const std::span<const Amp> values = Extract(a[0], targets.size(), room);
  check(((*sv).*Op)(values, targets.span()));
  return detail::none();
}

constexpr Params<2> APPLY_GATE_KQ{"apply_gate_kq", {"gate", "targets"}, 2};
constexpr char APPLY_GATE_KQ_DOC[] =
    "apply_gate_kq($self, gate, targets)\n--\n\n"
    "Applies the dense k-qubit gate `gate` to the qubits in targets, k = len(targets) from 1 to "
    "5. gate is a 2^k x 2^k complex128 NumPy array in row-major indexing (gate[row, column]) or "
    "a flat list of 4^k complex numbers in column-major order. targets[0] is the most "
    "significant bit of the local basis. k = 1 and k = 2 go to the tuned one- and two-qubit "
    "kernels. Unitarity is not checked.";

constexpr Params<2> APPLY_DIAG_KQ{"apply_diag_kq", {"diag", "targets"}, 2};
constexpr char APPLY_DIAG_KQ_DOC[] =
    "apply_diag_kq($self, diag, targets)\n--\n\n"
    "Applies the diagonal gate whose diagonal is diag to the qubits in targets, k = "
    "len(targets). diag holds the 2^k diagonal entries of the dense matrix in the basis "
    "|0..0>, ..., |1..1>, targets[0] the most significant bit: a one-dimensional complex128 "
    "NumPy array or a sequence of complex numbers. k may go up to MAX_DIAG_KQ (10), wider than "
    "the 5 of apply_gate_kq: the operator is a table of 2^k entries rather than a 2^k x 2^k "
    "matrix and multiplies each amplitude without mixing them, so neither its size nor its "
    "cost grows the way a dense block's does.";

constexpr Params<2> APPLY_MCX{"apply_mcx", {"controls", "target"}, 2};
constexpr char APPLY_MCX_DOC[] =
    "apply_mcx($self, controls, target)\n--\n\n"
    "Flips qubit target on exactly the amplitudes where every qubit in controls is set; with "
    "no controls this is apply_x.";
PyObject* sv_apply_mcx(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const QubitList controls = to_qubits(a[0], "controls");
  const size_t target = to_index(a[1], "target");
  check(sv->apply_mcx(controls.span(), target));
  return detail::none();
}

constexpr Params<3> APPLY_CONTROLLED_GATE_1Q{
    "apply_controlled_gate_1q", {"gate", "controls", "target"}, 3};
constexpr char APPLY_CONTROLLED_GATE_1Q_DOC[] =
    "apply_controlled_gate_1q($self, gate, controls, target)\n--\n\n"
    "Applies the one-qubit gate `gate` to qubit target on the amplitudes where every qubit in "
    "controls is set. gate is a 2x2 complex128 NumPy array in row-major indexing "
    "(gate[row, column]) or a flat list of 4 complex numbers in column-major order "
    "[U00, U10, U01, U11]. Unitarity is not checked.";
PyObject* sv_apply_controlled_gate_1q(PyObject* self, Args<3> a) {
  const ExclusiveSV sv(self);
  const QubitList controls = to_qubits(a[1], "controls");
  const size_t target = to_index(a[2], "target");
  const std::array<Amp, 4> gate = extract_2x2(a[0]);
  check(sv->apply_controlled_gate_1q(gate, controls.span(), target));
  return detail::none();
}

constexpr Params<4> APPLY_CONTROLLED_GATE_2Q{
    "apply_controlled_gate_2q", {"gate", "controls", "q1", "q2"}, 4};
constexpr char APPLY_CONTROLLED_GATE_2Q_DOC[] =
    "apply_controlled_gate_2q($self, gate, controls, q1, q2)\n--\n\n"
    "Applies the two-qubit gate `gate` to qubits q1 and q2 on the amplitudes where every qubit "
    "in controls is set. gate is a 4x4 complex128 NumPy array in row-major indexing "
    "(gate[row, column]) or a flat list of 16 complex numbers in column-major order. q1 is the "
    "most significant bit of the local basis: the 2-bit subindex into the matrix is "
    "(bit_q1 << 1) | bit_q2. Unitarity is not checked.";
PyObject* sv_apply_controlled_gate_2q(PyObject* self, Args<4> a) {
  const ExclusiveSV sv(self);
  const QubitList controls = to_qubits(a[1], "controls");
  const size_t q1 = to_index(a[2], "q1");
  const size_t q2 = to_index(a[3], "q2");
  const std::array<Amp, 16> gate = extract_4x4(a[0]);
  check(sv->apply_controlled_gate_2q(gate, controls.span(), q1, q2));
  return detail::none();
}

PyMethodDef GATE_METHODS[] = {
    {"apply_x", as_cfunction(fastcall<APPLY_X, sv_gate_q<APPLY_X, &TavroSV::apply_x>>), FASTCALL,
     APPLY_X_DOC},
    {"apply_y", as_cfunction(fastcall<APPLY_Y, sv_gate_q<APPLY_Y, &TavroSV::apply_y>>), FASTCALL,
     APPLY_Y_DOC},
    {"apply_z", as_cfunction(fastcall<APPLY_Z, sv_gate_q<APPLY_Z, &TavroSV::apply_z>>), FASTCALL,
     APPLY_Z_DOC},
    {"apply_h", as_cfunction(fastcall<APPLY_H, sv_gate_q<APPLY_H, &TavroSV::apply_h>>), FASTCALL,
     APPLY_H_DOC},
    {"apply_s", as_cfunction(fastcall<APPLY_S, sv_gate_q<APPLY_S, &TavroSV::apply_s>>), FASTCALL,
     APPLY_S_DOC},
    {"apply_sdg", as_cfunction(fastcall<APPLY_SDG, sv_gate_q<APPLY_SDG, &TavroSV::apply_sdg>>),
     FASTCALL, APPLY_SDG_DOC},
    {"apply_t", as_cfunction(fastcall<APPLY_T, sv_gate_q<APPLY_T, &TavroSV::apply_t>>), FASTCALL,
     APPLY_T_DOC},
    {"apply_tdg", as_cfunction(fastcall<APPLY_TDG, sv_gate_q<APPLY_TDG, &TavroSV::apply_tdg>>),
     FASTCALL, APPLY_TDG_DOC},
    {"apply_sx", as_cfunction(fastcall<APPLY_SX, sv_gate_q<APPLY_SX, &TavroSV::apply_sx>>),
     FASTCALL, APPLY_SX_DOC},
    {"apply_p", as_cfunction(fastcall<APPLY_P, sv_gate_aq<APPLY_P, &TavroSV::apply_p>>), FASTCALL,
     APPLY_P_DOC},
    {"apply_rx", as_cfunction(fastcall<APPLY_RX, sv_gate_aq<APPLY_RX, &TavroSV::apply_rx>>),
     FASTCALL, APPLY_RX_DOC},
    {"apply_ry", as_cfunction(fastcall<APPLY_RY, sv_gate_aq<APPLY_RY, &TavroSV::apply_ry>>),
     FASTCALL, APPLY_RY_DOC},
    {"apply_rz", as_cfunction(fastcall<APPLY_RZ, sv_gate_aq<APPLY_RZ, &TavroSV::apply_rz>>),
     FASTCALL, APPLY_RZ_DOC},
    {"apply_u", as_cfunction(fastcall<APPLY_U, sv_apply_u>), FASTCALL, APPLY_U_DOC},
    {"apply_cx", as_cfunction(fastcall<APPLY_CX, sv_gate_qq<APPLY_CX, &TavroSV::apply_cx>>),
     FASTCALL, APPLY_CX_DOC},
    {"apply_cy", as_cfunction(fastcall<APPLY_CY, sv_gate_qq<APPLY_CY, &TavroSV::apply_cy>>),
     FASTCALL, APPLY_CY_DOC},
    {"apply_cz", as_cfunction(fastcall<APPLY_CZ, sv_gate_qq<APPLY_CZ, &TavroSV::apply_cz>>),
     FASTCALL, APPLY_CZ_DOC},
    {"apply_swap", as_cfunction(fastcall<APPLY_SWAP, sv_gate_qq<APPLY_SWAP, &TavroSV::apply_swap>>),
     FASTCALL, APPLY_SWAP_DOC},
    {"apply_iswap",
     as_cfunction(fastcall<APPLY_ISWAP, sv_gate_qq<APPLY_ISWAP, &TavroSV::apply_iswap>>), FASTCALL,
     APPLY_ISWAP_DOC},
    {"apply_cp", as_cfunction(fastcall<APPLY_CP, sv_gate_aqq<APPLY_CP, &TavroSV::apply_cp>>),
     FASTCALL, APPLY_CP_DOC},
    {"apply_crx", as_cfunction(fastcall<APPLY_CRX, sv_gate_aqq<APPLY_CRX, &TavroSV::apply_crx>>),
     FASTCALL, APPLY_CRX_DOC},
    {"apply_cry", as_cfunction(fastcall<APPLY_CRY, sv_gate_aqq<APPLY_CRY, &TavroSV::apply_cry>>),
     FASTCALL, APPLY_CRY_DOC},
    {"apply_crz", as_cfunction(fastcall<APPLY_CRZ, sv_gate_aqq<APPLY_CRZ, &TavroSV::apply_crz>>),
     FASTCALL, APPLY_CRZ_DOC},
    {"apply_rxx", as_cfunction(fastcall<APPLY_RXX, sv_gate_aqq<APPLY_RXX, &TavroSV::apply_rxx>>),
     FASTCALL, APPLY_RXX_DOC},
    {"apply_ryy", as_cfunction(fastcall<APPLY_RYY, sv_gate_aqq<APPLY_RYY, &TavroSV::apply_ryy>>),
     FASTCALL, APPLY_RYY_DOC},
    {"apply_rzz", as_cfunction(fastcall<APPLY_RZZ, sv_gate_aqq<APPLY_RZZ, &TavroSV::apply_rzz>>),
     FASTCALL, APPLY_RZZ_DOC},
    {"apply_gate_1q", as_cfunction(fastcall<APPLY_GATE_1Q, sv_apply_gate_1q>), FASTCALL,
     APPLY_GATE_1Q_DOC},
    {"apply_gate_2q", as_cfunction(fastcall<APPLY_GATE_2Q, sv_apply_gate_2q>), FASTCALL,
     APPLY_GATE_2Q_DOC},
    {"apply_gate_kq",
     as_cfunction(
         fastcall<APPLY_GATE_KQ, sv_gate_targets<extract_gate_kq, &TavroSV::apply_gate_kq>>),
     FASTCALL, APPLY_GATE_KQ_DOC},
    {"apply_diag_kq",
     as_cfunction(
         fastcall<APPLY_DIAG_KQ, sv_gate_targets<extract_diag_kq, &TavroSV::apply_diag_kq>>),
     FASTCALL, APPLY_DIAG_KQ_DOC},
    {"apply_mcx", as_cfunction(fastcall<APPLY_MCX, sv_apply_mcx>), FASTCALL, APPLY_MCX_DOC},
    {"apply_controlled_gate_1q",
     as_cfunction(fastcall<APPLY_CONTROLLED_GATE_1Q, sv_apply_controlled_gate_1q>), FASTCALL,
     APPLY_CONTROLLED_GATE_1Q_DOC},
    {"apply_controlled_gate_2q",
     as_cfunction(fastcall<APPLY_CONTROLLED_GATE_2Q, sv_apply_controlled_gate_2q>), FASTCALL,
     APPLY_CONTROLLED_GATE_2Q_DOC},
};

}  // namespace

std::span<const PyMethodDef> gate_methods() { return GATE_METHODS; }

}  // namespace tavro::python
