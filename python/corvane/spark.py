"""Score a Spark DataFrame in Arrow batches.

    import corvane.spark

    sdf = spark.read.parquet("cohort/")
    scored = corvane.spark.score(sdf, keep=["patient_id"])  # lazy, like any transformation
    scored.write.parquet("scored/")

Each Arrow batch is scored by ``corvane.score`` in the executor's Python worker, so the
rows put together equal ``corvane.score`` of the whole table bit for bit. A refused risk is
null. Each Python worker's native pool gets as many threads as a task has cores
(``spark.task.cpus``, 1 by default), unless ``RAYON_NUM_THREADS`` or ``RAYON_RS_NUM_CPUS``
is set in the executors' environment.

With a local master and no ``PYSPARK_PYTHON``, the workers run this interpreter (the one
that has corvane), not whatever ``python3`` is first on the PATH. On a cluster, point
``PYSPARK_PYTHON`` at an interpreter that has corvane on every executor.

``register(spark)`` makes the risks SQL functions of the session, for ``spark.sql``:

    corvane.spark.register(spark)
    spark.sql("SELECT patient_id, corvane_cvd_10yr(sex, age, ..., on_cholesterol_meds) FROM cohort")

Needs ``pip install "corvane[spark]"`` and a Java runtime.
"""

from __future__ import annotations

import inspect
import os
import sys
import uuid
import warnings
from collections.abc import Iterable, Iterator, Mapping, Sequence
from functools import partial
from typing import Any

from . import HORIZONS, OUTCOMES
from ._names import SQL_FUNCTIONS, cholesterol_in_mmol
from .batches import keep_columns, score_batch, size_native_pool, used_columns
from .tables import argument_scorer

try:
    import pyarrow as pa
    from pyspark.sql import DataFrame, SparkSession
    from pyspark.sql.functions import col
    from pyspark.sql.pandas.types import from_arrow_schema, to_arrow_type
    from pyspark.sql.types import StructType
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError(
        'corvane.spark needs PySpark and pyarrow: pip install "corvane[spark]"'
    ) from e

__all__ = ["register", "score"]

# What pyspark calls the worker interpreter when nobody chose one.
_SPARK_DEFAULT_PYTHON = "python3"

_TYPES_TAKE_ZONE = "timezone" in inspect.signature(to_arrow_type).parameters


def score(
    sdf: DataFrame,
    outcomes: Iterable[str] | str = OUTCOMES,
    horizons: Iterable[int] | int = HORIZONS,
    *,
    keep: Sequence[str] | str = (),
    cholesterol_unit: str = "mg/dL",
    columns: Mapping[str, str] | None = None,
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
) -> DataFrame:
    """A Spark DataFrame of the ``keep`` columns, the risk columns and ``error``.

    Arguments and options are those of ``corvane.score``; ``keep`` names columns of ``sdf``
    to carry over unchanged (a patient id, say), of any type Spark puts in Arrow batches:
    timestamps, decimals, arrays, structs and maps among them (TypeError for one it cannot).
    Column names, outcomes, horizons and the unit are checked now, against ``sdf``'s schema,
    so a mistake raises here and not as a Java stack trace at the first action. Risks are
    doubles (null where refused), ``error`` a string (null where every requested model
    scored).
    """
    if not isinstance(sdf, DataFrame):
        raise TypeError(f"sdf must be a Spark DataFrame, not {type(sdf).__name__}")
    kwargs = dict(
        outcomes=outcomes,
        horizons=horizons,
        keep=keep_columns(keep, sdf.columns),
        cholesterol_unit=cholesterol_unit,
        columns=columns,
        codes=codes,
    )
    used = used_columns(sdf.columns, kwargs["keep"], columns)
    projected = sdf.select(*(col(_quoted(c)) for c in used))
    empty = _arrow_schema(projected.schema, _session_time_zone(sdf)).empty_table()
    produced = score_batch(empty, **kwargs).schema
    # A kept column is announced with the Spark type it came with: a round trip through
    # Arrow's types would lose what Arrow cannot say (a timestamp's kind, a field's comment).
    kept = {f.name: f for f in projected.schema.fields if f.name in kwargs["keep"]}
    schema = StructType(
        [
            kept[f.name] if f.name in kept else from_arrow_schema(pa.schema([f]))[0]
            for f in produced
        ]
    )
    _use_this_interpreter(sdf.sparkSession)
    # mapInArrow reads its input columns by name, unquoted, so a dot would be taken for a
    # struct field: the batches travel under plain names and get theirs back in the worker.
    plain = projected.select(*(col(_quoted(c)).alias(f"_{i}") for i, c in enumerate(used)))
    kwargs["names"] = used
    with warnings.catch_warnings():
        # Said of pandas 3 whatever the function does; this one never touches pandas.
        warnings.filterwarnings(
            "ignore", "PySpark does not yet fully support pandas", FutureWarning
        )
        return plain.mapInArrow(partial(_score_batches, schema=produced, **kwargs), schema)


