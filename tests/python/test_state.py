"""class TavroSV: construction, reads, properties, slots, argument conversion and use flags."""

import copy
import inspect
import pickle

import numpy as np
import pytest

from support import IndexLike, bits, fbits
from test_gates import GATE_METHODS
from test_measure import NAMES as MEASURE_METHODS
from tavro._core import TavroSV

SPECIALS = np.array(
    [
        complex(-0.0, 0.0),
        complex(0.0, -0.0),
        complex(5e-324, -1e308),
        complex(np.inf, -np.inf),
        complex(0.1, 0.2),
        complex(-3.0, 4.0),
        complex(1.0 / 3.0, -2.0 / 3.0),
        complex(2.0**-1074, 1.5),
    ],
    dtype=np.complex128,
)
# A NaN with a payload of its own, which a copy must keep bit for bit.
SPECIALS.view(np.uint64)[4] = 0x7FF0_0000_0000_ABCD


def random_amps(n, seed=1):
    g = np.random.default_rng(seed)
    return g.standard_normal(2**n) + 1j * g.standard_normal(2**n)


def assert_prefixed_type_error(info, name):
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{name}': ")
    # The reason follows the prefix; it is not empty.
    assert len(str(info.value)) > len(f"argument '{name}': ")


def assert_plain_overflow(info):
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


# ---- the class object


def test_class_has_an_empty_docstring_and_cannot_be_called():
    assert TavroSV.__doc__ == ""
    assert TavroSV.__module__ == "_core"
    with pytest.raises(TypeError):
        TavroSV()


def test_class_exposes_exactly_its_members():
    members = {n for n in vars(TavroSV) if not n.startswith("_")}
    assert members == {
        "zero",
        "from_bitstring",
        "from_amplitudes",
        "num_qubits",
        "live_qubits",
        "is_dynamic",
        "is_allocated",
        "len",
        "norm_squared",
        "normalize",
        "reset_to_zero",
        "get",
        "probability",
        "get_logical",
        "probability_logical",
        "amplitudes",
        "clone",
    } | set(GATE_METHODS) | set(MEASURE_METHODS)
    assert "__len__" in dir(TavroSV) and "__repr__" in dir(TavroSV)
    with pytest.raises(AttributeError):
        TavroSV.zero(1).extra = 1


@pytest.mark.parametrize(
    "action",
    [copy.copy, copy.deepcopy, pickle.dumps],
    ids=["copy", "deepcopy", "pickle"],
)
def test_state_is_not_copied_behind_the_core(action):
    with pytest.raises(TypeError):
        action(TavroSV.zero(1))


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (TavroSV,), {})


SIGNATURES = [
    ("zero", "(num_qubits, dynamic_qubits=False)"),
    ("from_bitstring", "(bits)"),
    ("from_amplitudes", "(num_qubits, arr)"),
    ("is_allocated", "($self, target)"),
    ("norm_squared", "($self)"),
    ("normalize", "($self)"),
    ("reset_to_zero", "($self)"),
    ("get", "($self, idx)"),
    ("probability", "($self, idx)"),
    ("get_logical", "($self, idx)"),
    ("probability_logical", "($self, idx)"),
    ("amplitudes", "($self)"),
    ("clone", "($self)"),
]


