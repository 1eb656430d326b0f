"""corvane.score over every kind of table: exact risks, the kind and index kept, clear errors."""

import math
from fractions import Fraction

import _corvane
import corvane
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from corvane import INPUT_COLUMNS, score
from conftest import ENGINE_OPTIONS as OPTIONS

MODELS = [(o, h) for h in (10, 30) for o in ("cvd", "ascvd", "hf")]
NAMES = [f"{o}_{h}yr" for o, h in MODELS]
SCALAR = {
    (o, h): getattr(_corvane, f"calculate_{h}_yr_{'heart_failure' if o == 'hf' else o}_rust")
    for o, h in MODELS
}
CODES = ("sex", "has_diabetes", "current_smoker", "on_htn_meds", "on_cholesterol_meds")


def cohort(n=400, seed=3):
    """Numbers with one decimal, spread a little past every range; sex and flags 0/1."""
    rng = np.random.default_rng(seed)
    spans = {"age": (27, 82), "total_cholesterol": (125, 325), "hdl_cholesterol": (18, 102),
             "systolic_bp": (88, 202), "bmi": (18, 40.5), "egfr": (13, 142)}
    columns = {}
    for name in INPUT_COLUMNS:
        if name in spans:
            columns[name] = np.round(rng.uniform(*spans[name], n), 1)
        else:
            columns[name] = rng.integers(0, 2, n).astype(np.int64)
    return columns


def expected(columns, mg_per_unit=None):
    """Per model, the scalar function's risk (or None) and message (or None) for each row."""
    out = {}
    for model in MODELS:
        risks, messages = [], []
        for i in range(len(columns["age"])):
            row = [float(columns[name][i]) for name in INPUT_COLUMNS]
            if mg_per_unit is not None:
                row[2], row[3] = mg_per_unit(row[2]), mg_per_unit(row[3])
            args = ("male" if row[0] == 1 else "female", *row[1:5], bool(row[5]), bool(row[6]),
                    row[7], row[8], bool(row[9]), bool(row[10]))
            try:
                risks.append(SCALAR[model](*args))
                messages.append(None)
            except ValueError as e:
                risks.append(None)
                messages.append(str(e))
        out[model] = risks, messages
    return out


def plain(result):
    """Any result kind as {column: list}, NaN and null both as None."""
    if isinstance(result, corvane.Scores):
        table = {k: v.tolist() for k, v in result.items()}
    elif isinstance(result, pd.DataFrame):
        table = {k: result[k].tolist() for k in result.columns}
    elif isinstance(result, pl.DataFrame):
        table = result.to_dict(as_series=False)
    else:
        table = result.to_pydict()
    return {k: [None if isinstance(x, float) and math.isnan(x) else x for x in v]
            for k, v in table.items()}


def as_text_codes(columns):
    frame = dict(columns)
    frame["sex"] = np.where(columns["sex"] == 1, "Male", "female")
    for name in CODES[1:]:
        frame[name] = np.where(columns[name] == 1, "YES", "no")
    return frame


class ArrowStream:
    """Only the Arrow C stream interface, as a database cursor or another library offers."""

    def __init__(self, table):
        self._table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self._table.__arrow_c_stream__(requested_schema)


def structured(c):
    out = np.empty(len(c["age"]), dtype=[(k, "f8") for k in INPUT_COLUMNS])
    for k in INPUT_COLUMNS:
        out[k] = c[k]
    return out


def strided(c):
    wide = {k: np.repeat(np.asarray(v, dtype=np.float64), 3)[::3] for k, v in c.items()}
    wide["age"] = np.asarray(c["age"], dtype=">f8")  # byte-swapped, read as a copy
    return wide


def chunked_arrow(c):
    table = pa.table(c)
    return pa.concat_tables([table.slice(0, 150), table.slice(150)])


