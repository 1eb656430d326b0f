"""Score a Dask DataFrame partition by partition, lazily.

    import dask.dataframe as dd
    import corvane.dask

    ddf = dd.read_parquet("cohort/")
    scored = corvane.dask.score(ddf, keep=["patient_id"])  # nothing runs yet
    scored.to_parquet("scored/")

Each partition is scored by ``corvane.score`` in the worker that holds it, so the rows
put together equal ``corvane.score`` of the whole table bit for bit. On a
``dask.distributed`` worker the native pool gets as many threads as the worker has
(``nthreads``), not one per processor of the machine, unless ``RAYON_NUM_THREADS`` or
``RAYON_RS_NUM_CPUS`` is set in the worker's environment.

Needs ``pip install "corvane[dask]"``.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from . import HORIZONS, OUTCOMES
from ._optional import require
from .batches import keep_columns, score_batch, size_native_pool, used_columns

# Checked first, so a missing one is a line naming the extra; then imported as usual, for
# the annotations.
require("pandas", "dask", "corvane.dask")
require("dask.dataframe", "dask", "corvane.dask")
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402

__all__ = ["score"]

#: The dtype of ``error`` in every partition: Dask's own text type, the same under pandas 2
#: and 3, which ``to_parquet`` writes as a string column (an object column it cannot).
TEXT = pd.StringDtype("pyarrow")


def score(
    ddf: dd.DataFrame,
    outcomes: Iterable[str] | str = OUTCOMES,
    horizons: Iterable[int] | int = HORIZONS,
    *,
    keep: Sequence[str] | str = (),
    cholesterol_unit: str = "mg/dL",
    columns: Mapping[str, str] | None = None,
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
) -> dd.DataFrame:
    """A lazy Dask DataFrame of the ``keep`` columns, the risk columns and ``error``.

    Arguments and options are those of ``corvane.score``; ``keep`` names columns of ``ddf`` to carry
    over unchanged (a patient id, say). Partitions and index are those of ``ddf``. Column
    names, outcomes, horizons and the unit are checked now, on ``ddf``'s metadata, so a
    mistake raises here rather than in a worker. Only the input and ``keep`` columns are
    read.

    The result's ``meta`` comes from corvane, so every partition has the same dtypes,
    whatever it holds: float64 risks, NaN where refused, and ``error`` as ``TEXT``
    (``string[pyarrow]``), missing where every requested model scored.
    """
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"ddf must be a Dask DataFrame, not {type(ddf).__name__}")
    kwargs = dict(
        outcomes=outcomes,
        horizons=horizons,
        keep=keep_columns(keep, list(ddf.columns)),
        cholesterol_unit=cholesterol_unit,
        columns=columns,
        codes=codes,
    )
    meta = score_batch(ddf._meta, **kwargs)
    meta["error"] = meta["error"].astype(TEXT)
    used = used_columns(list(ddf.columns), kwargs["keep"], columns)
    return ddf[used].map_partitions(
        _score_partition, **kwargs, meta=meta, dtypes=meta.dtypes.to_dict(), align_dataframes=False
    )


def _score_partition(
    partition: pd.DataFrame, *, dtypes: dict[str, Any], **kwargs: Any
) -> pd.DataFrame:
    _size_pool_for_worker()
    scored = score_batch(partition, **kwargs)
    # error becomes TEXT here; anything else that differs from meta is cast to it too.
    drift = {c: t for c, t in dtypes.items() if c not in kwargs["keep"] and scored[c].dtype != t}
    return scored.astype(drift) if drift else scored


def _size_pool_for_worker() -> None:
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):  # the threaded or synchronous scheduler
        return
    size_native_pool(worker.state.nthreads)
