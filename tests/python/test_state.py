"""class TavroSV: its members, construction, reads, properties, conversions and use flags."""

import copy
import inspect

import numpy as np
import pytest

from support import IndexLike, assert_refused, bits
from test_gates import GATE_METHODS
from test_measure import METHODS as MEASURE_METHODS
from tavro._core import TavroSV

# The methods of this file with their text signatures, in the order of the method table.
SIGNATURES = {
    "zero": "(num_qubits, dynamic_qubits=False)", "from_bitstring": "(bits)",
    "from_amplitudes": "(num_qubits, arr)", "is_allocated": "($self, target)",
    "norm_squared": "($self)", "normalize": "($self)", "reset_to_zero": "($self)",
    "get": "($self, idx)", "probability": "($self, idx)", "get_logical": "($self, idx)",
    "probability_logical": "($self, idx)", "amplitudes": "($self)", "clone": "($self)",
}
PROPERTIES = ["num_qubits", "live_qubits", "is_dynamic", "len"]


def test_members_in_the_order_of_the_method_table_and_nothing_else():
    names = [n for n in vars(TavroSV) if not n.startswith("_")]
    assert names == [*SIGNATURES, *GATE_METHODS, *MEASURE_METHODS, *PROPERTIES]
    assert TavroSV.__doc__ == "" and TavroSV.__module__ == "_core"
    sv = TavroSV.zero(1)
    for refused in (TavroSV, lambda: type("Sub", (TavroSV,), {}), lambda: copy.copy(sv)):
        with pytest.raises(TypeError):
            refused()
    with pytest.raises(AttributeError):
        sv.extra = 1


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature(name):
    method, text = getattr(TavroSV, name), SIGNATURES[name]
    assert method.__text_signature__ == text and method.__doc__ and "\n--\n" not in method.__doc__
    sig = inspect.signature(getattr(TavroSV.zero(1), name))  # static methods through a state too
    assert str(sig) == text.replace("$self, ", "").replace("$self", "")
    assert all(p.kind == p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_documented_and_read_only(name):
    assert vars(TavroSV)[name].__doc__ and not hasattr(vars(TavroSV)[name], "__text_signature__")
    with pytest.raises(AttributeError):
        setattr(TavroSV.zero(2), name, 1)


ZERO = [  # arguments, (num_qubits, live_qubits, len, is_dynamic), repr
    ((3,), (3, 3, 8, False), "TavroSV(num_qubits=3)"),
    ((3, True), (3, 0, 1, True), "TavroSV(num_qubits=3, live_qubits=0, dynamic)"),
    ((0,), (0, 0, 1, False), "TavroSV(num_qubits=0)"),
    ((IndexLike(2), np.True_), (2, 0, 1, True), "TavroSV(num_qubits=2, live_qubits=0, dynamic)"),
]


@pytest.mark.parametrize("args,props,text", ZERO)
def test_zero(args, props, text):
    sv = TavroSV.zero(*args)
    assert (sv.num_qubits, sv.live_qubits, sv.len, sv.is_dynamic) == props and len(sv) == sv.len
    assert repr(sv) == text and bits(sv.amplitudes()) == bits(np.eye(props[2])[0])


# call, class, and the exact message, the argument a TypeError names, or None (OverflowError);
# the arguments convert in order, and the core checks after them.
REFUSED = [
    (lambda: TavroSV.zero(3, 1), TypeError, "dynamic_qubits"),
    (lambda: TavroSV.zero(2**32), OverflowError, None),
    (lambda: TavroSV.zero(-1, 1), OverflowError, None),
    (lambda: TavroSV.zero(1.5, dynamic_qubits=1), TypeError, "num_qubits"),
    (lambda: TavroSV.from_bitstring("10"), TypeError, "bits"),
    (lambda: TavroSV.from_bitstring([2, 1.0]), TypeError, "bits"),  # every item before the values
    (lambda: TavroSV.from_bitstring([2, 256]), OverflowError, None),
    (lambda: TavroSV.from_bitstring(b"\x00\x01" + b"1"), ValueError,
     "invalid basis-state index: bitstring entries must be 0 or 1, got 49 at qubit 2"),
    (lambda: TavroSV.from_amplitudes(1, [1, 0]), TypeError, "arr"),
    (lambda: TavroSV.from_amplitudes(1, np.zeros(2, np.complex64)), TypeError, "arr"),
    (lambda: TavroSV.from_amplitudes(1, np.zeros(2, ">c16")), TypeError, "arr"),
    (lambda: TavroSV.from_amplitudes("1", None), TypeError, "num_qubits"),
    (lambda: TavroSV.zero(2).get(-1), OverflowError, None),
    (lambda: TavroSV.zero(2).is_allocated(None), TypeError, "target"),
    (lambda: TavroSV.zero(3).probability_logical(2**63), ValueError,
     "invalid basis-state index: index 9223372036854775808 >= 2^3"),
    # The physical reads are bounded by the buffer but name the declared width.
    (lambda: TavroSV.zero(5, True).get(1), ValueError, "invalid basis-state index: index 1 >= 2^5"),
    (lambda: TavroSV.zero(4, True).get_logical(16), ValueError,
     "invalid basis-state index: index 16 >= 2^4"),
]


@pytest.mark.parametrize("call,cls,expected", REFUSED)
def test_refusals(call, cls, expected):
    with pytest.raises(BaseException) as info:
        call()
    assert_refused(info, cls, expected)


@pytest.mark.parametrize("form", [bytes([1, 0, 1]), bytearray([1, 0, 1]), (1, 0, 1),
                                  np.array([1, 0, 1]), [True, False, IndexLike(1)]], ids=repr)
def test_bitstring_forms_build_the_same_state(form):
    sv = TavroSV.from_bitstring(form)  # qubit 0 is the least significant bit: index 5
    assert sv.num_qubits == 3 and bits(sv.amplitudes()) == bits(np.eye(8)[5])


SPECIALS = np.array([-0.0, complex(0.0, -0.0), complex(5e-324, -1e308), complex(np.inf, -np.inf),
                     0.1 + 0.2j, -3 + 4j, 1 / 3 - 2j / 3, complex(2**-1074, 1.5)])
SPECIALS.view(np.uint64)[4] = 0x7FF0_0000_0000_ABCD  # a NaN with a payload of its own
WIDE = np.concatenate([SPECIALS, SPECIALS[::-1]])


@pytest.mark.parametrize("arr", [SPECIALS[::2], WIDE[::-3][:4], WIDE.reshape(4, 4)[:, 1],
                                 np.broadcast_to(SPECIALS[2:3], (4,))],
                         ids=["every other", "step -3", "column", "zero stride"])
def test_from_amplitudes_copies_any_stride_and_reads_give_its_bits(arr):
    sv = TavroSV.from_amplitudes(2, arr)
    assert bits(sv.amplitudes()) == bits(arr) == bits([sv.get_logical(i) for i in range(4)])
    # Two products rounded separately, then one addition: Python's own float arithmetic.
    p = [a.real * a.real + a.imag * a.imag for a in arr.tolist()]
    assert bits([sv.probability(i) for i in range(4)]) == bits(p)
    sv.amplitudes()[:] = 7  # a fresh array each time
    assert bits(sv.amplitudes()) == bits(arr)


def test_normalize_multiplies_by_the_reciprocal_and_leaves_a_degenerate_state_alone():
    sv = TavroSV.from_amplitudes(1, np.array([3 + 0j, 4j]))
    assert (sv.norm_squared(), sv.normalize()) == (25.0, 5.0)
    assert sv.get(0).real == 3 * (1 / 5) == 0.6000000000000001
    nan = TavroSV.from_amplitudes(1, np.array([np.nan, 2 + 0j]))
    assert np.isnan(nan.normalize()) and nan.get(1) == 2


def test_dynamic_reads_reset_and_clone():
    sv = TavroSV.zero(4, dynamic_qubits=True)
    assert [sv.is_allocated(q) for q in (0, 3, 2**64 - 1)] == [False, False, False]
    assert (sv.get_logical(0b0100), sv.probability_logical(0)) == (0, 1.0)  # untouched reads 0
    sv.apply_h(2)
    c, before = sv.clone(), bits(sv.amplitudes())
    assert (c.is_dynamic, c.live_qubits, repr(c)) == (True, 1, repr(sv)) and c is not sv
    sv.reset_to_zero()
    assert (len(sv), sv.is_allocated(2), sv.get(0)) == (2, True, 1)  # keeps its slots
    assert bits(c.amplitudes()) == before  # the copy is its own


@pytest.mark.parametrize("outer", ["get", "probability", "get_logical", "is_allocated"])
def test_a_read_converting_its_argument_shares_the_state(outer):
    sv = TavroSV.from_amplitudes(1, np.array([3 + 0j, 4j]))
    seen = []
    getattr(sv, outer)(IndexLike(1, lambda: seen.append((sv.norm_squared(), sv.clone().get(1)))))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        getattr(sv, outer)(IndexLike(0, sv.normalize))
    assert seen == [(25.0, 4j)] and sv.normalize() == 5.0  # nothing ran, and the flag is free
