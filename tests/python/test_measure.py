"""Measurement, release and sampling methods of TavroSV: signatures, the order in which arguments
are converted and refused, the use of the state and of the generator, the number of draws each
call takes, error texts, result arrays, and outcomes predicted by an independent model of the
generator and of the Born rule (support.ModelRng, support.model_sample). The module runs once per
worker count, so the predicted rows hold for every count."""

import gc
import inspect

import numpy as np
import pytest

import reference as ref
from support import IndexLike, ModelRng, bits, fbits, model_sample, model_sums
from tavro._core import DegenerateStateError, QubitIndexError, Rng, TavroError, TavroSV

SEED = 0x5EED

# ---- counting draws


def uniform_probe():
    # Every |a|^2 is 1/64, so the running sums are exact and a draw u lands on index
    # ceil(64 u) - 1 with no rounding to blur it.
    return TavroSV.from_amplitudes(6, np.full(64, 0.125, dtype=np.complex128))


def draws_taken(rng, seed, most=16):
    """How many draws `rng`, made as Rng(seed), has taken: eight probe shots matched against
    the model's stream after k draws. None when no k up to `most` matches."""
    got = uniform_probe().sample(rng, 8).tolist()
    for k in range(most + 1):
        want = model_sample(np.full(64, 0.125), ModelRng(seed).skip(k), 8, range(6))
        if want == got:
            return k
    return None


@pytest.mark.parametrize("k", [0, 1, 2, 7])
def test_the_draw_counter_sees_a_known_number_of_draws(k):
    rng = Rng(SEED)
    uniform_probe().sample(rng, k)
    assert draws_taken(rng, SEED) == k


# ---- the method table, signatures and docstrings

METHODS = [
    ("prob_zero", "target"),
    ("measure_qubit", "target, rng"),
    ("reset_qubit", "target, rng"),
    ("free_qubit", "target, rng"),
    ("sample_bitstring", "rng"),
    ("sample", "rng, nsamples"),
]
NAMES = [m[0] for m in METHODS]


def test_methods_follow_the_two_qubit_gate_in_the_method_table():
    names = [n for n in vars(TavroSV) if not n.startswith("_")]
    start = names.index("apply_gate_2q") + 1
    assert names[start : start + len(NAMES)] == NAMES


@pytest.mark.parametrize("name,params", METHODS, ids=NAMES)
def test_signature(name, params):
    method = getattr(TavroSV, name)
    assert method.__text_signature__ == f"($self, {params})"
    sig = inspect.signature(getattr(TavroSV.zero(1), name))
    assert str(sig) == f"({params})"
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())


DOC_WORDS = {
    "prob_zero": ["1.0", "QubitIndexError", "not divided"],
    "measure_qubit": ["collapses", "0 or 1", "QubitIndexError", "ValueError"],
    "reset_qubit": ["before the reset", "allocated"],
    "free_qubit": ["releases", "halves", "reset_qubit", "static", "returns 0", "allocates it"],
    "sample_bitstring": ["without collapse", "uint8", "DegenerateStateError", "1e-300", "sample"],
    "sample": ["without collapse", "uint8", "(nsamples, num_qubits)", "DegenerateStateError",
               "1e-300", "prefix sums"],
}


@pytest.mark.parametrize("name", NAMES)
def test_docstring_describes_the_method(name):
    doc = getattr(TavroSV, name).__doc__
    assert doc and "\n--\n" not in doc and not doc.startswith(name)
    for word in DOC_WORDS[name]:
        assert word in doc, word


# ---- conversion order and refusals

M_OUT = "qubit index {} out of bounds for state vector with 3 qubits"

