# Measurement and sampling: conversion order, use of the state and generator, draws, errors,
# results, and outcomes predicted by a model of the generator and of the Born rule.

import inspect

import numpy as np
import pytest

import reference as ref
import support
from support import IndexLike, ModelRng, assert_refused, bits, model_sample, model_sums
from tavro._core import DegenerateStateError, Rng, TavroSV

SEED = 0x5EED


def assert_draws(rng, k, seed=SEED):
    support.assert_draws(rng, k, seed)


METHODS = {"prob_zero": "target", "measure_qubit": "target, rng", "reset_qubit": "target, rng",
           "free_qubit": "target, rng", "sample_bitstring": "rng", "sample": "rng, nsamples"}


@pytest.mark.parametrize("name", METHODS)
def test_signature(name):
    assert str(inspect.signature(getattr(TavroSV.zero(1), name))) == f"({METHODS[name]})"


# call, class, and the exact message, the argument a TypeError names, or None (OverflowError),
# and the draws taken.
REFUSED = [
    (lambda sv, r: sv.measure_qubit(-1, 42), OverflowError, None, 0),  # the target first
    (lambda sv, r: sv.sample(1, "x"), TypeError, "rng", 0),  # the generator before nsamples
    # measure takes the state for itself, sample shares it: no read, no change meanwhile
    (lambda sv, r: sv.measure_qubit(IndexLike(0, lambda: sv.prob_zero(0)), r), RuntimeError,
     "Already mutably borrowed", 0),
    (lambda sv, r: sv.sample(r, IndexLike(1, lambda: sv.reset_qubit(0, Rng(1)))), RuntimeError,
     "Already borrowed", 0),
    # a generator in use by one call is refused to another
    (lambda sv, r: sv.sample(r, IndexLike(1, lambda: TavroSV.zero(1).measure_qubit(0, r))),
     RuntimeError, "Already borrowed", 0),
    # a degenerate state is refused before any draw, an impossible outcome after its one draw
    (lambda sv, r: TavroSV.from_amplitudes(1, np.zeros(2, complex)).sample(r, 0),
     DegenerateStateError, "degenerate state: squared norm 0.000e0 is too small to sample from", 0),
    (lambda sv, r: TavroSV.from_amplitudes(1, np.array([np.nan, 0j])).sample_bitstring(r),
     DegenerateStateError, "degenerate state: non-finite squared norm (NaN)", 0),
    (lambda sv, r: TavroSV.from_amplitudes(1, np.zeros(2, complex)).measure_qubit(0, r), ValueError,
     "invalid basis-state index: projection on qubit 0 outcome 1 has zero probability", 1),
]


@pytest.mark.parametrize("call,cls,expected,draws", REFUSED)
def test_refusals_their_order_and_draws(call, cls, expected, draws):
    psi = ref.random_state(3, np.random.default_rng(5))
    sv, rng = TavroSV.from_amplitudes(3, psi), Rng(SEED)
    with pytest.raises(BaseException) as info:
        call(sv, rng)
    assert_refused(info, cls, expected)
    assert bits(sv.amplitudes()) == bits(psi)
    assert_draws(rng, draws)  # and the generator is free again


# call, its result (an array: its shape), draws: one per measurement and one per shot.
CALLS = [
    (lambda r: TavroSV.zero(2).measure_qubit(1, r), 0, 1),
    (lambda r: TavroSV.zero(2).sample(r, 0), (0, 2), 0),
    (lambda r: TavroSV.zero(3).sample_bitstring(r), (3,), 1),
]


@pytest.mark.parametrize("call,result,draws", CALLS)
def test_results_and_draws(call, result, draws):
    rng = Rng(SEED)
    got = call(rng)
    assert (type(got), got) == (int, result) if type(result) is int else (
        type(got), got.dtype, got.shape) == (np.ndarray, np.uint8, result)
    assert_draws(rng, draws)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("q", range(4))
def test_measurement_follows_the_model_bit_for_bit(seed, q):
    psi = ref.random_state(4, np.random.default_rng(100 + seed)) * 1.5  # not normalised
    sv, rng, model = TavroSV.from_amplitudes(4, psi), Rng(seed), ModelRng(seed)
    p0, p1 = model_sums(psi, q)
    assert bits(sv.prob_zero(q)) == bits(p0)
    # u < p0 picks 0; the other half becomes +0, this one is scaled by 1 / sqrt(p).
    outcome = sv.measure_qubit(q, rng)
    assert outcome == (model.next_f64() >= p0)
    scale = 1.0 / np.sqrt(p1 if outcome else p0)
    want = [complex(a.real * scale, a.imag * scale) if (i >> q) & 1 == outcome else 0j
            for i, a in enumerate(psi.tolist())]
    assert bits(sv.amplitudes()) == bits(want)
    # One generator continues one stream: a fresh copy's measurement takes the next uniform.
    assert TavroSV.from_amplitudes(4, psi).measure_qubit(q, rng) == (model.next_f64() >= p0)


# One block; two blocks with few shots and with many; 2**17 amplitudes, where three workers sum
# the blocks and write the rows in parallel.
@pytest.mark.parametrize("n,shots", [(5, 200), (12, 3), (12, 100), (17, 300)])
def test_sample_rows_follow_the_model(n, shots):
    psi = ref.random_state(n, np.random.default_rng(n * 1000 + shots))
    sv, rng = TavroSV.from_amplitudes(n, psi), Rng(shots)
    assert sv.sample(rng, shots).tolist() == model_sample(psi, ModelRng(shots), shots, range(n))
    assert bits(sv.amplitudes()) == bits(psi)  # no collapse
    assert_draws(rng, shots, shots)


# Rows of the declared width; untouched qubits read 0.
def test_dynamic_rows_read_each_qubit_at_its_slot():
    sv = TavroSV.zero(5, dynamic_qubits=True)  # qubits 4, 1, 3 in slots 0, 1, 2; 0 and 2 none
    for q in (4, 1, 3):
        sv.apply_ry(q + 0.5, q)
    rows = sv.sample(Rng(13), 120).tolist()
    assert rows == model_sample(sv.amplitudes(), ModelRng(13), 120, [None, 1, None, 2, 0])


# A shot count whose uniforms (8 bytes a shot) cannot be held is refused before any draw, with no
# qubit as with any width: 2**62 shots overflow the byte count, 2**50 ask for 8 PiB.
@pytest.mark.parametrize("shots,figure", [
    (2**62, "4611686018427387904 shots, 8 bytes each (17179869184 GiB)"),
    (2**50, "1125899906842624 shots, 8 bytes each (8388608 GiB)")])
@pytest.mark.parametrize("n,dynamic", [(0, False), (0, True), (1, False), (4, True)])
def test_unholdable_shot_counts_are_refused_before_any_draw(n, dynamic, shots, figure):
    sv, rng = TavroSV.zero(n, dynamic), Rng(SEED)
    with pytest.raises(BaseException) as info:
        sv.sample(rng, shots)
    assert_refused(info, MemoryError, "allocation failed for a sample buffer of " + figure)
    assert_draws(rng, 0)
