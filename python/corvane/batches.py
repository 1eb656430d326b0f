"""Score one batch of a larger table: the function every distributed helper maps.

``corvane.dask`` runs :func:`score_batch` on each partition and ``corvane.spark`` on each
Arrow batch; a Ray dataset takes it as it is::

    ds.map_batches(score_batch, batch_format="pyarrow", fn_kwargs={"keep": ["patient_id"]})

A batch's result is ``corvane.score`` of the batch with the ``keep`` columns in front, so
the rows of every batch put together equal ``corvane.score`` of the whole table, bit for bit.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable, Sequence
from typing import Any

import _corvane

import corvane

from . import HORIZONS, OUTCOMES, risk_column

#: The variables the native pool reads, once, when it starts.
POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")

_pool_lock = threading.Lock()
_pool_sized = False


def score_batch(
    batch: Any,
    outcomes: Iterable[str] | str = OUTCOMES,
    horizons: Iterable[int] | int = HORIZONS,
    *,
    keep: Sequence[str] | str = (),
    cholesterol_unit: str = "mg/dL",
) -> Any:
    """``corvane.score(batch, ...)`` with the ``keep`` columns of ``batch`` in front.

    ``batch`` is a pandas DataFrame (the result keeps its index) or a pyarrow Table or
    RecordBatch (the result is a Table). ``keep`` names columns to carry over as they are,
    such as a patient id; a name must match exactly and must not be one of the output
    columns.

    >>> import pandas as pd
    >>> row = dict(sex="female", age=55, total_cholesterol=213, hdl_cholesterol=50,
    ...            systolic_bp=120, has_diabetes=0, current_smoker=0, bmi=27, egfr=90,
    ...            on_htn_meds=0, on_cholesterol_meds=0)
    >>> list(score_batch(pd.DataFrame([dict(row, id=7)]), "cvd", 10, keep="id").columns)
    ['id', 'cvd_10yr', 'error']
    """
    keep = keep_columns(keep, _column_names(batch))
    scored = corvane.score(batch, outcomes, horizons, cholesterol_unit=cholesterol_unit)
    if isinstance(scored, corvane.Scores):  # structured arrays and mappings
        raise TypeError(
            f"a batch must be a pandas DataFrame or a pyarrow Table, not {type(batch).__name__}"
        )
    if hasattr(scored, "iloc"):  # pandas
        for i, name in enumerate(keep):
            scored.insert(i, name, batch[name])
        return scored
    for i, name in enumerate(keep):
        scored = scored.add_column(i, batch.schema.field(name), batch.column(name))
    return scored


def keep_columns(keep: Sequence[str] | str, found: Sequence[Any]) -> list[str]:
    """``keep`` as a list, checked against the columns ``found`` and the output's names."""
    keep = [keep] if isinstance(keep, str) else list(keep)
    missing = [name for name in keep if name not in found]
    if missing:
        raise ValueError(
            f"keep: no column {', '.join(map(repr, missing))}"
            f" (found: {', '.join(map(str, found))})"
        )
    outputs = {"error"} | {risk_column(o, h) for o in OUTCOMES for h in HORIZONS}
    clash = [name for name in keep if name in outputs]
    if clash:
        raise ValueError(f"keep: {', '.join(map(repr, clash))} is an output column's name")
    if len(set(keep)) != len(keep):
        raise ValueError("keep: a column is named twice")
    return keep


def size_native_pool(threads: int) -> None:
    """Start this process's native pool with ``threads`` workers, unless it runs already.

    A variable of ``POOL_VARIABLES`` set by the user wins. The pool reads them once, when
    it starts; the value set here is removed again so nothing else in the process sees it.
    """
    global _pool_sized
    with _pool_lock:
        if _pool_sized:
            return
        _pool_sized = True
        if any(name in os.environ for name in POOL_VARIABLES):
            return
        os.environ[POOL_VARIABLES[0]] = str(max(1, int(threads)))
        try:
            _corvane._worker_count()  # starts the pool
        finally:
            del os.environ[POOL_VARIABLES[0]]


def _column_names(batch: Any) -> list[Any]:
    names = getattr(batch, "column_names", None)  # pyarrow
    return list(batch.columns if names is None else names)