KINDS = [
    ("arrays", dict, corvane.Scores),
    ("lists", lambda c: {k: v.tolist() for k, v in c.items()}, corvane.Scores),
    ("text", lambda c: {k: [str(x) for x in v] for k, v in c.items()}, corvane.Scores),
    ("structured", structured, corvane.Scores),
    ("strided and swapped", strided, corvane.Scores),
    ("float32", lambda c: {k: np.asarray(v, dtype=np.float32) for k, v in c.items()},
     corvane.Scores),
    ("masked, none masked", lambda c: {k: np.ma.masked_array(v) for k, v in c.items()},
     corvane.Scores),
    ("pandas", pd.DataFrame, pd.DataFrame),
    ("pandas text codes", lambda c: pd.DataFrame(as_text_codes(c)), pd.DataFrame),
    ("pandas categorical", lambda c: pd.DataFrame(as_text_codes(c)).astype(
        {k: "category" for k in CODES}), pd.DataFrame),
    ("pandas nullable", lambda c: pd.DataFrame(c).convert_dtypes(), pd.DataFrame),
    ("pandas arrow", lambda c: pd.DataFrame(as_text_codes(c)).convert_dtypes(
        dtype_backend="pyarrow"), pd.DataFrame),
    ("pandas object", lambda c: pd.DataFrame(as_text_codes(c)).astype(object), pd.DataFrame),
    ("polars", pl.DataFrame, pl.DataFrame),
    ("polars text codes", lambda c: pl.DataFrame(as_text_codes(c)), pl.DataFrame),
    ("polars enum and float32", lambda c: pl.DataFrame(as_text_codes(c)).with_columns(
        pl.col("sex").cast(pl.Enum(["female", "Male"])), pl.col("bmi").cast(pl.Float32),
        pl.col("has_diabetes").cast(pl.Categorical)), pl.DataFrame),
    ("polars booleans", lambda c: pl.DataFrame(c).with_columns(
        pl.col(*CODES[1:]).cast(pl.Boolean)), pl.DataFrame),
    ("arrow table", lambda c: pa.table(as_text_codes(c)), pa.Table),
    ("arrow chunked", chunked_arrow, pa.Table),
    ("arrow batch", lambda c: pa.record_batch(c), pa.Table),
    ("arrow stream", lambda c: ArrowStream(pa.table(c)), pa.Table),
]


@pytest.mark.parametrize("convert, kind", [k[1:] for k in KINDS], ids=[k[0] for k in KINDS])
def test_every_kind_scores_like_the_scalar_functions(convert, kind):
    """Catches a value changed on the way in, a row moved, or the wrong kind coming back."""
    columns = cohort()
    result = score(convert(columns))
    assert type(result) is kind
    got = plain(result)
    assert list(got) == NAMES + ["error"]
    want = expected(columns)
    for model, name in zip(MODELS, NAMES):
        risks, messages = want[model]
        assert [None if r is None else r.hex() for r in risks] == [
            None if r is None else r.hex() for r in got[name]]
    assert sum(e is not None for e in got["error"]) > 50  # the cohort does hit the bounds


def test_pandas_index_is_kept_after_a_filter():
    """The old recipe pandas.DataFrame(scores) put risks on the wrong patients after a filter."""
    frame = pd.DataFrame(cohort(), index=pd.RangeIndex(1000, 1400)).iloc[::-3]
    result = score(frame)
    assert result.index.equals(frame.index)
    for label in frame.index[:20]:
        alone = score(frame.loc[[label]])
        assert alone.index.tolist() == [label]
        assert np.array_equal(alone.iloc[:, :6].to_numpy().view(np.uint64),
                              result.loc[[label]].iloc[:, :6].to_numpy().view(np.uint64))


@pytest.mark.parametrize("make", [
    lambda c: pd.DataFrame(c), lambda c: pl.DataFrame(c), lambda c: pa.table(c)],
    ids=["pandas", "polars", "arrow"])
