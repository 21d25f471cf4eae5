# The one- and two-qubit gate methods of TavroSV against the dense Kronecker model, their
# signatures, the order in which arguments are converted, and the forms a gate matrix may take.

import inspect

import numpy as np
import pytest

import reference as ref
from support import IndexLike, assert_refused_untouched, bits, check_random_circuit
from tavro._core import GateShapeError, QubitIndexError, TavroSV

X, Y, Z = np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
H = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
SX = np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]) / 2
SWAP, ISWAP = np.eye(4)[[0, 2, 1, 3]], np.diag([1, 1j, 1j, 1])[[0, 2, 1, 3]]


def p(lam):
    return np.diag([1, np.exp(1j * lam)])


def rot(pauli):
    return lambda t: np.cos(t / 2) * np.eye(len(pauli)) - 1j * np.sin(t / 2) * pauli


def ctl(m):
    return np.block([[np.eye(2), np.zeros((2, 2))], [np.zeros((2, 2)), m]])


# Gate: the parameters of its method, and its textbook matrix (or the function of the arguments
# before the qubits that gives it); in the order of the method table.
GATES = {
    "x": ("target", X), "y": ("target", Y), "z": ("target", Z), "h": ("target", H),
    "s": ("target", p(np.pi / 2)), "sdg": ("target", p(-np.pi / 2)), "t": ("target", p(np.pi / 4)),
    "tdg": ("target", p(-np.pi / 4)), "sx": ("target", SX), "p": ("lambda, target", p),
    "rx": ("theta, target", rot(X)), "ry": ("theta, target", rot(Y)),
    "rz": ("lmbda, target", rot(Z)),
    "u": ("theta, phi, lmbda, target",  # e^(i(phi+lmbda)/2) Rz(phi) Ry(theta) Rz(lmbda)
          lambda t, f, lm: np.exp(0.5j * (f + lm)) * rot(Z)(f) @ rot(Y)(t) @ rot(Z)(lm)),
    "cx": ("control, target", ctl(X)), "cy": ("control, target", ctl(Y)), "cz": ("q1, q2", ctl(Z)),
    "swap": ("q1, q2", SWAP), "iswap": ("q1, q2", ISWAP),
    "cp": ("lmbda, q1, q2", lambda t: ctl(p(t))),
    "crx": ("theta, control, target", lambda t: ctl(rot(X)(t))),
    "cry": ("theta, control, target", lambda t: ctl(rot(Y)(t))),
    "crz": ("lmbda, control, target", lambda t: ctl(rot(Z)(t))),
    "rxx": ("theta, q1, q2", rot(np.kron(X, X))), "ryy": ("theta, q1, q2", rot(np.kron(Y, Y))),
    "rzz": ("theta, q1, q2", rot(np.kron(Z, Z))),
    "gate_1q": ("gate, target", np.asarray), "gate_2q": ("gate, q1, q2", np.asarray),
}
GATE_METHODS = ["apply_" + name for name in GATES]


# Random arguments before the qubits, the qubit count, and the model's matrix.
def draw(name, rng):
    params, model = GATES[name][0].split(", "), GATES[name][1]
    k = sum(q in ("target", "control", "q1", "q2") for q in params)
    args = [rng.uniform(-7, 7) if a != "gate" else ref.random_matrix(2**k, rng) for a in params]
    return args[:-k], k, model(*args[:-k]) if callable(model) else model


# Random gates on random qubits, called by keyword.
@pytest.mark.parametrize("dynamic", [False, True], ids=["static", "dynamic"])
@pytest.mark.parametrize("seed", range(6))
def test_random_circuits_match_the_model(seed, dynamic):
    def step(sv, rng):
        name = list(GATES)[rng.integers(len(GATES))]
        args, k, matrix = draw(name, rng)
        qubits = [int(q) for q in rng.choice(6, k, replace=False)]
        getattr(sv, "apply_" + name)(**dict(zip(GATES[name][0].split(", "), [*args, *qubits])))
        return matrix, qubits

    check_random_circuit(1000 + seed, dynamic, 40, step)