# call, exception class, the prefixed argument name (TypeError), the exact message (core
# errors) or None (a plain OverflowError)
REFUSED = [
    ("measure rng int", lambda sv, r: sv.measure_qubit(0, 42), TypeError, "rng"),
    ("measure rng None", lambda sv, r: sv.measure_qubit(0, None), TypeError, "rng"),
    ("measure rng class", lambda sv, r: sv.measure_qubit(0, Rng), TypeError, "rng"),
    ("reset rng str", lambda sv, r: sv.reset_qubit(1, "rng"), TypeError, "rng"),
    ("free rng state", lambda sv, r: sv.free_qubit(1, sv), TypeError, "rng"),
    ("bitstring rng int", lambda sv, r: sv.sample_bitstring(42), TypeError, "rng"),
    # the target before the generator
    ("measure target first", lambda sv, r: sv.measure_qubit(-1, 42), OverflowError, None),
    ("measure target type", lambda sv, r: sv.measure_qubit(1.0, None), TypeError, "target"),
    ("free target type", lambda sv, r: sv.free_qubit("0", r), TypeError, "target"),
    # the generator before nsamples: its place in the parameter list
    ("sample rng first", lambda sv, r: sv.sample(None, -1), TypeError, "rng"),
    ("sample rng before type", lambda sv, r: sv.sample(1, "x"), TypeError, "rng"),
    ("sample nsamples -1", lambda sv, r: sv.sample(r, -1), OverflowError, None),
    ("sample nsamples float", lambda sv, r: sv.sample(r, 2.0), TypeError, "nsamples"),
    ("sample nsamples 2^64", lambda sv, r: sv.sample(r, 2**64), OverflowError, None),
    ("prob_zero -1", lambda sv, r: sv.prob_zero(-1), OverflowError, None),
    ("prob_zero str", lambda sv, r: sv.prob_zero("0"), TypeError, "target"),
    # core errors, after every conversion, before any draw
    ("measure out", lambda sv, r: sv.measure_qubit(3, r), QubitIndexError, M_OUT.format(3)),
    ("reset out", lambda sv, r: sv.reset_qubit(2**64 - 1, r), QubitIndexError,
     M_OUT.format(2**64 - 1)),
    ("free out", lambda sv, r: sv.free_qubit(7, r), QubitIndexError, M_OUT.format(7)),
    ("prob_zero out", lambda sv, r: sv.prob_zero(3), QubitIndexError, M_OUT.format(3)),
]


@pytest.mark.parametrize("call,cls,expected", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refusals_their_order_and_no_draw(call, cls, expected):
    psi = ref.random_state(3, np.random.default_rng(5))
    sv = TavroSV.from_amplitudes(3, psi)
    rng = Rng(SEED)
    with pytest.raises(BaseException) as info:
        call(sv, rng)
    assert type(info.value) is cls
    if cls is TypeError:
        assert str(info.value).startswith(f"argument '{expected}': ")
        assert len(str(info.value)) > len(f"argument '{expected}': ")
    elif expected is not None:
        assert str(info.value) == expected
    else:
        assert not str(info.value).startswith("argument")
    # Nothing ran: the state is as it was and the generator has not moved.
    assert bits(sv.amplitudes()) == bits(psi)
    assert draws_taken(rng, SEED) == 0


def test_the_rng_type_error_names_the_type():
    with pytest.raises(TypeError) as info:
        TavroSV.zero(1).measure_qubit(0, 42)
    assert str(info.value) == "argument 'rng': 'int' object cannot be converted to 'Rng'"


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda sv, r: sv.measure_qubit(0),
         "measure_qubit() missing required argument 'rng' (pos 2)"),
        (lambda sv, r: sv.sample(r), "sample() missing required argument 'nsamples' (pos 2)"),
        (lambda sv, r: sv.sample_bitstring(r, 1),
         "sample_bitstring() takes exactly 1 argument (2 given)"),
        (lambda sv, r: sv.reset_qubit(0, r, rng=r),
         "reset_qubit() takes exactly 2 arguments (3 given)"),
        (lambda sv, r: sv.free_qubit(0, seed=r),
         "'seed' is an invalid keyword argument for free_qubit()"),
        (lambda sv, r: sv.measure_qubit(0, target=0),
         "argument for measure_qubit() given by name ('target') and position (1)"),
    ],
    ids=["missing rng", "missing nsamples", "extra", "too many", "unknown keyword", "repeated"],
)
def test_call_rules(call, message):
    rng = Rng(SEED)
    with pytest.raises(TypeError) as info:
        call(TavroSV.zero(2), rng)
    assert str(info.value) == message
    assert draws_taken(rng, SEED) == 0


