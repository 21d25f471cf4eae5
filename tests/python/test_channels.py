# Noise channels: the operator-stack forms and their messages, the order of conversion (the
# generator before the stack), the mixed-unitary count check, draws, and the chosen trajectory
# against the dense model and the generator model.

import numpy as np
import pytest

import reference as ref
from support import ModelRng, assert_draws, assert_refused, bits
from tavro._core import GateShapeError, QubitIndexError, Rng, TavroSV

SEED = 0xC4A7
METHODS = {"apply_kraus_1q": "($self, kraus_ops, target, rng)",
           "apply_kraus_2q": "($self, kraus_ops, q1, q2, rng)",
           "apply_mixed_unitary_1q": "($self, unitaries, probs, target, rng)",
           "apply_mixed_unitary_2q": "($self, unitaries, probs, q1, q2, rng)"}
I2, X2, E4 = np.eye(2, dtype=complex), np.array([[0, 1], [1, 0]], complex), np.eye(4, dtype=complex)
GENERAL_2 = "gate must be a 2x2 complex128 numpy array or a flat 4-element complex list " \
    "(column-major)"


def later(f):
    """A one-item iterable that runs f when the converter takes its item."""
    return (f() for _ in [0])


# call(sv, rng), class, the exact message, the argument a TypeError names, or None (OverflowError),
# and the live qubits a dynamic state has afterwards. Plain arguments in parameter order, the
# generator among them, then the stack, then the count check, then the core. Nothing draws.
REFUSED = [
    (lambda sv, r: sv.apply_kraus_1q(5, 0, None), TypeError, "rng", 0),
    (lambda sv, r: sv.apply_kraus_1q(5, 0, r), TypeError, "'int' object is not iterable", 0),
    (lambda sv, r: sv.apply_kraus_1q(np.zeros((3, 2, 3), complex), 0, r), GateShapeError,
     "operator stack must have shape (n, 2, 2), got [3, 2, 3]", 0),
    (lambda sv, r: sv.apply_kraus_2q(np.zeros((1, 2, 2), complex), 0, 1, r), GateShapeError,
     "operator stack must have shape (n, 4, 4), got [1, 2, 2]", 0),
    (lambda sv, r: sv.apply_kraus_1q([1, 0, 0, 1, 0, 1, 1, 0], 0, r), GateShapeError, GENERAL_2,
     0),  # a flat list: its first item is not a matrix
    (lambda sv, r: sv.apply_kraus_1q([I2, np.zeros((2, 3), complex)], 0, r), GateShapeError,
     "gate must be 2x2 complex128, got shape [2, 3]", 0),
    (lambda sv, r: sv.apply_kraus_2q(later(lambda: I2), 0, 1, r), GateShapeError,
     "gate must be 4x4 complex128, got shape [2, 2]", 0),
    (lambda sv, r: sv.apply_kraus_1q([], 0, r), GateShapeError,
     "invalid gate matrix: kraus_ops length must be a non-zero multiple of 4 (got 0)", 1),
    (lambda sv, r: sv.apply_kraus_2q([E4], 0, 3, r), QubitIndexError,
     "qubit index 3 out of bounds for state vector with 3 qubits", 0),
    (lambda sv, r: sv.apply_mixed_unitary_1q(5, "ab", 0, r), TypeError, "probs", 0),
    (lambda sv, r: sv.apply_mixed_unitary_1q([I2, X2], [0.5], 0, r), GateShapeError,
     "len(unitaries) must be 4 \u00d7 len(probs); got 2 unitaries vs 1 probs", 0),
    (lambda sv, r: sv.apply_mixed_unitary_2q(E4[None], [0.5, 0.5], 5, 5, r), GateShapeError,
     "len(unitaries) must be 16 \u00d7 len(probs); got 1 unitaries vs 2 probs", 0),
    (lambda sv, r: sv.apply_mixed_unitary_1q([1, 0, 0, 1, 0, 1, 1, 0], [0.5, 0.5], 0, r),
     GateShapeError, GENERAL_2, 0),
    (lambda sv, r: sv.apply_mixed_unitary_1q([], [], 0, r), GateShapeError,
     "invalid gate matrix: mixed_unitary_1q: unitaries length must be 4 \u00d7 len(probs) "
     "(0 \u00d7 4 = 0, got 0)", 0),
    (lambda sv, r: sv.apply_mixed_unitary_2q([E4], [1.0], 1, 1, r), QubitIndexError,
     "two-qubit gate operands must be distinct, got (1, 1)", 0),
    # The generator and the state are taken before the stack converts.
    (lambda sv, r: sv.apply_kraus_1q(later(lambda: TavroSV.zero(1).measure_qubit(0, r)), 0, r),
     RuntimeError, "Already borrowed", 0),
    (lambda sv, r: sv.apply_mixed_unitary_1q(later(lambda: sv.get(0)), [1.0], 0, r),
     RuntimeError, "Already mutably borrowed", 0),
]


