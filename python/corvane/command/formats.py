"""Output formats: which one a target asks for, and carried columns turned into what it holds."""

from __future__ import annotations

import os
import re
import stat
from collections.abc import Collection, Sequence
from dataclasses import dataclass

import polars as pl

from .._optional import require
from .arrow_columns import INTERVAL_FIELDS
from .errors import InputError

# Longest suffix first: "x.tsv.gz" is TSV in gzip, not plain gzip.
_SUFFIXES = (
    (".csv.gz", "csv.gz"),
    (".tsv.gz", "tsv.gz"),
    (".csv", "csv"),
    (".tsv", "tsv"),
    (".parquet", "parquet"),
    (".pq", "parquet"),
    (".jsonl", "jsonl"),
    (".ndjson", "jsonl"),
    (".arrow", "arrow"),
    (".feather", "arrow"),
)
FORMATS = ("csv", "csv.gz", "tsv", "tsv.gz", "parquet", "jsonl", "arrow")
TEXT_FORMATS = ("csv", "csv.gz", "tsv", "tsv.gz")
_SUPPORTED = ".csv, .csv.gz, .tsv, .tsv.gz, .parquet, .pq, .jsonl, .ndjson, .arrow, .feather"
# Names that stand for a descriptor this process already holds.
_DESCRIPTOR = re.compile(r"/dev/(?:fd/(\d+)|(stdout)|(stderr))|/proc/self/fd/(\d+)")
_NANOS_PER_DAY = 86_400 * 10**9
_NANOS = {"ns": 1, "us": 1_000, "ms": 1_000_000}


@dataclass(frozen=True)
class Layout:
    """How the rows are written: the format, and for CSV/TSV the delimiter and decimal mark."""

    format: str = "csv"
    delimiter: str = ","
    decimal_comma: bool = False

    @property
    def is_text(self) -> bool:
        return self.format in TEXT_FORMATS

    @property
    def gzip(self) -> bool:
        return self.format.endswith(".gz")


def format_of(name: str) -> str | None:
    """The format a file name's extension says (ignoring case), or None."""
    lower = name.lower()
    return next((f for suffix, f in _SUFFIXES if lower.endswith(suffix)), None)


def descriptor_of(target: str) -> int | None:
    """The descriptor ``/dev/stdout``, ``/dev/fd/N`` (a process substitution) and the like
    name: written through a copy of it, so that a file behind it is neither truncated nor
    replaced, and an appending one keeps appending."""
    found = _DESCRIPTOR.fullmatch(target)
    if found is None:
        return None
    number, out, err, proc = found.groups()
    return 1 if out else 2 if err else int(number or proc)


def is_stream(target: str | None) -> bool:
    """Whether rows go to a stream (stdout, a pipe, a device) rather than a file replaced whole."""
    if target is None or descriptor_of(target) is not None:
        return True
    try:
        return not stat.S_ISREG(os.stat(target).st_mode)
    except OSError:
        return False


def choose_layout(
    target: str | None, given: str | None, delimiter: str | None, decimal_comma: bool
) -> Layout:
    """The layout of the output, from ``--format`` or the target's name; a stream without
    either is CSV. Raises InputError before anything is read or written."""
    named = None if target is None else format_of(target)
    if given is not None and named is not None and given != named:
        raise InputError(f"{target}: the name says {named}, not --format {given}")
    chosen = given or named or ("csv" if is_stream(target) else None)
    if chosen is None:
        raise InputError(
            f"{target}: cannot tell the output format from its name; use one of {_SUPPORTED}"
            " or give --format (csv, csv.gz, tsv, tsv.gz, parquet, jsonl, arrow)"
        )
    if chosen not in TEXT_FORMATS:
        if delimiter is not None or decimal_comma:
            option = "--output-delimiter" if delimiter is not None else "--output-decimal"
            raise InputError(f"{option} is for CSV and TSV output, not {chosen}")
        return Layout(chosen)
    if chosen.startswith("tsv"):
        if delimiter not in (None, "\t"):
            raise InputError(f"--output-delimiter {delimiter!r}: TSV output is tab-separated")
        delimiter = "\t"
    delimiter = delimiter or ","
    if delimiter == ("," if decimal_comma else "."):
        raise InputError(
            "a decimal comma needs another --output-delimiter, e.g. ';'" if decimal_comma
            else "--output-delimiter '.' would split every number: give --output-decimal ,"
        )
    return Layout(chosen, delimiter, decimal_comma)