def test_keywords_in_any_order():
    sv = TavroSV.from_bitstring([1, 0])
    a, b = Rng(3), Rng(3)
    assert sv.sample(nsamples=4, rng=a).tolist() == sv.sample(b, 4).tolist() == [[1, 0]] * 4
    assert sv.measure_qubit(rng=a, target=0) == 1
    assert sv.prob_zero(target=1) == 1.0


# ---- use of the state and of the generator


def test_an_rng_in_use_is_refused():
    # sample takes rng for exclusive use first; converting nsamples then calls another method
    # with the same rng.
    sv, other = TavroSV.zero(2), TavroSV.zero(1)
    rng = Rng(SEED)
    seen = []

    def inner():
        try:
            other.measure_qubit(0, rng)
        except RuntimeError as e:
            seen.append(str(e))
            raise

    with pytest.raises(RuntimeError) as info:
        sv.sample(rng, IndexLike(3, inner))
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already borrowed"
    assert seen == ["Already borrowed"]
    # Neither call drew, and the generator is free again.
    assert draws_taken(rng, SEED) == 0
    other.measure_qubit(0, rng)


@pytest.mark.parametrize(
    "inner",
    [
        lambda sv, r: sv.sample_bitstring(r),
        lambda sv, r: sv.sample(r, 1),
        lambda sv, r: sv.reset_qubit(0, r),
        lambda sv, r: sv.free_qubit(0, r),
    ],
    ids=["sample_bitstring", "sample", "reset_qubit", "free_qubit"],
)
def test_every_generator_use_is_exclusive(inner):
    other = TavroSV.zero(1)
    rng = Rng(SEED)
    with pytest.raises(RuntimeError) as info:
        TavroSV.zero(1).sample(rng, IndexLike(1, lambda: inner(other, rng)))
    assert str(info.value) == "Already borrowed"
    assert draws_taken(rng, SEED) == 0


@pytest.mark.parametrize(
    "outer,inner,message",
    [
        # measure takes the state for exclusive use: a read during its conversion is refused
        (lambda sv, r, a: sv.measure_qubit(a, r), lambda sv: sv.prob_zero(0),
         "Already mutably borrowed"),
        (lambda sv, r, a: sv.free_qubit(a, r), lambda sv: sv.sample(Rng(1), 1),
         "Already mutably borrowed"),
        # sample and prob_zero share the state: a change during their conversion is refused
        (lambda sv, r, a: sv.sample(r, a), lambda sv: sv.measure_qubit(0, Rng(1)),
         "Already borrowed"),
        (lambda sv, r, a: sv.prob_zero(a), lambda sv: sv.reset_qubit(0, Rng(1)),
         "Already borrowed"),
    ],
    ids=["measure-read", "free-sample", "sample-measure", "prob_zero-reset"],
)
def test_a_call_back_into_the_state_is_refused(outer, inner, message):
    psi = ref.random_state(2, np.random.default_rng(8))
    sv = TavroSV.from_amplitudes(2, psi)
    rng = Rng(SEED)
    with pytest.raises(RuntimeError) as info:
        outer(sv, rng, IndexLike(0, lambda: inner(sv)))
    assert str(info.value) == message
    assert bits(sv.amplitudes()) == bits(psi)
    assert draws_taken(rng, SEED) == 0
    sv.measure_qubit(0, rng)  # both uses were released


def test_shared_uses_of_the_state_nest_during_sample():
    sv = TavroSV.from_bitstring([0, 1])
    a, b = Rng(4), Rng(4)
    inner_rows = []
    rows = sv.sample(a, IndexLike(2, lambda: inner_rows.append(sv.sample(b, 1).tolist())))
    assert rows.tolist() == [[0, 1], [0, 1]]
    assert inner_rows == [[[0, 1]]]


