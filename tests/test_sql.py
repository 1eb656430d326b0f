"""The DuckDB SQL functions and corvane.score of a DuckDB relation, against corvane.score."""

import math

import numpy as np
import pyarrow as pa
import pytest

duckdb = pytest.importorskip("duckdb")
import corvane  # noqa: E402
import corvane.duckdb  # noqa: E402
from cohorts import cohort  # noqa: E402
from corvane._names import SQL_FUNCTIONS  # noqa: E402
from corvane.tables._arguments import same_arguments  # noqa: E402

INPUTS = ", ".join(corvane.INPUT_COLUMNS)
# Cells a table of text holds and that the rule reads, or refuses, in its own way.
ODD_ROWS = [
    # sex, age, total_cholesterol, hdl, sbp, diabetes, smoker, bmi, egfr, htn, chol meds
    ("  Female ", "  51.5 ", "2.13e2", "+50", "120.", " YES ", "false", "27", "90", "1", "0"),
    ("1", "55", "213", "50", "120", "no", "0", "27,5", "90", "0", "0"),
    ("unknown", "5_0", "213", "50", "120", "maybe", "0", "27", "inf", "2", "0"),
    ("male", None, "", "n/a", "NULL", "no", "0", "27", "90", "0", "0"),
    ("0", "45", "213", "50", "120", "TRUE", "yes", "39.9", "140", "false", "true"),
]


def messy(n=3000, seed=3):
    """The distributed tests' messy cohort under the inputs' own names, as DuckDB types it:
    text, DOUBLE, BIGINT and BOOLEAN columns, bmi as DECIMAL(5, 2)."""
    frame = cohort(n, seed).drop(columns=["patient_id", "note"])
    frame.columns = list(corvane.INPUT_COLUMNS)
    con = duckdb.connect()
    con.execute("CREATE TABLE cohort AS SELECT * REPLACE (bmi::DECIMAL(5, 2) AS bmi) FROM frame")
    return con


def text(con):
    """The cohort with every column VARCHAR, and the odd rows."""
    casts = ", ".join(f"{c}::VARCHAR AS {c}" for c in corvane.INPUT_COLUMNS)
    con.execute(f"CREATE TABLE text_cohort AS SELECT {casts} FROM cohort")
    con.executemany(f"INSERT INTO text_cohort VALUES ({', '.join('?' * 11)})", ODD_ROWS)
    return "text_cohort"


def assert_same(got, expected):
    """Risks bit for bit with nulls where refused, reasons with ==."""
    assert got.column_names == expected.column_names
    for name in expected.column_names:
        a, b = got.column(name), expected.column(name)
        assert a.is_null().equals(b.is_null()), name
        if name == "error":
            assert a.to_pylist() == b.to_pylist()
        else:
            bits = [x.fill_null(0).to_numpy().view(np.uint64) for x in (a, b)]
            assert np.array_equal(*bits), name


def arrow(relation):
    # A Table from DuckDB 1, a stream from DuckDB 2.
    return pa.table(relation.arrow())


def query(con, table, functions=SQL_FUNCTIONS):
    items = ", ".join(f"{f}({INPUTS}) AS {c}" for f, c in functions)
    return arrow(con.sql(f"SELECT {items} FROM {table}"))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("table", ["cohort", "text"])
def test_each_function_equals_score_of_the_same_cells(threads, table):
    """Catches a cell DuckDB cast before the rule read it, and a batch's scores handed to another
    batch or thread by the compute-once cache."""
    con = messy()
    con.execute(f"SET threads = {threads}")
    table = text(con) if table == "text" else table
    corvane.duckdb.register(con)
    expected = corvane.score(arrow(con.table(table)))
    assert expected.column("error").null_count < len(expected) - 100  # refusals and unreadable
    assert_same(query(con, table), expected)
    # Each function alone, and in another order: no order of calls changes a result.
    for function, column in reversed(SQL_FUNCTIONS):
        got = query(con, table, [(function, column)])
        assert_same(got, expected.select([column]))


