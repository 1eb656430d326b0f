"""The cohort report of a table in memory: the table read and scored by the tables layer, its
numbers gathered by the report's own layer. ``corvane.report`` is the way in."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import polars as pl

from ._names import cholesterol_in_mmol, resolve_models
from ._engine import STATUS_TEXTS, STATUS_TEXTS_MMOL
from ._report import Cohort, Report, report_options, version
from .tables import score_pass

__all__ = ["check_min_cell", "report_of_table"]


def report_of_table(
    table: Any,
    outcomes: Iterable[str] | str,
    horizons: Iterable[int] | int,
    *,
    by: Sequence[str] | str = (),
    min_cell: int | None = None,
    cholesterol_unit: str = "mg/dL",
    columns: Mapping[str, str] | None = None,
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
) -> Report:
    """``corvane.report`` of ``table``; see there."""
    models = resolve_models(outcomes, horizons)
    mmol = cholesterol_in_mmol(cholesterol_unit)
    by = [by] if isinstance(by, str) else list(by)
    check_min_cell(min_cell)
    try:
        source, done = score_pass(table, models, mmol, columns=columns, codes=codes,
                                         keep=by, values=("sex", "age"))
    except ValueError as e:  # the columns to break down by are carried as kept ones
        if str(e).startswith("keep:"):
            raise ValueError("by:" + str(e).removeprefix("keep:")) from None
        raise
    cohort = Cohort(models, STATUS_TEXTS_MMOL if mmol else STATUS_TEXTS, source.labels, by,
                    min_cell)
    cohort.add(done.risks, done.errors, np.asarray(done.missing_bits), done.values["sex"],
               done.values["age"], [_text(name, column) for name, column in source.kept])
    options = report_options(models, cholesterol_unit, columns, codes, by, min_cell)
    return Report(cohort.data(_KINDS[source.kind], options, version()))


_KINDS = {"pandas": "a pandas DataFrame", "polars": "a polars DataFrame",
          "arrow": "an Arrow table", "mapping": "a mapping of columns"}


def check_min_cell(min_cell: Any) -> None:
    if min_cell is not None and (
        isinstance(min_cell, bool) or not isinstance(min_cell, int) or min_cell < 2
    ):
        raise ValueError(f"min_cell must be a whole number of at least 2, or None, not {min_cell!r}")


def _text(name: str, column: Any) -> pl.Series:
    """A carried column of any kind as polars text, missing values as null."""
    if isinstance(column, pl.Series):
        return column.cast(pl.String)
    if hasattr(column, "__arrow_c_array__") or hasattr(column, "__arrow_c_stream__"):
        return pl.Series(str(name), column).cast(pl.String)
    values = np.asarray(getattr(column, "array", column), dtype=object)
    texts = [None if _missing(v) else str(v) for v in values]
    return pl.Series(name, texts, dtype=pl.String)


def _missing(value: Any) -> bool:
    if value is None:
        return True
    try:
        return bool(value != value)  # NaN, NaT, pd.NA
    except (TypeError, ValueError):
        return False