# ---- draws per call


def dynamic_with_live(declared, live):
    sv = TavroSV.zero(declared, dynamic_qubits=True)
    for q in live:
        sv.apply_h(q)
    return sv


DRAWS = [
    ("measure live", lambda r: TavroSV.zero(2).measure_qubit(1, r), 1),
    ("measure untouched", lambda r: dynamic_with_live(3, [1]).measure_qubit(0, r), 1),
    ("reset live", lambda r: TavroSV.from_bitstring([1]).reset_qubit(0, r), 1),
    ("reset untouched", lambda r: dynamic_with_live(3, []).reset_qubit(2, r), 1),
    ("free live", lambda r: dynamic_with_live(3, [0, 2]).free_qubit(2, r), 1),
    ("free untouched", lambda r: dynamic_with_live(3, [0]).free_qubit(1, r), 1),
    ("free static", lambda r: TavroSV.zero(2).free_qubit(0, r), 1),
    ("prob_zero", lambda r: TavroSV.zero(2).prob_zero(0), 0),
    ("sample 0", lambda r: TavroSV.zero(2).sample(r, 0), 0),
    ("sample 5", lambda r: TavroSV.zero(2).sample(r, 5), 5),
    ("sample 11 dynamic", lambda r: dynamic_with_live(4, [2]).sample(r, 11), 11),
    ("sample no qubits", lambda r: TavroSV.zero(0).sample(r, 5), 5),
    ("bitstring", lambda r: TavroSV.zero(3).sample_bitstring(r), 1),
    ("bitstring no qubits", lambda r: TavroSV.from_bitstring([]).sample_bitstring(r), 1),
]


@pytest.mark.parametrize("call,draws", [d[1:] for d in DRAWS], ids=[d[0] for d in DRAWS])
def test_draws_per_call(call, draws):
    rng = Rng(SEED)
    call(rng)
    assert draws_taken(rng, SEED) == draws


def test_twin_generators_stay_in_step_only_when_the_counts_match():
    # One measurement draws once: after it, a's next outcome is b's second.
    psi = ref.random_state(4, np.random.default_rng(3))
    a, b = Rng(11), Rng(11)
    TavroSV.from_amplitudes(4, psi).measure_qubit(2, a)
    probe = uniform_probe()
    after_a = probe.sample(a, 6).tolist()
    probe.sample(b, 1)
    assert probe.sample(b, 6).tolist() == after_a
    c = Rng(11)
    assert probe.sample(c, 6).tolist() != after_a


def test_one_generator_continues_one_stream():
    # Two calls with one Rng draw two consecutive uniforms.
    sv = TavroSV.zero(1)
    sv.apply_h(0)
    rng = Rng(21)
    first = sv.clone().measure_qubit(0, rng)
    second = sv.clone().measure_qubit(0, rng)
    p0 = sv.prob_zero(0)
    g = ModelRng(21)
    assert [first, second] == [int(not g.next_f64() < p0), int(not g.next_f64() < p0)]


# ---- outcomes against the model


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("q", range(4))
def test_measurement_follows_the_model_bit_for_bit(seed, q):
    psi = ref.random_state(4, np.random.default_rng(100 + seed)) * 1.5  # not normalised
    sv = TavroSV.from_amplitudes(4, psi)
    p0, p1 = model_sums(psi, q)
    assert fbits(sv.prob_zero(q)) == fbits(p0)
    outcome = sv.measure_qubit(q, Rng(seed))
    assert type(outcome) is int
    assert outcome == (0 if ModelRng(seed).next_f64() < p0 else 1)
    scale = 1.0 / np.sqrt(p0 if outcome == 0 else p1)
    want = [
        complex(a.real * scale, a.imag * scale) if (i >> q) & 1 == outcome else 0j
        for i, a in enumerate(psi.tolist())
    ]
    assert bits(sv.amplitudes()) == bits(want)