def test_dtypes_do_not_depend_on_the_rows(make):
    """A partition with no refusal, or no rows, must not change any column's type."""
    columns = cohort()
    ok = {k: v[:1] for k, v in {**columns, "age": np.array([50.0])}.items()}
    types = []
    for part in (columns, ok, {k: v[:0] for k, v in columns.items()}):
        result = score(make(part))
        types.append(list(result.dtypes) if hasattr(result, "dtypes") else result.schema.types)
    assert types[0] == types[1] == types[2]


def test_refused_risks_are_null_in_arrow_and_polars():
    columns = {k: v[:1] for k, v in cohort().items()} | {"age": np.array([90.0])}
    assert score(pl.DataFrame(columns))["cvd_30yr"].null_count() == 1
    assert score(pa.table(columns))["cvd_30yr"].null_count == 1


GOOD = {k: [v] for k, v in zip(INPUT_COLUMNS, (1, 55.0, 213.0, 50.0, 120.0, 0, 0, 27.0, 90.0,
                                               0, 0))}


@pytest.mark.parametrize("frame, reasons", [
    (pd.DataFrame(GOOD | {"age": pd.array([None], dtype="Int64")}), ["age: missing value"]),
    (pd.DataFrame(GOOD | {"sex": pd.Categorical(["unknown"])}),
     ["sex: 'unknown' is not male/female or 1/0"]),
    (pl.DataFrame(GOOD | {"on_htn_meds": pl.Series([None], dtype=pl.Boolean)}),
     ["on_htn_meds: missing value"]),
    (pl.DataFrame(GOOD | {"bmi": ["n/a"], "egfr": ["ninety"]}),
     ["bmi: missing value; egfr: 'ninety' is not a number"]),
    (pl.DataFrame(GOOD | {"egfr": [None]}), ["egfr: missing value"]),
    (pa.table(GOOD | {"current_smoker": ["sometimes"]}),
     ["current_smoker: 'sometimes' is not one of 0/1 true/false yes/no"]),
    # Rows named by their bad columns alone (one reason per column) and cell by cell.
    (pd.DataFrame({k: v * 3 for k, v in GOOD.items()}
                  | {"sex": ["x", "male", "x"], "bmi": [27.0, np.nan, np.nan]}),
     ["sex: 'x' is not male/female or 1/0", "bmi: missing value",
      "sex: 'x' is not male/female or 1/0; bmi: missing value"]),
    (pd.DataFrame({k: v * 3 for k, v in GOOD.items()}
                  | {"sex": ["x", None, "y"], "age": [np.nan, 55.0, np.nan]}),
     ["sex: 'x' is not male/female or 1/0; age: missing value", "sex: missing value",
      "sex: 'y' is not male/female or 1/0; age: missing value"]),
])
def test_unreadable_cells_of_frames_name_the_column(frame, reasons):
    assert plain(score(frame))["error"] == reasons


def test_many_distinct_bad_codes_are_each_named():
    """Past the codes that name a bad text, the value itself must still be reported."""
    bad = [f"x{i}" for i in range(300)]
    frame = pl.DataFrame({k: v * 300 for k, v in GOOD.items()} | {"sex": bad})
    assert plain(score(frame, horizons=10))["error"] == [
        f"sex: {b!r} is not male/female or 1/0" for b in bad]


def test_masked_entries_are_missing_values():
    columns = {k: np.ma.masked_array(v * 3) for k, v in GOOD.items()}
    columns["age"][1] = np.ma.masked
    columns["sex"][2] = np.ma.masked
    assert score(columns, horizons=10)["error"].tolist() == [
        None, "age: missing value", "sex: missing value"]


def test_float32_is_read_as_the_decimal_it_shows():
    """float32 39.9 widens to 39.900001525878906, above the BMI bound."""
    columns = {k: np.asarray(v, dtype=np.float32) for k, v in GOOD.items()} | {
        "bmi": np.array([39.9], dtype=np.float32), "age": np.array([55.9], dtype=np.float32)}
    result = score(columns, outcomes="hf")
    want = SCALAR["hf", 30]("male", 55.9, 213.0, 50.0, 120.0, False, False, 39.9, 90.0, False,
                            False)
    assert result["error"].tolist() == [None]
    assert result["hf_30yr"][0].hex() == want.hex()


