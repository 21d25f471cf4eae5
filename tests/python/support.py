"""Small helpers shared by the Python tests."""

import numpy as np


def bits(values):
    """The IEEE-754 bit patterns of complex values (real, imag interleaved) as a list of ints,
    so that +0/-0 and NaN payloads count in comparisons."""
    a = np.atleast_1d(np.asarray(values, dtype=np.complex128))
    return np.ascontiguousarray(a).view(np.uint64).tolist()


def fbits(value):
    """The bit pattern of one binary64 value."""
    return int(np.float64(value).view(np.uint64))


class IndexLike:
    """An object that is not an int but converts to one through __index__."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value
