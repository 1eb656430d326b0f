"""Columns polars cannot read by itself (intervals), brought in through pyarrow, and polars'
panics kept from reaching the user as a traceback."""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

import polars as pl

from .._optional import require
from .errors import InputError

T = TypeVar("T")

# An interval arrives as a struct of its three fields: lossless, and the output writes a
# struct like any other (JSON in CSV, a struct in Parquet).
INTERVAL_FIELDS = ("months", "days", "nanoseconds")


def quiet_panic(fn: Callable[[], T]) -> T:
    """``fn()``, with what a panic inside polars prints on stderr held back; the panic is
    raised on as ``PolarsPanic``, and what ``fn`` printed before raising is dropped. Only for
    quick calls made before any other thread runs: stderr is the process's, taken meanwhile."""
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError):
        return _panic_as_error(fn)
    with tempfile.TemporaryFile() as held:
        os.dup2(held.fileno(), 2)
        try:
            value = _panic_as_error(fn)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        held.seek(0)
        if text := held.read():  # whatever else was said goes out after all
            os.write(2, text)
        return value


def first_line(e: BaseException) -> str:
    """The first line of a library's message, short enough for one line of ours."""
    text = str(e).strip().splitlines()
    line = text[0] if text else type(e).__name__
    return line if len(line) <= 120 else line[:117] + "..."


class PolarsPanic(Exception):
    """Polars gave up on a file with a panic: its first line."""


def _panic_as_error(fn: Callable[[], T]) -> T:
    try:
        return fn()
    except BaseException as e:
        # A panic is a BaseException of a module that cannot be imported by name.
        if type(e).__name__ == "PanicException":
            raise PolarsPanic(first_line(e)) from None
        raise


def parquet_intervals(parquet_schema: Any) -> list[str]:
    """The top-level columns a Parquet file declares as intervals: pyarrow reads them as 12
    bytes each, polars not at all."""
    names = []
    for i in range(len(parquet_schema)):
        column = parquet_schema.column(i)
        if column.path == column.name and "INTERVAL" in (
            str(column.logical_type).upper(),
            str(column.converted_type).upper(),
        ):
            names.append(column.name)
    return names


def readable_by_polars(schema: Any, intervals: list[str]) -> bool:
    """Whether polars reads every column of this pyarrow schema as it is."""
    import pyarrow as pa

    return not intervals and not any(
        pa.types.is_interval(f.type) for f in schema if not pa.types.is_nested(f.type)
    )


def to_polars(table: Any, intervals: list[str], name: str) -> pl.DataFrame:
    """A pyarrow table or record batch as a polars frame, intervals as structs of months,
    days and nanoseconds. Raises InputError for a column that polars cannot take."""
    import pyarrow as pa

    columns = []
    for field, column in zip(table.schema, table.columns):
        if isinstance(column, pa.ChunkedArray):
            column = column.combine_chunks()
        if field.name in intervals and column.type == pa.binary(12):
            column = _parquet_interval(column)
        elif column.type == pa.month_day_nano_interval():
            column = _month_day_nano(column)
        try:
            columns.append(_panic_as_error(lambda: pl.from_arrow(column)).alias(field.name))
        except (PolarsPanic, pl.exceptions.PolarsError, pa.ArrowException) as e:
            raise InputError(
                f"{name}: column '{field.name}' holds {field.type} values, which cannot be read"
                f" ({e})"
            ) from None
    return pl.DataFrame(columns)


def _parquet_interval(column: Any) -> Any:
    """Parquet's interval: months, days and milliseconds, each a little-endian uint32."""
    import pyarrow as pa
    import pyarrow.compute as pc

    words = _words(column, pa.uint32(), 3)
    months, days, millis = (pc.list_element(words, k) for k in range(3))
    nanos = pc.multiply(millis.cast(pa.int64()), 1_000_000)
    return _interval_struct(column, months.cast(pa.int32()), days.cast(pa.int32()), nanos)


def _month_day_nano(column: Any) -> Any:
    """Arrow's interval: months and days as int32, nanoseconds as int64, 16 bytes a value."""
    import pyarrow as pa
    import pyarrow.compute as pc

    halves = _words(column, pa.int32(), 4)
    months, days = (pc.list_element(halves, k) for k in range(2))
    nanos = pc.list_element(_words(column, pa.int64(), 2), 1)
    return _interval_struct(column, months, days, nanos)


def _words(column: Any, kind: Any, per_value: int) -> Any:
    """Each value's bytes as a list of ``per_value`` numbers of ``kind``: a view, no copy."""
    import pyarrow as pa

    total = (column.offset + len(column)) * per_value
    flat = pa.Array.from_buffers(kind, total, [None, column.buffers()[1]])
    lists = pa.FixedSizeListArray.from_arrays(flat, per_value)
    return lists.slice(column.offset, len(column))


def _interval_struct(column: Any, months: Any, days: Any, nanos: Any) -> Any:
    import pyarrow as pa

    mask = column.is_null() if column.null_count else None
    return pa.StructArray.from_arrays([months, days, nanos], names=INTERVAL_FIELDS, mask=mask)


def arrow_frames(
    batches: Iterator[Any], intervals: list[str], name: str
) -> Iterator[pl.DataFrame]:
    """pyarrow record batches as polars frames."""
    for batch in batches:
        yield to_polars(batch, intervals, name)


class ArrowFile:
    """An Arrow IPC file read through pyarrow, for columns polars cannot take: like a folder
    of one part (``schema``, ``frames``)."""

    def __init__(self, name: str, path: str) -> None:
        pa = require("pyarrow", "arrow", f"reading {name}")
        self.name, self.path = name, path
        try:
            with pa.ipc.open_file(path) as reader:
                arrow_schema = reader.schema
        except (pa.ArrowException, OSError) as e:
            raise InputError(f"{name}: cannot read as Arrow ({first_line(e)})") from None
        self.schema = quiet_panic(lambda: to_polars(arrow_schema.empty_table(), [], name)).schema

    def frames(self, batch_rows: int) -> Iterator[tuple[pl.DataFrame, str, int]]:
        import pyarrow as pa

        row = 1
        with pa.ipc.open_file(self.path) as reader:
            for i in range(reader.num_record_batches):
                batch = reader.get_batch(i)
                for start in range(0, batch.num_rows, batch_rows):
                    frame = to_polars(batch.slice(start, batch_rows), [], self.name)
                    yield frame, self.name, row
                    row += len(frame)