def test_both_outcomes_occur_over_seeds():
    seen = set()
    for seed in range(24):
        sv = TavroSV.zero(1)
        sv.apply_h(0)
        seen.add(sv.measure_qubit(0, Rng(seed)))
    assert seen == {0, 1}


# qubits, shots: one block; two blocks with few shots and with many (the sampler walks by shot
# or by block); 2**17 amplitudes, where three workers sum the blocks and write the rows in
# parallel.
SAMPLE_CASES = [(3, 50), (5, 200), (12, 3), (12, 100), (14, 40), (17, 5), (17, 300)]


@pytest.mark.parametrize("n,shots", SAMPLE_CASES, ids=[f"q{n}-s{s}" for n, s in SAMPLE_CASES])
def test_sample_rows_follow_the_model(n, shots):
    psi = ref.random_state(n, np.random.default_rng(n * 1000 + shots))
    sv = TavroSV.from_amplitudes(n, psi)
    rng = Rng(SEED + shots)
    rows = sv.sample(rng, shots)
    assert rows.tolist() == model_sample(psi, ModelRng(SEED + shots), shots, range(n))
    # No collapse, and exactly one draw per shot.
    assert bits(sv.amplitudes()) == bits(psi)
    assert draws_taken(rng, SEED + shots, most=shots + 4) == shots


def test_a_zero_draw_picks_index_zero_even_when_its_amplitude_is_zero():
    # r = 0 is reached at once by the scan: acc >= 0.
    sv = TavroSV.from_amplitudes(2, np.array([0, 0, 1, 0], dtype=np.complex128))
    rows = model_sample([0, 0, 1, 0], ModelRng(SEED), 1, range(2))
    assert rows == [[0, 1]]
    assert sv.sample(Rng(SEED), 1).tolist() == rows


def test_an_unnormalised_state_samples_its_normalised_distribution():
    # Doubling every amplitude scales every sum and every r by exactly 4.
    psi = ref.random_state(6, np.random.default_rng(6))
    one = TavroSV.from_amplitudes(6, psi).sample(Rng(8), 64)
    two = TavroSV.from_amplitudes(6, 2 * psi).sample(Rng(8), 64)
    assert one.tolist() == two.tolist()


def test_dynamic_rows_read_each_qubit_at_its_slot():
    # Qubits 4, 1 and 3 live in slots 0, 1 and 2; qubits 0 and 2 have none and read 0.
    sv = TavroSV.zero(5, dynamic_qubits=True)
    for q, theta in [(4, 0.7), (1, 1.9), (3, 2.6)]:
        sv.apply_ry(theta, q)
    sv.apply_cx(4, 3)
    shifts = [None, 1, None, 2, 0]
    rows = sv.sample(Rng(13), 120)
    assert rows.shape == (120, 5)
    assert rows.tolist() == model_sample(sv.amplitudes(), ModelRng(13), 120, shifts)
    assert set(rows[:, 0].tolist()) == {0} and set(rows[:, 2].tolist()) == {0}
    assert set(rows[:, 1].tolist()) == {0, 1}


def test_only_the_top_qubit_live():
    sv = TavroSV.zero(3, dynamic_qubits=True)
    sv.apply_h(2)
    rows = sv.sample(Rng(2), 40).tolist()
    assert rows == model_sample(sv.amplitudes(), ModelRng(2), 40, [None, None, 0])
    assert {tuple(r[:2]) for r in rows} == {(0, 0)}


def test_sample_bitstring_is_one_shot_of_sample():
    psi = ref.random_state(5, np.random.default_rng(9))
    sv = TavroSV.from_amplitudes(5, psi)
    a, b = Rng(9), Rng(9)
    for _ in range(10):
        assert sv.sample_bitstring(a).tolist() == sv.sample(b, 1)[0].tolist()


# ---- result arrays


