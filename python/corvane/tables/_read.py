"""Any kind of table as the engine's eleven columns: Arrow arrays, NumPy arrays or object arrays
that the engine reads in place, cell by cell, by the one rule. Nothing here decides what a cell
means; it only hands each column over in a form the engine takes."""

from __future__ import annotations

from collections.abc import Mapping, Set
from dataclasses import dataclass, field
from typing import Any

import narwhals as nw
import numpy as np

from .._names import INPUT_COLUMNS, keep_columns, pick_columns, reads_polars_type
from .._optional import require


@dataclass
class Table:
    """A table read for scoring: its kind, rows, the engine's columns and what to carry over."""

    kind: str  # "pandas", "polars", "arrow", "duckdb", "mapping" or "patient" (one-value mapping)
    n: int
    columns: list[Any]  # the eleven inputs, in input order
    masks: list[Any]  # per input: a NumPy mask of missing cells, or None
    labels: tuple[str, ...]  # each input's column name, for messages
    kept: list[tuple[Any, Any]] = field(default_factory=list)  # (name, native column)
    index: Any = None  # a pandas input's index
    relation: Any = None  # a DuckDB input itself: the result is a relation on its connection


def read_table(table: Any, columns: Mapping[str, Any] | None, keep: Any) -> Table:
    """The engine's columns of any accepted kind of table; TypeError for any other object."""
    _refuse_lazy(table)
    names = getattr(getattr(table, "dtype", None), "names", None)
    if isinstance(table, np.ndarray) and names is not None:
        return _from_mapping({name: table[name] for name in names}, columns, keep)
    if isinstance(table, Mapping):
        return _from_mapping(table, columns, keep)
    if nw.dependencies.is_pandas_dataframe(table):
        return _from_pandas(table, columns, keep)
    if nw.dependencies.is_polars_dataframe(table):
        return _from_polars(table, columns, keep)
    if nw.dependencies.is_pyarrow_table(table) or _is_record_batch(table):
        return _from_arrow(table, columns, keep)
    if (
        nw.dependencies.is_pandas_series(table)
        or nw.dependencies.is_polars_series(table)
        or type(table).__name__ in ("Array", "ChunkedArray")
    ):
        raise TypeError(
            "table must hold the eleven input columns, not one column: pass a DataFrame, or a"
            f" mapping of column name to column, not a {type(table).__name__}"
        )
    if _is_duckdb_relation(table):
        return _from_duckdb(table, columns, keep)
    if hasattr(table, "__arrow_c_stream__"):
        pa = require("pyarrow", "arrow", f"scoring a {type(table).__name__}")
        return _from_arrow(pa.table(table), columns, keep)
    raise TypeError(
        "table must be a pandas or polars DataFrame, a pyarrow Table or RecordBatch, an Arrow"
        " stream, a mapping of column name to values or a NumPy structured array, not"
        f" {type(table).__name__}"
    )


def _refuse_lazy(table: Any) -> None:
    module = type(table).__module__.split(".")[0]
    name = type(table).__name__
    if module in ("dask", "dask_expr"):
        raise TypeError(
            "a Dask DataFrame is scored partition by partition: call corvane.dask.score(ddf)"
            " instead of corvane.score"
        )
    if module == "polars" and name == "LazyFrame":
        raise TypeError("a polars LazyFrame must be collected first: corvane.score(lf.collect())")
    if module == "pyspark":
        raise TypeError("a Spark DataFrame is scored on the cluster: see corvane.spark")


def _is_record_batch(table: Any) -> bool:
    return type(table).__module__.split(".")[0] == "pyarrow" and type(table).__name__ == "RecordBatch"


def _labels(found: list[Any], positions: list[int]) -> tuple[str, ...]:
    return tuple(str(found[i]).strip() for i in positions)


# Mappings and structured arrays --------------------------------------------------------------


def _from_mapping(table: Mapping[Any, Any], columns: Any, keep: Any) -> Table:
    found = list(table)
    positions = pick_columns(found, columns)
    read = [found[i] for i in positions] + keep_columns(keep, found)
    single = [name for name in read if _is_single(table[name])]
    if single and len(single) == len(read):
        # One patient: a one-row table, so that each value is read as that table's cell.
        one_row = _from_mapping({name: [table[name]] for name in read}, columns, keep)
        one_row.kind = "patient"
        return one_row
    if single:
        columns_given = [name for name in read if name not in single]
        raise ValueError(
            f"the mapping mixes single values ({_some(single)}) with columns"
            f" ({_some(columns_given)}): give one value per input for one patient, or a"
            " sequence per input for a table"
        )
    labels = _labels(found, positions)
    engine, masks, lengths = [], [], []
    for label, i in zip(labels, positions):
        column, mask, n = _value_column(label, table[found[i]])
        engine.append(column)
        masks.append(mask)
        lengths.append(n)
    if len(set(lengths)) > 1:
        sizes = ", ".join(f"{name} has {n}" for name, n in zip(INPUT_COLUMNS, lengths))
        raise ValueError(f"columns differ in length: {sizes}")
    kept = [(name, table[name]) for name in keep_columns(keep, found)]
    return Table("mapping", lengths[0], engine, masks, labels, kept)


def _is_single(value: Any) -> bool:
    """Whether a mapping's value is one cell (a text, bytes, number, bool, None, a NumPy scalar,
    ``pd.NA``) rather than a column."""
    if isinstance(value, (str, bytes)):
        return True
    return not hasattr(value, "__len__") or getattr(value, "ndim", None) == 0