def mg_of(mmol):
    """The decimal shown, divided by 0.02586 exactly, rounded once."""
    return float(Fraction(repr(mmol)) / Fraction("0.02586"))


@pytest.mark.parametrize("decimals", [2, 4, None], ids=["2 decimals", "4", "all 17 digits"])
def test_mmol_per_litre_scores_like_the_exact_mg_per_decilitre(decimals):
    """Short decimals take one exact division, long ones a long division: both round once."""
    columns = cohort(200, seed=5)
    for name in ("total_cholesterol", "hdl_cholesterol"):
        mmol = columns[name] * 0.02586 * (1 + 1e-9)
        columns[name] = mmol if decimals is None else np.round(mmol, decimals)
    got = plain(score(pd.DataFrame(columns), cholesterol_unit="mmol/L"))
    want = expected(columns, mg_of)
    for model, name in zip(MODELS, NAMES):
        assert [None if r is None else r.hex() for r in want[model][0]] == [
            None if r is None else r.hex() for r in got[name]]


@pytest.mark.parametrize("hdl, error", [
    (2.586, None),  # exactly 100 mg/dL: dividing the doubles gives 99.99999999999999 ...
    (0.5172, None),  # ... and this exactly 20
    (2.5861, "HDL cholesterol must be between 20 and 100 mg/dL (0.5172 to 2.586 mmol/L)"),
    (0.5171, "HDL cholesterol must be between 20 and 100 mg/dL (0.5172 to 2.586 mmol/L)"),
])
def test_mmol_bounds_are_exact_and_the_message_says_both_units(hdl, error):
    columns = GOOD | {"total_cholesterol": [5.0], "hdl_cholesterol": [hdl]}
    assert score(columns, horizons=10, cholesterol_unit="mmol/L")["error"].tolist() == [error]


class FakeDask:
    pass


FakeDask.__module__ = "dask.dataframe.core"
FakeDask.__name__ = "DataFrame"


