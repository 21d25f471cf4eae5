# optimize_ordering: its signature and defaults, conversions and messages in their order, known
# placements and random footprints against a model of the cost, both spellings of annealing, and
# a core fault raised past `except Exception`, and the same results as the C function.

import inspect
import os
import struct

import numpy as np
import pytest

from support import assert_refused
from tavro._core import optimize_ordering

TEXT_SIGNATURE = '(num_qubits, one_qubit_weights, two_qubit_pairs, method="greedy", seed=0)'


def test_signature_and_docstring():
    assert optimize_ordering.__text_signature__ == TEXT_SIGNATURE
    assert str(inspect.signature(optimize_ordering)) == TEXT_SIGNATURE.replace('"', "'")
    assert "(perm, cost)" in optimize_ordering.__doc__


def model_cost(perm, weights, pairs):
    """The cost of a placement for up to 20 qubits: slot penalties 0.15, 0.08, 0.03 for one-qubit
    work, 0.3, 0.22 on the lower slot of a pair; one rounded addition per term, in order."""
    cost = 0.0
    for q, w in enumerate(weights):
        if w != 0:
            cost += w * ((1.15, 1.08, 1.03)[perm[q]] if perm[q] < 3 else 1.0)
    for i, j, w in pairs:
        lo = min(perm[i], perm[j])
        cost += w * ((1.3, 1.22)[lo] if lo < 2 else 1.0)
    return cost


# n, weights, pairs, and the placement greedy search with local search returns.
KNOWN = [
    (0, [], [], []),
    (1, [2.0], [], [0]),
    (5, [1.0] * 5, [], [0, 1, 2, 3, 4]),  # greedy only ties the identity: the identity wins
    (4, [0.0] * 4, [(0, 1, 1.0)], [2, 3, 0, 1]),
    (3, [0.0] * 3, [(0, 1, 1.0), (1, 2, 1.0)], [0, 1, 2]),
]


@pytest.mark.parametrize("n,weights,pairs,perm", KNOWN)
def test_known_placements(n, weights, pairs, perm):
    assert optimize_ordering(n, weights, pairs) == (perm, model_cost(perm, weights, pairs))


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("n", [2, 7, 11])
def test_random_footprints(n, seed):
    rng = np.random.default_rng(n * 100 + seed)
    weights = rng.uniform(0, 3, n).tolist()
    pairs = [(int(i), int(j), float(w)) for i, j, w in
             zip(rng.integers(n, size=2 * n), rng.integers(n, size=2 * n), rng.uniform(0, 5, 2 * n))]
    identity = model_cost(range(n), weights, pairs)
    greedy = optimize_ordering(n, weights, pairs)
    assert greedy == optimize_ordering(n, weights, pairs, "greedy", 0)  # the defaults
    sa = optimize_ordering(num_qubits=n, one_qubit_weights=weights, two_qubit_pairs=pairs,
                           method="sa", seed=seed)
    assert sa == optimize_ordering(n, weights, pairs, "simulated_annealing", seed)
    for perm, cost in (greedy, sa):
        assert sorted(perm) == list(range(n)) and type(cost) is float and cost <= identity
        assert abs(cost - model_cost(perm, weights, pairs)) <= 1e-9 * identity


def test_sa_and_its_long_name_are_one_method():
    args = (3, [0.0, 0.0, 0.0], [(0, 1, 2.0)])
    assert optimize_ordering(*args, method="simulated_annealing", seed=5) == optimize_ordering(
        *args, method="sa", seed=5)


UNKNOWN = "unknown ordering method {}; use 'greedy' or 'sa'"

