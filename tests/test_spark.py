"""corvane.spark on a local[2] Spark session (run by 'make spark-test', not by default)."""

import os
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute  # noqa: F401
import pytest

pytestmark = [
    pytest.mark.spark,
    pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning"),
]
pyspark = pytest.importorskip("pyspark")
from pyspark.sql import functions as F  # noqa: E402

import corvane  # noqa: E402
import corvane.spark  # noqa: E402
from cohorts import assert_same_scores, cohort, write_cohort  # noqa: E402
from corvane._names import SQL_FUNCTIONS  # noqa: E402
from corvane.batches import score_batch  # noqa: E402


@pytest.fixture(scope="module")
def spark():
    # Left unset on purpose: corvane.spark must pick this interpreter by itself.
    os.environ.pop("PYSPARK_PYTHON", None)
    from pyspark.sql import SparkSession

    session = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def canonical_nan(frame):
    # Arrow's null comes back as NaN with its own bits: compare where a risk is, and which.
    return frame.apply(lambda c: c.where(c.notna(), np.nan) if c.dtype == np.float64 else c)


def test_local_spark_equals_the_whole_table(spark, tmp_path):
    whole = write_cohort(tmp_path, 3, 10_000).rename(columns={"patient_id": "patient.id"})
    # A dot in a name, as Spark tables often have, is part of the name.
    sdf = spark.read.parquet(str(tmp_path)).withColumnRenamed("patient_id", "patient.id")
    scored = corvane.spark.score(sdf, ["hf", "ascvd"], keep=["patient.id", "note"])
    assert spark.sparkContext.pythonExec == sys.executable
    assert [(f.name, f.dataType.simpleString()) for f in scored.schema.fields] == [
        ("patient.id", "bigint"), ("note", "string"), ("hf_10yr", "double"),
        ("ascvd_10yr", "double"), ("hf_30yr", "double"), ("ascvd_30yr", "double"),
        ("error", "string"),
    ]
    got = scored.toArrow().to_pandas().sort_values("patient.id", ignore_index=True)
    expected = score_batch(whole, ["hf", "ascvd"], keep=["patient.id", "note"])
    assert_same_scores(canonical_nan(got), canonical_nan(expected))


# Spark SQL for a kept column of each kind, from the row number i; row 1 is null.
KEPT_KINDS = {
    # Hours apart across New York's spring change: a shift by the zone shows.
    "timestamp": "timestamp_micros(1710050400123456 + i * 3600000000)",
    # A wall-clock time New York skips: a trip through local time would move it.
    "timestamp_ntz": "to_timestamp_ntz('2024-03-10 02:30:00.123456') + make_dt_interval(0, i)",
    "date": "date_add(date'1969-12-31', i)",
    "decimal(5,2)": "cast(-123.45 + i as decimal(5,2))",
    "decimal(38,18)": "cast('12345678901234567890.123456789012345678' as decimal(38,18)) + i",
    "binary": "unhex(concat('00FF0', cast(i as string)))",
    "boolean": "i % 2 = 0",
    "array": "array(i, null, i + 1)",
    "struct": "named_struct('at', timestamp_micros(i), 'dose', cast(i / 8 as decimal(9,3)),"
    " 'tags', array('a', null))",
    "map": "map('k', array(cast(i as double)), 'n', cast(null as array<double>))",
}


@pytest.mark.parametrize("kind", KEPT_KINDS)
def test_kept_column_keeps_its_spark_type_and_values(spark, kind):
    """Catches a kept timestamp failing at the call and a null struct failing a cast in the
    task: each kind comes back with its Spark type and values, nulls and row order included,
    beside unchanged risks."""
    whole = cohort(4, 2)
    zone = spark.conf.get("spark.sql.session.timeZone")
    spark.conf.set("spark.sql.session.timeZone", "America/New_York")
    try:
        sdf = (
            spark.createDataFrame(whole)
            .withColumn("i", (F.col("patient_id") % 4).cast("int"))
            .withColumn("kept", F.expr(f"if(i = 1, null, {KEPT_KINDS[kind]})"))
        )
        scored = corvane.spark.score(sdf, keep=["patient_id", "kept"])
        assert scored.schema["kept"] == sdf.schema["kept"]
        got = scored.toArrow()
        expected = sdf.select("kept").toArrow().column("kept")
    finally:
        spark.conf.set("spark.sql.session.timeZone", zone)
    assert got.column("kept").type == expected.type
    assert got.column("kept").to_pylist() == expected.to_pylist()
    assert got.column("kept").null_count == 1
    assert_same_scores(
        canonical_nan(got.drop_columns("kept").to_pandas()),
        canonical_nan(score_batch(whole, keep=["patient_id"])),
    )


@pytest.mark.parametrize(
    "make, keep, error, text",
    [
        (lambda spark: pd.DataFrame(), (), TypeError,
         "sdf must be a Spark DataFrame, not DataFrame"),
        (lambda spark: spark.createDataFrame(cohort(3, 1).drop(columns="note")).select("sex"),
         (), ValueError, "age"),
        # Spark cannot put this kind in an Arrow batch: say so now, not inside a task.
        (lambda spark: spark.createDataFrame(cohort(3, 1)).withColumn(
            "span", F.expr("INTERVAL '1-2' YEAR TO MONTH")),
         ["span"], TypeError,
         "column 'span' of type interval year to month cannot travel in Arrow batches"),
    ],
)
def test_mistakes_raise_at_the_call(spark, make, keep, error, text):
    with pytest.raises(error, match=text):
        corvane.spark.score(make(spark), keep=keep)


def test_sql_functions_equal_score_of_the_same_cells(spark):
    """Catches a cell Spark or pandas converted before the rule read it, and a batch's scores
    given to another by the compute-once cache: each function in one query, bit for bit."""
    frame = cohort(6000, 5)
    frame.columns = ["patient_id", *corvane.INPUT_COLUMNS, "note"]
    # A text column: a NaN becomes "nan", a missing value by the rule; some cells spaced.
    frame["bmi"] = frame["bmi"].astype(str).where(frame.index % 7 != 0, " 27.5 ")
    spark.createDataFrame(frame).repartition(3).createOrReplaceTempView("sql_cohort")
    corvane.spark.register(spark)
    inputs = ", ".join(corvane.INPUT_COLUMNS)
    items = ", ".join(f"{f}({inputs}) AS {c}" for f, c in SQL_FUNCTIONS)
    got = spark.sql(f"SELECT patient_id, {items} FROM sql_cohort").toArrow()
    cells = spark.table("sql_cohort").toArrow()
    expected = corvane.score(cells, keep=["patient_id"])
    order = [pa.compute.sort_indices(t.column("patient_id")) for t in (got, expected)]
    got, expected = got.take(order[0]), expected.take(order[1])
    assert expected.column("error").null_count < len(frame) - 100
    for name in expected.column_names:
        a, b = got.column(name), expected.column(name)
        assert a.is_null().equals(b.is_null()), name
        if name in ("error", "patient_id"):
            assert a.to_pylist() == b.to_pylist(), name
        else:
            bits = [x.fill_null(0).to_numpy().view(np.uint64) for x in (a, b)]
            assert np.array_equal(*bits), name


def test_sql_register_checks_its_options_at_once(spark):
    with pytest.raises(ValueError, match="cholesterol_unit"):
        corvane.spark.register(spark, cholesterol_unit="mmol")
