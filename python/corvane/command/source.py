"""Opening a cohort file for the command: what the file is, its header, and its rows in batches."""

from __future__ import annotations

import codecs
import functools
import gzip
import io
import itertools
import os
import re
import stat
import sys
import tempfile
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import IO

import polars as pl

from .._engine import count_byte
from . import folders
from .arrow_columns import ArrowFile, PolarsPanic, first_line, quiet_panic
from .errors import InputError

DELIMITERS = (",", ";", "\t", "|")
# Extra columns read past the header's width, so that a row with too many values is seen.
SPILL_COLUMNS = 4
_SNIFF_BYTES = 1 << 16
_CHUNK_BYTES = 1 << 20
# Text parsed at a time: memory stays near a few times this, whatever the file's size.
_PIECE_BYTES = 4 << 20
_FIRST_PIECE_BYTES = 1 << 20
_BLANK_LINES = re.compile(rb"(?:[ \t]*(?:\r\n|\n|\r))*")
_LINES_LOOKED_AT = 20
_EXCEL_SEPARATOR = re.compile(rb'"?sep=([^"\w\r\n ])"?')
_MAGIC = (  # (first bytes, what the file is, what to do)
    (b"PK\x03\x04", "a ZIP archive (an Excel workbook?)", "; save it as CSV"),
    (b"\xd0\xcf\x11\xe0", "an old Excel or Office file", "; save it as CSV"),
    (b"%PDF", "a PDF document", ""),
    (b"SQLite format 3", "an SQLite database", ""),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed data", "; decompress it first"),
    (b"BZh", "bzip2-compressed data", "; decompress it first"),
    (b"\xfd7zXZ", "xz-compressed data", "; decompress it first"),
    (b"<stata_dta>", "a Stata data file", "; export it as CSV or Parquet (pandas.read_stata)"),
    (b"$FL2", "an SPSS data file", "; export it as CSV or Parquet (pandas.read_spss)"),
    (b"$FL3", "an SPSS data file", "; export it as CSV or Parquet (pandas.read_spss)"),
    (b"HEADER RECORD*******LIBRARY HEADER RECORD", "a SAS transport file",
     "; export it as CSV or Parquet (pandas.read_sas)"),
    (b"\x00" * 12 + b"\xc2\xea\x81\x60\xb3\x14\x11\xcf\xbd\x92\x08\x00\x09\xc7\x31\x8c",
     "a SAS data set", "; export it as CSV or Parquet (pandas.read_sas)"),
    (b"FEA1", "an old Feather (version 1) file",
     "; save it again as Parquet or Feather version 2 (pyarrow.feather.write_feather)"),
)
# Formats known by their names alone (Stata's older versions have no telling first bytes).
_BINARY_SUFFIXES = {
    ".dta": ("a Stata data file", "pandas.read_stata"),
    ".sav": ("an SPSS data file", "pandas.read_spss"),
    ".sas7bdat": ("a SAS data set", "pandas.read_sas"),
    ".xpt": ("a SAS transport file", "pandas.read_sas"),
}


@dataclass
class Batch:
    """Rows of the input, in order, blank rows dropped."""

    frame: pl.DataFrame  # the input columns, named c0, c1, ... as the header's order
    # Per row, its physical line (CSV) or row number (Parquet); or, where they run on one by
    # one, the first row's alone: a number per row is built only for the few messages.
    where: pl.Series | int
    extra: pl.Series | None  # per row: values past the header's width (CSV), 0 if none
    # Rows from a folder: (first row in the batch, its file in the folder), in order; ``where``
    # then counts within each file.
    parts: list[tuple[int, str]] | None = None

    def files(self, rows: pl.Series) -> pl.Series | None:
        """The file each of ``rows`` comes from; None for a single file."""
        if not self.parts:
            return None
        starts = pl.Series([start for start, _ in self.parts], dtype=rows.dtype)
        names = pl.Series([name for _, name in self.parts], dtype=pl.String)
        return names.gather(starts.search_sorted(rows, side="right") - 1)


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
    spool: str | None = None  # a temporary copy, removed at close
    stream: IO[bytes] | None = None  # the open file, closed at close
    delimiter: str = ","
    below_header: list[tuple[int, str]] = field(default_factory=list)  # (line, text) of CSV
    folders: list[str] = field(default_factory=list)  # input folders, which no output may enter

    def close(self) -> None:
        if self.stream is not None:
            self.stream.close()
            self.stream = None
        if self.spool:
            os.unlink(self.spool)
            self.spool = None


