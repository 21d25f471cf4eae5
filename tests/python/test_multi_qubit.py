# Dense k-qubit, diagonal and multi-controlled gates: the dense model, the inline conversions of
# a k-qubit gate and of a diagonal, and the order of conversion.

import numpy as np
import pytest

import reference as ref
from support import IndexLike, assert_refused_untouched, bits, check_random_circuit
from tavro._core import GateShapeError, QubitIndexError, TavroSV

# In the order of the method table, with their text signatures (checked in test_state).
METHODS = {"apply_gate_kq": "($self, gate, targets)", "apply_diag_kq": "($self, diag, targets)",
           "apply_mcx": "($self, controls, target)",
           "apply_controlled_gate_1q": "($self, gate, controls, target)",
           "apply_controlled_gate_2q": "($self, gate, controls, q1, q2)"}
X = np.array([[0, 1], [1, 0]])


def controlled(m, c):
    """m on the last qubits where all c leading (most significant) qubits are set."""
    full = np.eye(len(m) << c, dtype=complex)
    full[-len(m):, -len(m):] = m
    return full


# Random calls, gates and diagonals as arrays or flat column-major lists; the model applies
# (matrix, qubits) with the first listed qubit most significant.
@pytest.mark.parametrize("dynamic", [False, True], ids=["static", "dynamic"])
@pytest.mark.parametrize("seed", range(4))
def test_random_circuits_match_the_model(seed, dynamic):
    def step(sv, rng):
        qs, c, k = [int(q) for q in rng.permutation(6)], int(rng.integers(4)), int(rng.integers(1, 6))
        m = ref.random_matrix(2 ** (1 + k % 2), rng)
        flat = ref.random_matrix(2**k, rng).flatten(order="F")
        dense = flat.reshape(2**k, -1, order="F")
        name, args, matrix, qubits = [  # method, arguments, matrix, qubits
            ("apply_gate_kq", (dense if c % 2 else flat.tolist(), qs[:k]), dense, qs[:k]),
            ("apply_diag_kq", (flat[: 2**k] if c % 2 else flat[: 2**k].tolist(), qs[:k]),
             np.diag(flat[: 2**k]), qs[:k]),
            ("apply_mcx", (qs[:c], qs[c]), controlled(X, c), qs[: c + 1]),
            (f"apply_controlled_gate_{len(m) // 2}q", (m, qs[:c], *qs[c : c + len(m) // 2]),
             controlled(m, c), qs[: c + len(m) // 2]),
        ][rng.integers(4)]
        getattr(sv, name)(*args)
        return matrix, qubits

    check_random_circuit(2000 + seed, dynamic, 25, step)


KQ_FORM = "gate for 3 qubits must be a 8x8 complex128 numpy array or a flat 64-element complex " \
    "list (column-major)"
DIAG_FORM = "diagonal for 2 qubits must be a 4-element complex128 array or sequence"
E4 = np.eye(4, dtype=complex)
OUT = "qubit index {} out of bounds for state vector with 4 qubits"

# call, class, and the exact message, the argument a TypeError names, or None for an unprefixed
# OverflowError. Plain arguments go first in parameter order, the target count is tested next,
# then the gate or diagonal is converted, and only then does the core check the qubits.
REFUSED = [
    (lambda sv: sv.apply_gate_kq("bad", [0, -1]), OverflowError, None),
    (lambda sv: sv.apply_gate_kq(None, "01"), TypeError, "targets"),
    (lambda sv: sv.apply_gate_kq(E4, [9] * 6), GateShapeError,
     "apply_gate_kq supports 1..=5 target qubits, got 6"),
    (lambda sv: sv.apply_gate_kq(E4, ()), GateShapeError,
     "apply_gate_kq supports 1..=5 target qubits, got 0"),
    (lambda sv: sv.apply_gate_kq([1] * 63, [0, 1, 9]), GateShapeError, KQ_FORM),
    (lambda sv: sv.apply_gate_kq(np.eye(8), [0, 1, 2]), GateShapeError, KQ_FORM),  # float64
    (lambda sv: sv.apply_gate_kq(np.eye(8, 4, dtype=complex), [0, 1, 2]), GateShapeError,
     "gate for 3 qubits must be 8x8 complex128, got shape [8, 4]"),
    (lambda sv: sv.apply_gate_kq(E4, [2, 2]), QubitIndexError,
     "two-qubit gate operands must be distinct, got (2, 2)"),
    (lambda sv: sv.apply_diag_kq([1, 1, 1], [0, 9]), GateShapeError,
     "diagonal for 2 qubits must have 4 entries, got 3"),
    (lambda sv: sv.apply_diag_kq(np.ones(8, complex)[::3], [0, 1]), GateShapeError,
     "diagonal for 2 qubits must have 4 entries, got shape [3]"),
    (lambda sv: sv.apply_diag_kq(np.ones((2, 2), complex), [0, 1]), GateShapeError, DIAG_FORM),
    (lambda sv: sv.apply_diag_kq("abcd", [0, 1]), GateShapeError, DIAG_FORM),
    (lambda sv: sv.apply_diag_kq(None, range(11)), GateShapeError,
     "apply_diag_kq supports 1..=10 target qubits, got 11"),
    (lambda sv: sv.apply_mcx([1.5], -1), TypeError, "controls"),
    (lambda sv: sv.apply_mcx(np.array([0, 9]), 1), QubitIndexError, OUT.format(9)),
    (lambda sv: sv.apply_controlled_gate_1q("bad", [0], -1), OverflowError, None),
    (lambda sv: sv.apply_controlled_gate_2q([1] * 4, [0], 1, 9), GateShapeError,
     "gate must be a 4x4 complex128 numpy array or a flat 16-element complex list (column-major)"),
    # A call back into the state while a qubit list converts: a read, then a change.
    (lambda sv: sv.apply_mcx([IndexLike(0, lambda: sv.get(0))], 1), RuntimeError,
     "Already mutably borrowed"),
    (lambda sv: sv.apply_diag_kq([1, 1], [IndexLike(1, lambda: sv.apply_x(0))]), RuntimeError,
     "Already borrowed"),
]


@pytest.mark.parametrize("call,cls,expected", REFUSED)
def test_refusals_and_their_order(call, cls, expected):
    assert_refused_untouched(call, cls, expected, ref.random_state(4, np.random.default_rng(19)))


M8 = ref.random_matrix(8, np.random.default_rng(8))
WIDE = np.zeros((16, 24), complex)
WIDE[::2, ::3] = M8
D4 = np.array([0.5 - 1j, 2.0, -0.25j, 3 + 0.5j])
# A form, the values it names (a gate row-major), and the targets. Arrays are read through
# their strides; a gate list is already column-major.
FORMS = [
    (M8.T, M8.T, [1, 3, 0]),
    (WIDE[::2, ::3], M8, [3, 2, 1]),
    (np.arange(64.0), np.arange(64.0).reshape(8, 8, order="F"), [0, 1, 2]),  # float64 numbers
    (D4[::-1], D4[::-1], [3, 1]),
    ([1, True, np.float32(2), IndexLike(3)], [1, 1, 2, 3], [0, 2]),
]


@pytest.mark.parametrize("form,values,targets", FORMS)
def test_forms_convert_to_the_same_values(form, values, targets):
    method = "apply_diag_kq" if np.ndim(values) == 1 else "apply_gate_kq"
    a = TavroSV.from_amplitudes(4, ref.random_state(4, np.random.default_rng(23)))
    b = a.clone()
    getattr(a, method)(form, targets)
    getattr(b, method)(np.ascontiguousarray(values, complex), targets)
    assert bits(a.amplitudes()) == bits(b.amplitudes())


# One and two targets take the tuned kernels: the bits of apply_gate_1q and apply_gate_2q, with
# targets[0] as q1.
@pytest.mark.parametrize("qubits", [[3], [1], [0, 3], [3, 1]])
def test_one_and_two_targets_agree_with_the_dense_gates(qubits):
    gate = ref.random_matrix(2 ** len(qubits), np.random.default_rng(len(qubits)))
    a = TavroSV.from_amplitudes(4, ref.random_state(4, np.random.default_rng(29)))
    b = a.clone()
    a.apply_gate_kq(gate, qubits)
    getattr(b, f"apply_gate_{len(qubits)}q")(gate, *qubits)
    assert bits(a.amplitudes()) == bits(b.amplitudes())
