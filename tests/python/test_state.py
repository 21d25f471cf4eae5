# class TavroSV: its members, construction, reads, properties, conversions and use flags.

import copy
import inspect

import numpy as np
import pytest

from support import IndexLike, assert_refused, bits
from test_channels import METHODS as CHANNEL_METHODS
from test_gates import GATE_METHODS
from test_measure import METHODS as MEASURE_METHODS
from test_multi_qubit import METHODS as MULTI_QUBIT_METHODS
from test_observables import METHODS as OBSERVABLE_METHODS
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
    assert names == [*SIGNATURES, *GATE_METHODS, *MULTI_QUBIT_METHODS, *MEASURE_METHODS,
                     *CHANNEL_METHODS, *OBSERVABLE_METHODS, *PROPERTIES]
    assert TavroSV.__doc__ == "" and TavroSV.__module__ == "_core"
    sv = TavroSV.zero(1)
    for refused in (TavroSV, lambda: type("Sub", (TavroSV,), {}), lambda: copy.copy(sv)):
        with pytest.raises(TypeError):
            refused()
    with pytest.raises(AttributeError):
        sv.extra = 1
    for name in PROPERTIES:  # documented and read-only
        assert vars(TavroSV)[name].__doc__
        with pytest.raises(AttributeError):
            setattr(sv, name, 1)
    described = {**MULTI_QUBIT_METHODS, **CHANNEL_METHODS, **OBSERVABLE_METHODS}
    for name, text in {**SIGNATURES, **described}.items():
        m = getattr(TavroSV, name)
        assert m.__text_signature__ == text and m.__doc__ and "\n--\n" not in m.__doc__, name
        sig = inspect.signature(getattr(sv, name))  # static methods through a state too
        assert str(sig) == text.replace("$self, ", "").replace("$self", ""), name
        assert all(p.kind == p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


# call, class, and the exact message, the argument a TypeError names, or None (OverflowError);
# the arguments convert in order, and the core checks after them.
REFUSED = [
    (lambda: TavroSV.zero(3, 1), TypeError, "dynamic_qubits"),
    (lambda: TavroSV.zero(2**32), OverflowError, None),
    (lambda: TavroSV.zero(1.5, dynamic_qubits=1), TypeError, "num_qubits"),
    (lambda: TavroSV.from_bitstring("10"), TypeError, "bits"),
    (lambda: TavroSV.from_bitstring([2, 1.0]), TypeError, "bits"),  # every item before the values
    (lambda: TavroSV.from_bitstring(b"\x00\x01" + b"1"), ValueError,
     "invalid basis-state index: bitstring entries must be 0 or 1, got 49 at qubit 2"),
    (lambda: TavroSV.from_amplitudes(1, [1, 0]), TypeError, "arr"),
    (lambda: TavroSV.from_amplitudes(1, np.zeros(2, ">c16")), TypeError, "arr"),
    (lambda: TavroSV.from_amplitudes("1", None), TypeError, "num_qubits"),
    (lambda: TavroSV.zero(3).probability_logical(2**63), ValueError,
     "invalid basis-state index: index 9223372036854775808 >= 2^3"),
    # The physical reads are bounded by the buffer but name the declared width.
    (lambda: TavroSV.zero(5, True).get(1), ValueError, "invalid basis-state index: index 1 >= 2^5"),
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


# Every other item, a step of -2, a column, a zero stride.
@pytest.mark.parametrize("arr", [SPECIALS[::2], SPECIALS[::-2], SPECIALS.reshape(4, 2)[:, 1],
                                 np.broadcast_to(SPECIALS[2:3], (4,))])
def test_from_amplitudes_copies_any_stride_and_reads_give_its_bits(arr):
    sv = TavroSV.from_amplitudes(2, arr)
    assert bits(sv.amplitudes()) == bits(arr) == bits([sv.get_logical(i) for i in range(4)])
    # Two products rounded separately, then one addition: Python's own float arithmetic.
    p = [a.real * a.real + a.imag * a.imag for a in arr.tolist()]
    assert bits([sv.probability(i) for i in range(4)]) == bits(p)
    sv.amplitudes()[:] = 7  # a fresh array each time
    assert bits(sv.amplitudes()) == bits(arr)


def test_zero_dynamic_reads_reset_and_clone():
    z = TavroSV.zero(0)  # one amplitude
    assert (repr(z), len(z), bits(z.amplitudes())) == ("TavroSV(num_qubits=0)", 1, bits(1))
    sv = TavroSV.zero(IndexLike(4), np.True_)
    assert (sv.num_qubits, sv.live_qubits, sv.len, sv.is_dynamic, repr(sv)) == (
        4, 0, 1, True, "TavroSV(num_qubits=4, live_qubits=0, dynamic)")
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
