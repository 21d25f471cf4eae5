"""A tour of tavro from Python, on circuits of 20 to 24 qubits, each step timed.

1. GHZ state: H and a chain of CX, 1000 sampled shots, a measurement that collapses it.
2. Phase estimation of phi = 1/3 with the inverse quantum Fourier transform.
3. Fused blocks, as a circuit front end hands them over: dense 3- to 5-qubit unitaries
   (apply_gate_kq) and a 10-qubit diagonal (apply_diag_kq), checked against the same circuit
   gate by gate.
4. Grover search with multi-controlled gates (apply_controlled_gate_1q with 19 controls) and
   fused 5-qubit blocks; a Toffoli through apply_mcx.
5. The energy of a transverse-field Ising chain, read out as a sum of Pauli-string expectation
   values, for a QAOA-like state whose ZZ layer is one fused diagonal per block of qubits.
6. Noisy trajectories: the same state under depolarising noise (a mixed-unitary channel) and
   amplitude damping (a Kraus channel), with the spread of the energy over trajectories.
7. The qubit-ordering optimizer's suggestion for the phase-estimation circuit.

Run after building, with the package on the path:
    PYTHONPATH=build/python /usr/bin/python3 examples/demo.py
"""

import cmath
import math
import os
import statistics
import sys
import time
from collections import Counter

import numpy as np

try:
    from tavro import QubitIndexError, Rng, TavroSV, optimize_ordering
except ImportError:  # straight from a checkout built into ./build
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "build", "python"))
    from tavro import QubitIndexError, Rng, TavroSV, optimize_ordering

SEED = 2024
I2 = np.eye(2, dtype=complex)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]], dtype=complex)
Z = np.array([[1, 0], [0, -1]], dtype=complex)
H = np.array([[1, 1], [1, -1]], dtype=complex) / math.sqrt(2)


class Timer:
    """`with Timer("label"):` prints the label and the seconds the block took."""

    def __init__(self, label):
        self.label = label

    def __enter__(self):
        self.t = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.t
        print(f"  {self.label}: {self.seconds:.3f} s")


def bitstring(row):
    """A sampled row (entry q is qubit q) written with the highest qubit first."""
    return "".join("1" if b else "0" for b in reversed(row.tolist()))


def ghz(n, rng):
    print(f"1. GHZ state on {n} qubits: H, then a chain of {n - 1} CX")
    sv = TavroSV.zero(n)
    with Timer("built"):
        sv.apply_h(0)
        for q in range(n - 1):
            sv.apply_cx(q, q + 1)
    with Timer("1000 shots"):
        rows = sv.sample(rng, 1000)
    for s, c in Counter(bitstring(r) for r in rows).most_common(2):
        print(f"    {s}  {c:4d} / 1000")
    outcome = sv.measure_qubit(0, rng)
    print(f"    measure_qubit(0) -> {outcome}; P(qubit {n - 1} = 0) is now {sv.prob_zero(n - 1):.1f}")


