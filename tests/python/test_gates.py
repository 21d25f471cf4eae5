"""The one- and two-qubit gate methods of TavroSV against the dense Kronecker model, their
signatures, the order in which arguments are converted, and the forms a gate matrix may take."""

import inspect
import itertools
import warnings

import numpy as np
import pytest

import reference as ref
from support import IndexLike, bits
from tavro._core import GateShapeError, QubitIndexError, TavroSV

TOL = 1e-12

# A unitary whose four entries all differ, so that a transposed or mirrored read shows.
U2 = ref.random_unitary(2, np.random.default_rng(2))
U4 = ref.random_unitary(4, np.random.default_rng(4))

# method, arguments before the qubits, textbook matrix
ONE_QUBIT = [
    ("apply_x", (), ref.X),
    ("apply_y", (), ref.Y),
    ("apply_z", (), ref.Z),
    ("apply_h", (), ref.H),
    ("apply_s", (), ref.S),
    ("apply_sdg", (), ref.SDG),
    ("apply_t", (), ref.T),
    ("apply_tdg", (), ref.TDG),
    ("apply_sx", (), ref.SX),
    ("apply_p", (0.7,), ref.p(0.7)),
    ("apply_rx", (1.1,), ref.rx(1.1)),
    ("apply_ry", (-2.3,), ref.ry(-2.3)),
    ("apply_rz", (0.9,), ref.rz(0.9)),
    ("apply_u", (0.3, 1.2, -0.8), ref.u(0.3, 1.2, -0.8)),
    ("apply_gate_1q", (U2,), U2),
]

TWO_QUBIT = [
    ("apply_cx", (), ref.CX),
    ("apply_cy", (), ref.CY),
    ("apply_cz", (), ref.CZ),
    ("apply_swap", (), ref.SWAP),
    ("apply_iswap", (), ref.ISWAP),
    ("apply_cp", (0.7,), ref.cp(0.7)),
    ("apply_crx", (1.3,), ref.crx(1.3)),
    ("apply_cry", (-0.4,), ref.cry(-0.4)),
    ("apply_crz", (2.2,), ref.crz(2.2)),
    ("apply_rxx", (0.5,), ref.rxx(0.5)),
    ("apply_ryy", (-1.7,), ref.ryy(-1.7)),
    ("apply_rzz", (2.9,), ref.rzz(2.9)),
    ("apply_gate_2q", (U4,), U4),
]

ONE_IDS = [g[0] for g in ONE_QUBIT]
TWO_IDS = [g[0] for g in TWO_QUBIT]


def logical_amplitudes(sv):
    return np.array([sv.get_logical(i) for i in range(2**sv.num_qubits)])


def assert_close(got, want):
    assert np.max(np.abs(np.asarray(got) - want)) < TOL


# A dynamic state touched in a scrambled order, with some qubits left untouched: its slots
# differ from its logical qubits, and a gate on an untouched qubit allocates it.
def prepared_dynamic(n, touched, seed):
    rng = np.random.default_rng(seed)
    sv = TavroSV.zero(n, dynamic_qubits=True)
    want = np.zeros(2**n, dtype=np.complex128)
    want[0] = 1
    for q in touched:
        angles = rng.uniform(-np.pi, np.pi, 3)
        sv.apply_u(*angles, q)
        want = ref.apply(want, ref.u(*angles), [q])
    for a, b in zip(touched, touched[1:]):
        sv.apply_cx(a, b)
        want = ref.apply(want, ref.CX, [a, b])
    assert sv.live_qubits == len(touched)
    return sv, want


# ---- every gate against the dense model


@pytest.mark.parametrize("target", range(7))
@pytest.mark.parametrize("name,args,matrix", ONE_QUBIT, ids=ONE_IDS)
def test_one_qubit_gate_on_a_static_state(name, args, matrix, target):
    # Slots 0, 1 and 2 have kernels of their own; 3 and above take the fused pair bodies.
    psi = ref.random_state(7, np.random.default_rng(target))
    sv = TavroSV.from_amplitudes(7, psi)
    assert getattr(sv, name)(*args, target) is None
    assert_close(sv.amplitudes(), ref.apply(psi, matrix, [target]))


@pytest.mark.parametrize("target", range(6))
@pytest.mark.parametrize("name,args,matrix", ONE_QUBIT, ids=ONE_IDS)
def test_one_qubit_gate_on_a_dynamic_state(name, args, matrix, target):
    touched = [3, 0, 5, 1]
    sv, psi = prepared_dynamic(6, touched, seed=target)
    getattr(sv, name)(*args, target)
    assert sv.live_qubits == len(touched) + (target not in touched)
    assert sv.is_allocated(target)
    assert_close(logical_amplitudes(sv), ref.apply(psi, matrix, [target]))


PAIRS5 = list(itertools.permutations(range(5), 2))


