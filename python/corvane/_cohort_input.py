"""Opening a cohort file for the command: what the file is, its header, and its rows in batches."""

from __future__ import annotations

import codecs
import gzip
import os
import re
import sys
import tempfile
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

import polars as pl

DELIMITERS = (",", ";", "\t", "|")
# Extra columns read past the header's width, so that a row with too many values is seen.
SPILL_COLUMNS = 4
_SNIFF_BYTES = 1 << 16
_COPY_BYTES = 1 << 20
_BLANK_LINES = re.compile(rb"(?:[ \t]*(?:\r\n|\n|\r))*")
_MAGIC = (
    (b"PK\x03\x04", "a ZIP archive (an Excel workbook?); save it as CSV"),
    (b"\xd0\xcf\x11\xe0", "an old Excel or Office file; save it as CSV"),
    (b"%PDF", "a PDF document"),
    (b"SQLite format 3", "an SQLite database"),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed data; decompress it first"),
    (b"BZh", "bzip2-compressed data; decompress it first"),
    (b"\xfd7zXZ", "xz-compressed data; decompress it first"),
)


class InputError(Exception):
    """The input cannot be read as a whole (exit status 2); the text is the whole message."""


@dataclass
class Batch:
    """Rows of the input, in order, blank rows dropped."""

    frame: pl.DataFrame  # the input columns, named c0, c1, ... as the header's order
    where: pl.Series  # per row: the physical line (CSV) or the row number (Parquet)
    extra: pl.Series | None  # per row: values past the header's width (CSV), 0 if none


@dataclass
class Source:
    """An opened input: its header and a way to read its rows once."""

    name: str
    header: list[str]  # column names as written
    batches: Callable[[], Iterator[Batch]]
    is_parquet: bool
    where_word: str  # "line" or "row", for messages about one record
    identity: set[tuple[int, int]] = field(default_factory=set)  # (device, inode) read from
    schema: pl.Schema | None = None  # Parquet input keeps its column types
    _spool: str | None = None

    def close(self) -> None:
        if self._spool:
            os.unlink(self._spool)
            self._spool = None


def open_source(
    path: str,
    *,
    delimiter: str | None,
    encoding: str,
    batch_rows: int,
    wanted: Callable[[list[str]], int],
) -> Source:
    """Open ``path`` (``-`` for stdin) for reading in batches of about ``batch_rows`` rows.

    ``wanted(names)`` counts how many of the needed columns a candidate header holds; the
    delimiter is the candidate that finds the most. Raises InputError.
    """
    name = "stdin" if path == "-" else path
    identity: set[tuple[int, int]] = set()
    try:
        if path == "-":
            stream = sys.stdin.buffer
        elif os.path.isdir(path):
            identity.add(_identity(os.stat(path)))
            return _open_parquet(name, path, batch_rows, identity)
        else:
            stream = open(path, "rb")
        identity.add(_identity(os.fstat(stream.fileno())))
    except OSError as e:
        raise InputError(f"cannot read {name}: {e.strerror}") from None
    spool = None
    try:
        try:
            # polars reads files: stdin and gzip are copied to a temporary one first.
            if stream.peek(2)[:2] == b"\x1f\x8b":
                spool = _spool(_gunzip(stream, name))
            elif path == "-":
                spool = _spool(_copy(stream))
        finally:
            if path != "-":
                stream.close()
        local = spool or path
        head = _head(local)
        if head.startswith(b"PAR1"):
            return _open_parquet(name, local, batch_rows, identity, spool)
        _refuse_binary(name, head, encoding)
        if codecs.lookup(encoding).name != "utf-8":
            with open(local, "rb") as raw:
                utf8 = _spool(_transcode(raw, encoding, name))
            if spool:
                os.unlink(spool)
            spool = local = utf8
            head = _head(local)
        return _open_csv(name, local, head, delimiter, batch_rows, wanted, identity, spool)
    except OSError as e:
        if spool:
            os.unlink(spool)
        raise InputError(f"cannot read {name}: {e.strerror}") from None
    except BaseException:
        if spool:
            os.unlink(spool)
        raise


def _identity(st: os.stat_result) -> tuple[int, int]:
    return (st.st_dev, st.st_ino)


