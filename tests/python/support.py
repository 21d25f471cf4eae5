"""Helpers of the Python tests, and a model of the generator and of the Born rule in Python
floats (binary64, every operation rounded on its own, as the core computes)."""

from functools import reduce
from itertools import accumulate

import numpy as np
import pytest


def bits(values):
    """The bit patterns of values as complex (re, im interleaved): +0/-0 and NaN payloads count."""
    return np.array(values, np.complex128, ndmin=1).view(np.uint64).tolist()


class IndexLike:
    """Not an int, but converts to one through __index__, running `action` first."""

    def __init__(self, value, action=lambda: None):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def assert_refused(info, cls, expected):
    """The exact class, and the message, the argument a TypeError names (a name has no space),
    or (None) no prefix."""
    text = str(info.value)
    assert type(info.value) is cls
    assert text.startswith(f"argument '{expected}': ") if cls is TypeError and " " not in expected \
        else (text == expected if expected else not text.startswith("argument"))


def assert_refused_untouched(call, cls, expected, psi):
    """call(sv) is refused on a static state holding psi and on an untouched dynamic state of
    the same width, and ran nothing: the first is as it was, the second allocated nothing, and
    both are free again."""
    from tavro._core import TavroSV

    n = len(psi).bit_length() - 1
    static, dynamic = TavroSV.from_amplitudes(n, psi), TavroSV.zero(n, True)
    for sv in (static, dynamic):
        with pytest.raises(BaseException) as info:
            call(sv)
        assert_refused(info, cls, expected)
    assert bits(static.amplitudes()) == bits(psi) and dynamic.live_qubits == 0
    static.apply_h(0)


def check_random_circuit(seed, dynamic, steps, step):
    """A random circuit on 6 qubits against the dense model: a state holding a random vector, or
    a dynamic one with no qubit live (the gates allocate slots in the order they touch qubits,
    and the logical reads must see through them); step(sv, rng) applies one random gate and
    returns the model's (matrix, qubits)."""
    import reference as ref
    from tavro._core import TavroSV

    rng = np.random.default_rng(seed)
    psi = np.eye(64, dtype=complex)[0] if dynamic else ref.random_state(6, rng)
    sv = TavroSV.zero(6, True) if dynamic else TavroSV.from_amplitudes(6, psi)
    for _ in range(steps):
        psi = ref.apply(psi, *step(sv, rng))
    logical = np.array([sv.get_logical(i) for i in range(64)])
    assert np.linalg.norm(logical - psi) <= 1e-12 * np.linalg.norm(psi)


M64 = (1 << 64) - 1


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


class ModelRng:
    """Xoshiro256++ seeded by the first four outputs of SplitMix64, as published."""

    def __init__(self, seed):
        self.s = []
        for _ in range(4):
            seed = (seed + 0x9E3779B97F4A7C15) & M64
            z = ((seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9) & M64
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
            self.s.append(z ^ (z >> 31))

    def next_f64(self):
        s0, s1, s2, s3 = self.s
        result = (rotl((s0 + s3) & M64, 23) + s0) & M64
        self.s = [s0 ^ s3 ^ s1, s1 ^ s2 ^ s0, s2 ^ s0 ^ ((s1 << 17) & M64), rotl(s3 ^ s1, 45)]
        return (result >> 11) * 2.0**-53  # 53 bits convert exactly; the power of two scales exactly


FLAT = np.full(64, 0.125 + 0j)  # every |a|^2 is 1/64: each draw shows in a shot exactly


def assert_draws(rng, k, seed):
    """`rng`, made as Rng(seed), has taken k draws: its next eight shots are the model's."""
    from tavro._core import TavroSV

    rows = TavroSV.from_amplitudes(6, FLAT).sample(rng, 8).tolist()
    assert rows == model_sample(FLAT, ModelRng(seed), k + 8, range(6))[k:]


def abs2(amps):
    return [a.real * a.real + a.imag * a.imag for a in map(complex, amps)]


def model_sums(amps, slot):
    """(p0, p1) of a buffer below the parallel cut-over: runs of 2**slot indices that share the
    slot bit, each summed from -0.0 in index order, then added to p0 or p1 (both from +0.0)."""
    p, run, sums = abs2(amps), 1 << slot, [0.0, 0.0]
    for start in range(0, len(p), run):
        # reduce and accumulate, not sum(): one rounding per addition, left to right
        sums[(start >> slot) & 1] += reduce(float.__add__, p[start : start + run], -0.0)
    return sums[0], sums[1]


def model_sample(amps, rng, nshots, shifts, block=2048):
    """Rows of the Born sampler: block sums of |a|^2 from -0.0, running sums from +0.0, every
    r = u * total drawn first; per shot the first block reaching r, then a scan inside it.
    `shifts[q]` is qubit q's slot, None when it has none."""
    p = abs2(amps)
    sums = [reduce(float.__add__, p[s : s + block], -0.0) for s in range(0, len(p), block)]
    entries, rows = list(accumulate(sums, initial=0.0))[1:], []
    for r in [rng.next_f64() * entries[-1] for _ in range(nshots)]:
        b = next((i for i, e in enumerate(entries) if e >= r), len(entries) - 1)
        lo, hi = b * block, min(len(p), (b + 1) * block)
        run = list(accumulate(p[lo:hi], initial=entries[b - 1] if b else 0.0))[1:]
        idx = lo + next((i for i, a in enumerate(run) if a >= r), hi - lo - 1)
        rows.append([0 if s is None else (idx >> s) & 1 for s in shifts])
    return rows