@pytest.mark.parametrize("call, error, text", [
    (lambda: score(FakeDask()), TypeError, r"corvane\.dask\.score\(ddf\)"),
    (lambda: score(pl.DataFrame(GOOD).lazy()), TypeError, r"\.collect\(\)"),
    (lambda: score(GOOD | {"age": {55.0}}), TypeError, "column age .*unordered set"),
    (lambda: score(pd.DataFrame(GOOD).assign(**{" AGE": [1.0]})), ValueError,
     "'age' appears more than once"),
    (lambda: score(pd.concat([pd.DataFrame(GOOD)] * 2, axis=1)), ValueError,
     "'sex' appears more than once"),
    (lambda: score(pl.DataFrame(GOOD | {"bmi": [[27.0, 28.0]]})), TypeError, "column bmi"),
    (lambda: score(GOOD | {"bmi": [[27.0, 28.0]]}), TypeError, "column bmi"),
    (lambda: score({k: v for k, v in GOOD.items() if k != "egfr"} | {"gfr": [1]}), ValueError,
     r"missing column: egfr \(found: sex, .*, gfr\)"),
    (lambda: score(GOOD, horizons="10"), TypeError, "horizons must be one of 10, 30"),
    (lambda: score(GOOD, outcomes=None), TypeError, "outcomes must be one of 'cvd'"),
    (lambda: score(GOOD, cholesterol_unit="mmol"), ValueError, "'mg/dL' or 'mmol/L'"),
    (lambda: score(42), TypeError, "not int"),
    (lambda: score(pd.DataFrame(GOOD)["age"]), TypeError, "not one column"),
])
def test_unusable_input_is_a_clear_error(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_names_match_after_stripping_and_ignoring_case():
    frame = pd.DataFrame({f" {k.upper()} ": v for k, v in GOOD.items()})
    assert score(frame)["error"].tolist() == [None]


def test_other_repeated_pandas_columns_are_ignored():
    notes = pd.DataFrame([["a", "b"]], columns=["note", "note"], index=[7])
    frame = pd.concat([pd.DataFrame(GOOD, index=[7]), notes], axis=1)
    result = score(frame, outcomes="cvd", horizons=10)
    assert result.index.tolist() == [7] and result["error"].tolist() == [None]


ONES = tuple([np.ones(2)] * 11)
MASKS = (None,) * 11
U16 = np.empty(2, dtype=np.uint16)


@pytest.mark.parametrize("args", [
    (), ((None,) * 11, MASKS, OPTIONS, ("cvd_10yr",), (np.empty(1),), None, U16[:1]),
    (ONES, MASKS, OPTIONS, ("stroke",), (np.empty(2),), None, U16),
    (ONES, MASKS, OPTIONS, ("cvd_10yr",), (np.empty(3),), None, U16),
    (ONES, MASKS, OPTIONS, ("cvd_10yr", "hf_10yr"), (np.empty(2), np.empty(3)), None, U16),
    (ONES, MASKS, OPTIONS, ("cvd_10yr",), np.empty((1, 2)), None, U16),  # one block, no tuple
    (ONES, MASKS, OPTIONS, ("cvd_10yr",), (np.empty(2),), None, None),  # no error codes
    (ONES, MASKS, OPTIONS[:3], ("cvd_10yr",), (np.empty(2),), None, U16),
    (tuple([np.ones(2, dtype=complex)] * 11), MASKS, OPTIONS, ("cvd_10yr",), (np.empty(2),),
     None, U16),
])
def test_engine_entry_refuses_bad_arguments_without_crashing(args):
    with pytest.raises(TypeError):
        _corvane._score_columns(*args)


def test_worker_count_is_the_pools():
    assert isinstance(_corvane._worker_count(), int) and _corvane._worker_count() >= 1


@pytest.mark.parametrize("n", [1, 2, 3, 127, 129, 1001])
def test_block_and_lane_tails_are_scored_in_place(n):
    """Catches a padded last row written out, or a block edge shifted by one."""
    columns = cohort(n, seed=n)
    got = plain(score(columns))
    want = expected(columns)
    for model, name in zip(MODELS, NAMES):
        assert [None if r is None else r.hex() for r in want[model][0]] == [
            None if r is None else r.hex() for r in got[name]]


def test_engine_releases_every_buffer_on_success_and_on_error():
    """A view held past the call would pin the arrays (a leak) or let a resize corrupt them."""
    import gc
    import sys
    import weakref

    columns = tuple(np.ones(4) for _ in range(11))
    masks = (np.zeros(4, dtype=bool),) + (None,) * 10
    risks = np.empty((1, 4))
    errors = np.empty(4, dtype=np.uint16)
    short = columns[:10] + (np.ones(5),)
    counts = [sys.getrefcount(a) for a in (*columns, masks[0], risks)]
    for _ in range(2000):
        _corvane._score_columns(columns, masks, OPTIONS, ("hf_30yr",), (risks,), None, errors)
        with pytest.raises(ValueError):  # fails after every other buffer has been taken
            _corvane._score_columns(short, masks, OPTIONS, ("hf_30yr",), (risks,), None, errors)
    assert [sys.getrefcount(a) for a in (*columns, masks[0], risks)] == counts
    probe = weakref.ref(columns[3])
    del columns, short
    gc.collect()
    assert probe() is None
    risks.resize((1, 8), refcheck=True)  # refused while the engine still held a view


def _risk_digest(workers):
    import subprocess
    import sys

    script = (
        "import corvane, hashlib, numpy as np\n"
        "rng = np.random.default_rng(9)\n"
        "cols = {k: rng.uniform(20, 140, 20011) for k in corvane.INPUT_COLUMNS}\n"
        "for k in ('sex', 'has_diabetes', 'current_smoker', 'on_htn_meds',"
        " 'on_cholesterol_meds'):\n"
        "    cols[k] = rng.integers(0, 2, 20011)\n"
        "r = corvane.score(cols)\n"
        "print(hashlib.sha256(np.stack([r[k] for k in list(r)[:-1]]).tobytes()).hexdigest(),"
        " sum(e is not None for e in r['error']))\n"
    )
    env = {"RAYON_NUM_THREADS": workers, "PATH": "/usr/bin:/bin"}
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, check=True).stdout