@pytest.mark.parametrize(
    "make,shots,shape",
    [
        (lambda: TavroSV.zero(3), 4, (4, 3)),
        (lambda: TavroSV.zero(3), 0, (0, 3)),
        (lambda: TavroSV.zero(5, dynamic_qubits=True), 3, (3, 5)),
        (lambda: dynamic_with_live(5, [1]), 0, (0, 5)),
        (lambda: TavroSV.zero(0), 5, (5, 0)),
    ],
    ids=["static", "no shots", "dynamic declared width", "dynamic no shots", "no qubits"],
)
def test_sample_shape_and_dtype(make, shots, shape):
    rows = make().sample(Rng(1), shots)
    assert type(rows) is np.ndarray
    assert rows.dtype == np.uint8
    assert rows.shape == shape
    assert rows.flags.c_contiguous and rows.flags.writeable
    assert set(rows.ravel().tolist()) <= {0, 1}


@pytest.mark.parametrize(
    "make,length",
    [(lambda: TavroSV.zero(4), 4), (lambda: TavroSV.zero(6, dynamic_qubits=True), 6),
     (lambda: TavroSV.zero(0), 0)],
    ids=["static", "dynamic", "no qubits"],
)
def test_sample_bitstring_shape_and_dtype(make, length):
    one = make().sample_bitstring(Rng(1))
    assert type(one) is np.ndarray
    assert one.dtype == np.uint8 and one.shape == (length,)
    assert one.flags.owndata and one.flags.writeable


def test_result_arrays_outlive_the_state_and_are_independent():
    sv = TavroSV.from_bitstring([1, 1, 0])
    rng = Rng(1)
    rows, again, one = sv.sample(rng, 50), sv.sample(rng, 50), sv.sample_bitstring(rng)
    del sv
    gc.collect()
    rows[:] = 7
    assert again.tolist() == [[1, 1, 0]] * 50
    assert one.tolist() == [1, 1, 0]
    assert rows.sum() == 7 * 150


def test_measure_results_are_python_ints_and_prob_zero_a_float():
    sv = TavroSV.from_bitstring([1, 0])
    rng = Rng(0)
    results = [sv.measure_qubit(0, rng), sv.reset_qubit(1, rng), sv.free_qubit(0, rng)]
    assert results == [1, 0, 1]
    assert all(type(r) is int for r in results)
    assert type(sv.prob_zero(0)) is float


# ---- error texts

DEGENERATE = [
    ("zero", np.zeros(4), "squared norm 0.000e0 is too small to sample from"),
    ("nan", np.array([np.nan, 0, 0, 0]), "non-finite squared norm (NaN)"),
    ("inf", np.array([1e200, 0, 0, 0]), "non-finite squared norm (inf)"),
    ("subnormal", np.array([np.sqrt(2.5e-310), 0, 0, 0]),
     "squared norm 2.500e-310 is too small to sample from"),
]


@pytest.mark.parametrize(
    "amps,message", [d[1:] for d in DEGENERATE], ids=[d[0] for d in DEGENERATE]
)
@pytest.mark.parametrize(
    "call", [lambda sv, r: sv.sample(r, 3), lambda sv, r: sv.sample_bitstring(r),
             lambda sv, r: sv.sample(r, 0)],
    ids=["sample", "sample_bitstring", "sample 0"],
)
def test_degenerate_state_errors(amps, message, call):
    sv = TavroSV.from_amplitudes(2, amps.astype(np.complex128))
    rng = Rng(SEED)
    with pytest.raises(DegenerateStateError) as info:
        call(sv, rng)
    assert type(info.value) is DegenerateStateError and isinstance(info.value, TavroError)
    assert str(info.value) == "degenerate state: " + message
    assert draws_taken(rng, SEED) == 0


def test_a_norm_of_1e300_samples():
    sv = TavroSV.from_amplitudes(1, np.array([np.sqrt(1e-300) * 2, 0], dtype=np.complex128))
    assert sv.sample(Rng(0), 2).tolist() == [[0], [0]]


ZERO_PROJECTION = "invalid basis-state index: projection on qubit {} outcome 1 has zero probability"


