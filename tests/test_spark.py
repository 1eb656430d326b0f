"""corvane.spark on a local[2] Spark session (run by 'make spark-test', not by default)."""

import os
import sys

import numpy as np
import pandas as pd
import pytest

pytestmark = [
    pytest.mark.spark,
    pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning"),
]
pyspark = pytest.importorskip("pyspark")

import corvane.spark  # noqa: E402
from cohorts import assert_same_scores, cohort, write_cohort  # noqa: E402
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


@pytest.mark.parametrize(
    "make, error, text",
    [
        (lambda spark: pd.DataFrame(), TypeError, "sdf must be a Spark DataFrame, not DataFrame"),
        (lambda spark: spark.createDataFrame(cohort(3, 1).drop(columns="note")).select("sex"),
         ValueError, "age"),
    ],
)
def test_mistakes_raise_at_the_call(spark, make, error, text):
    with pytest.raises(error, match=text):
        corvane.spark.score(make(spark))
