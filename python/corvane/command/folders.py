"""Input folders as engines write them: which files are parts, in what order, their partition
values, and one schema for Parquet parts whose column types drifted apart."""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from urllib.parse import unquote

import polars as pl

from .arrow_columns import (
    arrow_frames,
    first_line,
    parquet_intervals,
    quiet_panic,
    readable_by_polars,
    to_polars,
)
from .._names import natural_key
from .._optional import require
from .errors import InputError

PARQUET_SUFFIXES = (".parquet", ".pq", ".parq")
CSV_SUFFIXES = (".csv", ".csv.gz", ".tsv", ".tsv.gz", ".txt", ".txt.gz")
# Written beside the parts by engines: checksums, markers, metadata summaries.
_SKIPPED_SUFFIXES = (".crc",)
_HIVE_NULL = "__HIVE_DEFAULT_PARTITION__"


@dataclass
class Part:
    """One file of a folder."""

    path: str  # relative to the folder, as messages name it
    full: str
    partition: dict[str, str | None] = field(default_factory=dict)  # key=value folders above


def list_parts(folder: str) -> list[Part]:
    """The data files under ``folder``, in natural order: hidden and ``_``-prefixed files and
    folders (``_SUCCESS``, ``_metadata``, ``_temporary``) and checksums are not data."""
    parts = []
    for top, dirs, files in os.walk(folder):
        dirs[:] = [d for d in dirs if not d.startswith((".", "_"))]
        relative = os.path.relpath(top, folder)
        for name in files:
            if name.startswith((".", "_")) or name.lower().endswith(_SKIPPED_SUFFIXES):
                continue
            path = name if relative == "." else f"{relative}/{name}".replace(os.sep, "/")
            partition = {}
            for piece in path.split("/")[:-1]:
                key, equals, value = piece.partition("=")
                if equals and key:
                    value = unquote(value)
                    partition[unquote(key)] = None if value == _HIVE_NULL else value
            parts.append(Part(path, os.path.join(top, name), partition))
    parts.sort(key=lambda p: natural_key(p.path))
    return parts


def folder_kind(name: str, parts: list[Part]) -> str:
    """``parquet`` or ``csv``: what every part is. Raises InputError."""
    kinds: dict[str, Part] = {}
    for part in parts:
        kinds.setdefault(_kind(part), part)
    if not kinds:
        raise InputError(f"{name} is a folder without Parquet or CSV files")
    if "other" in kinds or len(kinds) > 1:
        first, second = list(kinds.values())[:2] if len(kinds) > 1 else (parts[0], kinds["other"])
        raise InputError(
            f"{name}: {first.path} and {second.path} are not both Parquet or both CSV;"
            " a folder holds parts of one kind"
        )
    return next(iter(kinds))


def _kind(part: Part) -> str:
    lower = part.path.lower()
    if lower.endswith(PARQUET_SUFFIXES):
        return "parquet"
    if lower.endswith(CSV_SUFFIXES):
        return "csv"
    try:
        with open(part.full, "rb") as f:
            head = f.read(4)
    except OSError:
        return "other"
    return "parquet" if head == b"PAR1" else "other"


def partition_columns(parts: list[Part], taken: list[str]) -> dict[str, pl.DataType]:
    """The partition keys not already among ``taken``, each with the type its values share:
    whole numbers, numbers, or text."""
    values: dict[str, list[str]] = {}
    for part in parts:
        for key, value in part.partition.items():
            values.setdefault(key, [])
            if value is not None:
                values[key].append(value)
    return {key: _value_type(seen) for key, seen in values.items() if key not in taken}


def _value_type(values: list[str]) -> pl.DataType:
    if not values:
        return pl.String()
    for dtype in (pl.Int64(), pl.Float64()):
        parsed = pl.Series(values).cast(dtype, strict=False)
        if not parsed.is_null().any():
            return dtype
    return pl.String()


def partition_values(part: Part, columns: dict[str, pl.DataType]) -> list[pl.Expr]:
    return [pl.lit(part.partition.get(k), pl.String).cast(t).alias(k) for k, t in columns.items()]


# Parquet ----------------------------------------------------------------------------------------


@dataclass
class _ParquetPart:
    part: Part
    schema: pl.Schema
    rows: int
    intervals: list[str]
    by_polars: bool


