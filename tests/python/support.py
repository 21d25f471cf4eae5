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


# ---- an independent model of the generator and of the Born rule, in plain Python floats
# (binary64, every operation rounded on its own, as the core computes)

MASK64 = (1 << 64) - 1


def _rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK64


class ModelRng:
    """Xoshiro256++ seeded by the first four outputs of SplitMix64, as published."""

    def __init__(self, seed):
        words = []
        x = seed & MASK64
        for _ in range(4):
            x = (x + 0x9E3779B97F4A7C15) & MASK64
            z = x
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
            words.append(z ^ (z >> 31))
        self.s = words

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (_rotl((s0 + s3) & MASK64, 23) + s0) & MASK64
        t = (s1 << 17) & MASK64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = _rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        return result

    def next_f64(self):
        # 53 bits convert exactly; the power of two scales exactly.
        return (self.next_u64() >> 11) * 2.0**-53

    def skip(self, k):
        for _ in range(k):
            self.next_u64()
        return self


def abs2_list(amps):
    """re*re + im*im of each amplitude, two rounded products and a rounded sum."""
    return [a.real * a.real + a.imag * a.imag for a in (complex(x) for x in amps)]


def model_sums(amps, slot):
    """(p0, p1) of a buffer below the parallel cut-over: runs of 2**slot indices that share the
    slot bit, each summed from -0.0 in index order, then added to p0 or p1 (both from +0.0)."""
    p = abs2_list(amps)
    run = 1 << slot
    sums = [0.0, 0.0]
    for start in range(0, len(p), run):
        acc = -0.0
        for x in p[start : start + run]:
            acc += x
        sums[(start >> slot) & 1] += acc
    return sums[0], sums[1]


BLOCK = 2048


def model_sample(amps, rng, nshots, shifts):
    """Rows of the Born sampler: block sums of 2048 |a|^2 from -0.0, running sums from +0.0,
    r = u * total drawn for every shot first, the first block whose running sum reaches r, then
    a scan from the previous entry. `shifts[q]` is qubit q's physical slot, None when it has
    none (its byte is then 0)."""
    p = abs2_list(amps)
    entries = []
    acc = 0.0
    for start in range(0, len(p), BLOCK):
        block = -0.0
        for x in p[start : start + BLOCK]:
            block += x
        acc += block
        entries.append(acc)
    total = entries[-1]
    rs = [rng.next_f64() * total for _ in range(nshots)]
    rows = []
    for r in rs:
        b = 0
        while b + 1 < len(entries) and entries[b] < r:
            b += 1
        run = entries[b - 1] if b > 0 else 0.0
        end = min(len(p), (b + 1) * BLOCK)
        idx = end - 1
        for i in range(b * BLOCK, end):
            run += p[i]
            if run >= r:
                idx = i
                break
        rows.append([0 if s is None else (idx >> s) & 1 for s in shifts])
    return rows