def test_options_apply_to_the_functions_registered():
    con = messy(500)
    codes = {"sex": {" M ": "male", "f": "female"}, "has_diabetes": {1: True, 2: False}}
    con.execute(
        "CREATE TABLE coded AS SELECT * REPLACE ("
        " CASE WHEN sex ILIKE '%female%' THEN 'F' WHEN sex ILIKE '%male%' THEN 'm' ELSE sex END"
        " AS sex, total_cholesterol * 0.02586 AS total_cholesterol,"
        " hdl_cholesterol * 0.02586 AS hdl_cholesterol,"
        " CASE has_diabetes WHEN 'yes' THEN 1 WHEN 'no' THEN 2 ELSE 0 END AS has_diabetes)"
        " FROM cohort"
    )
    corvane.duckdb.register(con, cholesterol_unit="mmol/L", codes=codes)
    expected = corvane.score(
        arrow(con.table("coded")), cholesterol_unit="mmol/L", codes=codes
    )
    assert_same(query(con, "coded"), expected)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"cholesterol_unit": "mg"}, "cholesterol_unit"),
        ({"codes": {"sex": {1: "other"}}}, "sex"),
    ],
)
def test_wrong_options_raise_at_register(options, message):
    with pytest.raises(ValueError, match=message):
        corvane.duckdb.register(duckdb.connect(), **options)


def test_a_wrong_number_of_arguments_is_a_binder_error():
    con = duckdb.connect()
    corvane.duckdb.register(con)
    with pytest.raises(duckdb.BinderException, match="corvane_error"):
        con.sql("SELECT corvane_error('male', 50)")


@pytest.mark.parametrize(
    "a, b, same",
    [
        (pa.array([0.0, 1.5]), pa.array([0.0, 1.5]), True),
        (pa.array([0.0, 1.5]), pa.array([-0.0, 1.5]), False),  # a refusal quotes the sign
        (pa.array([1, 2]), pa.array([1.0, 2.0]), False),  # "1" and "1.0" are other cells
        (pa.array(["a", None]), pa.array(["a", ""]), False),
        (pa.chunked_array([[1.5, None]]), pa.chunked_array([[1.5, None]]), True),
    ],
)
def test_batches_are_the_same_only_when_their_cells_are(a, b, same):
    assert same_arguments([a] * 11, [b] * 11) is same


def test_score_of_a_relation_is_a_relation_on_its_connection():
    con = messy(800)
    con.execute("CREATE TABLE extra AS SELECT row_number() OVER () AS id, * FROM cohort")
    con.execute("ALTER TABLE extra RENAME COLUMN systolic_bp TO \"SBP mmHg\"")
    relation = con.table("extra").filter("id % 2 = 0")
    codes = {"has_diabetes": {"yes": True, "no": False, "YES": True}}
    scored = corvane.score(
        relation, "hf", 10, keep=["id"], columns={"systolic_bp": "SBP mmHg"}, codes=codes
    )
    assert isinstance(scored, duckdb.DuckDBPyRelation)
    expected = corvane.score(
        arrow(relation), "hf", 10, keep=["id"], columns={"systolic_bp": "SBP mmHg"},
        codes=codes,
    )
    got = arrow(scored)
    assert got.schema == expected.schema
    assert_same(got.drop_columns("id"), expected.drop_columns("id"))
    assert got.column("id").equals(expected.column("id"))
    # On the same connection: it joins that connection's tables.
    joined = con.sql("SELECT count(*) FROM scored JOIN extra USING (id)").fetchall()
    assert joined == [(len(expected),)]


def test_one_patient_reads_as_score_of_a_dict():
    con = duckdb.connect()
    corvane.duckdb.register(con)
    patient = dict(zip(corvane.INPUT_COLUMNS, (
        "female", 62, 213, 50, 120, "no", 0, 27, 90, False, 0)))
    expected = corvane.score(patient)
    row = con.sql(
        f"SELECT {', '.join(f'{f}(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)' for f, _ in SQL_FUNCTIONS)}",
        params=list(patient.values()) * len(SQL_FUNCTIONS),
    ).fetchall()[0]
    want = [expected[c] for _, c in SQL_FUNCTIONS]
    assert [None if isinstance(x, float) and math.isnan(x) else x for x in row] == want
