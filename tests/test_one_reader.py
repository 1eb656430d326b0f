"""Every path (the command on CSV and Parquet, corvane.score on each table kind, corvane.dask)
reads a cell the same way: the same risks to the bit and the same reasons."""

import math
import random
import re
from decimal import Decimal

import corvane.dask as corvane_dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from corvane import INPUT_COLUMNS, score
from hypothesis import given, settings, strategies as st
from test_cli import GOOD as GOOD_TEXT, HEADER, corvane, write
from test_properties import DETERMINISTIC
from test_score_tables import GOOD, NAMES, plain

FLAGS = ("has_diabetes", "current_smoker", "on_htn_meds", "on_cholesterol_meds")


def norm(table):
    """{column: list} in order: risks as float.hex() or None, errors as str or None."""
    def missing(x):
        return x is None or x is pd.NA or x == "" or (isinstance(x, float) and math.isnan(x))

    return {name: [None if missing(x) else float(x).hex() if name in NAMES else x
                   for x in values] if name in (*NAMES, "error") else values
            for name, values in table.items()}


def api(result):
    return norm(plain(result))


def rows(table):
    """Row by row and numbered: a failure shows the first row that differs."""
    return [("row", *table), *zip(range(len(table["error"])), *table.values())]


def command(tmp_path, source, *options, suffix=".csv"):
    """The command's risks and errors, read back from its output file."""
    out = tmp_path / f"out{suffix}"
    run = corvane("score", source, "-o", out, *options)
    assert run.returncode in (0, 1), run.stderr.decode()
    table = pl.read_parquet(out) if suffix == ".parquet" else pl.read_csv(out, infer_schema=False)
    return norm(table.select(*NAMES, "error").to_dict(as_series=False))


def shown(text):
    return repr(text) if len(repr(text)) <= 40 else repr(text)[:37] + "..."


def refused(table, i, error):
    """table with row i refused for error."""
    for name in NAMES:
        table[name][i] = None
    table["error"][i] = error
    return table


# ---- one messy table through every path ----

# A reason names the column as the table has it, here not the input's own spelling.
TABLE_NAMES = {name: "Systolic_BP" if name == "systolic_bp" else name for name in INPUT_COLUMNS}
MISSING = [None, "", "   ", "na", "N/A", "NaN", "null", "None", "NULL", "nA"]
BAD = {
    "number": ["5_0", "٥٠", "0x1F", "inf", "-Infinity", "1 000", "1,5", "55 kg", "5.5.5", "1e",
               "５５", "value pending - see the notes of the visit"],
    "sex": ["2", "maybe", "m", "0.5", "yes", "x"],
    "flag": ["maybe", "2", "-1", "0.5", "on", "y"],
}
WHY = {"number": "is not a number", "sex": "is not male/female or 1/0",
       "flag": "is not one of 0/1 true/false yes/no"}
SEX = {1: ["male", "Male", "MALE", " male ", "1", "1.0", "1e0", "+1", "1.00", " 1 "],
       0: ["female", "FEMALE", "Female", " female", "0", "0.0", "0e5", "-0.0", ".0", "0.00"]}
FLAG = {1: ["1", "1.0", "1.00", "yes", "YES", "Yes", "true", "TRUE", " True ", "1e0"],
        0: ["0", "0.0", "no", "NO", "false", "False", "0e5", " no ", "+0", "0."]}
# Tenths, a little past every range.
TENTHS = {"age": (270, 820), "total_cholesterol": (1250, 3250), "hdl_cholesterol": (180, 1020),
          "systolic_bp": (880, 2020), "bmi": (180, 405), "egfr": (130, 1420)}


def spell(k, rng):
    """k/10 as one of many texts that read as it."""
    s = f"{k / 10:.1f}"
    ways = [s, f" {s} ", f"+{s}", f"{k / 10:.2f}", f"{k}e-1", f"{k}E-1 ", f"{k / 100:.3f}e1",
            f"0{s}"]
    if k % 10 == 0:
        ways += [f"{k // 10}.", f" {k // 10} ", f"{k // 100}.{k % 100 // 10}e1"]
    return rng.choice(ways)


