"""A first look at tavro from Python: build states, read them back, catch an error.

Run after building, with the package on the path:
    PYTHONPATH=build/python /usr/bin/python3 examples/demo.py
"""

import os
import sys

try:
    from tavro import QubitIndexError, Rng, TavroSV
except ImportError:  # straight from a checkout built into ./build
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "build", "python"))
    from tavro import QubitIndexError, Rng, TavroSV

import numpy as np


def show(title, sv):
    print(f"{title}: {sv!r}")
    print(f"  len={len(sv)} live_qubits={sv.live_qubits} norm^2={sv.norm_squared()!r}")
    for idx, amp in enumerate(sv.amplitudes()):
        if amp != 0:
            label = format(idx, f"0{max(sv.num_qubits, 1)}b")
            p = sv.probability(idx)
            print(f"  |{label}>  {amp.real:+.6f}{amp.imag:+.6f}i  p={p:.6f}")


def main():
    show("zero(3)", TavroSV.zero(3))

    # Qubit 0 is the least significant bit: bits [1, 0, 1] are basis index 5 = |101>.
    show("from_bitstring([1, 0, 1])", TavroSV.from_bitstring([1, 0, 1]))

    # A GHZ-like vector given directly; from_amplitudes copies it and does not renormalise.
    ghz = np.zeros(8, dtype=np.complex128)
    ghz[0] = ghz[7] = 1.0
    sv = TavroSV.from_amplitudes(3, ghz)
    show("from_amplitudes(3, |000> + |111>)", sv)
    print(f"  normalize() returned the old norm {sv.normalize()!r}")
    show("after normalize()", sv)

    # A copy is independent: resetting the original leaves it as it was.
    twin = sv.clone()
    sv.reset_to_zero()
    print(f"clone keeps |111>: {twin.get(7)!r}; original after reset_to_zero: {sv.get(7)!r}")

    # Dynamic qubits: the buffer holds only the qubits touched so far.
    dyn = TavroSV.zero(20, dynamic_qubits=True)
    show("zero(20, dynamic_qubits=True)", dyn)
    print(f"  is_allocated(0)={dyn.is_allocated(0)}  logical |0...0> = {dyn.get_logical(0)!r}")

    rng = Rng(2024)
    print(f"generator ready for the stochastic methods: {type(rng).__name__}(2024)")

    # Errors are Python exceptions with the core's message.
    for label, call in [
        ("index past the buffer", lambda: TavroSV.zero(3).get(8)),
        ("too many qubits", lambda: TavroSV.zero(60)),
        ("more memory than the machine has", lambda: TavroSV.zero(45)),
        ("a bit that is not 0 or 1", lambda: TavroSV.from_bitstring([0, 1, 2])),
        ("a float where an index belongs", lambda: TavroSV.zero(2).get(1.0)),
    ]:
        try:
            call()
        except (ValueError, MemoryError, TypeError, QubitIndexError) as e:
            print(f"caught {type(e).__name__} for {label}: {e}")


if __name__ == "__main__":
    main()