def _score_batches(
    batches: Iterator[pa.RecordBatch], *, schema: pa.Schema, names: list[str], **kwargs: Any
) -> Iterator[pa.RecordBatch]:
    from pyspark import TaskContext

    context = TaskContext.get()
    size_native_pool(context.cpus() if context is not None else 1)
    for batch in batches:
        scored = score_batch(batch.rename_columns(names), **kwargs)
        # A kept column goes back as Spark sent it, never cast: Arrow refuses even a cast to
        # the same type when a null struct hides nulls in a field marked non-nullable.
        # The others are cast to the types announced.
        columns = [
            column if name in kwargs["keep"] else column.cast(schema.field(name).type)
            for name, column in zip(scored.column_names, scored.columns)
        ]
        yield from pa.table(columns, names=scored.column_names).to_batches()


def _arrow_schema(schema: StructType, time_zone: str) -> pa.Schema:
    """The Arrow schema of the batches Spark hands a worker for ``schema``; TypeError names a
    column Spark cannot hand over."""
    # A timestamp travels as UTC microseconds labelled with the session's time zone; PySpark
    # 3.5 labels it UTC itself and takes no zone.
    zone = {"timezone": time_zone} if _TYPES_TAKE_ZONE else {}
    fields = []
    for field in schema.fields:
        try:
            fields.append(pa.field(field.name, to_arrow_type(field.dataType, **zone)))
        except TypeError:
            raise TypeError(
                f"column {field.name!r} of type {field.dataType.simpleString()} cannot travel"
                " in Arrow batches"
            ) from None
    return pa.schema(fields)


def _session_time_zone(sdf: DataFrame) -> str:
    return sdf.sparkSession.conf.get("spark.sql.session.timeZone") or "UTC"


def _quoted(name: str) -> str:
    return "`" + name.replace("`", "``") + "`"


def _use_this_interpreter(spark: SparkSession) -> None:
    """Run a local master's Python workers on this interpreter unless the user chose one."""
    try:
        context = spark.sparkContext
    except Exception:  # noqa: BLE001 - Spark Connect has no context here; its server decides
        return
    if (
        "PYSPARK_PYTHON" not in os.environ
        and context.pythonExec == _SPARK_DEFAULT_PYTHON
        and context.master.startswith("local")
    ):
        context.pythonExec = sys.executable


def register(
    spark: SparkSession,
    *,
    cholesterol_unit: str = "mg/dL",
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
) -> None:
    """Register in ``spark`` the SQL functions ``corvane_cvd_10yr``, ``corvane_ascvd_10yr``,
    ``corvane_hf_10yr``, ``corvane_cvd_30yr``, ``corvane_ascvd_30yr``, ``corvane_hf_30yr``
    (double, null where the model refuses) and ``corvane_error`` (string: the reason
    ``corvane.score``'s ``error`` column gives for the six models, null where all six scored).

    Each takes the eleven inputs in their order, of any type Spark puts in Arrow batches, read
    as ``corvane.score`` reads such cells; a reason names the input by its name. The options
    are those of ``corvane.score`` and apply to every function registered here; ValueError for
    a wrong one. The functions run on Arrow batches, each batch scored once for however many
    of them a query calls on the same arguments, and size the workers' native pools as
    :func:`score` does.
    """
    mmol = cholesterol_in_mmol(cholesterol_unit)
    argument_scorer(mmol, codes)  # a wrong code map raises here, not in a task
    _use_this_interpreter(spark)
    options = (uuid.uuid4().hex, mmol, codes)
    for name, column in SQL_FUNCTIONS:
        spark.udf.register(
            name, _arrow_udf(_sql_body(name, options), "string" if column == "error" else "double")
        )


# Per worker process: the scorer of each registration, shared by its seven functions, which
# Spark ships to the worker one by one.
_scorers: dict[str, Any] = {}


def _sql_body(name: str, options: tuple[str, bool, Any]) -> Any:
    def body(*arguments: pa.Array) -> pa.Array:
        key, mmol, codes = options
        scorer = _scorers.get(key)
        if scorer is None:
            from pyspark import TaskContext

            context = TaskContext.get()
            size_native_pool(context.cpus() if context is not None else 1)
            scorer = _scorers[key] = argument_scorer(mmol, codes)
        return scorer.column(name, arguments)

    return body


def _arrow_udf(body: Any, kind: str) -> Any:
    try:
        from pyspark.sql.functions import arrow_udf
    except ImportError:  # PySpark before 4.1: the batches come as pandas Series
        from pyspark.sql.functions import pandas_udf

        def from_pandas(*series: Any) -> Any:
            return body(*(pa.Array.from_pandas(s) for s in series)).to_pandas()

        return pandas_udf(from_pandas, kind)
    return arrow_udf(body, kind)