class ParquetFolder:
    """The parts of a Parquet folder read as one table: each column of the type all its parts
    can take, a column missing from a part null there, the partition values as columns."""

    def __init__(self, name: str, parts: list[Part]) -> None:
        pa = require("pyarrow", "arrow", f"reading {name}")
        pq = require("pyarrow.parquet", "arrow", f"reading {name}")

        self.name = name
        self._parts = []
        for part in parts:
            try:
                meta = pq.ParquetFile(part.full)
                arrow_schema = meta.schema_arrow
                intervals = parquet_intervals(meta.schema)
                rows = meta.metadata.num_rows
                meta.close()
            except (pa.ArrowException, OSError) as e:
                raise InputError(
                    f"{name}: {part.path} cannot be read as Parquet ({first_line(e)})"
                ) from None
            label = f"{name}: {part.path}"
            schema = quiet_panic(lambda: to_polars(arrow_schema.empty_table(), intervals, label))
            self._parts.append(
                _ParquetPart(
                    part,
                    schema.schema,
                    rows,
                    intervals,
                    readable_by_polars(arrow_schema, intervals),
                )
            )
        self.schema = self._unify()
        self.partitions = partition_columns(parts, list(self.schema.names()))
        for key, dtype in self.partitions.items():
            self.schema[key] = dtype
        # A file's own column of a partition key gives way to the folder's value, as polars
        # reads a hive folder.
        for key in [k for part in parts for k in part.partition if k in self.schema]:
            if key not in self.partitions:
                self.partitions[key] = self.schema[key]

    def _unify(self) -> pl.Schema:
        seen: dict[str, list[tuple[pl.DataType, _ParquetPart]]] = {}
        for p in self._parts:
            for column, dtype in p.schema.items():
                seen.setdefault(column, []).append((dtype, p))
        return pl.Schema({c: self._common(c, kinds) for c, kinds in seen.items()})

    def _common(self, column: str, kinds: list[tuple[pl.DataType, _ParquetPart]]) -> pl.DataType:
        dtypes = [d for d, _ in kinds]
        if all(d == dtypes[0] for d in dtypes):
            return dtypes[0]
        if all(d.is_integer() for d in dtypes) and pl.UInt64 not in dtypes:
            return pl.Int64()
        if all(d.is_numeric() for d in dtypes):
            return pl.Float64()
        # Text beside numbers or dates: all as text, which the engine reads by its own rule.
        if all(_as_text(d) for d in dtypes):
            return pl.String()
        (a, first), (b, other) = kinds[0], next((d, p) for d, p in kinds if d != dtypes[0])
        raise InputError(
            f"{self.name}: column '{column}' holds {a} in {first.part.path} but {b} in"
            f" {other.part.path}"
        )

    def frames(self, batch_rows: int) -> Iterator[tuple[pl.DataFrame, str, int]]:
        """(frame, file, its first row's number in the file), in order; frames of one file
        never hold another's rows."""
        for p in self._parts:
            label = f"{self.name}: {p.part.path}"
            row = 1
            try:
                for frame in _read(p, batch_rows, self._conform(p), label):
                    yield frame, p.part.path, row
                    row += len(frame)
            except (pl.exceptions.PolarsError, OSError) as e:
                raise InputError(f"{label}: cannot read as Parquet ({first_line(e)})") from None
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise
                raise InputError(f"{label}: cannot read as Parquet ({first_line(e)})") from None

    def _conform(self, p: _ParquetPart) -> list[pl.Expr]:
        exprs = []
        for column, dtype in self.schema.items():
            if column in self.partitions:
                exprs.extend(partition_values(p.part, {column: dtype}))
            elif column not in p.schema:
                exprs.append(pl.lit(None, dtype).alias(column))
            elif p.schema[column] != dtype:
                exprs.append(pl.col(column).cast(dtype))
            else:
                exprs.append(pl.col(column))
        return exprs


def _read(p: _ParquetPart, batch_rows: int, conform: list[pl.Expr], label: str):
    if p.by_polars:
        yield from pl.scan_parquet(p.part.full).select(conform).collect_batches(
            chunk_size=batch_rows
        )
        return
    import pyarrow.parquet as pq

    with pq.ParquetFile(p.part.full) as f:
        for frame in arrow_frames(f.iter_batches(batch_rows), p.intervals, label):
            yield frame.select(conform)


def _as_text(dtype: pl.DataType) -> bool:
    return dtype.is_numeric() or dtype.is_temporal() or dtype in (
        pl.String, pl.Categorical, pl.Boolean
    ) or isinstance(dtype, (pl.Categorical, pl.Enum))