def open_source(
    path: str,
    *,
    delimiter: str | None,
    encoding: str,
    batch_rows: int,
    wanted: Callable[[list[str]], int],
    skip_rows: int = 0,
) -> Source:
    """Open ``path`` (``-`` for stdin) for reading in batches of at most ``batch_rows`` rows.

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
            reopen = functools.partial(
                open_source, delimiter=delimiter, encoding=encoding, batch_rows=batch_rows,
                wanted=wanted,
            )
            source = _open_folder(name, path, batch_rows, identity, reopen)
            source.folders.append(path)
            return source
        else:
            stream = open(path, "rb")
        identity.add(_identity(os.fstat(stream.fileno())))
    except OSError as e:
        raise InputError(f"cannot read {name}: {e.strerror}") from None
    owned = stream if path != "-" else None
    try:
        head = stream.read(_SNIFF_BYTES)
        if head.startswith((b"PAR1", b"ARROW1")):
            opener = _open_parquet if head.startswith(b"PAR1") else _open_ipc
            if path != "-":
                return opener(name, path, batch_rows, identity)
            # Parquet and Arrow need to seek: stdin is copied to a temporary file first.
            spool = _spool(itertools.chain([head], _chunks(stream)))
            return opener(name, spool, batch_rows, identity, spool)
        if head.startswith(b"FEA1"):
            raise InputError(f"{name} is an old Feather (version 1) file; save it as Feather 2 or"
                             " Parquet")
        chunks: Iterator[bytes] = itertools.chain([head], _chunks(stream))
        if head.startswith(b"\x1f\x8b"):
            chunks = _gunzip(chunks, name)
            head = next(chunks, b"")
            chunks = itertools.chain([head], chunks)
            if head.startswith(b"PAR1"):
                raise InputError(f"{name} is gzip-compressed Parquet; decompress it first")
        _refuse_binary(name, head, encoding)
        encoding = _byte_order(name, head, encoding)
        # A plain file's size says how much text is still to come.
        size = None
        if codecs.lookup(encoding).name != "utf-8":
            chunks = _transcode(chunks, encoding, name)
        elif not head.startswith(b"\x1f\x8b") and owned is not None:
            st = os.fstat(stream.fileno())
            size = st.st_size if stat.S_ISREG(st.st_mode) else None
        source = _open_csv(name, chunks, delimiter, batch_rows, wanted, identity, size,
                           skip_rows)
        source.stream = owned
        return source
    except OSError as e:
        if owned:
            owned.close()
        raise InputError(f"cannot read {name}: {e.strerror}") from None
    except BaseException:
        if owned:
            owned.close()
        raise


def _identity(st: os.stat_result) -> tuple[int, int]:
    return (st.st_dev, st.st_ino)


def _chunks(stream) -> Iterator[memoryview]:
    """The stream's bytes, read into one buffer over and over: each chunk is valid only until
    the next is asked for, so every reader copies what it keeps. Memory read once is used
    again, where a new chunk each time would cost the kernel a fresh page at every 4 KiB."""
    buffer = bytearray(_CHUNK_BYTES)
    view = memoryview(buffer)
    while size := stream.readinto(buffer):
        yield view[:size]


class _ChunkReader(io.RawIOBase):
    """A readable file over an iterator of byte chunks (for GzipFile)."""

    def __init__(self, chunks: Iterator[bytes]) -> None:
        self._chunks = chunks
        self._rest = b""

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if not self._rest:
            self._rest = next(self._chunks, b"")
        n = min(len(buffer), len(self._rest))
        buffer[:n] = self._rest[:n]
        self._rest = self._rest[n:]
        return n


def _gunzip(chunks: Iterator[bytes], name: str) -> Iterator[bytes]:
    try:
        with gzip.GzipFile(fileobj=io.BufferedReader(_ChunkReader(chunks)), mode="rb") as unzipped:
            while chunk := unzipped.read(_CHUNK_BYTES):
                yield chunk
    except (gzip.BadGzipFile, EOFError, zlib.error) as e:
        raise InputError(f"{name}: damaged gzip data ({e})") from None


def _transcode(chunks: Iterator[bytes], encoding: str, name: str) -> Iterator[bytes]:
    decoder = codecs.getincrementaldecoder(encoding)("strict")
    try:
        for chunk in chunks:
            yield decoder.decode(chunk).encode("utf-8")
        yield decoder.decode(b"", final=True).encode("utf-8")
    except UnicodeDecodeError as e:
        raise InputError(f"{name}: not {encoding} text ({e.reason})") from None


def _spool(chunks: Iterator[bytes]) -> str:
    """Write ``chunks`` to a temporary file and return its path."""
    fd, path = tempfile.mkstemp(prefix="corvane-", suffix=".spool")
    try:
        with os.fdopen(fd, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
    except BaseException:
        os.unlink(path)
        raise
    return path


def _utf16_order(head: bytes) -> str | None:
    """ "le" or "be" when ``head`` looks like UTF-16 text without a byte-order mark: every
    other byte zero, as ASCII text is in UTF-16."""
    if len(head) >= 8 and head[1:8:2].count(0) == 4 and head[0:8:2].count(0) < 4:
        return "le"
    if len(head) >= 8 and head[0:8:2].count(0) == 4 and head[1:8:2].count(0) < 4:
        return "be"
    return None


def _byte_order(name: str, head: bytes, encoding: str) -> str:
    """The encoding to decode with: "utf-16" or "utf-32" without a byte-order mark, whose
    codec would fail on the first bytes, made the right -le or -be one."""
    codec = codecs.lookup(encoding).name
    if codec not in ("utf-16", "utf-32"):
        return encoding
    boms = {"utf-16": (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE),
            "utf-32": (codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)}[codec]
    if head.startswith(boms):
        return encoding
    order = _utf16_order(head) if codec == "utf-16" else None
    if order is None:
        raise InputError(
            f"{name}: no byte-order mark says how the {codec} text is laid out;"
            f" give --encoding {codec}-le or {codec}-be"
        )
    return f"{codec}-{order}"


def _refuse_binary(name: str, head: bytes, encoding: str) -> None:
    bom = head.startswith((b"\xff\xfe", b"\xfe\xff"))
    order = _utf16_order(head)
    if (bom or order) and not codecs.lookup(encoding).name.startswith("utf-16"):
        give = f"utf-16-{order}" if order else "utf-16"
        raise InputError(
            f"{name} looks like UTF-16 text; give --encoding {give} or save it as UTF-8"
        )
    for magic, what, advice in _MAGIC:
        if head.startswith(magic):
            raise InputError(f"{name} looks like {what}, not a CSV or Parquet file{advice}")
    for suffix, (what, reader) in _BINARY_SUFFIXES.items():
        if name.lower().endswith(suffix) and not head.isascii():
            raise InputError(f"{name} looks like {what}, not a CSV or Parquet file;"
                             f" export it as CSV or Parquet ({reader})")
    if not (bom or order) and b"\x00" in head:
        raise InputError(f"{name} looks like a binary file, not a CSV or Parquet file")


# CSV --------------------------------------------------------------------------------------------


def _open_csv(
    name, chunks, delimiter, batch_rows, wanted, identity, size=None, skip_rows=0
) -> Source:
    chunks = _skip_empty(chunks)
    first = next(chunks, b"").removeprefix(codecs.BOM_UTF8)
    eol = b"\n" if b"\n" in first else b"\r" if b"\r" in first else b"\n"

    def line_end(start: int) -> int:
        """Where the line starting at ``start`` ends, reading on as far as it goes."""
        nonlocal first
        end = first.find(eol, start)
        while end < 0:  # a line longer than a chunk, or the file's last
            more = next(chunks, None)
            if more is None:
                return len(first)
            first += more
            end = first.find(eol, start)
        return end

    start = skipped = 0  # where the header starts, and the lines above it
    for _ in range(skip_rows):  # titles above the header, as exports write them
        start = line_end(start) + len(eol)
        skipped += 1
        if start > len(first):
            raise InputError(f"{name}: fewer than the {skip_rows:,} lines --skip-rows skips")
    blank_end = _BLANK_LINES.match(first, start).end()
    skipped += first[start:blank_end].count(eol)
    # Excel writes "sep=;" above the header to say which delimiter it used.
    excel = _EXCEL_SEPARATOR.fullmatch(first[blank_end : line_end(blank_end)].rstrip(b"\r "))
    if excel:
        delimiter = delimiter or excel.group(1).decode()
        start = line_end(blank_end) + len(eol)
        blank_end = _BLANK_LINES.match(first, start).end()
        skipped += 1 + first[start:blank_end].count(eol)
    blank = skipped
    header_end = line_end(blank_end)
    line = first[blank_end:header_end]
    if not line.strip():
        raise InputError(f"{name}: empty file (expected a header line with column names)")
    if line.count(b'"') % 2:
        raise InputError(f"{name}: the header line cannot be read: is a quote left open?")
    text = line.decode("utf-8", "replace")
    chosen = delimiter or _detect_delimiter(text, wanted)
    header = _read_header(name, line, chosen)
    width = len(header)
    body = itertools.chain([first[header_end + len(eol) :]], chunks)

    def batches() -> Iterator[Batch]:
        names = [f"c{i}" for i in range(width + SPILL_COLUMNS)]
        options = dict(
            has_header=False,
            separator=chosen,
            eol_char=eol.decode(),
            quote_char='"',
            missing_columns="insert",
            extra_columns="ignore",  # else a first record longer than the schema fails
            truncate_ragged_lines=True,
            empty_string_is_null=True,
        )
        # One column past the header's width shows whether any row is too long; only then
        # is the piece read again with all of them, to count its values (each column read
        # costs a tenth of the parse, even when empty).
        narrow = dict.fromkeys(names[: width + 1], pl.String)
        wide = dict.fromkeys(names, pl.String)
        next_line = blank + 2
        for piece in _pieces(body, eol, size):
            try:
                frame = pl.read_csv(piece, schema=narrow, **options)
                if frame[names[width]].null_count() < len(frame):
                    frame = pl.read_csv(piece, schema=wide, **options)
            except pl.exceptions.PolarsError as e:
                open_quote = _open_quote_line(piece, eol)
                if open_quote is not None:
                    raise InputError(
                        f"{name}: line {next_line + open_quote:,}: a quote opens a value that"
                        ' never closes (a quote inside a value is written twice: "")'
                    ) from None
                raise _unreadable(name, e, next_line) from None
            where = _physical_lines(frame, next_line, eol, b'"' in piece)
            next_line += _count(piece, eol)
            for offset in range(0, len(frame), batch_rows):
                part = frame.slice(offset, batch_rows)
                lines = (
                    where + offset if isinstance(where, int) else where.slice(offset, batch_rows)
                )
                yield _batch(part, lines, part.columns, width)

    source = Source(name, header, batches, False, "line", identity, delimiter=chosen)
    # A few lines below the header, for a hint should the header be one of them.
    below = first[header_end + len(eol) : header_end + _SNIFF_BYTES].split(eol)[:_LINES_LOOKED_AT]
    source.below_header = [(blank + 2 + i, b.decode("utf-8", "replace")) for i, b in
                           enumerate(below)]
    return source


def _physical_lines(
    frame: pl.DataFrame, start: int, eol: bytes, has_quotes: bool
) -> pl.Series | int:
    """The physical line on which each row starts; ``start`` is the first row's. Without
    quotes, rows are lines: the first row's line alone says where every row is."""
    if not has_quotes:
        return start
    # A quoted field may hold line ends: each moves the following rows down.
    breaks = frame.select(
        pl.sum_horizontal(pl.all().str.count_matches(eol.decode(), literal=True)).fill_null(0)
    ).to_series()
    return _each_row(start, len(frame)) + breaks.cum_sum().shift(1, fill_value=0).cast(pl.Int64)