@pytest.mark.parametrize("q1,q2", PAIRS5)
@pytest.mark.parametrize("name,args,matrix", TWO_QUBIT, ids=TWO_IDS)
def test_two_qubit_gate_on_every_ordered_pair_of_a_static_state(name, args, matrix, q1, q2):
    psi = ref.random_state(5, np.random.default_rng(10 * q1 + q2))
    sv = TavroSV.from_amplitudes(5, psi)
    assert getattr(sv, name)(*args, q1, q2) is None
    assert_close(sv.amplitudes(), ref.apply(psi, matrix, [q1, q2]))


@pytest.mark.parametrize("q1,q2", PAIRS5)
@pytest.mark.parametrize("name,args,matrix", TWO_QUBIT, ids=TWO_IDS)
def test_two_qubit_gate_on_every_ordered_pair_of_a_dynamic_state(name, args, matrix, q1, q2):
    touched = [4, 1, 2]  # qubits 0 and 3 untouched: pairs with one or both of them allocate
    sv, psi = prepared_dynamic(5, touched, seed=q1 + 7 * q2)
    getattr(sv, name)(*args, q1, q2)
    assert sv.live_qubits == len(set(touched) | {q1, q2})
    assert_close(logical_amplitudes(sv), ref.apply(psi, matrix, [q1, q2]))


def test_dynamic_allocation_follows_argument_order():
    # Logical 4 gets slot 0, logical 2 slot 1: |q4 q2> = |1 0> sits at physical index 1.
    sv = TavroSV.zero(5, dynamic_qubits=True)
    sv.apply_x(4)
    sv.apply_cz(4, 2)
    assert (len(sv), sv.live_qubits) == (4, 2)
    assert sv.amplitudes().tolist() == [0, 1, 0, 0]
    sv.apply_cx(4, 0)  # logical 0 gets slot 2 and is flipped: physical 1 + 4
    assert sv.amplitudes().tolist() == [0, 0, 0, 0, 0, 1, 0, 0]
    assert sv.get_logical(0b10001) == 1


def tensor_apply(psi, matrix, qubits):
    """The model by tensor contraction, for states too wide for a dense operator: axis i of
    the tensor is qubit n - 1 - i."""
    n = int(np.log2(len(psi)))
    k = len(qubits)
    t = psi.reshape((2,) * n)
    m = np.asarray(matrix).reshape((2,) * (2 * k))
    axes = [n - 1 - q for q in qubits]
    out = np.tensordot(m, t, axes=(list(range(k, 2 * k)), axes))
    return np.moveaxis(out, list(range(k)), axes).reshape(-1)


WIDE = [
    ("apply_h", (), ref.H, (0,)),
    ("apply_h", (), ref.H, (3,)),
    ("apply_h", (), ref.H, (16,)),
    ("apply_rx", (0.8,), ref.rx(0.8), (1,)),
    ("apply_u", (0.3, -1.1, 2.0), ref.u(0.3, -1.1, 2.0), (12,)),
    ("apply_gate_1q", (U2,), U2, (2,)),
    ("apply_cx", (), ref.CX, (16, 0)),
    ("apply_cx", (), ref.CX, (0, 16)),
    ("apply_cy", (), ref.CY, (5, 9)),
    ("apply_crz", (1.1,), ref.crz(1.1), (1, 2)),
    ("apply_rzz", (0.6,), ref.rzz(0.6), (15, 3)),
    ("apply_iswap", (), ref.ISWAP, (0, 2)),
    ("apply_gate_2q", (U4,), U4, (2, 14)),
    ("apply_gate_2q", (U4,), U4, (14, 2)),
]


@pytest.mark.parametrize(
    "name,args,matrix,qubits", WIDE, ids=[f"{w[0]}{w[3]}" for w in WIDE]
)
def test_wide_states_run_the_parallel_paths(name, args, matrix, qubits):
    # 2^17 amplitudes lie above the parallel cut-over for up to 8 workers.
    psi = ref.random_state(17, np.random.default_rng(17))
    sv = TavroSV.from_amplitudes(17, psi)
    getattr(sv, name)(*args, *qubits)
    assert_close(sv.amplitudes(), tensor_apply(psi, matrix, qubits))


ANGLED = {"apply_p", "apply_rx", "apply_ry", "apply_rz", "apply_cp", "apply_crx", "apply_cry",
          "apply_crz", "apply_rxx", "apply_ryy", "apply_rzz"}
MODEL = {
    "apply_p": ref.p, "apply_rx": ref.rx, "apply_ry": ref.ry, "apply_rz": ref.rz,
    "apply_cp": ref.cp, "apply_crx": ref.crx, "apply_cry": ref.cry, "apply_crz": ref.crz,
    "apply_rxx": ref.rxx, "apply_ryy": ref.ryy, "apply_rzz": ref.rzz,
}


