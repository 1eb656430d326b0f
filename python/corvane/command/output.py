"""The command's output: written beside the target and renamed whole, or straight into a stream."""

from __future__ import annotations

import csv
import errno
import gzip
import io
import os
import re
import signal
import stat
import sys
import queue
import tempfile
import threading
from collections.abc import Collection, Sequence
from typing import IO

import polars as pl

from .._optional import require
from .errors import STOP_SIGNALS, InputError, OutputError, check_stopped
from .formats import Layout, descriptor_of, format_of, writable

_GZIP_LEVEL = 6
_OS_ERROR = re.compile(r"\(os error (\d+)\)|\[Errno (\d+)\]")




def same_file(path: str, identities: set[tuple[int, int]]) -> bool:
    """Whether ``path`` (following links) is one of the files being read."""
    try:
        st = os.stat(path)
    except OSError:
        return False
    return (st.st_dev, st.st_ino) in identities


def inside_input(output: str, folders: Sequence[str]) -> None:
    """Refuse an output anywhere inside an input folder: the next run would read it as input,
    and a partitioned folder would no longer read as one dataset. Raises InputError."""
    identities = set()
    for folder in folders:
        try:
            st = os.stat(folder)
        except OSError:
            continue
        identities.add((st.st_dev, st.st_ino))
    current = os.path.abspath(output)
    while identities:
        parent = os.path.dirname(current)
        if parent == current:
            return
        current = parent
        if same_file(current, identities):
            raise InputError(
                f"{output}: the output must not lie inside the input folder {folders[0]}"
            )


def stdout_identity() -> tuple[int, int] | None:
    try:
        st = os.fstat(sys.stdout.fileno())
    except (OSError, ValueError):
        return None
    return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None


def _is_text(dtype) -> bool:
    import pyarrow as pa

    return (
        pa.types.is_string(dtype)
        or pa.types.is_large_string(dtype)
        or pa.types.is_string_view(dtype)
    )