@pytest.mark.parametrize("method", ["measure_qubit", "reset_qubit", "free_qubit"])
def test_measuring_an_all_zero_state_raises_value_error_after_one_draw(method):
    sv = TavroSV.from_amplitudes(2, np.zeros(4, dtype=np.complex128))
    rng = Rng(SEED)
    with pytest.raises(ValueError) as info:
        getattr(sv, method)(1, rng)
    assert type(info.value) is ValueError
    assert str(info.value) == ZERO_PROJECTION.format(1)
    assert bits(sv.amplitudes()) == bits(np.zeros(4))
    assert draws_taken(rng, SEED) == 1


def test_the_zero_probability_text_names_the_physical_slot():
    # Qubit 4 lives in slot 0 and qubit 1 in slot 1; a zero gate empties the state.
    sv = TavroSV.zero(5, dynamic_qubits=True)
    sv.apply_x(4)
    sv.apply_x(1)
    sv.apply_gate_1q([0, 0, 0, 0], 1)
    for q, slot in [(1, 1), (4, 0)]:
        with pytest.raises(ValueError) as info:
            sv.measure_qubit(q, Rng(0))
        assert str(info.value) == ZERO_PROJECTION.format(slot)
    assert sv.prob_zero(0) == 1.0  # untouched, whatever the norm
    assert sv.live_qubits == 2


# ---- reset and release


@pytest.mark.parametrize("bits_in,q,before,after", [
    ([1, 0], 0, 1, [0, 0]),
    ([1, 1], 1, 1, [1, 0]),
    ([0, 1], 0, 0, [0, 1]),
])
def test_reset_returns_the_outcome_before_the_reset(bits_in, q, before, after):
    sv = TavroSV.from_bitstring(bits_in)
    assert sv.reset_qubit(q, Rng(1)) == before
    assert bits(sv.amplitudes()) == bits(TavroSV.from_bitstring(after).amplitudes())
    assert sv.len == 4


def test_free_qubit_releases_the_slot_and_halves_the_buffer():
    sv = TavroSV.zero(4, dynamic_qubits=True)
    sv.apply_z(0)
    sv.apply_x(2)  # slot 1, |1>
    sv.apply_h(3)  # slot 2
    assert (len(sv), sv.live_qubits) == (8, 3)
    rng = Rng(5)
    assert sv.free_qubit(2, rng) == 1
    assert (len(sv), sv.len, sv.live_qubits) == (4, 4, 2)
    assert not sv.is_allocated(2) and sv.is_allocated(0) and sv.is_allocated(3)
    # The remaining qubits keep their amplitudes: |0> on qubit 0, |+> on qubit 3.
    h = 0.7071067811865476
    for idx, amp in [(0, h), (8, h), (1, 0), (4, 0), (9, 0)]:
        assert abs(sv.get_logical(idx) - amp) < 1e-15
    assert sv.free_qubit(2, rng) == 0  # released: behaves as untouched
    assert len(sv) == 4
    sv.apply_x(2)  # allocated again, at the new top slot
    assert (len(sv), sv.live_qubits) == (8, 3)
    assert abs(sv.get_logical(4) - h) < 1e-15


def test_free_on_the_example_state():
    # Qubits 0 and 1 in slots 0 and 1 of |00>: qubit 1 moves to slot 0.
    sv = TavroSV.zero(2, dynamic_qubits=True)
    sv.apply_z(0)
    sv.apply_x(1)
    assert sv.free_qubit(0, Rng(0)) == 0
    assert len(sv) == 2 and sv.live_qubits == 1
    assert sv.amplitudes().tolist() == [0j, 1 + 0j]
    assert sv.get_logical(2) == 1


def test_free_on_a_static_state_is_reset():
    sv = TavroSV.from_bitstring([0, 1, 1])
    assert sv.free_qubit(1, Rng(0)) == 1
    assert len(sv) == 8 and sv.is_allocated(1)
    assert sv.get(4) == 1
