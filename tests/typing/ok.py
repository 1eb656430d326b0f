"""A typed user's script: each result goes to a variable of the type its table's kind should
give, so a checker fails here when an overload returns the wrong type or none matches. Run
as a script, it checks that each call returns what its type says."""
# pyright: strict

import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa

import corvane

INPUTS = (
    "sex", "age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "has_diabetes",
    "current_smoker", "bmi", "egfr", "on_htn_meds", "on_cholesterol_meds",
)
VALUES: tuple[str | float, ...] = ("female", 55, 213.0, 50.0, 120.0, 0, 0, 27.0, 90.0, 0, 0)
COLUMNS: dict[str, list[str | float]] = {n: [v, v] for n, v in zip(INPUTS, VALUES)}


def same_kind(value: object, kind: type[object]) -> None:
    assert isinstance(value, kind), (type(value), kind)


frame = pd.DataFrame(COLUMNS)
pandas_scores: pd.DataFrame = corvane.score(frame, "cvd", 10, keep=["age"])
same_kind(pandas_scores, pd.DataFrame)

polars_scores: pl.DataFrame = corvane.score(pl.from_pandas(frame), ["cvd", "hf"], [10, 30])
same_kind(polars_scores, pl.DataFrame)

arrow = pa.Table.from_pandas(frame)
arrow_scores: pa.Table = corvane.score(arrow, cholesterol_unit="mmol/L")
same_kind(arrow_scores, pa.Table)
batch_scores: pa.Table = corvane.score(arrow.to_batches()[0])
same_kind(batch_scores, pa.Table)
reader = pa.RecordBatchReader.from_batches(arrow.schema, arrow.to_batches())
stream_scores: pa.Table = corvane.score(reader)
same_kind(stream_scores, pa.Table)

relation = duckdb.connect().from_arrow(arrow)
relation_scores: duckdb.DuckDBPyRelation = corvane.score(relation)
same_kind(relation_scores, duckdb.DuckDBPyRelation)

# A mapping of columns, however they are held.
listed: corvane.Scores = corvane.score(COLUMNS)
same_kind(listed, corvane.Scores)
arrays: corvane.Scores = corvane.score({n: np.asarray(c) for n, c in COLUMNS.items()})
same_kind(arrays, corvane.Scores)
series: corvane.Scores = corvane.score({str(n): frame[n] for n in frame.columns})
same_kind(series, corvane.Scores)
risks: np.ndarray = listed["cvd_10yr"]

# One patient: a literal, texts included, and a mapping of one value per input.
patient: dict[str, float | str | None] = corvane.score({
    "sex": "female", "age": 62, "total_cholesterol": 213, "hdl_cholesterol": 50,
    "systolic_bp": 120, "has_diabetes": "no", "current_smoker": False, "bmi": 27,
    "egfr": np.float64(90), "on_htn_meds": 0, "on_cholesterol_meds": None,
}, outcomes="hf")
same_kind(patient, dict)
row: dict[str, str | float] = dict(zip(INPUTS, VALUES))
one: dict[str, float | str | None] = corvane.score(row)
same_kind(one, dict)

unit: corvane.CholesterolUnit = "mg/dL"
outcomes: list[corvane.Outcome] = ["ascvd"]
horizon: corvane.Horizon = 30
renamed: corvane.Columns = {"sex": "SEX"}
codes: corvane.Codes = {"SEX": {1: "female", 2: "male"}}
coded = frame.rename(columns={"sex": "SEX"}).assign(SEX=[1, 2])
coded_scores: pd.DataFrame = corvane.score(
    coded, outcomes, horizon, cholesterol_unit=unit, columns=renamed, codes={"sex": codes["SEX"]}
)
same_kind(coded_scores, pd.DataFrame)

report: corvane.Report = corvane.report(frame, min_cell=5, by="sex")
summary: dict[str, object] = report.to_dict()