@pytest.fixture(scope="module")
def messy():
    """Text cells by column, the result every path must give, the rows with a bad cell."""
    rng, n = random.Random(17), 400
    cells = {"id": [f"p{i}" for i in range(n)]} | {t: [] for t in TABLE_NAMES.values()}
    values = {name: [] for name in INPUT_COLUMNS}
    bad = {}
    for i in range(n):
        for name in INPUT_COLUMNS:
            if name in TENTHS:
                k = rng.randint(*TENTHS[name])
                values[name].append(k / 10)
                text = spell(k, rng)
            else:
                v = rng.randint(0, 1)
                values[name].append(float(v))
                text = rng.choice((SEX if name == "sex" else FLAG)[v])
            cells[TABLE_NAMES[name]].append(text)
        if rng.random() < 0.25:  # exactly one bad cell
            name = TABLE_NAMES[rng.choice(INPUT_COLUMNS)]
            kind = "sex" if name == "sex" else "flag" if name in FLAGS else "number"
            text = cells[name][i] = rng.choice(MISSING + BAD[kind])
            bad[i] = f"{name}: " + ("missing value" if text in MISSING else
                                    f"{shown(text)} {WHY[kind]}")
    want = api(score({k: np.array(v) for k, v in values.items()}))
    for i, why in bad.items():
        refused(want, i, why)
    assert 0.2 * n < len(bad) < 0.3 * n
    assert want["error"].count(None) > 0.3 * n  # most rows score, so risks are compared
    return cells, want, bad


def via_file(tmp_path, cells, suffix):
    source = tmp_path / f"in{suffix}"
    if suffix == ".csv":
        pl.DataFrame(cells, schema=dict.fromkeys(cells, pl.String)).write_csv(source)
    else:
        pq.write_table(arrow_text(cells), source)
    return command(tmp_path, source, suffix=suffix)


def arrow_text(cells, kind=pa.string()):
    return pa.table({k: pa.array(v, kind) for k, v in cells.items()})


def pandas_object(cells):
    return pd.DataFrame({k: pd.Series(v, dtype=object) for k, v in cells.items()})


PATHS = {
    "command csv": (".csv", "line {}: ", 2),
    "command parquet": (".parquet", "row {}: ", 1),
    "pandas object": lambda c: api(score(pandas_object(c))),
    "pandas string": lambda c: api(score(pd.DataFrame(c).astype("string"))),
    "pandas default": lambda c: api(score(pd.DataFrame(c))),
    "polars": lambda c: api(score(pl.DataFrame(c, schema=dict.fromkeys(c, pl.String)))),
    "pyarrow": lambda c: api(score(arrow_text(c))),
    "dict of lists": lambda c: api(score(c)),
    "dask": lambda c: api(corvane_dask.score(dd.from_pandas(pandas_object(c), npartitions=3))
                          .compute(scheduler="sync")),
}


@pytest.mark.parametrize("path", PATHS)
def test_every_path_reads_the_messy_table_alike(messy, path, tmp_path):
    """Catches a spelling one path reads and another refuses, or a reason worded apart."""
    cells, want, bad = messy
    if isinstance(PATHS[path], tuple):
        suffix, where, first = PATHS[path]
        got = via_file(tmp_path, cells, suffix)
        for i in bad:  # the command says where an unreadable row is in the file
            if got["error"][i] is not None:
                got["error"][i] = got["error"][i].removeprefix(where.format(i + first))
    else:
        got = PATHS[path](cells)
    assert rows(got) == rows(want)


# ---- typed columns ----