def random_circuit(rng, n, length):
    """(method, arguments, matrix, qubits) for `length` gates drawn over every method."""
    gates = []
    for _ in range(length):
        if rng.random() < 0.5:
            name, args, matrix = ONE_QUBIT[rng.integers(len(ONE_QUBIT))]
            qubits = [int(rng.integers(n))]
        else:
            name, args, matrix = TWO_QUBIT[rng.integers(len(TWO_QUBIT))]
            qubits = [int(q) for q in rng.choice(n, 2, replace=False)]
        if name in ANGLED:
            angle = float(rng.uniform(-2 * np.pi, 2 * np.pi))
            args, matrix = (angle,), MODEL[name](angle)
        elif name == "apply_u":
            args = tuple(float(a) for a in rng.uniform(-np.pi, np.pi, 3))
            matrix = ref.u(*args)
        elif name in ("apply_gate_1q", "apply_gate_2q"):
            matrix = ref.random_unitary(len(matrix), rng)
            args = (matrix,)
        gates.append((name, args, matrix, qubits))
    return gates


@pytest.mark.parametrize("dynamic", [False, True], ids=["static", "dynamic"])
@pytest.mark.parametrize("seed", range(12))
def test_random_circuits_match_the_dense_model(seed, dynamic):
    n = 6
    rng = np.random.default_rng(1000 + seed)
    if dynamic:
        sv = TavroSV.zero(n, dynamic_qubits=True)
        psi = np.zeros(2**n, dtype=np.complex128)
        psi[0] = 1
    else:
        psi = ref.random_state(n, rng)
        sv = TavroSV.from_amplitudes(n, psi)
    for name, args, matrix, qubits in random_circuit(rng, n, 40):
        getattr(sv, name)(*args, *qubits)
        psi = ref.apply(psi, matrix, qubits)
    got = logical_amplitudes(sv) if dynamic else sv.amplitudes()
    assert_close(got, psi)
    assert abs(sv.norm_squared() - 1) < TOL


# ---- names, signatures and docstrings

PARAMS = [
    ("apply_x", "target"),
    ("apply_y", "target"),
    ("apply_z", "target"),
    ("apply_h", "target"),
    ("apply_s", "target"),
    ("apply_sdg", "target"),
    ("apply_t", "target"),
    ("apply_tdg", "target"),
    ("apply_sx", "target"),
    ("apply_p", "lambda, target"),
    ("apply_rx", "theta, target"),
    ("apply_ry", "theta, target"),
    ("apply_rz", "lmbda, target"),
    ("apply_u", "theta, phi, lmbda, target"),
    ("apply_cx", "control, target"),
    ("apply_cy", "control, target"),
    ("apply_cz", "q1, q2"),
    ("apply_swap", "q1, q2"),
    ("apply_iswap", "q1, q2"),
    ("apply_cp", "lmbda, q1, q2"),
    ("apply_crx", "theta, control, target"),
    ("apply_cry", "theta, control, target"),
    ("apply_crz", "lmbda, control, target"),
    ("apply_rxx", "theta, q1, q2"),
    ("apply_ryy", "theta, q1, q2"),
    ("apply_rzz", "theta, q1, q2"),
    ("apply_gate_1q", "gate, target"),
    ("apply_gate_2q", "gate, q1, q2"),
]
GATE_METHODS = [p[0] for p in PARAMS]


def test_gate_methods_follow_clone_in_the_method_table():
    names = [n for n in vars(TavroSV) if not n.startswith("_")]
    start = names.index("clone") + 1
    assert names[start : start + len(GATE_METHODS)] == GATE_METHODS


@pytest.mark.parametrize("name,params", PARAMS, ids=GATE_METHODS)
def test_text_signature_and_docstring(name, params):
    method = getattr(TavroSV, name)
    assert method.__text_signature__ == f"($self, {params})"
    if name.startswith("apply_gate_"):
        doc = method.__doc__
        assert doc and name not in doc and "\n--\n" not in doc
        assert "complex128" in doc and "column-major" in doc
        if name == "apply_gate_2q":
            assert "(bit_q1 << 1) | bit_q2" in doc
    else:
        # The signature block only.
        assert method.__doc__ is None


@pytest.mark.parametrize("name,params", PARAMS, ids=GATE_METHODS)
def test_inspect_signature(name, params):
    bound = getattr(TavroSV.zero(1), name)
    if name == "apply_p":
        # `lambda` is a Python keyword, so the text signature cannot be parsed into a Signature.
        with pytest.raises(ValueError):
            inspect.signature(bound)
        return
    sig = inspect.signature(bound)
    assert str(sig) == f"({params})"
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())


def call_args(name, n=4):
    """Valid positional arguments for a method on an n-qubit state, distinct per parameter."""
    values = {"target": 1, "control": 3, "q1": 2, "q2": 0, "lambda": 0.7, "theta": -1.3,
              "lmbda": 0.4, "phi": 2.1}
    params = dict(PARAMS)[name].split(", ")
    out = []
    for p in params:
        if p == "gate":
            out.append(U2 if name == "apply_gate_1q" else U4)
        else:
            out.append(values[p])
    return params, out


