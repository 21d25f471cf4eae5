"""An independent dense model of the gates. Qubit 0 is the least significant bit of a basis index;
in a k-qubit matrix the first listed qubit is the most significant bit of the local index."""

from functools import reduce

import numpy as np


def operator(n, m, qubits):
    # The sum over m's entries of the Kronecker product of one elementary 2x2 matrix per
    # acted-on qubit and identities elsewhere, qubit n - 1 leftmost.
    e, total = np.eye(2), 0
    shift = {q: len(qubits) - 1 - j for j, q in enumerate(qubits)}
    for r, c in np.ndindex(len(m), len(m)):
        factors = [
            np.outer(e[(r >> shift[q]) & 1], e[(c >> shift[q]) & 1]) if q in shift else e
            for q in reversed(range(n))
        ]
        total = total + m[r][c] * reduce(np.kron, factors)
    return total


def apply(state, m, qubits):
    return operator(int(np.log2(len(state))), np.asarray(m), list(qubits)) @ state


def random_state(n, rng):
    v = rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)
    return v / np.linalg.norm(v)


def random_matrix(d, rng):
    """Entries that all differ, so that a transposed or mirrored read shows."""
    return rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