class Output:
    """Rows written batch by batch; a file target appears only at ``commit()``, a stream
    (stdout, a pipe, ``/dev/fd/N``) takes them as they come."""

    def __init__(
        self,
        target: str | None,
        names: Sequence[str],
        layout: Layout | None = None,
        uuids: Collection[str] = (),
    ) -> None:
        self.target = target
        self.names = list(names)
        self.layout = layout or Layout(format_of(target or "") or "csv")
        self.format = self.layout.format
        self._uuids = set(uuids)
        if self.format == "jsonl":
            repeated = next((n for n in self.names if self.names.count(n) > 1), None)
            if repeated is not None:
                raise InputError(
                    f"column '{repeated}' appears more than once; JSON Lines output needs"
                    " distinct names (write CSV or Parquet instead)"
                )
        # Written through pyarrow: checked before any file exists.
        if self.format == "arrow":
            require("pyarrow", "arrow", "Arrow output")
        elif self.format == "parquet" and len(set(self.names)) < len(self.names):
            require("pyarrow", "arrow", "Parquet output with a repeated column name")
        self._temp: str | None = None
        self._raw: IO[bytes] | None = None
        self._stream: IO[bytes] | None = None
        self._parquet = None
        self._arrow = None
        self._sink: _Sink | None = None
        self._written_back = 0  # bytes of the file handed to the kernel's writeback
        if target is None:
            self._stream = sys.stdout.buffer
        else:
            try:
                self._open(target)
            except BaseException:  # an interrupt between creating the file and returning
                self.abort()
                raise
        self._header_written = not self.layout.is_text

    def _open(self, target: str) -> None:
        descriptor = descriptor_of(target)
        if descriptor is not None:
            # A copy of the descriptor, not the name opened again: that would truncate a file
            # behind it, or replace it, where the shell meant it to take the rows as they come.
            try:
                self._final = target
                self._raw = os.fdopen(os.dup(descriptor), "wb")
            except OSError as e:
                raise OutputError(f"cannot write {target}: {e.strerror}") from None
            self._stream = self._raw
            return
        final = os.path.realpath(target)  # a link's file is replaced, not the link
        try:
            st = os.stat(final)
        except FileNotFoundError:
            st = None
        except OSError as e:
            raise OutputError(f"cannot write {target}: {e.strerror}") from None
        try:
            self._final = final
            if st is not None and not stat.S_ISREG(st.st_mode):
                # A device or pipe cannot be replaced: write to it directly.
                self._raw = open(final, "wb")
            else:
                directory = os.path.dirname(final)
                # Signals wait until the name is kept, so that an interrupt can remove it.
                mask = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
                try:
                    fd, self._temp = tempfile.mkstemp(
                        dir=directory, prefix=f".{os.path.basename(final)}.", suffix=".partial"
                    )
                finally:
                    signal.pthread_sigmask(signal.SIG_SETMASK, mask)
                umask = os.umask(0)
                os.umask(umask)
                os.fchmod(fd, stat.S_IMODE(st.st_mode) if st else 0o666 & ~umask)
                self._raw = os.fdopen(fd, "wb")
        except OSError as e:
            raise OutputError(f"cannot write {target}: {e.strerror}") from None
        if self.layout.gzip:
            self._stream = gzip.GzipFile(
                filename="", mode="wb", fileobj=self._raw, compresslevel=_GZIP_LEVEL, mtime=0
            )
        else:
            self._stream = self._raw

    @property
    def is_own_file(self) -> bool:
        """Whether the rows go to a temporary file of its own (not stdout or a device)."""
        return self._temp is not None

    def _header(self) -> bytes:
        text = io.StringIO()
        writer = csv.writer(text, delimiter=self.layout.delimiter, lineterminator="\n")
        writer.writerow(self.names)
        return text.getvalue().encode("utf-8", "surrogateescape")

    def _guard(self, fn, *args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except BrokenPipeError:
            raise
        except OSError as e:
            # polars reports "Broken pipe (os error 32)" without an errno.
            code = e.errno
            found = _OS_ERROR.search(str(e))
            if code is None and found:
                code = int(found.group(1) or found.group(2))
            if code == errno.EPIPE:
                raise BrokenPipeError(code, os.strerror(code)) from None
            reason = os.strerror(code) if code else str(e)
            raise OutputError(f"cannot write {self.target or 'stdout'}: {reason}") from None

    def _write_header(self) -> None:
        # Deferred to the first rows: input that fails at once leaves stdout empty.
        if not self._header_written:
            self._header_written = True
            self._guard(self._stream.write, self._header())

    def write(self, frame: pl.DataFrame) -> None:
        # Converted before the header: a column no format holds leaves stdout empty.
        frame = writable(frame, self.names, self.layout, self._uuids)
        self._write_header()
        layout = self.layout
        if self.format == "parquet":
            self._guard(self._write_parquet, frame)
        elif self.format == "arrow":
            self._guard(self._write_arrow, frame)
        elif self.format == "jsonl":
            frame.columns = self.names
            self._guard(frame.write_ndjson, self._stream)
            self._start_writeback()
        else:
            # One write_csv per batch, not a polars sink fed all batches: a sink keeps pulling
            # and formatting batches while the disk holds its writes back, and its memory
            # then grows with the file; this call returns once its rows are written.
            self._guard(
                frame.write_csv, self._stream, include_header=False,
                separator=layout.delimiter, decimal_comma=layout.decimal_comma,
            )
            self._start_writeback()

    def _start_writeback(self) -> None:
        """Have the kernel start writing the rows written since the last call to disk, without
        waiting: the fsync before the rename then finds little left to write."""
        if self._temp is None or not hasattr(os, "posix_fadvise"):
            return
        self._guard(self._raw.flush)
        try:
            fd = self._raw.fileno()
            end = os.fstat(fd).st_size  # the Parquet writer writes through a handle of its own
            # On Linux, "don't need" starts the writeback of the range's dirty pages; they stay
            # cached, as pages being written are not dropped. Only a hint: failing changes
            # nothing.
            os.posix_fadvise(fd, self._written_back, end - self._written_back,
                             os.POSIX_FADV_DONTNEED)
            self._written_back = end
        except OSError:
            pass

    def _write_parquet(self, frame: pl.DataFrame) -> None:
        if len(set(self.names)) == len(self.names):
            # polars writes it twice as fast as pyarrow, which need not even be imported.
            if self._sink is None:
                schema = dict(zip(self.names, frame.dtypes))
                self._sink = _Sink(self._temp or self._stream, schema, _sink_parquet)
            self._sink.write(frame)
            self._start_writeback()
            return
        # A header with a repeated name: only pyarrow tables may hold one.
        import pyarrow.parquet as pq

        table = frame.to_arrow().rename_columns(self.names)
        if self._parquet is None:
            # Its own handle on the same file: closing the writer closes only that. Text
            # columns get neither dictionaries nor statistics: they cost more than the
            # rest of the run, and an identifier column gains nothing from them.
            numeric = [f.name for f in table.schema if not _is_text(f.type)]
            self._parquet = pq.ParquetWriter(
                self._temp or self._stream,
                table.schema,
                use_dictionary=False,
                write_statistics=numeric,
            )
        elif table.schema != self._parquet.schema:
            table = table.cast(self._parquet.schema)
        self._parquet.write_table(table)

    def _write_arrow(self, frame: pl.DataFrame) -> None:
        import pyarrow as pa

        # The oldest layout (large strings, no views): every Arrow reader takes it.
        table = frame.to_arrow(compat_level=pl.CompatLevel.oldest()).rename_columns(self.names)
        if self._arrow is None:
            # The IPC file format writes forward only: a pipe takes it as well as a file.
            self._arrow = pa.ipc.new_file(self._stream, table.schema)
            self._arrow_schema = table.schema
        elif table.schema != self._arrow_schema:
            table = table.cast(self._arrow_schema)
        self._arrow.write_table(table)
        self._start_writeback()

    def commit(self) -> None:
        """Finish the file and move it into place."""
        self._write_header()
        self._guard(self._finish)
        if self._temp is not None:
            # Never put in place after a stop, even one that went astray or is still pending.
            mask = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
            try:
                if not signal.sigpending() & set(STOP_SIGNALS):
                    check_stopped()
                    self._guard(os.replace, self._temp, self._final)
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, mask)
            check_stopped()
            self._temp = None

    def _finish(self) -> None:
        if self._sink is not None:
            self._sink.close()
        if self._parquet is not None:
            self._parquet.close()
        if self._arrow is not None:
            self._arrow.close()
        if isinstance(self._stream, gzip.GzipFile):
            self._stream.close()  # the gzip trailer; the file beneath stays open
        if self._raw is not None:
            self._raw.flush()
            if self._temp is not None:
                os.fsync(self._raw.fileno())
            self._raw.close()
        elif self._stream is not None:
            self._stream.flush()

    def abort(self) -> None:
        """Drop what was written; the target stays as it was."""
        if self._sink is not None:
            self._sink.stop()
        if self._raw is not None:
            try:
                self._raw.close()
            except OSError:
                pass
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except OSError:
                pass
            self._temp = None


