"""The engine's pass as a table of the input's kind.

Risk columns are float64 in every kind; a refused risk is NaN in NumPy and pandas and null in
polars and Arrow. ``error`` is an object column of str/None in pandas and NumPy and a string
column in polars and Arrow, whatever the rows hold, so partitions of one table always agree.
Texts are made from the engine's codes once, here; nothing is parsed back from them.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from .._engine import STATUS_TEXTS, STATUS_TEXTS_MMOL, Pass, texts_of_codes
from .._names import error_texts, risk_column, shared
from ._read import Table


class Scores(dict[str, np.ndarray]):
    """The result of :func:`corvane.score` for a mapping or a structured array: a dict of
    equally long columns, in row order.

    Keys are the ``keep`` columns as given, then the risk columns, by horizon and then outcome
    in the order asked for (``"cvd_10yr"``, ``"ascvd_10yr"``, ... as named by
    :func:`risk_column`), then ``"error"``:

    - each risk column is a float64 array of percentages, NaN where the row was refused;
    - ``"error"`` is an object array holding, per row, why some risk is missing, or None
      when every requested risk was computed. When all refused models agree, this is the
      message alone; otherwise each horizon's message is prefixed, as in
      ``"30-year: Age must be between 30 and 59"``.

    ``messages`` maps each risk column to an object array with the exact reason for each
    refused row of that model and None elsewhere. For a range problem the reason is the
    message the scalar function raises (e.g. ``"BMI must be between 18.5 and 39.9"``);
    for a missing or unreadable value it names the column (``"age: missing value"``).
    """

    messages: dict[str, np.ndarray]

    def __init__(self) -> None:
        super().__init__()
        self.messages = {}


Scores.__module__ = "corvane"  # shown, and pickled, as the package's own


def status_texts(mmol: bool) -> list[str | None]:
    """The refusal text of each status code; in mmol/L the cholesterol ranges say both units."""
    return [shared(t) for t in (STATUS_TEXTS_MMOL if mmol else STATUS_TEXTS)]


def build(table: Table, done: Pass, models: Sequence[tuple[str, int]], mmol: bool) -> Any:
    """The result of the table's kind."""
    names = [risk_column(o, h) for o, h in models]
    horizons = list(dict.fromkeys(h for _, h in models))
    code_texts = error_texts(horizons, status_texts(mmol))
    rows = np.asarray(done.unreadable_rows).astype(np.intp, copy=False)
    # fromiter: np.array would look into every text for a nested sequence.
    reasons = np.fromiter(done.reasons, dtype=object, count=len(done.reasons))
    if table.kind in ("mapping", "pandas", "patient"):
        error = texts_of_codes(done.errors, code_texts)
        error[rows] = reasons
        if table.kind == "pandas":
            return _pandas(table, names, done.risks, error)
        if table.kind == "patient":
            return _patient(table, names, done.risks, error)
        result = Scores()
        for name, column in table.kept:
            result[name] = column
        result.update(zip(names, done.risks))
        result["error"] = error
        if done.statuses is not None:
            texts = status_texts(mmol)
            for k, name in enumerate(names):
                result.messages[name] = texts_of_codes(done.statuses[k], texts)
                result.messages[name][rows] = reasons
        return result
    frame = _polars(names, done.risks, done.errors, code_texts, rows, done.reasons)
    if table.kind == "polars":
        if table.kept:
            import polars as pl

            kept = pl.DataFrame([column for _, column in table.kept])
            frame = pl.concat([kept, frame], how="horizontal")
        return frame
    import pyarrow as pa

    schema = pa.schema([(name, pa.float64()) for name in names] + [("error", pa.string())])
    result = frame.to_arrow().cast(schema)
    for i, (field, column) in enumerate(table.kept):
        result = result.add_column(i, field, column)
    if table.kind == "duckdb":
        return _duckdb(table.relation, result)
    return result


def _duckdb(relation: Any, scores: Any) -> Any:
    """The scores as a relation on ``relation``'s connection.

    A relation does not give its connection away, but its ``query`` runs on it, and DuckDB
    finds a Python variable named in a query in the frames of the caller: so the scores are a
    local variable here, one that a table of the user's would hardly shadow, and read by its
    name; the relation keeps them for as long as it lives.
    """
    import duckdb

    corvane_scores_of_relation = scores  # noqa: F841 - read by DuckDB, by its name
    try:
        result = relation.query("corvane_input", "SELECT * FROM corvane_scores_of_relation")
    except duckdb.CatalogException:
        result = None
    if result is None or result.columns != scores.column_names:
        raise ValueError(
            "corvane.score of a DuckDB relation reads its result back through the connection's"
            " python_enable_replacements setting, which is off, or a table named"
            " corvane_scores_of_relation hides it; register the SQL functions instead:"
            " corvane.duckdb.register(con)"
        )
    return result


def _pandas(table: Table, names: list[str], risks: list[np.ndarray], error: np.ndarray) -> Any:
    import pandas as pd

    # Built directly: each model's risks become a column without a copy, and the error stays an
    # object column of str/None. Kept columns go in as arrays: by position, whatever the index
    # holds (a repeated label would not align).
    data: dict[Any, Any] = {name: column.array for name, column in table.kept}
    data.update(zip(names, risks))
    frame = pd.DataFrame(data, index=table.index, copy=False)
    frame["error"] = pd.Series(error, index=frame.index, dtype=object, copy=False)
    return frame


def _patient(table: Table, names: list[str], risks: list[np.ndarray], error: np.ndarray) -> dict:
    """The one row as a plain dict: kept values as given, risks as floats (None where refused)."""
    result = {name: column[0] for name, column in table.kept}
    for name, column in zip(names, risks):
        risk = float(column[0])
        result[name] = None if math.isnan(risk) else risk
    result["error"] = error[0]
    return result


def _polars(names, risks, errors, code_texts, rows, reasons) -> Any:
    """The scores as a polars DataFrame; Arrow results are built from it too, as pyarrow's own
    conversion of NumPy or Python values imports pandas, which costs more than a large batch."""
    import polars as pl

    # The error column is gathered from the texts of the codes, in polars: no Python object
    # per row.
    error = pl.Series("error", code_texts, pl.String).gather(pl.Series(errors))
    if len(rows):
        error = error.scatter(rows, pl.Series(reasons, dtype=pl.String))
    return pl.DataFrame(
        [pl.Series(name, r, nan_to_null=True) for name, r in zip(names, risks)] + [error]
    )