@pytest.mark.parametrize("name", GATE_METHODS)
def test_every_parameter_is_a_keyword_too(name):
    params, args = call_args(name)
    psi = ref.random_state(4, np.random.default_rng(5))
    by_position = TavroSV.from_amplitudes(4, psi)
    getattr(by_position, name)(*args)
    by_keyword = TavroSV.from_amplitudes(4, psi)
    getattr(by_keyword, name)(**dict(zip(reversed(params), reversed(args))))
    mixed = TavroSV.from_amplitudes(4, psi)
    getattr(mixed, name)(args[0], **dict(zip(params[1:], args[1:])))
    assert bits(by_keyword.amplitudes()) == bits(by_position.amplitudes())
    assert bits(mixed.amplitudes()) == bits(by_position.amplitudes())
    # The call did act, so the equalities above compare real work.
    assert bits(by_position.amplitudes()) != bits(psi)


def test_apply_p_takes_lambda_and_the_rotations_take_lmbda():
    a = TavroSV.zero(1)
    a.apply_h(0)
    a.apply_p(**{"lambda": 0.5, "target": 0})
    b = TavroSV.zero(1)
    b.apply_h(0)
    b.apply_p(0.5, 0)
    assert bits(a.amplitudes()) == bits(b.amplitudes())
    for call in (
        lambda sv: sv.apply_p(lmbda=0.5, target=0),
        lambda sv: sv.apply_rz(**{"lambda": 0.5, "target": 0}),
        lambda sv: sv.apply_cp(**{"lambda": 0.5, "q1": 0, "q2": 1}),
        lambda sv: sv.apply_u(0.1, 0.2, **{"lambda": 0.5, "target": 0}),
        lambda sv: sv.apply_crz(**{"lambda": 0.5, "control": 0, "target": 1}),
    ):
        with pytest.raises(TypeError) as info:
            call(TavroSV.zero(2))
        assert "invalid keyword argument" in str(info.value)


CALL_ERRORS = [
    (lambda sv: sv.apply_x(), "apply_x()"),
    (lambda sv: sv.apply_x(0, 1), "apply_x()"),
    (lambda sv: sv.apply_x(0, target=0), "apply_x()"),
    (lambda sv: sv.apply_rx(0.1), "apply_rx()"),
    (lambda sv: sv.apply_u(0.1, 0.2, 0.3), "apply_u()"),
    (lambda sv: sv.apply_cx(0), "apply_cx()"),
    (lambda sv: sv.apply_cx(control=0, q2=1), "apply_cx()"),
    (lambda sv: sv.apply_crx(0.1, 0, 1, 2), "apply_crx()"),
    (lambda sv: sv.apply_gate_1q(U2), "apply_gate_1q()"),
    (lambda sv: sv.apply_gate_2q(U4, q1=0), "apply_gate_2q()"),
]


@pytest.mark.parametrize("call,method", CALL_ERRORS)
def test_call_rules_name_the_method(call, method):
    sv = TavroSV.zero(2)
    with pytest.raises(TypeError) as info:
        call(sv)
    assert method in str(info.value)
    assert sv.amplitudes().tolist() == [1, 0, 0, 0]


# ---- conversion order and errors


class FloatLike:
    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __float__(self):
        if self.action is not None:
            self.action()
        return self.value


M_OUT = "qubit index {} out of bounds for state vector with 4 qubits"
M_DUP = "two-qubit gate operands must be distinct, got ({0}, {0})"
GENERAL_2 = (
    "gate must be a 2x2 complex128 numpy array or a flat 4-element complex list (column-major)"
)
GENERAL_4 = (
    "gate must be a 4x4 complex128 numpy array or a flat 16-element complex list (column-major)"
)