class _Stopped(Exception):
    """Ends a writer's input early: the file is dropped."""


def _sink_parquet(lazy: pl.LazyFrame, target) -> None:
    lazy.sink_parquet(target, compression="snappy")


class _Sink:
    """Frames written to one file by polars (``sink``), which writes on a thread of its own
    while it pulls them, one at a time, from ``write``. ``target`` is a path or an open file."""

    def __init__(self, target, schema, sink) -> None:
        from polars.io.plugins import register_io_source

        self._schema = dict(schema)
        self._frames: queue.Queue = queue.Queue(maxsize=1)
        self._error: BaseException | None = None
        lazy = register_io_source(self._pull, schema=self._schema)
        self._thread = threading.Thread(target=self._run, args=(sink, lazy, target))
        self._thread.start()

    def _pull(self, *_: object):
        while (frame := self._frames.get()) is not None:
            if frame is _Stopped:
                raise _Stopped
            yield frame

    def _run(self, sink, lazy: pl.LazyFrame, target) -> None:
        try:
            sink(lazy, target)
        except BaseException as e:  # raised again on the calling thread
            self._error = e

    def _put(self, item: object) -> None:
        # The writer takes the next frame once it is done with the last; should it fail
        # meanwhile, it takes none, and its error is raised here instead.
        while self._thread.is_alive():
            try:
                self._frames.put(item, timeout=0.05)
                return
            except queue.Full:
                pass
        self._raise()

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            # polars reports a failed write ("No space left on device (os error 28)") as a
            # ComputeError: raised as the OSError it is, it reads as one to the caller.
            found = _OS_ERROR.search(str(error))
            if isinstance(error, pl.exceptions.PolarsError) and found:
                code = int(found.group(1) or found.group(2))
                raise OSError(code, os.strerror(code)) from None
            raise error

    def write(self, frame: pl.DataFrame) -> None:
        frame.columns = list(self._schema)
        if frame.schema != self._schema:
            frame = frame.cast(self._schema)
        self._put(frame)

    def close(self) -> None:
        self._put(None)
        self._thread.join()
        self._raise()

    def stop(self) -> None:
        """End the writer without finishing the file."""
        if self._thread.is_alive():
            try:
                self._put(_Stopped)
            except BaseException:
                pass
            self._thread.join()
        self._error = None
