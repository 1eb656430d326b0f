"""Reading a table into the eleven columns the engine scores, and naming unreadable cells.

Every accepted kind of table ends up as eleven :class:`EngineColumn` objects: a 1-D NumPy
array the extension reads in place (any numeric dtype, any stride), an optional mask of
missing cells, and a way to say why a given row's cell could not be used. Sex and the four
flags are decoded to 0/1 codes here, -1 where the text is not a recognised code; the engine
refuses any row with a NaN number, a code other than 0/1 or a masked cell.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Set
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from ._names import EXPECTED, FLAG, INPUT_COLUMNS, KINDS, MISSING_TEXTS, NUMBER, SEX

# Accepted codes, compared after stripping and lower-casing.
CODES = {
    SEX: {"male": 1, "female": 0, "1": 1, "0": 0, "1.0": 1, "0.0": 0},
    FLAG: {
        "1": 1, "0": 0, "1.0": 1, "0.0": 0, "true": 1, "false": 0, "yes": 1, "no": 0,
    },
}
_MAX_NAMED_BAD = 120  # distinct bad texts of a column whose reasons a code can name
_UNNAMED = -128  # a bad text past those
_LOOK_AGAIN = -127  # not a usual spelling: read again by its distinct value


def _spellings(codes: dict[str, int]) -> dict[Any, int]:
    # Exact-match table for the common spellings, so a list decodes with one dict lookup per
    # value; anything else is looked at again, value by value.
    table: dict[Any, int] = {1: 1, 0: 0}  # also matches 1.0, True, np.float64(0) ...
    for text, value in codes.items():
        for spelling in (text, text.upper(), text.capitalize()):
            table[spelling] = value
    return table


FAST_CODES = {SEX: _spellings(CODES[SEX]), FLAG: _spellings(CODES[FLAG])}


@dataclass
class EngineColumn:
    """One input as the engine reads it, and how to explain its bad cells."""

    values: np.ndarray  # 1-D, numeric or bool
    missing: np.ndarray | None  # bool, True where the cell has no value
    # For the given rows: which have a bad cell here, and the reason (None where fine).
    reasons: Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]
    # The reason of every cell the engine finds bad, when it is always the same (a number
    # column's NaN or masked cell): named without reading the rows again.
    only_reason: str | None = None


@dataclass
class InputTable:
    """A table read for scoring: its rows' count, its eleven columns and where it came from."""

    n: int
    columns: list[EngineColumn]
    frame: Any = None  # the narwhals DataFrame of a dataframe input, else None
    index: Any = None  # a pandas input's index
    arrow_stream: bool = False  # an Arrow stream object that is not itself a table


def read_table(table: Any) -> InputTable:
    """The eleven engine columns of any accepted kind of table."""
    _refuse_lazy(table)
    names = getattr(getattr(table, "dtype", None), "names", None)
    if isinstance(table, np.ndarray) and names is not None:
        return _from_arrays({name: table[name] for name in names}, list(names))
    if isinstance(table, Mapping):
        return _from_arrays(table, list(table))
    from ._frames import read_frame  # after this module: it builds on the readers below

    source = read_frame(table)
    if source is None:
        raise TypeError(
            "table must be a pandas or polars DataFrame, a pyarrow Table or RecordBatch, an"
            " Arrow stream, a mapping of column name to values or a NumPy structured array,"
            f" not {type(table).__name__}"
        )
    return source


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


def _pick(found: list[Any]) -> dict[str, int]:
    """Position in ``found`` of each input column, matched after stripping and lower-casing."""
    positions: dict[str, int] = {}
    for i, name in enumerate(found):
        key = name.strip().lower() if isinstance(name, str) else name
        if key in INPUT_COLUMNS:
            if key in positions:
                raise ValueError(
                    f"column {key!r} appears more than once"
                    f" (as {found[positions[key]]!r} and {name!r})"
                )
            positions[key] = i
    missing = [name for name in INPUT_COLUMNS if name not in positions]
    if missing:
        shown = ", ".join(map(str, found)) if found else "none"
        raise ValueError(
            f"missing column{'s' * (len(missing) > 1)}: {', '.join(missing)}"
            f" (found: {shown})"
        )
    return positions


# Arrays and lists ---------------------------------------------------------------------------


def _from_arrays(table: Mapping[Any, Any], found: list[Any]) -> InputTable:
    picked = _pick(found)
    columns = []
    for name, kind in zip(INPUT_COLUMNS, KINDS):
        columns.append(_array_column(name, kind, table[found[picked[name]]]))
    lengths = {len(c.values) for c in columns}
    if len(lengths) > 1:
        sizes = ", ".join(f"{n} has {len(c.values)}" for n, c in zip(INPUT_COLUMNS, columns))
        raise ValueError(f"columns differ in length: {sizes}")
    return InputTable(lengths.pop(), columns)