@pytest.mark.parametrize("name,text", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_signature(name, text):
    method = getattr(TavroSV, name)
    assert method.__text_signature__ == text
    # Through a state for the methods, through the class for the static constructors.
    callable_ = getattr(TavroSV.zero(1), name)
    sig = inspect.signature(callable_)
    assert str(sig) == text.replace("$self, ", "").replace("$self", "")
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    # The description follows the signature block; __doc__ shows it without the signature.
    assert method.__doc__ and "\n--\n" not in method.__doc__ and name + "(" not in method.__doc__


@pytest.mark.parametrize("name", ["num_qubits", "live_qubits", "is_dynamic", "len"])
def test_properties_are_documented_read_only_and_have_no_signature(name):
    prop = vars(TavroSV)[name]
    assert prop.__doc__ and "--" not in prop.__doc__
    assert getattr(prop, "__text_signature__", None) is None
    sv = TavroSV.zero(2)
    with pytest.raises(AttributeError):
        setattr(sv, name, 1)
    with pytest.raises(AttributeError):
        delattr(sv, name)


# ---- zero

ZERO_CASES = [
    # args, kwargs, num_qubits, live_qubits, len, is_dynamic, repr
    ((3,), {}, 3, 3, 8, False, "TavroSV(num_qubits=3)"),
    ((3, True), {}, 3, 0, 1, True, "TavroSV(num_qubits=3, live_qubits=0, dynamic)"),
    ((3, False), {}, 3, 3, 8, False, "TavroSV(num_qubits=3)"),
    ((0,), {}, 0, 0, 1, False, "TavroSV(num_qubits=0)"),
    ((0, True), {}, 0, 0, 1, True, "TavroSV(num_qubits=0, live_qubits=0, dynamic)"),
    ((5,), {"dynamic_qubits": np.True_}, 5, 0, 1, True,
     "TavroSV(num_qubits=5, live_qubits=0, dynamic)"),
    ((5,), {"dynamic_qubits": np.False_}, 5, 5, 32, False, "TavroSV(num_qubits=5)"),
    ((), {"num_qubits": 2, "dynamic_qubits": True}, 2, 0, 1, True,
     "TavroSV(num_qubits=2, live_qubits=0, dynamic)"),
    ((IndexLike(4),), {}, 4, 4, 16, False, "TavroSV(num_qubits=4)"),
    ((np.uint8(1),), {}, 1, 1, 2, False, "TavroSV(num_qubits=1)"),
    ((16,), {}, 16, 16, 65536, False, "TavroSV(num_qubits=16)"),
]


@pytest.mark.parametrize("args,kwargs,n,live,length,dynamic,text", ZERO_CASES)
def test_zero(args, kwargs, n, live, length, dynamic, text):
    sv = TavroSV.zero(*args, **kwargs)
    assert (sv.num_qubits, sv.live_qubits, sv.len, len(sv), sv.is_dynamic) == (
        n,
        live,
        length,
        length,
        dynamic,
    )
    assert type(sv.num_qubits) is int and type(sv.len) is int and type(sv.is_dynamic) is bool
    assert repr(sv) == text
    expected = np.zeros(length, np.complex128)
    expected[0] = 1
    assert bits(sv.amplitudes()) == bits(expected)


ZERO_REFUSED = [
    # args, kwargs, class, prefixed argument name (None: unprefixed OverflowError)
    ((3,), {"dynamic_qubits": 1}, TypeError, "dynamic_qubits"),
    ((3, 0), {}, TypeError, "dynamic_qubits"),
    ((3, None), {}, TypeError, "dynamic_qubits"),
    ((3, "yes"), {}, TypeError, "dynamic_qubits"),
    ((-1,), {}, OverflowError, None),
    ((2**32,), {}, OverflowError, None),
    ((2**64,), {}, OverflowError, None),
    ((3.0,), {}, TypeError, "num_qubits"),
    (("3",), {}, TypeError, "num_qubits"),
    ((None,), {}, TypeError, "num_qubits"),
    # num_qubits is converted before dynamic_qubits.
    ((-1, 1), {}, OverflowError, None),
    ((1.5,), {"dynamic_qubits": 1}, TypeError, "num_qubits"),
]


@pytest.mark.parametrize("args,kwargs,cls,name", ZERO_REFUSED)
def test_zero_refuses(args, kwargs, cls, name):
    with pytest.raises(cls) as info:
        TavroSV.zero(*args, **kwargs)
    if name is None:
        assert_plain_overflow(info)
    else:
        assert_prefixed_type_error(info, name)


CALL_ERRORS = [
    (lambda: TavroSV.zero(), "zero()"),
    (lambda: TavroSV.zero(1, False, 3), "zero()"),
    (lambda: TavroSV.zero(1, num_qubits=1), "zero()"),
    (lambda: TavroSV.zero(1, dynamic=True), "zero()"),
    (lambda: TavroSV.from_amplitudes(1), "from_amplitudes()"),
    (lambda: TavroSV.zero(1).get(), "get()"),
    (lambda: TavroSV.zero(1).get(0, 1), "get()"),
    (lambda: TavroSV.zero(1).get(index=0), "get()"),
    (lambda: TavroSV.zero(1).get(0, idx=0), "get()"),
    (lambda: TavroSV.zero(1).is_allocated(), "is_allocated()"),
    (lambda: TavroSV.zero(1).norm_squared(1), "norm_squared()"),
    (lambda: TavroSV.zero(1).clone(deep=True), "clone()"),
]


@pytest.mark.parametrize("call,method", CALL_ERRORS)
def test_call_rules_raise_type_error_naming_the_method(call, method):
    with pytest.raises(TypeError) as info:
        call()
    assert method in str(info.value)
    assert not str(info.value).startswith("argument '")


# ---- from_bitstring

SAME_BITS = [
    bytes([1, 0, 1]),
    bytearray([1, 0, 1]),
    [1, 0, 1],
    (1, 0, 1),
    np.array([1, 0, 1], np.uint8),
    np.array([1, 0, 1], np.int64),
    [True, False, True],
    [IndexLike(1), IndexLike(0), IndexLike(1)],
    memoryview(bytes([1, 0, 1])),
]


@pytest.mark.parametrize("bits_arg", SAME_BITS, ids=lambda b: type(b).__name__)
def test_from_bitstring_forms_build_the_same_state(bits_arg):
    sv = TavroSV.from_bitstring(bits_arg)
    assert (sv.num_qubits, sv.live_qubits, len(sv), sv.is_dynamic) == (3, 3, 8, False)
    expected = np.zeros(8, np.complex128)
    expected[5] = 1  # qubit 0 is the least significant bit: [1, 0, 1] is index 5
    assert bits(sv.amplitudes()) == bits(expected)


@pytest.mark.parametrize(
    "bits_arg,index",
    [([0, 1, 1], 6), ([1], 1), ([0], 0), ([0, 0, 0, 1], 8), ([1] * 10, 1023), (b"\x00\x01", 2)],
)
def test_from_bitstring_index(bits_arg, index):
    sv = TavroSV.from_bitstring(bits_arg)
    assert len(sv) == 2 ** len(bits_arg)
    expected = np.zeros(len(sv), np.complex128)
    expected[index] = 1
    assert bits(sv.amplitudes()) == bits(expected)


def test_from_bitstring_empty_is_the_zero_qubit_state():
    sv = TavroSV.from_bitstring([])
    assert (sv.num_qubits, len(sv), sv.get(0)) == (0, 1, 1 + 0j)


BITS_REFUSED = [
    # argument, class, message (prefixed TypeError: the name; OverflowError: None)
    ("10", TypeError, "bits"),
    (5, TypeError, "bits"),
    ({1, 0}, TypeError, "bits"),
    (None, TypeError, "bits"),
    ([1.0], TypeError, "bits"),
    (["1"], TypeError, "bits"),
    ([None], TypeError, "bits"),
    ([256], OverflowError, None),
    ([-1], OverflowError, None),
    ([0, 2**64], OverflowError, None),
    # Every item is converted before the core looks at the values.
    ([2, 1.0], TypeError, "bits"),
    ([2, 256], OverflowError, None),
]


@pytest.mark.parametrize("bits_arg,cls,name", BITS_REFUSED)
def test_from_bitstring_conversion_refuses(bits_arg, cls, name):
    with pytest.raises(cls) as info:
        TavroSV.from_bitstring(bits_arg)
    if name is None:
        assert_plain_overflow(info)
    else:
        assert_prefixed_type_error(info, name)


@pytest.mark.parametrize(
    "bits_arg,message",
    [
        ([2], "got 2 at qubit 0"),
        ([0, 2, 3], "got 2 at qubit 1"),
        (bytes([1, 0, 255]), "got 255 at qubit 2"),
        # bytes are taken as raw values: the character "1" is 49.
        (b"1", "got 49 at qubit 0"),
        (bytearray(b"\x01\x07"), "got 7 at qubit 1"),
    ],
)
def test_from_bitstring_values_are_checked_by_the_core(bits_arg, message):
    with pytest.raises(ValueError) as info:
        TavroSV.from_bitstring(bits_arg)
    assert type(info.value) is ValueError
    prefix = "invalid basis-state index: bitstring entries must be 0 or 1, "
    assert str(info.value) == prefix + message


def test_from_bitstring_survives_a_list_emptied_during_conversion():
    bits_arg = []
    bits_arg.extend([IndexLike(1, bits_arg.clear), 1, 1])
    sv = TavroSV.from_bitstring(bits_arg)
    assert sv.num_qubits == 1 and sv.get(1) == 1


# ---- from_amplitudes


def view_cases():
    base = SPECIALS.copy()
    wide = np.concatenate([base, base[::-1]])
    readonly = base[:4].copy()
    readonly.flags.writeable = False
    raw = bytearray(16 * 4 + 1)
    unaligned = np.frombuffer(raw, dtype=np.complex128, count=4, offset=1)
    unaligned[:] = base[:4]
    return [
        ("contiguous", base[:4]),
        ("every other", base[::2]),
        ("reversed", base[::-1][:4]),
        ("step -3", wide[::-3][:4]),
        ("column of a 2-D array", wide.reshape(4, 4)[:, 1]),
        ("read-only", readonly),
        ("unaligned", unaligned),
        ("zero stride", np.broadcast_to(base[2:3], (4,))),
    ]


@pytest.mark.parametrize("arr", [c[1] for c in view_cases()], ids=[c[0] for c in view_cases()])
def test_from_amplitudes_reads_any_stride_bit_for_bit(arr):
    sv = TavroSV.from_amplitudes(2, arr)
    assert (sv.num_qubits, sv.live_qubits, len(sv), sv.is_dynamic) == (2, 2, 4, False)
    assert bits(sv.amplitudes()) == bits(arr)
    assert [bits(sv.get(i)) for i in range(4)] == [bits(a) for a in arr]


@pytest.mark.parametrize("n,step", [(17, 1), (17, -2), (18, 3)])
def test_from_amplitudes_large_buffers_copy_exactly(n, step):
    # Large enough for the parallel copy when several workers run.
    source = random_amps(n + 2, seed=n)[:: step][: 2**n]
    sv = TavroSV.from_amplitudes(n, source)
    assert bits(sv.amplitudes()) == bits(source)


def test_from_amplitudes_keeps_no_reference_to_the_array():
    arr = np.array([3 + 0j, 4j])
    sv = TavroSV.from_amplitudes(1, arr)
    arr[:] = 0
    assert sv.amplitudes().tolist() == [3 + 0j, 4j]
    assert sv.norm_squared() == 25.0  # not renormalised


def test_from_amplitudes_keyword_arguments():
    sv = TavroSV.from_amplitudes(arr=np.array([0j, 1 + 0j]), num_qubits=1)
    assert sv.get(1) == 1


ARR_REFUSED = [
    ("list", [1, 0]),
    ("tuple", (1j, 0j)),
    ("str", "ab"),
    ("float64", np.array([1.0, 0.0])),
    ("complex64", np.array([1, 0], np.complex64)),
    ("clongdouble", np.array([1, 0], np.clongdouble)),
    ("object", np.array([1j, 0j], dtype=object)),
    ("big-endian complex128", np.zeros(2, ">c16")),
    ("2-D", np.zeros((1, 2), np.complex128)),
    ("0-D", np.array(1 + 0j)),
    ("complex scalar", np.complex128(1)),
]


@pytest.mark.parametrize("arr", [c[1] for c in ARR_REFUSED], ids=[c[0] for c in ARR_REFUSED])
def test_from_amplitudes_refuses_anything_but_a_1d_complex128_array(arr):
    with pytest.raises(TypeError) as info:
        TavroSV.from_amplitudes(1, arr)
    assert_prefixed_type_error(info, "arr")


@pytest.mark.parametrize(
    "n,arr,cls,name",
    [
        (-1, [1], OverflowError, None),
        (2**32, [1], OverflowError, None),
        (1.0, [1], TypeError, "num_qubits"),
        ("1", None, TypeError, "num_qubits"),
    ],
)
def test_from_amplitudes_converts_num_qubits_first(n, arr, cls, name):
    with pytest.raises(cls) as info:
        TavroSV.from_amplitudes(n, arr)
    if name is None:
        assert_plain_overflow(info)
    else:
        assert_prefixed_type_error(info, name)


# ---- reads


def specials_state():
    return TavroSV.from_amplitudes(3, SPECIALS)


def test_get_and_probability_read_the_buffer():
    sv = specials_state()
    for i, a in enumerate(SPECIALS):
        got = sv.get(i)
        assert type(got) is complex
        assert bits(got) == bits(a)
        p = sv.probability(i)
        assert type(p) is float
        # Two products rounded separately, then one addition: Python's own float arithmetic.
        re, im = float(a.real), float(a.imag)
        assert fbits(p) == fbits(re * re + im * im)


def test_logical_reads_equal_physical_reads_on_a_static_state():
    sv = specials_state()
    for i in range(8):
        assert bits(sv.get_logical(i)) == bits(sv.get(i))
        assert fbits(sv.probability_logical(i)) == fbits(sv.probability(i))


def test_logical_read_of_an_untouched_qubit_is_zero():
    sv = TavroSV.zero(4, dynamic_qubits=True)
    assert bits(sv.get_logical(0b0100)) == bits(0j)
    assert fbits(sv.probability_logical(0b0100)) == fbits(0.0)
    assert sv.get_logical(0) == 1 and sv.probability_logical(0) == 1.0


READ_METHODS = ["get", "probability", "get_logical", "probability_logical"]

READ_ERRORS = [
    # state, method, index, message detail
    (lambda: TavroSV.zero(3), "get", 8, "index 8 >= 2^3"),
    (lambda: TavroSV.zero(3), "probability", 9, "index 9 >= 2^3"),
    (lambda: TavroSV.zero(3), "get_logical", 8, "index 8 >= 2^3"),
    (lambda: TavroSV.zero(3), "probability_logical", 2**63, "index 9223372036854775808 >= 2^3"),
    (lambda: TavroSV.zero(0), "get", 1, "index 1 >= 2^0"),
    # The physical reads bound by the buffer but print the declared width.
    (lambda: TavroSV.zero(5, True), "get", 1, "index 1 >= 2^5"),
    (lambda: TavroSV.zero(5, True), "probability", 2**64 - 1, "index 18446744073709551615 >= 2^5"),
    (lambda: TavroSV.zero(4, True), "get_logical", 16, "index 16 >= 2^4"),
    (lambda: TavroSV.zero(4, True), "probability_logical", 17, "index 17 >= 2^4"),
]


@pytest.mark.parametrize("make,method,idx,detail", READ_ERRORS)
def test_read_out_of_range(make, method, idx, detail):
    with pytest.raises(ValueError) as info:
        getattr(make(), method)(idx)
    assert type(info.value) is ValueError
    assert info.value.args == ("invalid basis-state index: " + detail,)


def test_get_of_len_fails():
    sv = TavroSV.zero(3)
    with pytest.raises(ValueError):
        sv.get(len(sv))


INDEX_REFUSED = [
    (-1, OverflowError),
    (2**64, OverflowError),
    (-(2**70), OverflowError),
    (1.0, TypeError),
    ("0", TypeError),
    (None, TypeError),
    (np.float64(0), TypeError),
    (1 + 0j, TypeError),
]


@pytest.mark.parametrize("method", READ_METHODS + ["is_allocated"])
@pytest.mark.parametrize("idx,cls", INDEX_REFUSED)
def test_index_conversion(method, idx, cls):
    name = "target" if method == "is_allocated" else "idx"
    with pytest.raises(cls) as info:
        getattr(TavroSV.zero(2), method)(idx)
    if cls is OverflowError:
        assert_plain_overflow(info)
    else:
        assert_prefixed_type_error(info, name)


@pytest.mark.parametrize("idx", [3, np.int64(3), np.uint64(3), IndexLike(3), True])
def test_index_accepts_integers_and_index_objects(idx):
    sv = TavroSV.from_amplitudes(2, np.arange(4) + 0.5j)
    assert sv.get(idx) == int(idx) + 0.5j
    assert sv.get(idx=idx) == int(idx) + 0.5j


def test_exceptions_from_index_hooks():
    sv = TavroSV.zero(2)

    class RaisesType:
        def __index__(self):
            raise TypeError("boom")

    class RaisesValue:
        def __index__(self):
            raise ValueError("boom")

    with pytest.raises(TypeError) as info:
        sv.get(RaisesType())
    assert str(info.value) == "argument 'idx': boom"
    assert type(info.value.__cause__) is TypeError and str(info.value.__cause__) == "boom"
    with pytest.raises(ValueError) as info:
        sv.get(RaisesValue())
    assert str(info.value) == "boom"


# ---- is_allocated


@pytest.mark.parametrize(
    "make,expected",
    [
        (lambda: TavroSV.zero(4), [True, True, True, True, False]),
        (lambda: TavroSV.zero(4, True), [False] * 5),
        (lambda: TavroSV.zero(0), [False]),
        (lambda: TavroSV.from_bitstring([1, 1]), [True, True, False]),
    ],
)
def test_is_allocated(make, expected):
    sv = make()
    assert [sv.is_allocated(q) for q in range(len(expected))] == expected
    assert sv.is_allocated(10**6) is False
    assert sv.is_allocated(2**64 - 1) is False
    assert sv.is_allocated(target=0) is expected[0]


# ---- norms, reset, amplitudes, clone


def test_norm_squared_and_normalize():
    sv = TavroSV.from_amplitudes(1, np.array([3 + 0j, 4j]))
    assert sv.norm_squared() == 25.0
    assert sv.normalize() == 5.0
    # Each component is multiplied by the reciprocal of the norm, not divided by the norm.
    factor = 1.0 / 5.0
    expected = [complex(3 * factor, 0 * factor), complex(0 * factor, 4 * factor)]
    assert bits(sv.amplitudes()) == bits(expected)
    assert sv.get(0).real == 0.6000000000000001


@pytest.mark.parametrize(
    "values",
    [np.zeros(4, np.complex128), np.array([np.nan, 1, 2, 3], np.complex128)],
    ids=["zero", "nan"],
)
def test_normalize_leaves_a_state_without_positive_norm_alone(values):
    sv = TavroSV.from_amplitudes(2, values)
    ns = sv.norm_squared()
    assert fbits(sv.normalize()) == fbits(np.sqrt(ns))
    assert bits(sv.amplitudes()) == bits(values)


@pytest.mark.parametrize(
    "make,length",
    [
        (lambda: TavroSV.from_amplitudes(3, SPECIALS), 8),
        (lambda: TavroSV.from_amplitudes(16, random_amps(16)), 2**16),
        (lambda: TavroSV.from_bitstring([1, 1]), 4),
    ],
)
def test_reset_to_zero(make, length):
    sv = make()
    assert sv.reset_to_zero() is None
    expected = np.zeros(length, np.complex128)
    expected[0] = 1
    # Every entry is +0.0 afterwards: the NaN, infinite and negative-zero ones too.
    assert bits(sv.amplitudes()) == bits(expected)
    assert (sv.num_qubits, len(sv)) == (int(np.log2(length)), length)


def test_reset_to_zero_keeps_a_dynamic_state_dynamic():
    sv = TavroSV.zero(3, dynamic_qubits=True)
    sv.reset_to_zero()
    assert (len(sv), sv.len, sv.live_qubits, sv.is_dynamic) == (1, 1, 0, True)
    assert sv.get(0) == 1


def test_amplitudes_is_a_fresh_owned_array():
    sv = TavroSV.from_amplitudes(3, SPECIALS)
    a = sv.amplitudes()
    assert (a.dtype, a.ndim, a.shape) == (np.dtype(np.complex128), 1, (8,))
    assert a.flags.owndata and a.flags.writeable and a.flags.c_contiguous
    assert bits(a) == bits(SPECIALS)
    a[:] = 7
    assert bits(sv.amplitudes()) == bits(SPECIALS)  # changing the copy leaves the state
    b = sv.amplitudes()
    sv.reset_to_zero()
    assert bits(b) == bits(SPECIALS)  # changing the state leaves the copy
    assert b is not sv.amplitudes()


@pytest.mark.parametrize(
    "make,length",
    [
        (lambda: TavroSV.zero(5, True), 1),
        (lambda: TavroSV.zero(0), 1),
        (lambda: TavroSV.zero(2), 4),
    ],
)
def test_amplitudes_has_len_entries(make, length):
    sv = make()
    assert sv.amplitudes().shape == (length,) == (len(sv),)


@pytest.mark.parametrize(
    "make",
    [
        lambda: TavroSV.from_amplitudes(3, SPECIALS),
        lambda: TavroSV.zero(6, dynamic_qubits=True),
        lambda: TavroSV.from_amplitudes(17, random_amps(17)),
    ],
    ids=["static", "dynamic", "large"],
)
def test_clone_is_an_independent_deep_copy(make):
    sv = make()
    before = bits(sv.amplitudes())
    c = sv.clone()
    assert type(c) is TavroSV and c is not sv
    assert (c.num_qubits, c.live_qubits, len(c), c.is_dynamic, repr(c)) == (
        sv.num_qubits,
        sv.live_qubits,
        len(sv),
        sv.is_dynamic,
        repr(sv),
    )
    assert bits(c.amplitudes()) == before
    sv.reset_to_zero()
    assert bits(c.amplitudes()) == before
    c.normalize()
    assert bits(sv.amplitudes())[:2] == bits(1 + 0j)


# ---- use flags


class Reenter(IndexLike):
    """An index whose conversion calls back into the state being used."""


EXCLUSIVE = ["reset_to_zero", "normalize"]
SHARED_WITH_ARG = ["get", "probability", "get_logical", "probability_logical", "is_allocated"]


@pytest.mark.parametrize("outer", SHARED_WITH_ARG)
@pytest.mark.parametrize("inner", EXCLUSIVE)
def test_exclusive_use_is_refused_while_a_read_converts_its_argument(outer, inner):
    sv = TavroSV.from_amplitudes(1, np.array([3 + 0j, 4j]))
    with pytest.raises(RuntimeError) as info:
        getattr(sv, outer)(Reenter(0, getattr(sv, inner)))
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already borrowed"
    # Nothing ran, and the flag is free again.
    assert sv.amplitudes().tolist() == [3 + 0j, 4j]
    assert sv.normalize() == 5.0


@pytest.mark.parametrize("outer", SHARED_WITH_ARG)
def test_shared_uses_nest(outer):
    sv = TavroSV.from_amplitudes(1, np.array([3 + 0j, 4j]))
    seen = []

    def read_everything():
        seen.append((sv.norm_squared(), len(sv), sv.len, repr(sv), sv.get(1), sv.clone().get(0)))

    getattr(sv, outer)(Reenter(1, read_everything))
    assert seen == [(25.0, 2, 2, "TavroSV(num_qubits=1)", 4j, 3 + 0j)]
    sv.reset_to_zero()  # every shared use was released
    assert sv.get(0) == 1
