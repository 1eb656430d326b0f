"""Cardiovascular risk for whole cohorts, on the native columnar engine of ``_corvane``.

``score(table)`` takes the eleven inputs as named columns of a pandas or polars DataFrame, an
Arrow table, a mapping of columns or a NumPy structured array, and returns, in the same kind
of table, one risk column (a percentage) per outcome and horizon plus, for every row a model
refuses, the exact reason. The command ``corvane score`` does the same for CSV files.

Outcomes: ``"cvd"`` (total cardiovascular disease), ``"ascvd"`` (atherosclerotic
cardiovascular disease) and ``"hf"`` (heart failure). Horizons: 10 and 30 years; the
30-year equations apply to ages 30 to 59 only.

Reading a row is stricter than the batch functions: sex must be male/female (any case)
or 1/0, each flag 0/1, true/false or yes/no (any case), and every value must be present
and readable. Anything else refuses the row with a reason naming the column, where the
batch functions would read it as female, true or NaN.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

# narwhals reads dataframes for score(); it does not import NumPy or any dataframe library.
# Imported here, not on the first call: imported on the first call, every later score() of a
# pandas frame ran about 10% slower in our measurements, though the calls themselves do the
# same work; the command pays 15 ms for it.
import narwhals as _narwhals  # noqa: F401

from . import _names
from ._names import HORIZONS, INPUT_COLUMNS, OUTCOMES, Horizon, Outcome, risk_column

if TYPE_CHECKING:
    from ._scoring import Scores

__all__ = [
    "HORIZONS",
    "INPUT_COLUMNS",
    "OUTCOMES",
    "Scores",
    "risk_column",
    "score",
]


def score(
    table: Any,
    outcomes: Iterable[Outcome] | Outcome = OUTCOMES,
    horizons: Iterable[Horizon] | Horizon = HORIZONS,
    *,
    cholesterol_unit: str = "mg/dL",
) -> Any:
    """Score every row of ``table`` for the chosen outcomes and horizons.

    ``table`` is a pandas DataFrame (any index; NumPy, nullable, categorical or Arrow-backed
    columns), a polars DataFrame, a pyarrow Table or RecordBatch, any object with
    ``__arrow_c_stream__``, a mapping of column name to a sequence or 1-D array (a masked
    array's masked entries are missing values), or a NumPy structured array. Column names
    match after stripping spaces and ignoring case; other columns are ignored. It needs:

    - ``sex``: ``"male"``/``"female"`` in any case, or 1/0 (1 is male);
    - ``age``, ``total_cholesterol``, ``hdl_cholesterol``, ``systolic_bp``, ``bmi``,
      ``egfr``: numbers, or text that reads as a number;
    - ``has_diabetes``, ``current_smoker``, ``on_htn_meds``, ``on_cholesterol_meds``:
      booleans, 0/1, or ``"true"``/``"false"``/``"yes"``/``"no"`` in any case.

    Cholesterol is in mg/dL, or in mmol/L with ``cholesterol_unit="mmol/L"`` (converted
    with the equations' factor, 0.02586 mmol/L per mg/dL, before the range checks).

    The result is of the input's kind: a pandas DataFrame with the input's index, a polars
    DataFrame, a pyarrow Table (also for other Arrow streams), or :class:`Scores` for a
    mapping or structured array. Its columns are the risks by horizon then outcome
    (``cvd_10yr``, ``ascvd_10yr``, ``hf_10yr``, ``cvd_30yr``, ...), then ``error``. A refused
    risk is NaN (NumPy, pandas) or null (polars, Arrow); ``error`` is None/null where every
    requested model scored, else the reason: the scalar function's message, or for a
    missing or unreadable value one naming the column (``"age: missing value"``).

    Raises ValueError for a missing or repeated column, columns of different lengths, or an
    unknown outcome, horizon or unit; TypeError for a table or column of a kind it cannot
    read, and for a lazy or distributed frame (collect it, or use ``corvane.dask``).

    >>> s = score({"sex": ["female"], "age": [55], "total_cholesterol": [213],
    ...            "hdl_cholesterol": [50], "systolic_bp": [120], "has_diabetes": [0],
    ...            "current_smoker": [0], "bmi": [27], "egfr": [90], "on_htn_meds": [0],
    ...            "on_cholesterol_meds": [0]}, outcomes="cvd", horizons=10)
    >>> list(s), s["error"].tolist()
    (['cvd_10yr', 'error'], [None])
    """
    models = _names.resolve_models(outcomes, horizons)
    mmol = _names.cholesterol_in_mmol(cholesterol_unit)
    # Imported on first use: NumPy and the table readers cost more than the command's start.
    from . import _columns, _results

    source = _columns.read_table(table)
    if source.frame is None:
        return _results.as_scores(source, models, mmol)
    return _results.as_frame(source, models, mmol)


def __getattr__(name: str) -> Any:
    if name == "Scores":
        from ._scoring import Scores

        return Scores
    if name == "__version__":
        from importlib.metadata import version

        return version("corvane")
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")