@pytest.mark.parametrize("call,cls,expected,live", REFUSED)
def test_refusals_their_order_and_no_draw(call, cls, expected, live):
    psi = ref.random_state(3, np.random.default_rng(41))
    static, dynamic = TavroSV.from_amplitudes(3, psi), TavroSV.zero(3, True)
    for sv in (static, dynamic):
        rng = Rng(SEED)
        with pytest.raises(BaseException) as info:
            call(sv, rng)
        assert_refused(info, cls, expected)
        assert_draws(rng, 0, SEED)  # and the generator is free again
    # The Kraus channels allocate their qubit before the core checks the list.
    assert bits(static.amplitudes()) == bits(psi) and dynamic.live_qubits == live


# probs, and the index chosen (None: the model's pick from one draw), and the draws. A total of
# zero or less picks 0 without a draw; a NaN total draws and falls through to the last.
MIXED = [([0.25, 0.25], None, 1), ([0.0, 0.0], 0, 0), ([float("nan"), 1.0], 1, 1),
         ([0.5, 0.0, 0.5], None, 1)]


@pytest.mark.parametrize("width", [1, 2])
@pytest.mark.parametrize("probs,pick,draws", MIXED)
def test_mixed_unitary_picks_and_draws(probs, pick, draws, width):
    rng_np = np.random.default_rng(43)
    us = np.array([ref.random_matrix(2**width, rng_np) for _ in probs])
    a = TavroSV.from_amplitudes(3, ref.random_state(3, rng_np))
    b, rng = a.clone(), Rng(SEED)
    qubits = [2, 0][:width]
    k = getattr(a, f"apply_mixed_unitary_{width}q")(us, probs, *qubits, rng)
    if pick is None:
        target = sum(probs, -0.0) * ModelRng(SEED).next_f64()
        pick = next(i for i in range(len(probs)) if sum(probs[: i + 1], 0.0) > target)
    assert k == pick
    getattr(b, f"apply_gate_{width}q")(us[k], *qubits)  # applied exactly as that gate
    assert bits(a.amplitudes()) == bits(b.amplitudes())
    assert_draws(rng, draws, SEED)


# Random Kraus operators in each stack form, on static and dynamic states: the index the model's
# weights and draw pick, and the state K psi / |K psi|.
@pytest.mark.parametrize("dynamic", [False, True], ids=["static", "dynamic"])
@pytest.mark.parametrize("form", ["array", "flat lists", "generator"])
@pytest.mark.parametrize("width", [1, 2])
def test_kraus_trajectory_matches_the_model(width, form, dynamic):
    seed = 47 + 10 * width + len(form) + dynamic
    rng_np, rng = np.random.default_rng(seed), Rng(seed)
    ops = [ref.random_matrix(2**width, rng_np) for _ in range(3)]
    stack = {"array": np.array(ops), "flat lists": [m.flatten(order="F").tolist() for m in ops],
             "generator": (m for m in ops)}[form]
    sv = TavroSV.zero(4, True) if dynamic else TavroSV.from_amplitudes(
        4, ref.random_state(4, rng_np))
    sv.apply_ry(0.7, 1)
    psi = np.array([sv.get_logical(i) for i in range(16)])
    qubits = [3, 1][:width]
    k = getattr(sv, f"apply_kraus_{width}q")(stack, *qubits, rng)
    after = [ref.apply(psi, m, qubits) for m in ops]
    w = np.cumsum([np.vdot(v, v).real for v in after])
    assert k == int(np.argmax(w > w[-1] * ModelRng(seed).next_f64()))
    assert_draws(rng, 1, seed)
    want = after[k] / np.linalg.norm(after[k])
    assert np.allclose([sv.get_logical(i) for i in range(16)], want, rtol=0, atol=1e-12)
