"""Cardiovascular risk for whole cohorts, on the native columnar engine of ``_corvane``.

``score(table)`` takes the eleven inputs as named columns of a pandas or polars DataFrame, an
Arrow table, a mapping of columns or a NumPy structured array, and returns, in the same kind
of table, one risk column (a percentage) per outcome and horizon plus, for every row a model
refuses, the exact reason. The command ``corvane score`` does the same for CSV and Parquet files.

Outcomes: ``"cvd"`` (total cardiovascular disease), ``"ascvd"`` (atherosclerotic
cardiovascular disease) and ``"hf"`` (heart failure). Horizons: 10 and 30 years; the
30-year equations apply to ages 30 to 59 only.

Reading a row is stricter than the batch functions: sex must be male/female (any case)
or 1/0, each flag 0/1, true/false or yes/no (any case), and every value must be present
and readable. Anything else refuses the row with a reason naming the column, where the
batch functions would read it as female, true or NaN.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence, Sized
from typing import TYPE_CHECKING, Any, overload

# narwhals reads dataframes for score(); it does not import NumPy or any dataframe library.
# Imported here, not on the first call: imported on the first call, every later score() of a
# pandas frame ran about 10% slower in our measurements, though the calls themselves do the
# same work; the command pays 15 ms for it.
import narwhals as _narwhals  # noqa: F401

from . import _names
from ._names import (
    HORIZONS,
    INPUT_COLUMNS,
    OUTCOMES,
    CholesterolUnit,
    Codes,
    Columns,
    Horizon,
    Outcome,
    risk_column,
)

if TYPE_CHECKING:
    from pathlib import Path

    import duckdb
    import numpy as np
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    from ._names import ArrowStream, Cell
    from ._report import Report
    from .tables import Scores

    type _Outcomes = Iterable[Outcome] | Outcome
    type _Horizons = Iterable[Horizon] | Horizon
    type _Keep = Sequence[Any] | str
    type _Patient = dict[str, float | str | None]

__all__ = [
    "HORIZONS",
    "INPUT_COLUMNS",
    "OUTCOMES",
    "CholesterolUnit",
    "Codes",
    "Columns",
    "Horizon",
    "Outcome",
    "Report",
    "Scores",
    "report",
    "risk_column",
    "sample_cohort",
    "score",
]


# The result is of the table's kind. A checker reads a type from a library that is missing
# (or, like pyarrow, ships no types) as Any, and an overload taking Any wins every call below
# it: so the kinds from optional libraries come last. The checkers warn of overlaps that are
# meant: a text is sized too, and the patient's overload, first, wins for it; dataframes are
# Arrow streams too, and their own overloads, first, win for them.
@overload
def score(  # pyright: ignore[reportOverlappingOverload]
    table: pl.DataFrame, outcomes: _Outcomes = ..., horizons: _Horizons = ..., *,
    cholesterol_unit: CholesterolUnit = ..., columns: Columns | None = ...,
    codes: Codes | None = ..., keep: _Keep = ...,
) -> pl.DataFrame: ...
@overload
def score(  # type: ignore[overload-overlap]
    table: Mapping[str, Cell], outcomes: _Outcomes = ..., horizons: _Horizons = ..., *,
    cholesterol_unit: CholesterolUnit = ..., columns: Columns | None = ...,
    codes: Codes | None = ..., keep: _Keep = ...,
) -> _Patient: ...
@overload
def score(
    table: Mapping[str, Sized], outcomes: _Outcomes = ..., horizons: _Horizons = ..., *,
    cholesterol_unit: CholesterolUnit = ..., columns: Columns | None = ...,
    codes: Codes | None = ..., keep: _Keep = ...,
) -> Scores: ...
@overload
def score(
    table: Mapping[str, object], outcomes: _Outcomes = ..., horizons: _Horizons = ..., *,
    cholesterol_unit: CholesterolUnit = ..., columns: Columns | None = ...,
    codes: Codes | None = ..., keep: _Keep = ...,
) -> Scores | _Patient: ...
@overload
def score(
    table: np.ndarray[Any, Any], outcomes: _Outcomes = ..., horizons: _Horizons = ..., *,
    cholesterol_unit: CholesterolUnit = ..., columns: Columns | None = ...,
    codes: Codes | None = ..., keep: _Keep = ...,
) -> Scores: ...
@overload
def score(
    table: pd.DataFrame, outcomes: _Outcomes = ..., horizons: _Horizons = ..., *,
    cholesterol_unit: CholesterolUnit = ..., columns: Columns | None = ...,
    codes: Codes | None = ..., keep: _Keep = ...,
) -> pd.DataFrame: ...
@overload
def score(
    table: duckdb.DuckDBPyRelation, outcomes: _Outcomes = ..., horizons: _Horizons = ..., *,
    cholesterol_unit: CholesterolUnit = ..., columns: Columns | None = ...,
    codes: Codes | None = ..., keep: _Keep = ...,
) -> duckdb.DuckDBPyRelation: ...
@overload
def score(
    table: pa.Table | pa.RecordBatch | ArrowStream, outcomes: _Outcomes = ...,
    horizons: _Horizons = ..., *, cholesterol_unit: CholesterolUnit = ...,
    columns: Columns | None = ..., codes: Codes | None = ..., keep: _Keep = ...,
) -> pa.Table: ...


def score(
    table: Any,
    outcomes: Iterable[Outcome] | Outcome = OUTCOMES,
    horizons: Iterable[Horizon] | Horizon = HORIZONS,
    *,
    cholesterol_unit: str = "mg/dL",
    columns: Mapping[str, str] | None = None,
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
    keep: Sequence[Any] | str = (),
) -> Any:
    """Score every row of ``table`` for the chosen outcomes and horizons.

    ``table`` is a pandas DataFrame (any index; NumPy, nullable, categorical, text or
    Arrow-backed columns), a polars DataFrame, a pyarrow Table or RecordBatch, any object with
    ``__arrow_c_stream__``, a mapping of column name to a sequence, 1-D array, Series or Arrow
    array (a masked array's masked entries are missing values), or a NumPy structured array.
    Column names match exactly, or else after stripping spaces and ignoring case; other
    columns are ignored. Every cell is read by one rule, the same on every path (the README's
    "Reading a cell"):

    - ``sex``: ``"male"``/``"female"`` in any case, or a number equal to 1 (male) or 0;
    - ``age``, ``total_cholesterol``, ``hdl_cholesterol``, ``systolic_bp``, ``bmi``,
      ``egfr``: numbers (float32 and float16 as the decimal they show, decimals exactly), or
      text such as ``" 51.5 "`` or ``"5.15e1"``;
    - ``has_diabetes``, ``current_smoker``, ``on_htn_meds``, ``on_cholesterol_meds``:
      booleans, a number equal to 0 or 1, or ``"true"``/``"false"``/``"yes"``/``"no"`` in
      any case;
    - missing: None, NaN, null, ``pd.NA``, blank text, "na", "n/a", "nan", "null", "none".

    Cholesterol is in mg/dL, or in mmol/L with ``cholesterol_unit="mmol/L"`` (converted
    with the equations' factor, 0.02586 mmol/L per mg/dL, before the range checks).
    ``columns`` maps an input to the table's column (``{"sex": "SEX_CODE"}``); ``codes`` maps
    an input to codes of its own (``{"sex": {1: "female", 2: "male"}}``,
    ``{"has_diabetes": {"Y": True, "N": False}}``): a code that reads as a number matches every
    cell equal to it, a text code matches ignoring case and spaces, and in a coded column a
    number that is not one of its codes is refused. ``keep`` names columns to carry into the
    result, before the risks, such as a patient id.

    A mapping whose inputs and ``keep`` keys each hold one value (a text, number, bool, None,
    ``Decimal``, NumPy scalar or ``pd.NA``) is one patient, read as a one-row table.

    The result is of the input's kind: a pandas DataFrame with the input's index, a polars
    DataFrame, a pyarrow Table (also for other Arrow streams), :class:`Scores` for a mapping
    of columns or a structured array, or for one patient a plain dict of the kept values, each
    risk as a float (None where refused) and ``error``. Its columns are the kept ones, the risks by horizon then
    outcome (``cvd_10yr``, ``ascvd_10yr``, ``hf_10yr``, ``cvd_30yr``, ...), then ``error``. A
    refused risk is NaN (NumPy, pandas) or null (polars, Arrow); ``error`` is None/null where
    every requested model scored, else the reason: the scalar function's message, or for a
    missing or unreadable cell one naming the column (``"age: missing value"``,
    ``"sex: 'x' is not male/female or 1/0"``).

    Raises ValueError for a missing or repeated column, columns of different lengths, a
    mapping that mixes single values and columns, or an unknown outcome, horizon, unit or
    option value; TypeError for a table or column of a kind
    it cannot read, and for a lazy or distributed frame (collect it, or use ``corvane.dask``).

    >>> s = score({"sex": ["female"], "age": [55], "total_cholesterol": [213],
    ...            "hdl_cholesterol": [50], "systolic_bp": [120], "has_diabetes": [0],
    ...            "current_smoker": [0], "bmi": [27], "egfr": [90], "on_htn_meds": [0],
    ...            "on_cholesterol_meds": [0]}, outcomes="cvd", horizons=10)
    >>> list(s), s["error"].tolist()
    (['cvd_10yr', 'error'], [None])
    >>> score({"sex": "female", "age": 62, "total_cholesterol": 213, "hdl_cholesterol": 50,
    ...        "systolic_bp": 120, "has_diabetes": "no", "current_smoker": 0, "bmi": 27,
    ...        "egfr": 90, "on_htn_meds": 0, "on_cholesterol_meds": 0}, outcomes="hf")
    {'hf_10yr': 2.126..., 'hf_30yr': None, 'error': '30-year: Age must be between 30 and 59'}
    """
    models = _names.resolve_models(outcomes, horizons)
    mmol = _names.cholesterol_in_mmol(cholesterol_unit)
    # Imported on first use: NumPy and the table readers cost more than the command's start.
    from . import tables

    return tables.score(table, models, mmol, columns=columns, codes=codes, keep=keep)


def report(
    table: Any,
    outcomes: Iterable[Outcome] | Outcome = OUTCOMES,
    horizons: Iterable[Horizon] | Horizon = HORIZONS,
    *,
    by: Sequence[str] | str = (),
    min_cell: int | None = None,
    cholesterol_unit: CholesterolUnit = "mg/dL",
    columns: Columns | None = None,
    codes: Codes | None = None,
) -> Report:
    """The cohort report of ``table``: what was read, scored and refused, the spread of each
    risk and its bands (< 5%, 5-7.5%, 7.5-20%, >= 20%), by sex, by age group and by each
    column named in ``by``, the refusal reasons and the completeness of each input.

    ``table`` and the options are those of :func:`score`. Only aggregates are reported; with
    ``min_cell``, counts from 1 to ``min_cell - 1`` are shown as ``"<min_cell"`` and what
    would reveal them is left out. The result's ``save(path)`` writes a self-contained HTML
    page, ``to_dict()`` gives every number as plain data, and a notebook shows it inline.
    """
    from .reporting import report_of_table

    return report_of_table(
        table, outcomes, horizons, by=by, min_cell=min_cell,
        cholesterol_unit=cholesterol_unit, columns=columns, codes=codes,
    )


def sample_cohort() -> Path:
    """The bundled synthetic cohort, a CSV file of 3,000 patients to try things on: a few of
    its rows are out of the models' ranges or unreadable on purpose, and one has a value too
    many."""
    from importlib import resources
    from pathlib import Path

    return Path(str(resources.files("corvane").joinpath("data", "sample_cohort.csv")))


def __getattr__(name: str) -> Any:
    if name == "Scores":
        from .tables import Scores

        return Scores
    if name == "Report":
        from ._report import Report

        return Report
    if name == "__version__":
        from importlib.metadata import version

        return version("corvane")
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")