def _array_column(name: str, kind: str, column: Any) -> EngineColumn:
    if isinstance(column, (Set, Mapping)) or not hasattr(column, "__len__"):
        what = "an unordered set" if isinstance(column, Set) else type(column).__name__
        raise TypeError(f"column {name} must be a sequence or 1-D array of values, not {what}")
    if isinstance(column, (str, bytes)):
        raise TypeError(f"column {name} must be a sequence of values, not {type(column).__name__}")
    if hasattr(column, "to_numpy") and not isinstance(column, np.ndarray):
        column = column.to_numpy()  # a pandas or polars Series in a mapping
    missing = None
    if isinstance(column, np.ma.MaskedArray):
        missing = np.ma.getmaskarray(column)
        column = column.data
    array = column if isinstance(column, np.ndarray) else None
    if array is None:
        try:
            array = np.asarray(column)
        except ValueError:  # ragged nested lists
            array = None
        if array is None or array.dtype.kind in "US":  # keep [2, "male"]'s 2 a number
            array = np.empty(len(column), dtype=object)
            array[:] = list(column)
    if array.ndim != 1:
        if isinstance(column, np.ndarray):
            raise ValueError(f"column {name} must be one-dimensional, not of shape {array.shape}")
        raise TypeError(f"column {name}: values must be single numbers or texts, not sequences")
    if array.dtype.kind in "biuf":
        return _numbers_column(name, kind, _engine_array(array), missing)
    if array.dtype.kind in "USO":
        if array.dtype.kind != "O":
            array = array.astype(object)
        column = _objects_column(name, kind, array)
        if missing is not None:
            column.missing = missing
        return column
    raise TypeError(f"column {name}: cannot read values of type {array.dtype}")


def _engine_array(values: np.ndarray) -> np.ndarray:
    """The array itself when the engine can read it in place, else a native copy."""
    if values.dtype.kind == "f" and values.dtype.itemsize == 2:
        return values.astype(np.float32)  # float32 is read as the decimal it shows
    if not values.dtype.isnative:
        return values.astype(values.dtype.newbyteorder("="))
    return values


def _numbers_column(
    name: str, kind: str, values: np.ndarray, missing: np.ndarray | None
) -> EngineColumn:
    def reasons(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        picked = values[rows]
        out = np.full(len(rows), None, dtype=object)
        nan = np.isnan(picked) if values.dtype.kind == "f" else np.zeros(len(rows), dtype=bool)
        bad = nan.copy()
        if kind != NUMBER:
            other = (picked != 0) & (picked != 1) & ~nan
            out[other] = [_reason(name, kind, v) for v in picked[other].tolist()]
            bad |= other
        if missing is not None:
            nan |= missing[rows]
            bad |= nan
        out[nan] = f"{name}: missing value"
        return bad, out

    only = f"{name}: missing value" if kind == NUMBER else None
    return EngineColumn(values, missing, reasons, only_reason=only)


def _objects_column(name: str, kind: str, values: np.ndarray) -> EngineColumn:
    """A column of arbitrary Python values: lists, object arrays, pandas object columns."""
    if kind == NUMBER:
        try:
            decoded = np.asarray(values, dtype=np.float64)  # reads " 51.5 " and None (NaN) too
        except (TypeError, ValueError):
            decoded = np.fromiter((_number_of(v) for v in values), np.float64, len(values))
    else:
        codes = list(map(_fast_code(kind), values))
        decoded = np.array(codes, dtype=np.int8) if None not in codes else np.fromiter(
            (c if c is not None else _code_or_bad(kind, v) for c, v in zip(codes, values)),
            np.int8, len(values))

    def reasons(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        picked = decoded[rows]
        bad = np.isnan(picked) if kind == NUMBER else picked < 0
        return bad, _value_reasons(name, kind, bad, lambda r: values[rows[r]].tolist())

    return EngineColumn(decoded, None, reasons)


def _fast_code(kind: str) -> Callable[[Any], int | None]:
    table = FAST_CODES[kind]

    def code(value: Any) -> int | None:
        try:
            return table.get(value)
        except TypeError:  # unhashable
            return None

    return code


def _code_or_bad(kind: str, value: Any) -> int:
    code = _code_of(kind, value)
    return -1 if code is None else code


def _code_of(kind: str, value: Any) -> int | None:
    """0 or 1 for an accepted code, else None."""
    if isinstance(value, str):
        return CODES[kind].get(value.strip().lower())
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return int(number) if number in (0.0, 1.0) else None


def _number_of(value: Any) -> float:
    if isinstance(value, str) and value.strip().lower() in MISSING_TEXTS:
        return math.nan
    if isinstance(value, (bool, np.bool_)) or value is None:
        return math.nan if value is None else float(value)
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


# Reasons ------------------------------------------------------------------------------------


def _value_reasons(
    name: str,
    kind: str,
    bad: np.ndarray,
    originals: Callable[[np.ndarray], list[Any]],
) -> np.ndarray:
    """The reason for each bad row: its original value read once more, only for those rows."""
    out = np.full(len(bad), None, dtype=object)
    where = np.flatnonzero(bad)
    if len(where):
        out[where] = [_reason(name, kind, v) for v in originals(where)]
    return out


def _reason(name: str, kind: str, value: Any) -> str:
    if value is None or (isinstance(value, str) and value.strip().lower() in MISSING_TEXTS):
        return f"{name}: missing value"
    if not isinstance(value, str):
        try:
            if math.isnan(value):
                return f"{name}: missing value"
        except TypeError:
            pass
    shown = repr(value if isinstance(value, str) else _plain(value))
    if len(shown) > 40:
        shown = shown[:37] + "..."
    return f"{name}: {shown} is not {EXPECTED[kind]}"


def _plain(value: Any) -> Any:
    # np.float64(2.0) shows as 2.0, not as its constructor call.
    item = getattr(value, "item", None)
    return item() if callable(item) and getattr(value, "ndim", None) == 0 else value
