"""class Rng: construction, seed conversion, and the absence of any other surface."""

import copy
import inspect
import pickle

import numpy as np
import pytest

from support import IndexLike
from tavro._core import Rng


@pytest.mark.parametrize(
    "seed",
    [0, 1, 7, 2**63, 2**64 - 1, np.uint64(2**64 - 1), np.int8(5), IndexLike(3), True],
    ids=repr,
)
def test_accepts_every_unsigned_64_bit_seed(seed):
    assert type(Rng(seed)) is Rng
    assert type(Rng(seed=seed)) is Rng


@pytest.mark.parametrize(
    "seed,cls",
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (-(2**70), OverflowError),
        (1.5, TypeError),
        (1.0, TypeError),
        ("1", TypeError),
        (None, TypeError),
        (np.float64(1), TypeError),
        (1 + 0j, TypeError),
    ],
    ids=repr,
)
def test_refused_seeds(seed, cls):
    with pytest.raises(cls) as info:
        Rng(seed)
    assert type(info.value) is cls
    if cls is TypeError:
        assert str(info.value).startswith("argument 'seed': ")
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "args,kwargs",
    [((), {}), ((1, 2), {}), ((), {"sed": 1}), ((1,), {"seed": 1})],
    ids=["missing", "extra", "unknown keyword", "repeated"],
)
def test_call_rules(args, kwargs):
    with pytest.raises(TypeError) as info:
        Rng(*args, **kwargs)
    assert "Rng()" in str(info.value)


def test_docstring_and_signature():
    assert Rng.__text_signature__ == "(seed)"
    assert str(inspect.signature(Rng)) == "(seed)"
    doc = Rng.__doc__
    assert doc.startswith("Seeded Xoshiro256++ RNG.\n\n")
    paragraph = doc.split("\n\n", 1)[1]
    for word in ["seed", "measure_qubit", "reset_qubit", "sample", "sample_bitstring", "TavroSV"]:
        assert word in paragraph, word
    assert Rng.__module__ == "_core"


def test_no_visible_state():
    rng = Rng(0)
    assert [n for n in dir(rng) if not n.startswith("_")] == []
    with pytest.raises(AttributeError):
        rng.s = [1, 2, 3, 4]
    with pytest.raises(TypeError):
        type("Sub", (Rng,), {})


@pytest.mark.parametrize(
    "action", [copy.copy, copy.deepcopy, pickle.dumps], ids=["copy", "deepcopy", "pickle"]
)
def test_cannot_be_copied(action):
    with pytest.raises(TypeError):
        action(Rng(3))