# arguments, class, and the exact message, the argument a TypeError names, or None (OverflowError).
# All five arguments convert before the length check, which comes before the method check.
REFUSED = [
    ((2, [1.0], []), ValueError, "one_qubit_weights has length 1, expected num_qubits=2"),
    ((2, [1.0], [], "bogus"), ValueError, "one_qubit_weights has length 1, expected num_qubits=2"),
    ((2, [1.0], [], 5), TypeError, "method"),
    ((2, [1.0], [], "sa", -1), OverflowError, None),
    ((2, [1.0, 1.0], [], "SA"), ValueError, UNKNOWN.format('"SA"')),
    ((2, [1.0, 1.0], [], 'a"b\\c\n\x01\u00e9'), ValueError,
     UNKNOWN.format('"a\\"b\\\\c\\n\\u{1}\u00e9"')),
    ((2, [1.0, 1.0], [[0, 1, 2.0]]), TypeError, "two_qubit_pairs"),
    ((2, [1.0, 1.0], [(0, 1)]), TypeError, "two_qubit_pairs"),
    ((2, [1.0, 1.0], [(0, -1, 1.0)]), OverflowError, None),
    ((2, "ab", []), TypeError, "one_qubit_weights"),
    ((2.0, [1.0, 1.0], []), TypeError, "num_qubits"),
    ((2, [1.0, 1.0], [], "sa", 1.5), TypeError, "seed"),
    ((2, [1.0, 1.0]), TypeError, "optimize_ordering() missing required argument 'two_qubit_pairs' "
     "(pos 3)"),
]


@pytest.mark.parametrize("args,cls,expected", REFUSED)
def test_refusals_and_their_order(args, cls, expected):
    with pytest.raises(BaseException) as info:
        optimize_ordering(*args)
    assert_refused(info, cls, expected)


# A pair naming a qubit beyond num_qubits is a broken invariant of the core: the fault exception,
# which an `except Exception` clause does not catch.
def test_a_core_fault_passes_except_exception():
    caught = None
    try:
        try:
            optimize_ordering(2, [1.0, 1.0], [(0, 2, 1.0)])
        except Exception as e:
            caught = ("Exception", e)
    except BaseException as e:
        caught = ("BaseException", e)
    kind, fault = caught
    assert kind == "BaseException" and type(fault).__mro__[1:] == (BaseException, object)
    assert fault.args == ("index out of bounds: the len is 2 but the index is 2",)


def c_library():
    """The C face's shared library of the build the module came from, or None (an installed
    module has no build tree beside it)."""
    import ctypes
    import tavro._core

    path = os.path.join(os.path.dirname(tavro._core.__file__), "..", "..", "libtavro.so")
    return ctypes.CDLL(path) if os.path.exists(path) else None


@pytest.mark.parametrize("method,flag", [("greedy", 0), ("sa", 1)])
def test_same_placement_and_cost_as_the_c_function(method, flag):
    import ctypes

    lib = c_library()
    if lib is None:
        pytest.skip("no libtavro.so beside the module: not a build tree")
    size_t = ctypes.c_size_t
    lib.tavro_optimize_ordering.restype = ctypes.c_int32
    differs = 0
    # Footprints on which the annealing search beats the greedy one, so the two methods and
    # the seeds give different placements.
    for footprint in (1, 3, 11):
        gen = np.random.default_rng(footprint)
        n = int(gen.integers(5, 25))
        weights = gen.uniform(0, 3, size=n).tolist()
        pairs = [(int(i), int(j), float(w)) for i, j, w in
                 zip(gen.integers(0, n, 3 * n), gen.integers(0, n, 3 * n), gen.uniform(0, 2, 3 * n))]
        perm, cost = optimize_ordering(n, weights, pairs, method=method, seed=footprint + 5)
        differs += (perm, cost) != optimize_ordering(n, weights, pairs, method="greedy")

        k = len(pairs)
        perm_out, cost_out = (size_t * n)(), ctypes.c_double()
        rc = lib.tavro_optimize_ordering(
            size_t(n), (ctypes.c_double * n)(*weights), (size_t * k)(*[p[0] for p in pairs]),
            (size_t * k)(*[p[1] for p in pairs]), (ctypes.c_double * k)(*[p[2] for p in pairs]),
            size_t(k), ctypes.c_uint32(flag), ctypes.c_uint64(footprint + 5), perm_out,
            ctypes.byref(cost_out))
        assert rc == 0
        assert list(perm_out) == perm, footprint
        assert struct.pack("<d", cost_out.value) == struct.pack("<d", cost), footprint
    assert differs == (3 if method == "sa" else 0)