def _each_row(where: pl.Series | int, n: int) -> pl.Series:
    """A batch's ``where`` as one number per row."""
    if isinstance(where, pl.Series):
        return where
    return pl.int_range(where, where + n, dtype=pl.Int64, eager=True)


def _batch(frame: pl.DataFrame, where: pl.Series | int, names: list[str], width: int) -> Batch:
    extra = _extra_values(frame, names[width:])
    frame = frame.select(names[:width])
    # A blank row has every cell null; null counts are known without a scan.
    if extra is not None or min(c.null_count() for c in frame.get_columns()) > 0:
        keep = ~frame.select(pl.all_horizontal(pl.all().is_null())).to_series()
        if extra is not None:
            keep = keep | (extra > 0)
        if not keep.all():
            frame, where = frame.filter(keep), _each_row(where, len(frame)).filter(keep)
            extra = extra.filter(keep) if extra is not None else None
    return Batch(frame, where, extra)


def _skip_empty(chunks: Iterator[bytes]) -> Iterator[bytes]:
    return (chunk for chunk in chunks if chunk)


def _pieces(chunks: Iterator[bytes], eol: bytes, size: int | None = None) -> Iterator[bytes]:
    """The text cut into pieces of about _PIECE_BYTES that each end with a whole record.
    ``size``, when known, is about how long the text is: the last pieces are then smaller.

    In RFC 4180 text a line end closes a record exactly when an even number of quotes
    precede it since the last record's end (an escaped quote counts two), so counting
    quotes finds the last whole record without parsing a field.
    """
    # One buffer of a fixed size, holding the text not yet handed out from its start: a
    # bytearray grown and cut at its front would give its memory back and fault it in anew
    # for every piece. It grows only for a record longer than a piece.
    buffer = bytearray(_PIECE_BYTES + _CHUNK_BYTES)
    filled = 0
    # The first pieces are smaller: scoring and writing start sooner.
    wanted = min(_FIRST_PIECE_BYTES, _PIECE_BYTES)
    seen = 0
    for chunk in chunks:
        seen += len(chunk)
        end = filled + len(chunk)
        if end > len(buffer):
            buffer.extend(bytes(end - len(buffer)))
        buffer[filled:end] = chunk
        filled = end
        if filled < wanted:
            continue
        cut = _last_record_end(buffer, filled, eol)
        if cut is None:
            continue  # one record longer than a piece
        wanted = min(2 * wanted, _PIECE_BYTES)
        if size is not None:
            # Each piece at most half of what is left: the run ends on a small piece, the
            # one stretch where scoring and writing cannot overlap with reading.
            left = max(size - seen, 0) + filled - cut
            wanted = min(wanted, max(_FIRST_PIECE_BYTES, left // 2))
        yield bytes(memoryview(buffer)[:cut])
        buffer[: filled - cut] = buffer[cut:filled]  # the start of the next record
        filled -= cut
    if filled:
        yield bytes(memoryview(buffer)[:filled])


def _last_record_end(data: bytearray, end: int, eol: bytes) -> int | None:
    """Where the last whole record of ``data[:end]`` ends, or None if it holds none."""
    pos = data.rfind(eol, 0, end)
    if pos < 0:
        return None
    # Most files quote nothing: finding no quote costs a tenth of counting them.
    quotes = _count(data, b'"', 0, pos) if data.find(b'"', 0, end) >= 0 else 0
    while quotes % 2:
        earlier = data.rfind(eol, 0, pos)
        if earlier < 0:
            return None
        quotes -= data.count(b'"', earlier, pos)
        pos = earlier
    return pos + len(eol)


def _count(data: bytes, byte: bytes, start: int = 0, end: int | None = None) -> int:
    """How often the one-byte ``byte`` occurs in ``data[start:end]``: the extension counts
    about twenty times as fast as bytes.count, and without holding the interpreter lock."""
    return count_byte(data, byte[0], start, end)


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


def other_delimiter_hint(source: Source, wanted: Callable[[list[str]], int], needed: int) -> str:
    """A hint naming a delimiter that would split the header into the needed columns, or a
    line below it that would be the header."""
    for line, text in source.below_header:
        if max(wanted(text.split(d)) for d in DELIMITERS) == needed:
            return f"; the header seems to be line {line:,}: give --skip-rows {line - 1:,}"
    joined = source.delimiter.join(source.header)
    for d in DELIMITERS:
        if d != source.delimiter and wanted(joined.split(d)) == needed:
            shown = "tab" if d == "\t" else repr(d)
            return f"; the header splits with {shown}: try --delimiter {shown}"
    return ""


def _read_header(name: str, line: bytes, delimiter: str) -> list[str]:
    try:
        frame = pl.read_csv(
            line, has_header=False, separator=delimiter, quote_char='"', infer_schema=False
        )
    except pl.exceptions.PolarsError as e:
        raise _unreadable(name, e, None) from None
    if not len(frame):
        raise InputError(f"{name}: the header line cannot be read: is a quote left open?")
    return ["" if v is None else v for v in frame.row(0)]


def _open_quote_line(piece: bytes, eol: bytes) -> int | None:
    """The line of ``piece`` (0 for its first) on which a quote opens that nothing closes,
    or None when every quote is closed."""
    line = opened = 0
    inside = False
    for found in re.finditer(b'"|' + re.escape(eol), piece):
        if found.group() == eol:
            line += 1
        else:
            inside = not inside
            opened = line if inside else opened
    return opened if inside else None


def _unreadable(name: str, e: Exception, line: int | None) -> InputError:
    text = first_line(e)
    if "utf-8" in text.lower():
        return InputError(f"{name}: not UTF-8 text; give its encoding, e.g. --encoding latin-1")
    where = f" after line {line - 1}" if line else ""
    return InputError(f"{name}: not valid CSV{where} ({text})")


# Parquet ----------------------------------------------------------------------------------------


def _open_parquet(name, path, batch_rows, identity, spool=None, scan=pl.scan_parquet) -> Source:
    try:
        lazy = scan(path)
        schema = quiet_panic(lazy.collect_schema)
    except PolarsPanic:
        # A column polars cannot take (an interval): the file is read through pyarrow.
        try:
            if scan is pl.scan_parquet:
                whole = folders.ParquetFolder(name, [folders.Part(name, path)])
            else:
                whole = ArrowFile(name, path)
            return _open_parts(name, whole, batch_rows, identity, spool, named=False)
        except BaseException:
            if spool:
                os.unlink(spool)
            raise
    except (pl.exceptions.PolarsError, OSError) as e:
        if spool:
            os.unlink(spool)
        kind = "Parquet" if scan is pl.scan_parquet else "Arrow"
        raise InputError(f"{name}: cannot read as {kind} ({first_line(e)})") from None
    header = list(schema.names())

    def batches() -> Iterator[Batch]:
        renamed = lazy.rename({c: f"c{i}" for i, c in enumerate(header)})
        row = 1
        try:
            for frame in renamed.collect_batches(chunk_size=batch_rows):
                n = len(frame)
                yield Batch(frame, row, None)
                row += n
        except pl.exceptions.PolarsError as e:
            raise InputError(f"{name}: cannot read as Parquet ({first_line(e)})") from None
        except BaseException as e:
            if type(e).__name__ != "PanicException":  # a panic cannot be caught by its type
                raise
            raise InputError(f"{name}: cannot read as Parquet ({first_line(e)})") from None

    return Source(name, header, batches, True, "row", identity, schema, spool)


def _open_ipc(name, path, batch_rows, identity, spool=None) -> Source:
    return _open_parquet(name, path, batch_rows, identity, spool, scan=pl.scan_ipc)


# Folders ----------------------------------------------------------------------------------------


def _open_folder(name, path, batch_rows, identity, reopen) -> Source:
    parts = folders.list_parts(path)
    if folders.folder_kind(name, parts) == "parquet":
        return _open_parts(name, folders.ParquetFolder(name, parts), batch_rows, identity)
    parts = [p for p in parts if os.path.getsize(p.full)]  # engines write empty parts
    opened = []
    for part in parts:
        source = reopen(part.full)
        source.close()
        identity |= source.identity
        if opened and source.header != opened[0].header:
            raise InputError(f"{name}: the header of {part.path} differs from that of"
                             f" {parts[0].path}")
        opened.append(source)
    if not opened:
        raise InputError(f"{name}: every CSV part is empty")
    first = opened[0]
    # Partition values join the text the parts hold as text.
    partitions = list(folders.partition_columns(parts, first.header))
    width = len(first.header)

    def batches() -> Iterator[Batch]:
        for part in parts:
            source = reopen(part.full)
            try:
                values = [pl.lit(part.partition.get(k), pl.String).alias(f"c{width + i}")
                          for i, k in enumerate(partitions)]
                for batch in source.batches():
                    batch.frame = batch.frame.with_columns(values) if values else batch.frame
                    batch.parts = [(0, part.path)]
                    yield batch
            finally:
                source.close()

    header = first.header + partitions
    return Source(name, header, batches, False, "line", identity, delimiter=first.delimiter)


def _open_parts(name, folder, batch_rows, identity, spool=None, named=True) -> Source:
    header = list(folder.schema.names())
    renamed = {c: f"c{i}" for i, c in enumerate(header)}

    def batches() -> Iterator[Batch]:
        held: list[tuple[pl.DataFrame, str, int]] = []
        size = 0
        for frame, file, row in folder.frames(batch_rows):
            while len(frame):
                taken = frame.slice(0, batch_rows - size)
                held.append((taken, file, row))
                size += len(taken)
                frame, row = frame.slice(len(taken)), row + len(taken)
                if size == batch_rows:
                    yield _gathered(held, renamed, named)
                    held, size = [], 0
        if held:
            yield _gathered(held, renamed, named)

    return Source(name, header, batches, True, "row", identity, folder.schema, spool)


def _gathered(held, renamed, named) -> Batch:
    """One batch of rows from one or more files."""
    frame = pl.concat([f for f, _, _ in held], rechunk=False).rename(renamed)
    if len(held) == 1:
        where = held[0][2]
    else:
        where = pl.concat([_each_row(row, len(f)) for f, _, row in held])
    starts = itertools.accumulate((len(f) for f, _, _ in held[:-1]), initial=0)
    parts = [(start, file) for start, (_, file, _) in zip(starts, held)] if named else None
    return Batch(frame, where, None, parts)
