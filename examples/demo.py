"""tavro from Python: two 24-qubit circuits built gate by gate, measured and sampled.

1. A GHZ state (|0...0> + |1...1>)/sqrt(2): 1000 shots split between the two bitstrings, and a
   mid-circuit measurement that collapses all 24 qubits at once.
2. Phase estimation of phi = 1/3: a phase kick on each qubit of |+...+>, then the inverse
   quantum Fourier transform; the most frequent bitstrings read phi * 2^24 in binary.

Run after building, with the package on the path:
    PYTHONPATH=build/python /usr/bin/python3 examples/demo.py
"""

import math
import os
import sys
import time
from collections import Counter

try:
    from tavro import QubitIndexError, Rng, TavroSV
except ImportError:  # straight from a checkout built into ./build
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "build", "python"))
    from tavro import QubitIndexError, Rng, TavroSV

N = 24
SHOTS = 1000
SEED = 2024


def bitstring(row):
    """A sampled row (entry q is qubit q) written with qubit N-1 first, as a binary number."""
    return "".join("1" if b else "0" for b in reversed(row.tolist()))


def show_top(rows, k, label=lambda s: ""):
    counts = Counter(bitstring(r) for r in rows)
    for s, c in counts.most_common(k):
        print(f"  {s}  {c:4d} / {len(rows)}{label(s)}")
    return counts


def as_phase(s):
    x = int(s, 2)
    return f"  x = {x:8d}  x / 2^{N} = {x / 2**N:.9f}"


def ghz(n):
    sv = TavroSV.zero(n)
    sv.apply_h(0)
    for q in range(n - 1):
        sv.apply_cx(q, q + 1)
    return sv


def inverse_qft(sv, n):
    """Undoes the Fourier transform on qubits 0..n-1 (qubit 0 least significant). Qubit j
    carries the binary fraction 0.b(n-1-j)...b0 of x in its phase: the bits already read by
    the higher qubits are removed with controlled phases, a Hadamard reads the next bit, and
    the final swaps put bit k on qubit k."""
    for j in range(n - 1, -1, -1):
        for m in range(n - 1, j, -1):
            sv.apply_cp(-math.pi / 2 ** (m - j), m, j)
        sv.apply_h(j)
    for q in range(n // 2):
        sv.apply_swap(q, n - 1 - q)


def phase_estimation(n, phi):
    """|+...+> with the phase e^(2 pi i phi 2^k) kicked onto qubit k, then the inverse QFT."""
    sv = TavroSV.zero(n)
    for q in range(n):
        sv.apply_h(q)
        # The angle taken modulo 2 pi keeps it small and exact enough for every k.
        sv.apply_p(2 * math.pi * ((phi * 2**q) % 1.0), q)
    inverse_qft(sv, n)
    return sv


def main():
    rng = Rng(SEED)
    total = time.perf_counter()

    print(f"GHZ state on {N} qubits: H, then a chain of {N - 1} CX")
    t = time.perf_counter()
    sv = ghz(N)
    built = time.perf_counter() - t
    t = time.perf_counter()
    rows = sv.sample(rng, SHOTS)
    sampled = time.perf_counter() - t
    print(f"  built in {built:.3f} s, {SHOTS} shots in {sampled:.3f} s, rows {rows.shape}")
    show_top(rows, 4)
    print(f"  P(qubit {N - 1} = 0) = {sv.prob_zero(N - 1):.6f} before measuring qubit 0")
    outcome = sv.measure_qubit(0, rng)
    print(f"  measure_qubit(0) -> {outcome}; P(qubit {N - 1} = 0) = {sv.prob_zero(N - 1):.6f}")
    print(f"  every shot now agrees: {sorted(set(bitstring(r) for r in sv.sample(rng, 100)))}")
    del sv

    phi = 1 / 3
    gates = 2 * N + N * (N - 1) // 2 + N + N // 2
    print(f"\nPhase estimation of phi = 1/3 on {N} qubits: {gates} gates incl. the inverse QFT")
    t = time.perf_counter()
    sv = phase_estimation(N, phi)
    built = time.perf_counter() - t
    t = time.perf_counter()
    rows = sv.sample(rng, SHOTS)
    sampled = time.perf_counter() - t
    print(f"  built in {built:.3f} s, {SHOTS} shots in {sampled:.3f} s")
    counts = show_top(rows, 5, as_phase)
    best = int(counts.most_common(1)[0][0], 2)
    print(f"  best estimate {best / 2**N:.9f}, error {abs(best / 2**N - phi):.2e}")

    # Dynamic qubits: only the qubits in use take memory; free_qubit gives a slot back.
    dyn = TavroSV.zero(N, dynamic_qubits=True)
    dyn.apply_h(5)
    dyn.apply_cx(5, 17)
    print(f"\ndynamic state of {N} declared qubits, 2 in use: {len(dyn)} amplitudes")
    print(f"  free_qubit(17) measured {dyn.free_qubit(17, rng)}; now {len(dyn)} amplitudes,"
          f" is_allocated(17) = {dyn.is_allocated(17)}")
    try:
        dyn.measure_qubit(N, rng)
    except QubitIndexError as e:
        print(f"  caught QubitIndexError: {e}")

    print(f"\ntotal time {time.perf_counter() - total:.2f} s")


if __name__ == "__main__":
    main()
