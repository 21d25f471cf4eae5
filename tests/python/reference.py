"""An independent dense model of the gates. Qubit 0 is the least significant bit of a basis index;
in a k-qubit matrix the first listed qubit is the most significant bit of the local index."""

import numpy as np


def operator(n, m, qubits):
    # m Kronecker the identity on the other qubits, in the basis whose top bits are the listed
    # qubits in order (then the others, highest first), brought back by that basis's permutation.
    order = [*qubits, *(q for q in reversed(range(n)) if q not in qubits)]
    perm = np.zeros((2**n, 2**n))
    for i in range(2**n):
        perm[sum(((i >> q) & 1) << (n - 1 - pos) for pos, q in enumerate(order)), i] = 1
    return perm.T @ np.kron(m, np.eye(2 ** (n - len(qubits)))) @ perm


def apply(state, m, qubits):
    return operator(int(np.log2(len(state))), np.asarray(m), list(qubits)) @ state


def random_state(n, rng):
    v = rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)
    return v / np.linalg.norm(v)


def random_matrix(d, rng):
    """Entries that all differ, so that a transposed or mirrored read shows."""
    return rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
