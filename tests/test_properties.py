"""Properties over arbitrary inputs: scalar results equal the reference to the bit, batch rows
equal their scalar calls, and nothing but the eight messages is ever raised."""

import math
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

from conftest import BATCH_NAMES, BATCH_PAIRS, SCALAR_FUNCTIONS, scalar_outcome
from reference import SEX_MESSAGE, bounds, ranges, reference

# The same examples on every run and machine, and no example database left behind.
DETERMINISTIC = dict(derandomize=True, database=None, deadline=None,
                     suppress_health_check=[HealthCheck.too_slow])

MESSAGES = {r[3] for horizon in (10, 30) for r in ranges(horizon)} | {SEX_MESSAGE}
assert len(MESSAGES) == 8
NAN_BITS = 0x7FF8000000000000
NUMERIC = ("age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "bmi", "egfr")
KNOTS = {"age": (55.0,), "systolic_bp": (110.0, 130.0), "bmi": (25.0, 30.0),
         "egfr": (60.0, 90.0)}


def _from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# Every double: Hypothesis' own float choices (NaN, infinities, subnormals, -0.0, huge, tiny)
# and raw bit patterns, which reach NaNs with payloads and either sign.
ANY_DOUBLE = st.one_of(st.floats(), st.integers(0, 2**64 - 1).map(_from_bits))


def numeric(name, horizon):
    """Mostly in range, so that valid results are common; often a bound, a knot or the next
    double past a bound; sometimes any double at all."""
    lo, hi, _ = bounds(name, horizon)
    edges = (lo, hi, math.nextafter(lo, -math.inf), math.nextafter(hi, math.inf),
             *KNOTS.get(name, ()))
    return st.sampled_from(["range"] * 7 + ["edge", "edge", "any"]).flatmap(
        lambda kind: {"range": st.floats(lo, hi), "edge": st.sampled_from(edges),
                      "any": ANY_DOUBLE}[kind])


def case_variants(word):
    return st.lists(st.booleans(), min_size=len(word), max_size=len(word)).map(
        lambda upper: "".join(c.upper() if u else c for c, u in zip(word, upper)))


ANY_TEXT = st.text(st.characters(exclude_categories=()))  # surrogates included
SEX = st.sampled_from(["male", "female"] * 3 + ["any", "any", "near", "fixed"]).flatmap(
    lambda kind: {
        "male": case_variants("male"),
        "female": case_variants("female"),
        "any": ANY_TEXT,
        # An accepted word with something around it.
        "near": st.tuples(ANY_TEXT, st.sampled_from(["male", "FEMALE", "Male"]),
                          ANY_TEXT).map("".join),
        "fixed": st.sampled_from(["", "m", "F", "man", " male", "female ", "male\x00", "ｍａｌｅ",
                                  "ＦＥＭＡＬＥ", "ma\u0301le", "\u212aale", "fem\u0131le",
                                  "\ud800male"]),
    }[kind])


@st.composite
def scalar_args(draw, horizon):
    v = {name: draw(numeric(name, horizon)) for name in NUMERIC}
    flags = [draw(st.booleans()) for _ in range(4)]
    return (draw(SEX), v["age"], v["total_cholesterol"], v["hdl_cholesterol"], v["systolic_bp"],
            flags[0], flags[1], v["bmi"], v["egfr"], flags[2], flags[3])


def expected_outcome(s, args):
    """The reference's float or message, or the encoding error the text conversion raises."""
    try:
        args[0].encode("utf-8")
    except UnicodeEncodeError as e:
        return e
    return reference(s.model, s.horizon, *args)


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


@pytest.mark.parametrize("s", SCALAR_FUNCTIONS, ids=str)
@settings(max_examples=600, **DETERMINISTIC)
@given(data=st.data())
def test_scalar_equals_reference_or_raises_one_of_the_messages(s, data):
    args = data.draw(scalar_args(s.horizon), label="args")
    want = expected_outcome(s, args)
    try:
        got = s(*args)
    except UnicodeEncodeError as e:  # a ValueError subclass, so caught first
        event("UnicodeEncodeError")
        assert isinstance(want, UnicodeEncodeError) and e.args == want.args, (e, want)
    except ValueError as e:
        event("ValueError")
        assert type(e) is ValueError and e.args == (want,), (e, want)
        assert want in MESSAGES
    else:
        event("result")
        assert type(want) is float, (got, want)
        assert type(got) is float and bits(got) == bits(want), (got.hex(), want.hex())
        assert 0.0 < got < 100.0


# --- batch -------------------------------------------------------------------------------


BATCH = BATCH_PAIRS

# 1.0 (male) twice: about as many male rows as female ones.
SEX_CODE = st.one_of(st.sampled_from([1.0, 0.0, 1.0, -0.0, math.nextafter(1.0, 0.0),
                                      math.nextafter(1.0, 2.0), 2.0, -1.0, math.nan]),
                     ANY_DOUBLE)
FLAG = st.one_of(st.sampled_from([0.0, -0.0, 1.0, 0.5, -1.0, 5e-324, math.inf, math.nan]),
                 ANY_DOUBLE)


def row(horizon):
    column = {1: "age", 2: "total_cholesterol", 3: "hdl_cholesterol", 4: "systolic_bp",
              7: "bmi", 8: "egfr"}
    return st.tuples(*[SEX_CODE if c == 0 else
                       numeric(column[c], horizon) if c in column else FLAG
                       for c in range(11)])


def decoded_outcome(scalar, values):
    """The scalar call on a decoded row: its float, or the ValueError's message."""
    value, message = scalar_outcome(scalar, values)
    if value is None:
        assert message in MESSAGES - {SEX_MESSAGE}, message
        return message
    return value


def laid_out(rows, layout):
    """An array holding rows, logically, in one of several memory layouts."""
    data = np.array(rows, dtype=np.float64).reshape(-1, 11)
    if layout == "fortran":
        return np.asfortranarray(data)
    if layout == "reversed":
        return np.ascontiguousarray(data[::-1])[::-1]
    if layout == "strided":
        wide = np.zeros((2 * len(data), 23))
        wide[::2, 1::2] = data
        return wide[::2, 1::2]
    return data


@pytest.mark.parametrize("batch, scalar", BATCH, ids=BATCH_NAMES)
@settings(max_examples=100, **DETERMINISTIC)
@given(data=st.data())
def test_batch_row_equals_scalar_call_or_is_nan_when_it_raises(batch, scalar, data):
    # Sizes spread over 0 (no work), 1 (the calling thread alone) and more (the pool).
    n = data.draw(st.integers(0, 40), label="n")
    rows = data.draw(st.lists(row(scalar.horizon), min_size=n, max_size=n), label="rows")
    layout = data.draw(st.sampled_from(["c", "fortran", "reversed", "strided"]), label="layout")
    array = laid_out(rows, layout)
    before = array.copy()

    result = batch(array)

    assert result.shape == (len(rows),) and result.dtype == np.float64
    got = result.view(np.uint64).tolist()
    event(f"rows with a result: {'some' if any(g != NAN_BITS for g in got) else 'none'}")
    event(f"rows with NaN: {'some' if NAN_BITS in got else 'none'}")
    for i, values in enumerate(rows):
        want = decoded_outcome(scalar, values)
        if isinstance(want, str):
            assert got[i] == NAN_BITS, (i, values, want, result[i])
        else:
            assert got[i] == bits(want), (i, values, result[i].hex(), want.hex())
            assert 0.0 < want < 100.0
    assert before.view(np.uint64).tolist() == array.view(np.uint64).tolist()
