# Expectation values: the dense model on static and dynamic states, the Pauli string's own checks
# (its length in code points, then each letter), the order of conversion, and shared use.

from functools import reduce

import numpy as np
import pytest

import reference as ref
from support import IndexLike, assert_refused, bits
from tavro._core import GateShapeError, QubitIndexError, TavroSV

METHODS = {"expectation_1q": "($self, op, target)", "expectation_2q": "($self, op, q1, q2)",
           "expectation_pauli": "($self, paulis, qubits)"}
PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1, -1])}


# Unnormalised static states, and dynamic ones where some qubits were never touched.
@pytest.mark.parametrize("dynamic", [False, True], ids=["static", "dynamic"])
@pytest.mark.parametrize("seed", range(5))
def test_expectations_match_the_model(seed, dynamic):
    rng = np.random.default_rng(3000 + seed)
    sv = TavroSV.zero(5, True) if dynamic else TavroSV.from_amplitudes(
        5, 1.5 * ref.random_state(5, rng))
    for q in rng.choice(5, 2, replace=False):
        sv.apply_u(*rng.uniform(-3, 3, 3), int(q))
    psi = np.array([sv.get_logical(i) for i in range(32)])
    qs, letters = [int(q) for q in rng.permutation(5)], "".join(rng.choice(list("IXYZ"), 4))
    op1, op2 = ref.random_matrix(2, rng), ref.random_matrix(4, rng)
    cases = [(sv.expectation_1q(op1, qs[0]), op1, qs[:1]),
             (sv.expectation_2q(op2.flatten(order="F").tolist(), *qs[:2]), op2, qs[:2]),
             (sv.expectation_pauli(letters, qs[:4]), reduce(np.kron, map(PAULI.get, letters)),
              qs[:4])]
    for got, m, qubits in cases:
        want = np.vdot(psi, ref.apply(psi, m, qubits))
        assert type(got) is complex and abs(got - want) <= 1e-12 * max(1.0, abs(want))
    # Letters are case-insensitive: the same terms reach the core.
    assert bits(sv.expectation_pauli(letters.lower(), np.array(qs[:4]))) == bits(cases[2][0])
    # No letter acting: the squared norm as the core sums it, not 1.
    assert bits(sv.expectation_pauli("iI", qs[:2])) == bits(complex(sv.norm_squared(), 0.0))


LETTER = "invalid gate matrix: expected one of I/X/Y/Z, got '{}'"

# call, class, and the exact message, the argument a TypeError names, or None (OverflowError):
# paulis, then qubits, then the length in code points, then each letter, then the core's checks.
REFUSED = [
    (lambda sv: sv.expectation_pauli("\u00c9", [0, 1]), ValueError,  # two bytes, one letter
     "Pauli string length 1 does not match qubit count 2"),
    (lambda sv: sv.expectation_pauli("\u00c9", [0]), GateShapeError, LETTER.format("\u00c9")),
    (lambda sv: sv.expectation_pauli("xq", [0, 9]), GateShapeError, LETTER.format("Q")),
    (lambda sv: sv.expectation_pauli("\ud800", [0]), GateShapeError, LETTER.format("\ufffd")),
    (lambda sv: sv.expectation_pauli("XQ", [0]), ValueError,
     "Pauli string length 2 does not match qubit count 1"),
    (lambda sv: sv.expectation_pauli(b"X", "0"), TypeError, "paulis"),
    (lambda sv: sv.expectation_pauli("X", "0"), TypeError, "qubits"),
    (lambda sv: sv.expectation_pauli("IX", [1, 1]), QubitIndexError,
     "two-qubit gate operands must be distinct, got (1, 1)"),
    (lambda sv: sv.expectation_1q("bad", -1), OverflowError, None),
    (lambda sv: sv.expectation_2q(np.eye(2, dtype=complex), 0, 9), GateShapeError,
     "gate must be 4x4 complex128, got shape [2, 2]"),
    (lambda sv: sv.expectation_2q(np.eye(4, dtype=complex), 0, 9), QubitIndexError,
     "qubit index 9 out of bounds for state vector with 3 qubits"),
    # A read takes the state for shared use: a change meanwhile is refused.
    (lambda sv: sv.expectation_1q(np.eye(2), IndexLike(0, lambda: sv.apply_x(0))), RuntimeError,
     "Already borrowed"),
]


@pytest.mark.parametrize("call,cls,expected", REFUSED)
def test_refusals_and_their_order(call, cls, expected):
    psi = ref.random_state(3, np.random.default_rng(37))
    sv = TavroSV.from_amplitudes(3, psi)
    with pytest.raises(BaseException) as info:
        call(sv)
    assert_refused(info, cls, expected)
    assert bits(sv.amplitudes()) == bits(psi)
    sv.apply_h(0)  # free again


def test_reads_share_the_state():
    sv, seen = TavroSV.from_bitstring([1, 0]), []
    got = sv.expectation_pauli("Z", [IndexLike(0, lambda: seen.append(sv.get(1)))])
    assert (got, seen) == (-1 + 0j, [1 + 0j])
