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
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import corvane

from . import HORIZONS, OUTCOMES
from ._engine import worker_count
from ._names import keep_columns, pick_columns

__all__ = ["POOL_VARIABLES", "keep_columns", "score_batch", "size_native_pool", "used_columns"]

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
    columns: Mapping[str, str] | None = None,
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
) -> Any:
    """``corvane.score(batch, ...)`` of one batch, the ``keep`` columns in front.

    ``batch`` is a pandas DataFrame (the result keeps its index) or a pyarrow Table or
    RecordBatch (the result is a Table). The options are those of ``corvane.score``; ``keep``
    names columns to carry over as they are, such as a patient id; a name must match exactly
    and must not be one of the output columns.

    >>> import pandas as pd
    >>> row = dict(sex="female", age=55, total_cholesterol=213, hdl_cholesterol=50,
    ...            systolic_bp=120, has_diabetes=0, current_smoker=0, bmi=27, egfr=90,
    ...            on_htn_meds=0, on_cholesterol_meds=0)
    >>> list(score_batch(pd.DataFrame([dict(row, id=7)]), "cvd", 10, keep="id").columns)
    ['id', 'cvd_10yr', 'error']
    """
    if isinstance(batch, Mapping) or hasattr(getattr(batch, "dtype", None), "names"):
        raise TypeError(
            f"a batch must be a pandas DataFrame or a pyarrow Table, not {type(batch).__name__}"
        )
    return corvane.score(
        batch, outcomes, horizons, cholesterol_unit=cholesterol_unit, columns=columns,
        codes=codes, keep=keep,
    )


def used_columns(
    found: Sequence[Any], keep: Sequence[Any], columns: Mapping[str, str] | None
) -> list[Any]:
    """The columns of ``found`` a batch needs, in their order: the kept ones and the inputs'.
    Raises ValueError for a missing or repeated input column, as scoring would."""
    needed = {found[i] for i in pick_columns(found, columns)} | set(keep)
    return [c for c in found if c in needed]


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
            worker_count()  # starts the pool
        finally:
            del os.environ[POOL_VARIABLES[0]]
