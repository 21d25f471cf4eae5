"""tavro: a state-vector quantum circuit simulator."""

from ._core import (
    DegenerateStateError,
    GateShapeError,
    NonUnitaryError,
    QubitIndexError,
    Rng,
    TavroError,
    TavroSV,
    optimize_ordering,
)

__all__ = [
    "TavroSV",
    "Rng",
    "optimize_ordering",
    "TavroError",
    "GateShapeError",
    "QubitIndexError",
    "DegenerateStateError",
    "NonUnitaryError",
]