@pytest.mark.parametrize("name", GATES)
def test_signature_and_docstring(name):
    method, params = getattr(TavroSV, "apply_" + name), GATES[name][0]
    assert method.__text_signature__ == f"($self, {params})"
    # Only the dense gates describe themselves beyond the signature block.
    assert (method.__doc__ is None) != name.startswith("gate_")
    if name != "p":  # `lambda` is a keyword: apply_p's signature cannot become a Signature
        sig = inspect.signature(getattr(TavroSV.zero(1), "apply_" + name))
        assert str(sig) == f"({params})"
        assert all(p.kind == p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


U4 = ref.random_matrix(4, np.random.default_rng(4))
M_OUT = "qubit index {} out of bounds for state vector with 4 qubits"
GENERAL = "gate must be a {0}x{0} complex128 numpy array or a flat {1}-element complex list " \
    "(column-major)"
GENERAL_2, GENERAL_4 = GENERAL.format(2, 4), GENERAL.format(4, 16)
SHAPE = "gate must be {0}x{0} complex128, got shape [{1}]"


def dense(gate, k=1):
    return lambda sv: sv.apply_gate_1q(gate, 0) if k == 1 else sv.apply_gate_2q(gate, 0, 1)


# call, class, and the exact message, or the argument a TypeError names, or None for an
# unprefixed OverflowError. Conversions go in parameter order, the matrix last, then the core.
REFUSED = [
    (lambda sv: sv.apply_h(2**64 - 1), QubitIndexError, M_OUT.format(2**64 - 1)),
    (lambda sv: sv.apply_crz(0.3, 2, 2), QubitIndexError,
     "two-qubit gate operands must be distinct, got (2, 2)"),
    (lambda sv: sv.apply_x(2**64), OverflowError, None),
    (lambda sv: sv.apply_cx(-1, "a"), OverflowError, None),
    (lambda sv: sv.apply_gate_1q("bad", -1), OverflowError, None),
    (lambda sv: sv.apply_p(None, 0), TypeError, "lambda"),
    (lambda sv: sv.apply_u(0.1, "x", 0.3, -1), TypeError, "phi"),
    (lambda sv: sv.apply_gate_1q("bad", 99), GateShapeError, GENERAL_2),
    (lambda sv: sv.apply_gate_2q([1] * 3, 1, 1), GateShapeError, GENERAL_4),
    # The matrix forms refused, with their messages.
    (dense(np.zeros((2, 3), complex)), GateShapeError, SHAPE.format(2, "2, 3")),
    (dense(np.eye(2)), GateShapeError, GENERAL_2),  # float64: its rows are not numbers
    (dense(np.eye(2, dtype=complex), 2), GateShapeError, SHAPE.format(4, "2, 2")),
    # A call back into the state while an argument converts: a read, then a change.
    (lambda sv: sv.apply_u(0.1, 0.2, 0.3, IndexLike(0, lambda: sv.get(0))), RuntimeError,
     "Already mutably borrowed"),
    (lambda sv: sv.apply_crx(0.1, 0, IndexLike(1, lambda: sv.apply_x(0))), RuntimeError,
     "Already borrowed"),
]


@pytest.mark.parametrize("call,cls,expected", REFUSED)
def test_refusals_and_their_order(call, cls, expected):
    assert_refused_untouched(call, cls, expected, ref.random_state(4, np.random.default_rng(9)))


M = np.array([[0.5 + 0.25j, -1.0], [2.0 - 0.75j, 0.125 + 3.0j]])  # exact in float32 too
ACCEPTED = [  # a form, and the matrix (as a row-major complex128 array) it names
    (np.array(M).T, M.T),
    ([complex(v) for v in M.flatten(order="F")], M),
    ([True, 0, np.float32(2), IndexLike(1)], [[1, 2], [0, 1]]),
    (np.kron(U4, np.ones((3, 4)))[::3, ::4], U4),  # a strided view
]


@pytest.mark.parametrize("gate,matrix", ACCEPTED)
def test_gate_forms_convert_to_the_column_major_values(gate, matrix):
    # The same values reach the kernel as through a row-major complex128 array.
    method, qubits = ("apply_gate_2q", (2, 0)) if np.size(matrix) == 16 else ("apply_gate_1q", (1,))
    a = TavroSV.from_amplitudes(3, ref.random_state(3, np.random.default_rng(13)))
    b = a.clone()
    getattr(a, method)(gate, *qubits)
    getattr(b, method)(np.array(matrix, complex), *qubits)
    assert bits(a.amplitudes()) == bits(b.amplitudes())