# call, exception class, exact message (QubitIndexError, GateShapeError) or the prefixed
# argument name (TypeError) or None (a plain OverflowError)
REFUSED = [
    # core errors, after every conversion
    ("x out", lambda sv: sv.apply_x(4), QubitIndexError, M_OUT.format(4)),
    ("h max", lambda sv: sv.apply_h(2**64 - 1), QubitIndexError, M_OUT.format(2**64 - 1)),
    ("p out", lambda sv: sv.apply_p(0.1, 9), QubitIndexError, M_OUT.format(9)),
    ("u out", lambda sv: sv.apply_u(0.1, 0.2, 0.3, 4), QubitIndexError, M_OUT.format(4)),
    ("gate_1q out", lambda sv: sv.apply_gate_1q(U2, 4), QubitIndexError, M_OUT.format(4)),
    ("cx first out", lambda sv: sv.apply_cx(7, 1), QubitIndexError, M_OUT.format(7)),
    ("cx second out", lambda sv: sv.apply_cx(1, 8), QubitIndexError, M_OUT.format(8)),
    ("cx both out", lambda sv: sv.apply_cx(9, 8), QubitIndexError, M_OUT.format(9)),
    ("cx equal out", lambda sv: sv.apply_cx(9, 9), QubitIndexError, M_OUT.format(9)),
    ("cx dup", lambda sv: sv.apply_cx(0, 0), QubitIndexError, M_DUP.format(0)),
    ("swap dup", lambda sv: sv.apply_swap(3, 3), QubitIndexError, M_DUP.format(3)),
    ("crz dup", lambda sv: sv.apply_crz(0.3, 2, 2), QubitIndexError, M_DUP.format(2)),
    ("rzz second out", lambda sv: sv.apply_rzz(0.3, 1, 4), QubitIndexError, M_OUT.format(4)),
    ("gate_2q dup", lambda sv: sv.apply_gate_2q(U4, 1, 1), QubitIndexError, M_DUP.format(1)),
    ("gate_2q out", lambda sv: sv.apply_gate_2q(U4, 0, 5), QubitIndexError, M_OUT.format(5)),
    # negative or too large: OverflowError without a prefix
    ("x -1", lambda sv: sv.apply_x(-1), OverflowError, None),
    ("x 2^64", lambda sv: sv.apply_x(2**64), OverflowError, None),
    ("rx -1", lambda sv: sv.apply_rx(0.5, -1), OverflowError, None),
    ("cx second -1", lambda sv: sv.apply_cx(0, -1), OverflowError, None),
    ("cx -1 before type", lambda sv: sv.apply_cx(-1, "a"), OverflowError, None),
    ("gate_1q target before gate", lambda sv: sv.apply_gate_1q("bad", -1), OverflowError, None),
    ("gate_2q q2 before gate", lambda sv: sv.apply_gate_2q("bad", 0, -1), OverflowError, None),
    # the wrong type: TypeError with the parameter's name
    ("x float", lambda sv: sv.apply_x(1.0), TypeError, "target"),
    ("x str", lambda sv: sv.apply_x("0"), TypeError, "target"),
    ("x None", lambda sv: sv.apply_x(None), TypeError, "target"),
    ("p None", lambda sv: sv.apply_p(None, 0), TypeError, "lambda"),
    ("rx str", lambda sv: sv.apply_rx("a", 0), TypeError, "theta"),
    ("rx angle first", lambda sv: sv.apply_rx("a", -1), TypeError, "theta"),
    ("rz list", lambda sv: sv.apply_rz([], 0), TypeError, "lmbda"),
    ("u phi", lambda sv: sv.apply_u(0.1, "x", 0.3, -1), TypeError, "phi"),
    ("u lmbda", lambda sv: sv.apply_u(0.1, 0.2, "x", -1), TypeError, "lmbda"),
    ("u target", lambda sv: sv.apply_u(0.1, 0.2, 0.3, 0.5), TypeError, "target"),
    ("cx control", lambda sv: sv.apply_cx("a", -1), TypeError, "control"),
    ("cx target", lambda sv: sv.apply_cx(0, 1.5), TypeError, "target"),
    ("cz q2", lambda sv: sv.apply_cz(0, None), TypeError, "q2"),
    ("cp complex", lambda sv: sv.apply_cp(1 + 1j, 0, 1), TypeError, "lmbda"),
    ("crx control", lambda sv: sv.apply_crx(0.1, "a", -1), TypeError, "control"),
    ("crx target", lambda sv: sv.apply_crx(0.1, 0, "a"), TypeError, "target"),
    ("rxx theta", lambda sv: sv.apply_rxx(None, -1, -1), TypeError, "theta"),
    ("gate_1q target", lambda sv: sv.apply_gate_1q("bad", 1.0), TypeError, "target"),
    ("gate_2q q1", lambda sv: sv.apply_gate_2q("bad", "x", -1), TypeError, "q1"),
    ("gate_2q q2", lambda sv: sv.apply_gate_2q(U4, 0, "x"), TypeError, "q2"),
    # the matrix after the plain arguments, before the core's checks
    ("gate_1q shape before range", lambda sv: sv.apply_gate_1q("bad", 99), GateShapeError,
     GENERAL_2),
    ("gate_2q shape before dup", lambda sv: sv.apply_gate_2q([1] * 3, 1, 1), GateShapeError,
     GENERAL_4),
    ("gate_2q 2x2 array", lambda sv: sv.apply_gate_2q(U2, 0, 1), GateShapeError,
     "gate must be 4x4 complex128, got shape [2, 2]"),
]


