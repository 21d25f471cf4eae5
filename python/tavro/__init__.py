"""tavro: a state-vector quantum circuit simulator."""

from ._core import (
    DegenerateStateError,
    GateShapeError,
    NonUnitaryError,
    QubitIndexError,
    Rng,
    TavroError,
    TavroSV,
)

__all__ = [
    "TavroSV",
    "Rng",
    "TavroError",
    "GateShapeError",
    "QubitIndexError",
    "DegenerateStateError",
    "NonUnitaryError",
]