def uuid_columns(path: str) -> set[str]:
    """The columns of a Parquet file or folder that hold UUIDs (polars reads them as plain
    binary, which would be written as hex, not as the UUIDs they are)."""
    pa = require("pyarrow", "arrow", f"reading the binary columns of {path}")
    ds = require("pyarrow.dataset", "arrow", f"reading the binary columns of {path}")
    try:
        schema = ds.dataset(path, format="parquet").schema
    except (pa.ArrowException, OSError):
        return set()  # then written as hex: still every byte of them
    return {
        f.name
        for f in schema
        if getattr(f.type, "extension_name", None) == "arrow.uuid"
        or (pa.types.is_fixed_size_binary(f.type) and f.type.byte_width == 16)
    }


def writable(
    frame: pl.DataFrame, names: Sequence[str], layout: Layout, uuids: Collection[str] = ()
) -> pl.DataFrame:
    """``frame`` (whose columns are ``names`` in the output) with each column the format
    cannot hold as it is turned into text: binary as hex, UUIDs as 8-4-4-4-12, durations and
    intervals in ISO 8601, nested values as JSON (kept nested in JSON Lines). Parquet and
    Arrow take every column as it is. Raises InputError for a kind no conversion covers."""
    if layout.format in ("parquet", "arrow"):
        for name, dtype in zip(names, frame.dtypes):
            if dtype == pl.Object:
                _refuse(name, dtype, layout.format)
        return frame
    nested_as_json = layout.is_text
    changes = []
    for column, name, dtype in zip(frame.columns, names, frame.dtypes):
        expr = _as_text(pl.col(column), dtype, name in uuids, nested_as_json)
        if expr is not None:
            changes.append(expr.alias(column))
        elif dtype == pl.Object:
            _refuse(name, dtype, layout.format)
    return frame.with_columns(changes) if changes else frame


def _refuse(name: str, dtype: pl.DataType, format: str) -> None:
    raise InputError(
        f"column '{name}' holds {dtype} values, which {format} output cannot hold;"
        " write Parquet instead (-o FILE.parquet)"
    )


def _as_text(expr: pl.Expr, dtype: pl.DataType, uuid: bool, nested_as_json: bool):
    """``expr`` turned into what a text format holds, or None if it holds it already."""
    if dtype == pl.Binary:
        return _uuid_text(expr) if uuid else expr.bin.encode("hex")
    if isinstance(dtype, pl.Duration):
        nanos = expr.to_physical().cast(pl.Int128) * _NANOS[dtype.time_unit]
        days = _toward_zero(nanos, _NANOS_PER_DAY)
        return _masked(expr, _iso(pl.lit(0, pl.Int128), days, nanos - days * _NANOS_PER_DAY))
    if _is_interval(dtype):
        months, days, nanos = (expr.struct.field(f).cast(pl.Int128) for f in INTERVAL_FIELDS)
        return _masked(expr, _iso(months, days, nanos))
    if not dtype.is_nested():
        return None
    inner = _nested_leaves(expr, dtype)
    if not nested_as_json:
        return inner
    # One JSON text per cell: polars encodes structs, so the value goes in one of its own.
    text = pl.struct((expr if inner is None else inner).alias("v")).struct.json_encode()
    return _masked(expr, text.str.strip_prefix('{"v":').str.strip_suffix("}"))


def _nested_leaves(expr: pl.Expr, dtype: pl.DataType):
    """A list or struct with the values inside it that JSON cannot hold turned into text."""
    if isinstance(dtype, pl.Array):
        inner = _as_text(pl.element(), dtype.inner, False, False)
        return None if inner is None else expr.arr.to_list().list.eval(inner)
    if isinstance(dtype, pl.List):
        inner = _as_text(pl.element(), dtype.inner, False, False)
        return None if inner is None else expr.list.eval(inner)
    fields = [
        (f.name, _as_text(expr.struct.field(f.name), f.dtype, False, False))
        for f in dtype.fields
    ]
    if all(e is None for _, e in fields):
        return None
    rebuilt = pl.struct(
        [(expr.struct.field(n) if e is None else e).alias(n) for n, e in fields]
    )
    return _masked(expr, rebuilt)