def typed(kind, n=200, seed=5):
    """An Arrow table of one kind of typed columns, and the same numbers as float64."""
    rng = np.random.default_rng(seed)
    tenths = {k: rng.integers(*TENTHS[k], n) for k in TENTHS}
    for k in ("age", "hdl_cholesterol", "systolic_bp"):
        tenths[k] = tenths[k] // 10 * 10
    for k, v in zip(TENTHS, (550, 2000, 500, 1200, [399, 185, 400, 184], 900)):
        tenths[k][:4] = v  # in range but BMI at its bounds: float32 39.9 is not past them
    codes = {k: rng.integers(0, 2, n) for k in ("sex", *FLAGS)}
    cols = {k: pa.array(v / 10) for k, v in tenths.items()} | {
        k: pa.array(v) for k, v in codes.items()}
    if kind in ("float32", "all"):
        cols |= {k: cols[k].cast(pa.float32()) for k in ("total_cholesterol", "bmi", "egfr")}
    if kind in ("decimal", "all"):  # in "all", BMI stays float32
        cols |= {k: pa.array([Decimal(int(t)).scaleb(-1) for t in tenths[k]],
                             pa.decimal128(5, 1))
                 for k in ("age", "total_cholesterol", "bmi")[:3 if kind == "decimal" else 2]}
    if kind in ("integers", "all"):
        whole = {"hdl_cholesterol": pa.int8(), "systolic_bp": pa.int64()}
        whole |= {"age": pa.int8()} if kind == "integers" else {}  # else a decimal
        cols |= {k: pa.array(tenths[k] // 10, t) for k, t in whole.items()}
        cols |= {k: cols[k].cast(pa.int8()) for k in ("sex", "on_htn_meds")}
    if kind in ("booleans", "all"):
        cols |= {k: cols[k].cast(pa.bool_()) for k in FLAGS[:3]}
    if kind in ("dictionary", "all"):
        cols["sex"] = pa.array(np.where(codes["sex"] == 1, "Male", "female")).dictionary_encode()
    floats = {k: v / 10 for k, v in tenths.items()} | codes
    return pa.table({k: cols[k] for k in INPUT_COLUMNS}), floats


@pytest.mark.parametrize("path", ["pyarrow", "polars", "pandas", "command parquet"])
@pytest.mark.parametrize("kind", ["float32", "decimal", "integers", "booleans", "dictionary",
                                  "all"])
def test_typed_columns_read_as_the_decimals_they_hold(kind, path, tmp_path):
    """Catches float32 39.9 widened past the BMI bound, a decimal off by its scale, or a
    typed column one path cannot read."""
    table, floats = typed(kind)
    if path == "command parquet":
        pq.write_table(table, tmp_path / "in.parquet")
        got = command(tmp_path, tmp_path / "in.parquet")
    else:
        convert = {"pyarrow": lambda t: t, "polars": pl.from_arrow, "pandas": pa.Table.to_pandas}
        got = api(score(convert[path](table)))
    want = api(score(floats))
    assert rows(got) == rows(want)
    assert want["error"][:4] == [None, None] + ["BMI must be between 18.5 and 39.9"] * 2


# ---- the text rule ----

GRAMMAR = re.compile(r"\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*", re.ASCII)
MISSING_WORD = re.compile(r"\s*(na|n/a|nan|null|none)?\s*", re.ASCII | re.IGNORECASE)
PAD = st.sampled_from(["", " ", "  ", "\t", " \t\n"])
TEXTS = st.one_of(
    st.from_regex(GRAMMAR, fullmatch=True),
    st.builds("{}{}{}".format, PAD, st.decimals(30, 79, places=7), PAD),  # mostly scored
    st.builds(lambda a, f, b: f"{a}{f:e}{b}", PAD, st.floats(30, 79), PAD),
    st.text(max_size=50),
    st.text(alphabet="0123456789+-.eE _,x\t ٥", max_size=12),
    st.sampled_from(["nan", " N/A ", "NULL", "inf", "0x1F", "1_000", "٥٠", "5.5e1", "1e400"]),
)


@settings(max_examples=300, **DETERMINISTIC)
@given(text=TEXTS)
def test_a_text_is_a_number_exactly_when_it_matches_the_grammar(text):
    """Catches float()'s wider grammar (underscores, other digits, inf) let through, or a
    plain spelling refused or read to another double."""
    got = api(score(GOOD | {"age": [text]}, outcomes="cvd", horizons=10))
    if GRAMMAR.fullmatch(text):
        want = api(score(GOOD | {"age": [float(text)]}, outcomes="cvd", horizons=10))
    elif MISSING_WORD.fullmatch(text):
        want = {"cvd_10yr": [None], "error": ["age: missing value"]}
    else:
        want = {"cvd_10yr": [None], "error": [f"age: {shown(text)} is not a number"]}
    assert rows(got) == rows(want)


# ---- faults reported from the field, one small table each ----

GOOD_2, GOOD_4 = ({k: v * n for k, v in GOOD.items()} for n in (2, 4))


def code_map_on_decimal_text(tmp_path):
    rest = GOOD_TEXT.split(",", 1)[1]
    coded, named = (write(tmp_path / f"{i}.csv", [HEADER, *(f"p,{s},{rest}" for s in sexes)])
                    for i, sexes in enumerate([("1.0", "2.0", "3.0", "2"),
                                               ("female", "male", "male", "male")]))
    want = refused(command(tmp_path, named), 2, "line 4: sex: '3.0' is not one of the codes 1/2 or male/female")
    return command(tmp_path, coded, "--code", "sex=1:female,2:male"), want


def pandas_missing_objects(_):
    frame = pandas_object(GOOD_2 | {"age": [pd.NA, 55.0], "bmi": [27.0, pd.NaT],
                                    "egfr": [None, 90.0]})
    want = refused(refused(api(score(GOOD_2)), 0, "age: missing value; egfr: missing value"),
                   1, "bmi: missing value")
    return api(score(frame)), want


def coded_table(make):
    table = {"id": ["p1", "p2"], "SEX_CODE": [1.0, 2.0]} | {
        k: v for k, v in GOOD_2.items() if k != "sex"}
    got = api(score(make(table), columns={"sex": "SEX_CODE"},
                    codes={"sex": {1: "female", 2: "male"}}, keep=("id",)))
    return got, {"id": ["p1", "p2"]} | api(score(GOOD_2 | {"sex": ["female", "male"]}))


def text_flag_codes(_):
    got = api(score(GOOD_4 | {"has_diabetes": [" y ", "n", "Yes", "1"]},
                    codes={"has_diabetes": {"Y": True, "N": False}}))
    want = api(score(GOOD_4 | {"has_diabetes": [True, False, True, True]}))
    return got, refused(want, 3, "has_diabetes: '1' is not one of the codes Y/N or true/false yes/no")


def like_good(make):
    return lambda _: (api(score(make())), api(score(GOOD)))


TEXT_VIEW = arrow_text({k: [str(v[0])] for k, v in GOOD.items()}, pa.string_view())
class Unshowable:
    def __str__(self):
        raise RuntimeError("no text")


FAULTS = {
    "command code map matches 1.0": code_map_on_decimal_text,
    "pandas NA NaT None": pandas_missing_objects,
    "string_view arrow": like_good(lambda: TEXT_VIEW),
    "string_view polars": like_good(lambda: pl.from_arrow(TEXT_VIEW)),
    "mapping of arrow arrays": like_good(lambda: {k: pa.array(v) for k, v in GOOD.items()}),
    "mapping of pandas series": like_good(
        lambda: {k: pd.Series(v, index=[4]) for k, v in GOOD.items()}),
    "all-None object column": lambda _: (
        api(score(pd.DataFrame(GOOD_2 | {"egfr": [None, None]}))),
        refused(refused(api(score(GOOD_2)), 0, "egfr: missing value"), 1, "egfr: missing value")),
    "other digits in a dict": lambda _: (
        api(score(GOOD | {"age": ["5_0"], "bmi": ["٥٠"]})),
        refused(api(score(GOOD)), 0, "age: '5_0' is not a number; bmi: '٥٠' is not a number")),
    "pandas columns codes keep": lambda _: coded_table(pd.DataFrame),
    "polars columns codes keep": lambda _: coded_table(pl.DataFrame),
    "pyarrow columns codes keep": lambda _: coded_table(pa.table),
    "text codes with built-in words": text_flag_codes,
    "an object that cannot show itself": lambda _: (
        api(score(GOOD | {"age": [Unshowable()]})),
        refused(api(score(GOOD)), 0, "age: '<Unshowable object>' is not a number")),
    "a number column's own code among ints": lambda _: (
        api(score(GOOD_2 | {"age": [np.int64(55), "X"]}, codes={"age": {"X": 55}})),
        api(score(GOOD_2 | {"age": [55, 55]}))),
}


def test_float32_reads_as_the_decimal_it_shows():
    """Catches the float32 shortcut or its cache giving another double than printing does."""
    rng = np.random.default_rng(4)
    values = rng.uniform(15, 140, 20_000).astype(np.float32)
    shown = np.array([float(str(v)) for v in values])
    table = {k: np.repeat(v, len(values)) for k, v in GOOD.items()}
    got = score(table | {"egfr": values}, "hf", 10)
    want = score(table | {"egfr": shown}, "hf", 10)
    assert got["hf_10yr"].view(np.uint64).tolist() == want["hf_10yr"].view(np.uint64).tolist()


@pytest.mark.parametrize("fault", FAULTS)
def test_reported_faults(fault, tmp_path):
    got, want = FAULTS[fault](tmp_path)
    assert rows(got) == rows(want)


ARROW_TYPES = {
    "int8": pa.int8(), "uint64": pa.uint64(), "float16": pa.float16(), "float32": pa.float32(),
    "float64": pa.float64(), "decimal": pa.decimal128(7, 2), "decimal256": pa.decimal256(40, 3),
    "bool": pa.bool_(), "string": pa.string(), "large_string": pa.large_string(),
    "string_view": pa.string_view(), "dictionary": pa.dictionary(pa.int16(), pa.string()),
}


@pytest.mark.parametrize("name", ARROW_TYPES)
def test_arrow_columns_read_as_their_python_values(name):
    """Catches an offset, a validity bit or a chunk boundary misread: a sliced, chunked Arrow
    column with nulls gives what its own values give as Python objects."""
    rng = np.random.default_rng(len(name))
    n = 300
    ages = np.round(rng.uniform(25, 85, n), 2)
    if name in ("string", "large_string", "string_view", "dictionary"):
        cells = [f" {a} " if i % 7 else "n/a" for i, a in enumerate(ages)]
        values = pa.array(cells, pa.string()).cast(ARROW_TYPES[name])
    elif name == "bool":
        values = pa.array(ages > 50)
    elif name.startswith("decimal"):
        values = pa.array([Decimal(str(a)) for a in ages]).cast(ARROW_TYPES[name])
    else:
        values = pa.array(ages).cast(ARROW_TYPES[name], safe=False)
    mask = rng.random(n) < 0.1
    values = pa.array(values.to_pylist(), values.type, mask=mask) if name != "dictionary" else \
        pa.array(values.to_pylist(), pa.string(), mask=mask).dictionary_encode()
    values = values.slice(5)  # an offset into every buffer, the bitmaps included
    chunks = pa.chunked_array([values.slice(0, 100), values.slice(100, 1), values.slice(101)])
    table = {k: v * len(values) for k, v in GOOD.items()}
    cells = chunks.to_pylist()
    if name in ("float16", "float32"):  # Python floats widen them: keep NumPy's own scalars
        cells = [None if v is None else np.dtype(name).type(v) for v in cells]
    got = api(score(table | {"age": chunks}))
    want = api(score(table | {"age": cells}))
    assert rows(got) == rows(want)