def _head(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read(_SNIFF_BYTES)


def _copy(stream) -> Iterator[bytes]:
    while chunk := stream.read(_COPY_BYTES):
        yield chunk


def _gunzip(stream, name: str) -> Iterator[bytes]:
    try:
        with gzip.GzipFile(fileobj=stream, mode="rb") as unzipped:
            while chunk := unzipped.read(_COPY_BYTES):
                yield chunk
    except (gzip.BadGzipFile, EOFError, zlib.error) as e:
        raise InputError(f"{name}: damaged gzip data ({e})") from None


def _transcode(raw, encoding: str, name: str) -> Iterator[bytes]:
    decoder = codecs.getincrementaldecoder(encoding)("strict")
    try:
        while chunk := raw.read(_COPY_BYTES):
            yield decoder.decode(chunk).encode("utf-8")
        yield decoder.decode(b"", final=True).encode("utf-8")
    except UnicodeDecodeError as e:
        raise InputError(f"{name}: not {encoding} text ({e.reason})") from None


def _spool(chunks: Iterator[bytes]) -> str:
    """Write ``chunks`` to a temporary file and return its path: polars reads files."""
    fd, path = tempfile.mkstemp(prefix="corvane-", suffix=".spool")
    try:
        with os.fdopen(fd, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
    except BaseException:
        os.unlink(path)
        raise
    return path


def _refuse_binary(name: str, head: bytes, encoding: str) -> None:
    utf16 = head.startswith((b"\xff\xfe", b"\xfe\xff")) or (
        len(head) >= 8 and (head[1:8:2].count(0) == 4 or head[0:8:2].count(0) == 4)
    )
    if utf16 and not codecs.lookup(encoding).name.startswith("utf-16"):
        raise InputError(f"{name} looks like UTF-16 text; give --encoding utf-16 or save it as UTF-8")
    for magic, what in _MAGIC:
        if head.startswith(magic):
            raise InputError(f"{name} looks like {what}, not a CSV or Parquet file")
    if not utf16 and b"\x00" in head:
        raise InputError(f"{name} looks like a binary file, not a CSV or Parquet file")


# CSV --------------------------------------------------------------------------------------------


def _open_csv(name, path, head, delimiter, batch_rows, wanted, identity, spool) -> Source:
    head = head.removeprefix(codecs.BOM_UTF8)
    eol = "\n" if b"\n" in head else "\r" if b"\r" in head else "\n"
    blank = _BLANK_LINES.match(head).group().count(eol.encode())
    first_line = head[len(_BLANK_LINES.match(head).group()) :].split(eol.encode(), 1)[0]
    if not first_line.strip():
        raise InputError(f"{name}: empty file (expected a header line with column names)")
    text = first_line.decode("utf-8", "replace")
    chosen = delimiter or _detect_delimiter(text, wanted)
    header = _read_header(name, path, chosen, eol, blank)
    has_quotes = _has_quotes(path)
    width = len(header)

    def batches() -> Iterator[Batch]:
        names = [f"c{i}" for i in range(width + SPILL_COLUMNS)]
        frames = pl.scan_csv(
            path,
            has_header=False,
            separator=chosen,
            eol_char=eol,
            quote_char='"',
            skip_rows=blank + 1,
            schema=dict.fromkeys(names, pl.String),
            missing_columns="insert",
            truncate_ragged_lines=True,
            empty_string_is_null=True,
        ).collect_batches(chunk_size=batch_rows)
        line = blank + 2
        for frame in _guarded(frames, name):
            n = len(frame)
            where = pl.int_range(line, line + n, dtype=pl.Int64, eager=True)
            if has_quotes:
                breaks = frame.select(
                    pl.sum_horizontal(pl.all().str.count_matches(eol, literal=True)).fill_null(0)
                ).to_series()
                where = where + breaks.cum_sum().shift(1, fill_value=0).cast(pl.Int64)
                line += int(breaks.sum())
            line += n
            extra = _extra_values(frame, names[width:])
            frame = frame.select(names[:width])
            # A blank row has every cell null; null counts are known without a scan.
            if extra is not None or min(c.null_count() for c in frame.get_columns()) > 0:
                keep = ~frame.select(pl.all_horizontal(pl.all().is_null())).to_series()
                if extra is not None:
                    keep = keep | (extra > 0)
                if not keep.all():
                    frame, where = frame.filter(keep), where.filter(keep)
                    extra = extra.filter(keep) if extra is not None else None
            yield Batch(frame, where, extra)

    return Source(name, header, batches, False, "line", identity, None, spool)


def _extra_values(frame: pl.DataFrame, spill: list[str]) -> pl.Series | None:
    """Per row, how many values it has past the header's width; None when no row has any."""
    if all(frame[c].null_count() == len(frame) for c in spill):
        return None
    return frame.select(
        pl.max_horizontal(
            pl.when(pl.col(c).is_not_null()).then(i + 1).otherwise(0) for i, c in enumerate(spill)
        )
    ).to_series()


def _detect_delimiter(first_line: str, wanted: Callable[[list[str]], int]) -> str:
    def quality(d: str) -> tuple[int, int, bool]:
        names = first_line.split(d)
        return (wanted(names), len(names), d == ",")

    return max(DELIMITERS, key=quality)


def other_delimiter_hint(source: Source, delimiter: str, wanted, needed: int) -> str:
    """A hint naming a delimiter that would split the header into the needed columns."""
    joined = delimiter.join(source.header)
    for d in DELIMITERS:
        if d != delimiter and wanted(joined.split(d)) == needed:
            shown = "tab" if d == "\t" else repr(d)
            return f"; the header splits with {shown}: try --delimiter {shown}"
    return ""


def _read_header(name: str, path: str, delimiter: str, eol: str, blank: int) -> list[str]:
    try:
        frame = pl.read_csv(
            path,
            has_header=False,
            separator=delimiter,
            eol_char=eol,
            quote_char='"',
            skip_rows=blank,
            n_rows=1,
            infer_schema=False,
            truncate_ragged_lines=True,
        )
    except pl.exceptions.PolarsError as e:
        raise _unreadable(name, e) from None
    if not len(frame):
        raise InputError(f"{name}: the header line cannot be read: is a quote left open?")
    header = ["" if v is None else v for v in frame.row(0)]
    for text in header:
        if "\n" in text or "\r" in text:
            raise InputError(
                f"{name}: the header has a line break inside quotes"
                f" ({text.splitlines()[0]!r}...): is a quote left open?"
            )
    return header


def _has_quotes(path: str) -> bool:
    # Without any quote no field can hold a line break, and line numbers need no counting.
    with open(path, "rb") as f:
        while chunk := f.read(_COPY_BYTES):
            if b'"' in chunk:
                return True
    return False


def _guarded(frames: Iterator[pl.DataFrame], name: str) -> Iterator[pl.DataFrame]:
    try:
        yield from frames
    except pl.exceptions.PolarsError as e:
        raise _unreadable(name, e) from None


def _unreadable(name: str, e: Exception) -> InputError:
    text = _first_line(e)
    if "utf-8" in text.lower():
        return InputError(f"{name}: not UTF-8 text; give its encoding, e.g. --encoding latin-1")
    return InputError(f"{name}: not valid CSV ({text})")


def _first_line(e: BaseException) -> str:
    text = str(e).strip().splitlines()
    line = text[0] if text else type(e).__name__
    return line if len(line) <= 120 else line[:117] + "..."


# Parquet ----------------------------------------------------------------------------------------


def _open_parquet(name, path, batch_rows, identity, spool=None) -> Source:
    try:
        lazy = pl.scan_parquet(path)
        schema = lazy.collect_schema()
    except (pl.exceptions.PolarsError, OSError) as e:
        if spool:
            os.unlink(spool)
        raise InputError(f"{name}: cannot read as Parquet ({_first_line(e)})") from None
    header = list(schema.names())

    def batches() -> Iterator[Batch]:
        renamed = lazy.rename({c: f"c{i}" for i, c in enumerate(header)})
        row = 1
        try:
            for frame in renamed.collect_batches(chunk_size=batch_rows):
                n = len(frame)
                yield Batch(frame, pl.int_range(row, row + n, dtype=pl.Int64, eager=True), None)
                row += n
        except pl.exceptions.PolarsError as e:
            raise InputError(f"{name}: cannot read as Parquet ({_first_line(e)})") from None

    return Source(name, header, batches, True, "row", identity, schema, spool)