def _is_interval(dtype: pl.DataType) -> bool:
    """An interval (months, days and nanoseconds, each counted apart) as polars holds it."""
    return (
        isinstance(dtype, pl.Struct)
        and tuple(f.name for f in dtype.fields) == INTERVAL_FIELDS
        and all(f.dtype.is_integer() for f in dtype.fields)
    )


def _masked(original: pl.Expr, value: pl.Expr) -> pl.Expr:
    return pl.when(original.is_null()).then(None).otherwise(value)


def _toward_zero(value: pl.Expr, by: int) -> pl.Expr:
    # Multiplied by -1, not negated: polars negates no Int128.
    sign = pl.when(value < 0).then(pl.lit(-1, pl.Int128)).otherwise(pl.lit(1, pl.Int128))
    return sign * (value.abs() // by)


def _uuid_text(expr: pl.Expr) -> pl.Expr:
    hex_text = expr.bin.encode("hex")
    groups = [hex_text.str.slice(a, n) for a, n in ((0, 8), (8, 4), (12, 4), (16, 4), (20, 12))]
    return pl.concat_str(groups, separator="-")


def _iso(months: pl.Expr, days: pl.Expr, nanos: pl.Expr) -> pl.Expr:
    """ISO 8601 text of months, days and nanoseconds (Int128): ``P1Y2M3DT4H5M6.5S``. When
    nothing is positive the whole is negated (``-P2DT3H``); otherwise each negative part
    carries its own sign, as intervals may mix them (``P1M-2D``)."""
    # Built in steps on one struct: each step names the last one's fields, where one nested
    # expression would repeat them and take polars several times as long.
    m, d, n = pl.field("m"), pl.field("d"), pl.field("n")
    one = pl.lit(1, pl.Int128)
    parts = pl.struct(months.alias("m"), days.alias("d"), nanos.alias("n")).struct.with_fields(
        negative=(m <= 0) & (d <= 0) & (n <= 0) & ((m < 0) | (d < 0) | (n < 0))
    )
    flip = pl.when(pl.field("negative")).then(-one).otherwise(one)
    parts = parts.struct.with_fields(m=m * flip, d=d * flip, n=n * flip)
    parts = parts.struct.with_fields(y=_toward_zero(m, 12))
    parts = parts.struct.with_fields(
        m=m - pl.field("y") * 12,
        minus=pl.when(n < 0).then(pl.lit("-")).otherwise(pl.lit("")),
        n=n.abs(),
    )
    parts = parts.struct.with_fields(s=n // 10**9, fraction=n % 10**9)
    seconds, fraction, minus = pl.field("s"), pl.field("fraction"), pl.field("minus")
    fraction_text = pl.when(fraction != 0).then(
        pl.concat_str(pl.lit("."), fraction.cast(pl.String).str.zfill(9).str.strip_chars_end("0"))
    ).otherwise(pl.lit(""))
    second_text = pl.when(n % 60_000_000_000 != 0).then(
        pl.concat_str(minus, (seconds % 60).cast(pl.String), fraction_text, pl.lit("S"))
    ).otherwise(pl.lit(""))
    parts = parts.struct.with_fields(
        time=pl.concat_str(
            _part(seconds // 3600, "H", minus), _part(seconds // 60 % 60, "M", minus), second_text
        )
    )
    time = pl.field("time")
    parts = parts.struct.with_fields(
        text=pl.concat_str(
            pl.when(pl.field("negative")).then(pl.lit("-")).otherwise(pl.lit("")),
            pl.lit("P"),
            _part(pl.field("y"), "Y"),
            _part(m, "M"),
            _part(d, "D"),
            pl.when(time != "").then(pl.concat_str(pl.lit("T"), time)).otherwise(pl.lit("")),
        )
    )
    text = parts.struct.field("text")
    return pl.when(text == "P").then(pl.lit("PT0S")).otherwise(text)


def _part(value: pl.Expr, letter: str, sign: pl.Expr | None = None) -> pl.Expr:
    digits = value.cast(pl.String)
    if sign is not None:
        digits = pl.concat_str(sign, digits)
    return pl.when(value != 0).then(pl.concat_str(digits, pl.lit(letter))).otherwise(pl.lit(""))
