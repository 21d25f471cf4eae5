"""class Rng: construction, seed conversion, and the absence of any other surface."""

import copy
import inspect

import numpy as np
import pytest

from support import IndexLike
from tavro._core import Rng

SEEDS = [0, 2**64 - 1, np.uint64(2**64 - 1), IndexLike(3), True]


@pytest.mark.parametrize("seed", SEEDS, ids=repr)
def test_accepts_every_unsigned_64_bit_seed(seed):
    assert type(Rng(seed)) is Rng and type(Rng(seed=seed)) is Rng


REFUSED = [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("1", TypeError)]


@pytest.mark.parametrize("seed,cls", REFUSED + [(np.float64(1), TypeError)], ids=repr)
def test_refused_seeds(seed, cls):
    with pytest.raises(cls) as info:
        Rng(seed)
    # A conversion TypeError names the argument; an OverflowError comes through unchanged.
    assert type(info.value) is cls
    assert str(info.value).startswith("argument 'seed': ") == (cls is TypeError)


def test_signature_docstring_and_no_other_surface():
    assert str(inspect.signature(Rng)) == "(seed)"
    assert Rng.__doc__.startswith("Seeded Xoshiro256++ RNG.\n\n") and "TavroSV" in Rng.__doc__
    assert [n for n in dir(Rng(0)) if not n.startswith("_")] == []
    for refused in (lambda: copy.copy(Rng(3)), lambda: type("Sub", (Rng,), {}), lambda: Rng()):
        with pytest.raises(TypeError):
            refused()