def test_results_do_not_depend_on_the_worker_count():
    """Catches rows lost or written twice where the pool splits the range."""
    assert _risk_digest("1") == _risk_digest("3")


@pytest.mark.parametrize("codes, texts, error", [
    (np.array([0, 3], dtype=np.uint8), (None, "a", "b"), ValueError),  # a code past the texts
    (np.array([0, 1], dtype=np.uint8), (None, 1.5), TypeError),
    (np.array([0, 1], dtype=np.int8), (None, "a"), TypeError),
    (np.array([1, 256], dtype=np.uint16), (None, "a") * 128, ValueError),  # past 8 bits too
    (np.zeros((2, 2), dtype=np.uint8), (None, "a"), TypeError),
])
def test_texts_of_codes_refuses_what_it_cannot_map(codes, texts, error):
    with pytest.raises(error):
        _corvane._texts_of_codes(codes, texts)


def test_texts_of_codes_holds_one_reference_per_cell():
    """Catches a text freed while cells still point at it, or one never freed."""
    import sys

    text = "".join(["age: ", "missing value"])
    codes = np.array([1, 0, 1, 1, 2, 0, 1] * 3, dtype=np.uint8)[::3]  # strided
    before = sys.getrefcount(text)
    out = _corvane._texts_of_codes(codes, (None, text, "b"))
    assert out.tolist() == [None if c == 0 else text if c == 1 else "b" for c in codes]
    assert sys.getrefcount(text) - before == int((codes == 1).sum())
    with pytest.raises(ValueError):
        _corvane._texts_of_codes(np.append(codes, 3).astype(np.uint8), (None, text, "b"))
    del out
    assert sys.getrefcount(text) == before


def test_text_columns_are_read_without_leaving_threads():
    """Catches a reader thread that outlives the call (a fork would copy it half-done)."""
    import threading

    frame = pd.DataFrame(GOOD, index=[0])
    for name in ("sex", "has_diabetes", "current_smoker", "on_htn_meds", "on_cholesterol_meds"):
        frame[name] = frame[name].map({0: "no", 1: "yes"} if name != "sex" else
                                      {0: "female", 1: "male"})
    threads = threading.active_count()
    assert score(frame, outcomes="cvd", horizons=10)["error"].tolist() == [None]
    assert threading.active_count() == threads


def test_engine_error_codes_carry_each_unreadable_column():
    """Catches a bad cell left out of its row's code, or a bit given to the wrong column."""
    columns = [np.array(v, dtype=float) for v in
               (1, 55.0, 213.0, 50.0, 120.0, 0, 0, 27.0, 90.0, 0, 0)]
    columns = [np.repeat(c, 3) for c in columns]
    columns[0][1] = 2.0  # sex
    columns[1][1] = np.nan  # age
    missing = [None] * 11
    missing[10] = np.array([False, False, True])  # on_cholesterol_meds
    risks = (np.empty((1, 3)), np.empty((1, 3)))
    errors = np.empty((1, 3), dtype=np.uint16)
    _corvane._score_columns(tuple(columns), tuple(missing), OPTIONS, ("cvd_10yr", "hf_30yr"),
                            risks, None, errors)
    assert errors[0].tolist() == [0, 100 + 0b11, 100 + (1 << 10)]


def test_polars_frame_scores_without_importing_pandas():
    """pyarrow's value conversion imports pandas: 0.2 s of a command's run for nothing."""
    import subprocess
    import sys

    code = (
        "import sys, numpy as np, polars as pl, corvane\n"
        f"f = pl.DataFrame({{c: np.ones(3) for c in {list(INPUT_COLUMNS)!r}}})\n"
        "corvane.score(f)\n"
        "print('pandas' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "False\n"