def _some(names: list[Any]) -> str:
    shown = ", ".join(map(str, names[:3]))
    return shown + ", ..." if len(names) > 3 else shown


def _value_column(label: str, column: Any) -> tuple[Any, Any, int]:
    """One column of a mapping as (engine column, mask or None, length)."""
    if isinstance(column, (str, bytes)):
        raise TypeError(f"column {label} must be a sequence of values, not {type(column).__name__}")
    if isinstance(column, (Set, Mapping)) or not hasattr(column, "__len__"):
        what = "an unordered set" if isinstance(column, Set) else type(column).__name__
        raise TypeError(f"column {label} must be a sequence or 1-D array of values, not {what}")
    if nw.dependencies.is_pandas_series(column):
        return _pandas_column(label, column), None, len(column)
    if nw.dependencies.is_polars_series(column):
        return _polars_column(label, column), None, len(column)
    if hasattr(column, "__arrow_c_stream__") or hasattr(column, "__arrow_c_array__"):
        return column, None, len(column)
    mask = None
    if isinstance(column, np.ma.MaskedArray):
        mask = np.ma.getmaskarray(column)
        column = column.data
    if isinstance(column, np.ndarray):
        if column.ndim != 1:
            raise ValueError(f"column {label} must be one-dimensional, not of shape {column.shape}")
        return _numpy_column(label, column), mask, len(column)
    # A sequence of Python values is read object by object, by the rule: NumPy's own
    # conversion would widen a float32 among them or read a text "5_0" as a number.
    array = np.empty(len(column), dtype=object)
    try:
        array[:] = list(column)
    except ValueError:  # nested sequences of one length
        array = None
    if array is None or (len(array) and isinstance(array[0], (list, tuple, np.ndarray))):
        raise TypeError(f"column {label}: values must be single numbers or texts, not sequences")
    return array, mask, len(array)


def _numpy_column(label: str, values: np.ndarray) -> np.ndarray:
    """The array itself when the engine reads it in place, else a copy it can read."""
    kind = values.dtype.kind
    if kind in "US":
        return values.astype(object)
    if kind not in "biufO":
        raise TypeError(f"column {label}: cannot read values of type {values.dtype}")
    if not values.dtype.isnative:
        return values.astype(values.dtype.newbyteorder("="))
    return values


# Dataframes ---------------------------------------------------------------------------------


def _from_pandas(frame: Any, columns: Any, keep: Any) -> Table:
    found = list(frame.columns)
    positions = pick_columns(found, columns)
    labels = _labels(found, positions)
    engine = [_pandas_column(label, frame.iloc[:, i]) for label, i in zip(labels, positions)]
    kept = [(name, frame[name]) for name in keep_columns(keep, found)]
    return Table("pandas", len(frame), engine, [None] * len(engine), labels, kept,
                 index=frame.index)


def _pandas_column(label: str, series: Any) -> Any:
    """A pandas column: NumPy-backed ones as their array, objects as they are, the others
    (nullable, categorical, Arrow-backed, text) as Arrow arrays."""
    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        return _numpy_column(label, series.to_numpy(copy=False))
    try:
        import pyarrow as pa
    except ImportError:
        # pandas runs without pyarrow, and so does this: value by value, by the same rule.
        return _numpy_column(label, series.to_numpy(dtype=object))
    values = series.array
    if hasattr(values, "__arrow_array__"):
        return values.__arrow_array__()
    try:
        return pa.array(series, from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError, pa.ArrowTypeError):
        return _numpy_column(label, series.to_numpy(dtype=object))


def _from_polars(frame: Any, columns: Any, keep: Any) -> Table:
    found = frame.columns
    positions = pick_columns(found, columns)
    labels = _labels(found, positions)
    engine = [_polars_column(label, frame.to_series(i)) for label, i in zip(labels, positions)]
    kept = [(name, frame[name]) for name in keep_columns(keep, found)]
    return Table("polars", frame.height, engine, [None] * len(engine), labels, kept)


def _polars_column(label: str, series: Any) -> Any:
    import polars as pl

    dtype = series.dtype
    if dtype == pl.Object:
        return _numpy_column(label, np.array(series.to_list(), dtype=object))
    if not reads_polars_type(dtype):
        raise TypeError(f"column {label}: cannot read values of type {dtype}")
    return series


def _from_arrow(table: Any, columns: Any, keep: Any) -> Table:
    found = list(table.schema.names)
    positions = pick_columns(found, columns)
    labels = _labels(found, positions)
    engine = [table.column(i) for i in positions]
    kept = [(table.schema.field(name), table.column(name)) for name in keep_columns(keep, found)]
    return Table("arrow", table.num_rows, engine, [None] * len(engine), labels, kept)


def _is_duckdb_relation(table: Any) -> bool:
    return type(table).__module__.split(".")[0] == "duckdb" and type(table).__name__ == (
        "DuckDBPyRelation"
    )


def _from_duckdb(relation: Any, columns: Any, keep: Any) -> Table:
    """A DuckDB relation through Arrow, only its input and kept columns fetched."""
    import pyarrow as pa

    found = relation.columns
    wanted = {found[i] for i in pick_columns(found, columns)} | set(keep_columns(keep, found))
    used = ", ".join('"' + c.replace('"', '""') + '"' for c in found if c in wanted)
    table = _from_arrow(pa.table(relation.project(used).arrow()), columns, keep)
    table.kind, table.relation = "duckdb", relation
    return table
