"""An independent dense model of the gates: textbook matrices and full 2^n x 2^n operators
built from Kronecker products.

Conventions: qubit 0 is the least significant bit of a basis index; in a k-qubit matrix the
first listed qubit is the most significant bit of the local index."""

from functools import reduce

import numpy as np

I2 = np.eye(2, dtype=np.complex128)
X = np.array([[0, 1], [1, 0]], dtype=np.complex128)
Y = np.array([[0, -1j], [1j, 0]], dtype=np.complex128)
Z = np.array([[1, 0], [0, -1]], dtype=np.complex128)
H = np.array([[1, 1], [1, -1]], dtype=np.complex128) / np.sqrt(2)
S = np.diag([1, 1j])
SDG = np.diag([1, -1j])
T = np.diag([1, np.exp(1j * np.pi / 4)])
TDG = np.diag([1, np.exp(-1j * np.pi / 4)])
SX = 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]])


def p(lam):
    return np.diag([1, np.exp(1j * lam)])


def rx(theta):
    return np.cos(theta / 2) * I2 - 1j * np.sin(theta / 2) * X


def ry(theta):
    return np.cos(theta / 2) * I2 - 1j * np.sin(theta / 2) * Y


def rz(lam):
    return np.cos(lam / 2) * I2 - 1j * np.sin(lam / 2) * Z


def u(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array(
        [[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]]
    )


def controlled(m):
    """The 4x4 matrix of m on the second qubit where the first (most significant) is 1."""
    out = np.eye(4, dtype=np.complex128)
    out[2:, 2:] = m
    return out


CX = controlled(X)
CY = controlled(Y)
CZ = controlled(Z)
SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], dtype=np.complex128)
ISWAP = np.array([[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]], dtype=np.complex128)
I4 = np.eye(4, dtype=np.complex128)


def cp(lam):
    return controlled(p(lam))


def crx(theta):
    return controlled(rx(theta))


def cry(theta):
    return controlled(ry(theta))


def crz(lam):
    return controlled(rz(lam))


def rxx(theta):
    return np.cos(theta / 2) * I4 - 1j * np.sin(theta / 2) * np.kron(X, X)


def ryy(theta):
    return np.cos(theta / 2) * I4 - 1j * np.sin(theta / 2) * np.kron(Y, Y)


def rzz(theta):
    return np.cos(theta / 2) * I4 - 1j * np.sin(theta / 2) * np.kron(Z, Z)


def elementary(r, c):
    e = np.zeros((2, 2), dtype=np.complex128)
    e[r, c] = 1
    return e


def operator(n, m, qubits):
    """The 2^n x 2^n operator of the k-qubit matrix m acting on `qubits` (qubits[0] the most
    significant bit of m's index): the sum over m's entries of the Kronecker product of one
    elementary 2x2 matrix per acted-on qubit and identities elsewhere. The leftmost factor is
    qubit n - 1, so qubit 0 is the least significant bit of the full index."""
    m = np.asarray(m, dtype=np.complex128)
    k = len(qubits)
    assert m.shape == (2**k, 2**k) and len(set(qubits)) == k
    total = np.zeros((2**n, 2**n), dtype=np.complex128)
    for r in range(2**k):
        for c in range(2**k):
            if m[r, c] == 0:
                continue
            factors = []
            for q in reversed(range(n)):
                if q in qubits:
                    shift = k - 1 - qubits.index(q)
                    factors.append(elementary((r >> shift) & 1, (c >> shift) & 1))
                else:
                    factors.append(I2)
            total += m[r, c] * reduce(np.kron, factors, np.ones((1, 1), dtype=np.complex128))
    return total


def apply(state, m, qubits):
    """The state after the gate, by the dense operator."""
    return operator(int(np.log2(len(state))), m, list(qubits)) @ state


def random_state(n, rng):
    v = rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)
    return v / np.linalg.norm(v)


def random_unitary(d, rng):
    """A Haar-like random unitary with no symmetry a mixed-up index order could hide behind."""
    a = rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
    q, r = np.linalg.qr(a)
    return q * (np.diag(r) / np.abs(np.diag(r)))