@pytest.mark.parametrize("call,cls,expected", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refusals_and_their_order(call, cls, expected):
    psi = ref.random_state(4, np.random.default_rng(9))
    sv = TavroSV.from_amplitudes(4, psi)
    with pytest.raises(BaseException) as info:
        call(sv)
    assert type(info.value) is cls
    if cls is TypeError:
        assert str(info.value).startswith(f"argument '{expected}': ")
        assert len(str(info.value)) > len(f"argument '{expected}': ")
    elif cls is OverflowError:
        assert not str(info.value).startswith("argument")
    else:
        assert info.value.args == (expected,)
    # Nothing ran, and the state is free for the next call.
    assert bits(sv.amplitudes()) == bits(psi)
    sv.apply_x(0)


def test_refused_gate_on_a_dynamic_state_allocates_nothing():
    sv = TavroSV.zero(4, dynamic_qubits=True)
    for call in (
        lambda: sv.apply_cx(1, 1),
        lambda: sv.apply_cx(2, 4),
        lambda: sv.apply_gate_1q([1, 2, 3], 0),
        lambda: sv.apply_rx("a", 0),
    ):
        with pytest.raises(Exception):
            call()
        assert (sv.live_qubits, len(sv)) == (0, 1)
        assert not any(sv.is_allocated(q) for q in range(4))


# Forms that convert to the same values as the plain ones.
FloatSubclass = type("FloatSubclass", (float,), {})
SAME_ANGLE = [0.75, np.float64(0.75), np.float32(0.75), FloatLike(0.75), FloatSubclass(0.75)]
SAME_INDEX = [2, np.int64(2), np.uint8(2), IndexLike(2)]


@pytest.mark.parametrize("angle", SAME_ANGLE, ids=lambda a: type(a).__name__)
def test_angle_forms(angle):
    a = TavroSV.from_amplitudes(3, ref.random_state(3, np.random.default_rng(3)))
    b = a.clone()
    a.apply_crx(angle, 0, 2)
    b.apply_crx(0.75, 0, 2)
    assert bits(a.amplitudes()) == bits(b.amplitudes())


@pytest.mark.parametrize("index", SAME_INDEX, ids=lambda a: type(a).__name__)
def test_index_forms(index):
    a = TavroSV.from_amplitudes(3, ref.random_state(3, np.random.default_rng(3)))
    b = a.clone()
    a.apply_cy(index, 0)
    a.apply_h(index)
    b.apply_cy(2, 0)
    b.apply_h(2)
    assert bits(a.amplitudes()) == bits(b.amplitudes())


def test_integer_angles_and_bools_convert_like_floats():
    a = TavroSV.zero(2)
    b = TavroSV.zero(2)
    a.apply_ry(2, True)
    b.apply_ry(2.0, 1)
    assert bits(a.amplitudes()) == bits(b.amplitudes())


# ---- re-entry during argument conversion


def with_reentry(name, position, action):
    """The arguments of `name` with parameter `position` replaced by a hook running `action`."""
    params, args = call_args(name)
    hook = FloatLike(float(args[position]), action) if isinstance(args[position], float) else (
        IndexLike(args[position], action)
    )
    args[position] = hook
    return args


REENTRY = [
    (name, i)
    for name, params in PARAMS
    for i, p in enumerate(params.split(", "))
    if p != "gate"
]


@pytest.mark.parametrize("name,position", REENTRY, ids=[f"{n}-{i}" for n, i in REENTRY])
@pytest.mark.parametrize(
    "inner,message",
    [
        (lambda sv: sv.get(0), "Already mutably borrowed"),
        (lambda sv: sv.norm_squared(), "Already mutably borrowed"),
        (lambda sv: sv.apply_x(0), "Already borrowed"),
        (lambda sv: sv.reset_to_zero(), "Already borrowed"),
    ],
    ids=["read", "reduce", "gate", "reset"],
)
def test_a_call_back_into_the_state_during_conversion_is_refused(name, position, inner, message):
    psi = ref.random_state(4, np.random.default_rng(11))
    sv = TavroSV.from_amplitudes(4, psi)
    args = with_reentry(name, position, lambda: inner(sv))
    with pytest.raises(RuntimeError) as info:
        getattr(sv, name)(*args)
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
    assert bits(sv.amplitudes()) == bits(psi)
    sv.apply_h(0)  # the exclusive use was released


class ComplexLike:
    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __complex__(self):
        if self.action is not None:
            self.action()
        return complex(self.value)


def test_reentry_inside_a_matrix_item_becomes_the_shape_error():
    # The item's failure is dropped like any other and the general refusal raised instead.
    psi = ref.random_state(2, np.random.default_rng(12))
    sv = TavroSV.from_amplitudes(2, psi)
    gate = [1, ComplexLike(0, lambda: sv.get(0)), 0, 1]
    with pytest.raises(GateShapeError) as info:
        sv.apply_gate_1q(gate, 0)
    assert info.value.args == (GENERAL_2,)
    assert bits(sv.amplitudes()) == bits(psi)
    sv.apply_gate_1q([1, ComplexLike(0), 0, 1], 0)
    assert bits(sv.amplitudes()) == bits(psi)


def test_a_list_changed_by_its_own_item_is_read_safely():
    gate = [1, 0, 0, 1]
    gate[1] = ComplexLike(0, gate.clear)
    sv = TavroSV.zero(1)
    with pytest.raises(GateShapeError) as info:
        sv.apply_gate_1q(gate, 0)
    assert info.value.args == (GENERAL_2,)


# ---- gate matrices: the two forms and every refusal


def column_major(m):
    return list(np.asarray(m).flatten(order="F"))


def after_gate(gate, method="apply_gate_1q", qubits=(1,)):
    sv = TavroSV.from_amplitudes(3, ref.random_state(3, np.random.default_rng(13)))
    getattr(sv, method)(gate, *qubits)
    return bits(sv.amplitudes())


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def unaligned(m):
    raw = np.zeros(m.size * 16 + 1, dtype=np.uint8)
    a = raw[1:].view(np.complex128).reshape(m.shape)
    a[...] = m
    assert not a.flags.aligned
    return a


def readonly(m):
    a = np.array(m)
    a.flags.writeable = False
    return a


def strided(m):
    big = np.zeros((3 * len(m), 4 * len(m)), dtype=np.complex128)
    big[::3, ::4] = m
    return big[::3, ::4]


def as_matrix(m):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(m)


def reversed_view(m):
    return np.array(m[::-1, ::-1])[::-1, ::-1]


# Exactly representable in float32 as well, so the complex64 and float32 forms keep them.
M = np.array([[0.5 + 0.25j, -1.0 + 0.0j], [2.0 - 0.75j, 0.125 + 3.0j]])
REAL = np.array([[0.5, -1.0], [2.0, 0.125]], dtype=np.complex128)

ACCEPTED_2X2 = [
    ("array", np.array(M), M),
    ("fortran", np.asfortranarray(M), M),
    ("strided view", strided(M), M),
    ("negative strides", reversed_view(M), M),
    ("unaligned", unaligned(M), M),
    ("read-only", readonly(M), M),
    ("np.matrix", as_matrix(M), M),
    ("transposed view", np.array(M).T, M.T),
    ("flat list", column_major(M), M),
    ("flat tuple", tuple(column_major(M)), M),
    ("flat complex128 array", np.array(column_major(M)), M),
    ("flat complex64 array", np.array(column_major(M), dtype=np.complex64), M),
    ("complex128 scalars", [np.complex128(v) for v in column_major(M)], M),
    ("__complex__", [ComplexLike(v) for v in column_major(M)], M),
    ("sequence class", Seq(column_major(M)), M),
    ("flat float64 array", np.array(column_major(REAL)).real, REAL),
    ("floats", [float(v.real) for v in column_major(REAL)], REAL),
    ("float32 scalars", [np.float32(v.real) for v in column_major(REAL)], REAL),
    ("__float__", [FloatLike(float(v.real)) for v in column_major(REAL)], REAL),
    ("ints", [1, 0, 0, -1], np.diag([1, -1]).astype(np.complex128)),
    ("__index__", [IndexLike(1), IndexLike(0), IndexLike(0), IndexLike(1)], np.eye(2)),
    ("bools", [True, False, False, True], np.eye(2)),
    ("range", range(4), np.array([[0, 2], [1, 3]], dtype=np.complex128)),
]


@pytest.mark.parametrize(
    "gate,matrix", [a[1:] for a in ACCEPTED_2X2], ids=[a[0] for a in ACCEPTED_2X2]
)
def test_2x2_forms_convert_to_the_column_major_values(gate, matrix):
    # The same four values reach the kernel as through a plain list of Python complexes.
    assert after_gate(gate) == after_gate([complex(v) for v in column_major(matrix)])


def test_2x2_array_and_flat_list_name_the_same_gate():
    a, b, c, d = 1 + 2j, 3 - 1j, -2 + 0.5j, 0.25j
    assert after_gate(np.array([[a, b], [c, d]])) == after_gate([a, c, b, d])
    assert after_gate(np.array([[a, b], [c, d]])) != after_gate([a, b, c, d])


ACCEPTED_4X4 = [
    ("array", np.array(U4), U4),
    ("strided view", strided(U4), U4),
    ("negative strides", reversed_view(U4), U4),
    ("unaligned", unaligned(U4), U4),
    ("transposed view", np.array(U4).T, U4.T),
    ("flat list", column_major(U4), U4),
    ("flat complex128 array", np.array(column_major(U4)), U4),
    ("sequence class", Seq(column_major(U4)), U4),
    ("flat float64 array", np.arange(16.0), np.arange(16.0).reshape(4, 4).T),
]


@pytest.mark.parametrize(
    "gate,matrix", [a[1:] for a in ACCEPTED_4X4], ids=[a[0] for a in ACCEPTED_4X4]
)
def test_4x4_forms_convert_to_the_column_major_values(gate, matrix):
    flat = [complex(v) for v in column_major(matrix)]
    for qubits in [(0, 2), (2, 0)]:
        assert after_gate(gate, "apply_gate_2q", qubits) == after_gate(
            flat, "apply_gate_2q", qubits
        )


def shape_message(d, shape):
    return f"gate must be {d}x{d} complex128, got shape [{', '.join(map(str, shape))}]"


REFUSED_2X2 = [
    ("2x3", np.zeros((2, 3), np.complex128), shape_message(2, (2, 3))),
    ("3x2", np.zeros((3, 2), np.complex128), shape_message(2, (3, 2))),
    ("transposed 2x3", np.zeros((2, 3), np.complex128).T, shape_message(2, (3, 2))),
    ("4x4", np.zeros((4, 4), np.complex128), shape_message(2, (4, 4))),
    ("1x4", np.zeros((1, 4), np.complex128), shape_message(2, (1, 4))),
    ("0x0", np.zeros((0, 0), np.complex128), shape_message(2, (0, 0))),
    ("float64 2x2", np.eye(2), GENERAL_2),
    ("complex64 2x2", np.eye(2, dtype=np.complex64), GENERAL_2),
    ("big-endian complex128 2x2", np.eye(2, dtype=">c16"), GENERAL_2),
    ("3-D complex128", np.zeros((1, 2, 2), np.complex128), GENERAL_2),
    ("1-D complex128 of 3", np.zeros(3, np.complex128), GENERAL_2),
    ("1-D float64 of 5", np.zeros(5), GENERAL_2),
    ("list of 3", [1, 0, 0], GENERAL_2),
    ("list of 5", [1, 0, 0, 1, 0], GENERAL_2),
    ("empty list", [], GENERAL_2),
    ("nested lists", [[1, 0], [0, 1]], GENERAL_2),
    ("str of 4", "abcd", GENERAL_2),
    ("empty str", "", GENERAL_2),
    ("numeric str item", [1, 0, 0, "1"], GENERAL_2),
    ("None item", [1, 0, 0, None], GENERAL_2),
    ("None", None, GENERAL_2),
    ("int", 5, GENERAL_2),
    ("complex", 1j, GENERAL_2),
    ("generator", (v for v in [1, 0, 0, 1]), GENERAL_2),
    ("iterator", iter([1, 0, 0, 1]), GENERAL_2),
    ("set", {1, 0, 2, 3}, GENERAL_2),
    ("dict", {0: 1, 1: 0, 2: 0, 3: 1}, GENERAL_2),
]


@pytest.mark.parametrize(
    "gate,message", [r[1:] for r in REFUSED_2X2], ids=[r[0] for r in REFUSED_2X2]
)
def test_2x2_refusals(gate, message):
    psi = ref.random_state(2, np.random.default_rng(14))
    sv = TavroSV.from_amplitudes(2, psi)
    with pytest.raises(GateShapeError) as info:
        sv.apply_gate_1q(gate, 0)
    assert type(info.value) is GateShapeError
    assert info.value.args == (message,)
    assert bits(sv.amplitudes()) == bits(psi)


REFUSED_4X4 = [
    ("2x2", np.eye(2, dtype=np.complex128), shape_message(4, (2, 2))),
    ("4x3", np.zeros((4, 3), np.complex128), shape_message(4, (4, 3))),
    ("8x8", np.zeros((8, 8), np.complex128), shape_message(4, (8, 8))),
    ("float64 4x4", np.eye(4), GENERAL_4),
    ("list of 4", [1, 0, 0, 1], GENERAL_4),
    ("list of 15", [0] * 15, GENERAL_4),
    ("list of 17", [0] * 17, GENERAL_4),
    ("str of 16", "a" * 16, GENERAL_4),
    ("generator of 16", (0 for _ in range(16)), GENERAL_4),
    ("list of four 2x2", [np.eye(2, dtype=np.complex128)] * 4, GENERAL_4),
]


@pytest.mark.parametrize(
    "gate,message", [r[1:] for r in REFUSED_4X4], ids=[r[0] for r in REFUSED_4X4]
)
def test_4x4_refusals(gate, message):
    psi = ref.random_state(2, np.random.default_rng(15))
    sv = TavroSV.from_amplitudes(2, psi)
    with pytest.raises(GateShapeError) as info:
        sv.apply_gate_2q(gate, 0, 1)
    assert type(info.value) is GateShapeError
    assert info.value.args == (message,)
    assert bits(sv.amplitudes()) == bits(psi)


def test_the_callers_array_is_only_read():
    gate = np.array(U2)
    before = bits(gate)
    sv = TavroSV.zero(2)
    sv.apply_gate_1q(gate, 1)
    assert bits(gate) == before
    gate[:] = 0  # later changes do not reach the state
    assert np.abs(sv.amplitudes()).max() > 0


def test_non_unitary_matrices_are_applied_as_given():
    sv = TavroSV.from_amplitudes(1, np.array([0.5 + 0.5j, -2.0 + 0j]))
    sv.apply_gate_1q([0, 0, 0, 0], 0)
    assert sv.amplitudes().tolist() == [0, 0]
    sv = TavroSV.from_amplitudes(2, np.array([1, 2, 3, 4], dtype=np.complex128))
    # q1 = 0 is the most significant local bit: index 1 (qubit 0 set) meets entry 2.
    sv.apply_gate_2q(np.diag([2, 3, 5, 7]).astype(np.complex128), 0, 1)
    assert sv.amplitudes().tolist() == [2, 10, 9, 28]