def phase_estimation(n, phi, rng):
    print(f"\n2. Phase estimation of phi = 1/3 on {n} qubits, with the inverse QFT")
    sv = TavroSV.zero(n)
    with Timer(f"{2 * n + n * (n - 1) // 2 + n + n // 2} gates"):
        for q in range(n):
            sv.apply_h(q)
            sv.apply_p(2 * math.pi * ((phi * 2**q) % 1.0), q)
        for j in range(n - 1, -1, -1):
            for m in range(n - 1, j, -1):
                sv.apply_cp(-math.pi / 2 ** (m - j), m, j)
            sv.apply_h(j)
        for q in range(n // 2):
            sv.apply_swap(q, n - 1 - q)
    best = Counter(bitstring(r) for r in sv.sample(rng, 1000)).most_common(1)[0][0]
    print(f"    most frequent x = {int(best, 2)}, x / 2^{n} = {int(best, 2) / 2**n:.9f}")


def random_unitary(d, gen):
    q, r = np.linalg.qr(gen.normal(size=(d, d)) + 1j * gen.normal(size=(d, d)))
    return q * (np.diag(r) / abs(np.diag(r)))


def fused_blocks(n, gen):
    """A layer of dense blocks and a diagonal block, against the same gates one by one."""
    print(f"\n3. Fused blocks on {n} qubits")
    # The block's first target is the most significant bit of its matrix: a 3-qubit block
    # U (x) V (x) W on targets (a, b, c) applies U to a, V to b and W to c.
    blocks = []
    for k, first in ((3, 0), (4, 3), (5, 7), (3, 12), (5, 15)):
        factors = [random_unitary(2, gen) for _ in range(k)]
        targets = list(range(first, first + k))[::-1] if k == 4 else list(range(first, first + k))
        blocks.append((factors, targets))
    angles = gen.uniform(0, 2 * math.pi, size=10)
    diag_targets = list(range(n - 10, n))
    # Entry i of the diagonal: bit (9 - j) of i is the value of diag_targets[j].
    diag = np.array([cmath.exp(1j * sum(angles[j] for j in range(10) if (i >> (9 - j)) & 1))
                     for i in range(1024)])

    fused = TavroSV.zero(n)
    for q in range(n):
        fused.apply_h(q)
    plain = fused.clone()
    with Timer(f"{len(blocks)} dense blocks (k = 3, 4, 5) and one 10-qubit diagonal"):
        for factors, targets in blocks:
            u = factors[0]
            for f in factors[1:]:
                u = np.kron(u, f)
            fused.apply_gate_kq(u, targets)
        fused.apply_diag_kq(diag, diag_targets)
    with Timer(f"the same as {sum(len(f) for f, _ in blocks) + 10} one-qubit gates"):
        for factors, targets in blocks:
            for f, t in zip(factors, targets):
                plain.apply_gate_1q(f, t)
        for j, t in enumerate(diag_targets):
            plain.apply_p(angles[j], t)
    diff = np.max(np.abs(fused.amplitudes() - plain.amplitudes()))
    print(f"    largest difference between the two: {diff:.1e}")


def block_of(u, k):
    """The same one-qubit matrix u on each of k qubits, as one dense k-qubit block."""
    m = u
    for _ in range(k - 1):
        m = np.kron(m, u)
    return m


def grover(n, marked, rng):
    """Amplitude amplification of one marked bitstring: the oracle and the diffusion each hold
    one Z with n - 1 controls; the diffusion's H and X layers go as fused 5-qubit blocks."""
    print(f"\n4. Grover search for one marked item among 2^{n} on {n} qubits")
    rest = list(range(n - 1))
    blocks = [list(range(q, q + 5)) for q in range(0, n, 5)]
    into, out_of = block_of(X @ H, 5), block_of(H @ X, 5)
    zeros = [q for q in range(n) if not (marked >> q) & 1]
    sv = TavroSV.zero(n)
    for q in range(n):
        sv.apply_h(q)
    theta = math.asin(2 ** (-n / 2))
    rounds = int(math.pi / (4 * theta))
    with Timer(f"{rounds} rounds, each two {n - 1}-controlled Z and eight 5-qubit blocks"):
        for r in range(1, rounds + 1):
            # Oracle: the sign of |marked> flips; X where its bit is 0 moves it to |1...1>.
            for q in zeros:
                sv.apply_x(q)
            sv.apply_controlled_gate_1q(Z, rest, n - 1)
            for q in zeros:
                sv.apply_x(q)
            # Diffusion: a reflection about the uniform state.
            for b in blocks:
                sv.apply_gate_kq(into, b)
            sv.apply_controlled_gate_1q(Z, rest, n - 1)
            for b in blocks:
                sv.apply_gate_kq(out_of, b)
            if r in (1, rounds // 2):
                print(f"    after {r:3d} rounds P(marked) = {abs(sv.get(marked)) ** 2:.6f}")
    p = abs(sv.get(marked)) ** 2
    print(f"    after {rounds} rounds P(marked) = {p:.6f}"
          f" (sin^2((2r + 1) theta) = {math.sin((2 * rounds + 1) * theta) ** 2:.6f})")
    found = bitstring(sv.sample(rng, 1)[0])
    print(f"    one shot reads {found} = {int(found, 2)}, marked {marked}")
    # A Toffoli through apply_mcx: qubit 2 flips where qubits 0 and 1 are both 1.
    t = TavroSV.from_bitstring([1, 1, 0])
    t.apply_mcx([0, 1], 2)
    print(f"    Toffoli: apply_mcx([0, 1], 2) takes |011> to |111> (amplitude {t.get(7).real:.0f})")


def ising_terms(n, field):
    """H = -sum Z_i Z_(i+1) - field * sum X_i on an open chain, as (coefficient, letters, qubits)."""
    terms = [(-1.0, "ZZ", [i, i + 1]) for i in range(n - 1)]
    terms += [(-field, "X", [i]) for i in range(n)]
    return terms


def energy(sv, terms):
    return sum(c * sv.expectation_pauli(p, q).real for c, p, q in terms)


def zz_block_diagonal(qubits, gamma):
    """exp(i gamma Z_a Z_b) for every neighbouring pair inside `qubits`, as one diagonal."""
    k = len(qubits)
    entries = []
    for i in range(2**k):
        z = [1 - 2 * ((i >> (k - 1 - j)) & 1) for j in range(k)]
        entries.append(cmath.exp(1j * gamma * sum(z[j] * z[j + 1] for j in range(k - 1))))
    return np.array(entries)


def qaoa_layer(sv, n, gamma, beta, noise=None):
    """exp(i gamma sum ZZ) as two fused 10-qubit diagonals plus one RZZ at their seam, then RX
    on every qubit; `noise(q)` after each RX when given."""
    half = n // 2
    sv.apply_diag_kq(zz_block_diagonal(list(range(half)), gamma), list(range(half)))
    sv.apply_diag_kq(zz_block_diagonal(list(range(half, n)), gamma), list(range(half, n)))
    sv.apply_rzz(-2 * gamma, half - 1, half)
    for q in range(n):
        sv.apply_rx(2 * beta, q)
        if noise:
            noise(q)


def prepare(n, layers, noise=None):
    sv = TavroSV.zero(n)
    for q in range(n):
        sv.apply_h(q)
    for gamma, beta in layers:
        qaoa_layer(sv, n, gamma, beta, noise and (lambda q: noise(sv, q)))
    return sv


def ising_energy(n, layers, terms):
    print(f"\n5. Transverse-field Ising energy on {n} qubits ({len(terms)} Pauli strings)")
    with Timer(f"{len(layers)} layers of two fused 10-qubit diagonals, one RZZ and {n} RX"):
        sv = prepare(n, layers)
    with Timer("energy from the Pauli-string expectation values"):
        e = energy(sv, terms)
    print(f"    <H> = {e:.6f}  (|+...+> would give {-n * 1.0:.1f} from the field alone)")
    return sv


def noisy_trajectories(n, layers, terms, p, gamma_damp, count):
    print(f"\n6. Noisy trajectories on {n} qubits: depolarising p = {p} and amplitude"
          f" damping gamma = {gamma_damp} after every RX")
    paulis = [I2, X, Y, Z]
    probs = [1 - 3 * p / 4, p / 4, p / 4, p / 4]
    damping = [np.array([[1, 0], [0, math.sqrt(1 - gamma_damp)]], dtype=complex),
               np.array([[0, math.sqrt(gamma_damp)], [0, 0]], dtype=complex)]
    rng = Rng(SEED)
    events = Counter()

    def noise(sv, q):
        events["pauli"] += sv.apply_mixed_unitary_1q(paulis, probs, q, rng) != 0
        events["decay"] += sv.apply_kraus_1q(damping, q, rng)

    energies = []
    with Timer(f"{count} trajectories"):
        for _ in range(count):
            energies.append(energy(prepare(n, layers, noise), terms))
    mean, spread = statistics.fmean(energies), statistics.stdev(energies)
    print(f"    <H> = {mean:.4f} +- {spread / math.sqrt(count):.4f} (spread {spread:.4f} over"
          f" trajectories); {events['pauli']} Pauli errors, {events['decay']} decays")


def ordering(n):
    """The optimizer's placement for the phase-estimation circuit of step 2."""
    print(f"\n7. Qubit ordering for the phase-estimation circuit of step 2 ({n} qubits)")
    # Footprint: one-qubit work per qubit (H, P, H) and each pair's two-qubit work (the
    # controlled phases of the inverse QFT, and the final swaps).
    weights = [3.0] * n
    pairs = [(m, j, 1.0) for j in range(n) for m in range(j + 1, n)]
    pairs += [(q, n - 1 - q, 1.0) for q in range(n // 2)]
    for method in ("greedy", "sa"):
        with Timer(f"optimize_ordering(method={method!r}), {len(pairs)} pairs"):
            perm, cost = optimize_ordering(n, weights, pairs, method=method, seed=SEED)
        low = [perm.index(s) for s in range(3)]
        print(f"    estimated cost {cost:.4f}; slots 0, 1, 2 go to qubits {low}")
    print("    (perm[q] is the slot qubit q should take; the identity labelling is kept when no"
          " placement is cheaper)")


def main():
    total = time.perf_counter()
    rng = Rng(SEED)
    ghz(24, rng)
    phase_estimation(24, 1 / 3, rng)
    fused_blocks(22, np.random.default_rng(SEED))
    grover(20, 0b10110011100011110000, rng)
    layers = [(0.35, 0.6), (0.25, 0.4)]
    terms = ising_terms(20, 1.0)
    ising_energy(20, layers, terms)
    noisy_trajectories(20, layers, terms, 0.01, 0.02, 40)
    ordering(24)
    try:
        TavroSV.zero(4).apply_mcx([1, 5], 0)
    except QubitIndexError as e:
        print(f"\nerrors are exceptions: apply_mcx([1, 5], 0) on 4 qubits raised QubitIndexError:"
              f" {e}")
    print(f"\ntotal time {time.perf_counter() - total:.2f} s")


if __name__ == "__main__":
    main()
