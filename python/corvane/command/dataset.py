"""``corvane score DATASET -o OUTDIR --scheduler ...``: a Parquet dataset scored on Dask.

The input is a directory of Parquet files, a glob matching some, or one file; the output
is a directory of Parquet files, one per input partition, each holding the input columns
as they are, the risk columns and ``error``. It is written to a temporary directory beside
OUTDIR and renamed into place only when every partition is written, so OUTDIR is either
the whole new result or what it was before.
"""

from __future__ import annotations

import contextlib
import glob
import logging
import os
import re
import shutil
import signal
import sys
import tempfile
import traceback
import warnings
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TextIO

from .._names import HORIZONS, INPUT_COLUMNS, OUTCOMES, risk_column
from .output import Interrupted

EXIT_OK, EXIT_ROWS_UNREADABLE, EXIT_USAGE, EXIT_UNWRITABLE, EXIT_BUG, EXIT_INTERRUPTED = (
    0, 1, 2, 3, 4, 130)
PART_NAME = "part.{:05d}.parquet"
_PART = re.compile(r"part\.\d{5,}\.parquet")
_GLOB = re.compile(r"[*?[]")
# The local cluster's status server: on this machine only, on a free port (8787 may be taken,
# and the warning saying so would spoil the command's one-line report).
LOOPBACK_ANY_PORT = "127.0.0.1:0"


class DatasetError(Exception):
    """A problem that ends the run with ``status`` and a one-line message."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class OutputError(Exception):
    """A worker could not write its part of the output (raised in the worker)."""


def score_dataset(
    dataset: str,
    outdir: str,
    scheduler: str,
    outcomes: Iterable[str] | str,
    horizons: Iterable[int] | int,
    *,
    cholesterol_unit: str = "mg/dL",
    overwrite_columns: bool = False,
    columns: dict[str, str] | None = None,
    codes: dict[str, dict[str, str]] | None = None,
    stderr: TextIO | None = None,
    scorer: Callable[[], Callable[..., Any]],
) -> int:
    """Score ``dataset`` into ``outdir`` on ``scheduler``; return the exit status.

    ``scorer`` gives the function that scores a Dask DataFrame (``corvane.dask.score``,
    handed down by the caller: this layer imports no public module), raising ImportError
    when Dask is missing. ``scheduler`` is a Dask scheduler's address, ``local`` (a cluster of one process per
    available processor, started and stopped here) or ``local:N``. Status: 0 every row
    read, 1 some rows had missing or unreadable values (written all the same, with the
    reason in ``error``), 2 a usage error or an unreadable input, 3 the output could not
    be written, 4 an internal error (with its traceback), 130 interrupted. Messages are one
    line on ``stderr``.
    """
    stderr = stderr or sys.stderr
    try:
        with warnings.catch_warnings():
            # The run reports in one line; Dask's advice would only bury it.
            warnings.filterwarnings("ignore", module=r"(distributed|dask)\b")
            rows, unreadable = _run(
                dataset, outdir, scheduler, outcomes, horizons, cholesterol_unit,
                overwrite_columns, columns or None, codes or None, scorer,
            )
    except DatasetError as e:
        print(f"corvane: {e}", file=stderr)
        return e.status
    except (KeyboardInterrupt, Interrupted):
        print(f"\ncorvane: interrupted; {outdir} is unchanged", file=stderr)
        return EXIT_INTERRUPTED
    except Exception:
        traceback.print_exc(file=stderr)
        print(f"corvane: internal error; {outdir} is unchanged; please report it", file=stderr)
        return EXIT_BUG
    if unreadable:
        print(
            f"corvane: {unreadable:,} of {rows:,} rows could not be read;"
            " the error column says why",
            file=stderr,
        )
        return EXIT_ROWS_UNREADABLE
    return EXIT_OK


def _run(
    dataset: str,
    outdir: str,
    scheduler: str,
    outcomes: Any,
    horizons: Any,
    cholesterol_unit: str,
    overwrite_columns: bool,
    columns: dict[str, str] | None,
    codes: dict[str, dict[str, str]] | None,
    scorer: Callable[[], Callable[..., Any]],
) -> tuple[int, int]:
    try:
        import dask.dataframe as dd

        score = scorer()
    except ImportError:
        message = '--scheduler needs Dask: pip install "corvane[dask]"'
        raise DatasetError(message, EXIT_USAGE) from None

    workers = _local_workers(scheduler)
    files = _input_files(dataset)
    _check_output(outdir, dataset, files)
    # A directory is read as such, so partitioning folders (year=2020/) become columns.
    source = files if _GLOB.search(dataset) else dataset
    try:
        ddf = dd.read_parquet(source, index=False)
    except Exception as e:  # noqa: BLE001 - pyarrow and fsspec raise many kinds
        raise DatasetError(f"cannot read {dataset}: {_reason(e)}", EXIT_USAGE) from None
    outputs = {"error"} | {risk_column(o, h) for o in OUTCOMES for h in HORIZONS}
    present = [c for c in ddf.columns if c in outputs]
    if present and not overwrite_columns:
        raise DatasetError(
            f"{dataset} already has the column{'s' * (len(present) > 1)} {', '.join(present)};"
            " use --overwrite-columns to replace them",
            EXIT_USAGE,
        )
    keep = [c for c in ddf.columns if c not in outputs]
    try:
        scored = score(
            ddf, outcomes, horizons, keep=keep, cholesterol_unit=cholesterol_unit,
            columns=columns, codes=codes,
        )
    except (TypeError, ValueError) as e:
        raise DatasetError(f"{dataset}: {e}", EXIT_USAGE) from None
    # A reason that names a column is about the row's values, not a model's ranges.
    names = {*INPUT_COLUMNS, *map(str, ddf.columns)}
    unreadable = "^(" + "|".join(map(re.escape, names)) + "):"
    echoed = _arrow_types(files[0], keep)

    parent = os.path.dirname(os.path.abspath(outdir))
    with _client(scheduler, workers) as client, _temporary_directory(outdir, parent) as tmp:
        counts = scored.map_partitions(
            _write_part, tmp, unreadable, echoed, meta={"rows": "int64", "unreadable": "int64"}
        )
        future = client.compute(counts)
        try:
            totals = future.result().sum()
        except OutputError as e:
            raise DatasetError(f"cannot write {outdir}: {e}", EXIT_UNWRITABLE) from None
        except (OSError, ValueError, TypeError) as e:
            # pyarrow's errors are these too: a file that is not Parquet, or whose columns
            # differ in type from the first file's.
            raise DatasetError(f"cannot read {dataset}: {_reason(e)}", EXIT_USAGE) from None
        except BaseException:
            future.cancel()  # a remote cluster would go on writing into a removed directory
            raise
        _replace(tmp, outdir)
    return int(totals["rows"]), int(totals["unreadable"])


def _local_workers(scheduler: str) -> int | None:
    """The process count of ``local`` or ``local:N``; None for an address."""
    if scheduler != "local" and not scheduler.startswith("local:"):
        return None
    count = scheduler[len("local:"):] if ":" in scheduler else ""
    if not count:
        return len(os.sched_getaffinity(0))
    if not count.isdigit() or int(count) < 1:
        raise DatasetError(
            f"--scheduler {scheduler}: N in local:N must be a whole number of processes",
            EXIT_USAGE,
        )
    return int(count)


def _input_files(dataset: str) -> list[str]:
    if _GLOB.search(dataset):
        files = sorted(f for f in glob.glob(dataset) if os.path.isfile(f))
        if not files:
            raise DatasetError(f"no Parquet file matches {dataset}", EXIT_USAGE)
        return files
    if os.path.isfile(dataset):
        return [dataset]
    if not os.path.isdir(dataset):
        raise DatasetError(f"cannot read {dataset}: no such file or directory", EXIT_USAGE)
    files = sorted(
        os.path.join(root, name)
        for root, dirs, names in os.walk(dataset)
        for name in names
        if not name.startswith((".", "_"))
    )
    if not files:
        raise DatasetError(f"cannot read {dataset}: the directory holds no files", EXIT_USAGE)
    return files


def _check_output(outdir: str, dataset: str, files: list[str]) -> None:
    """Refuse an OUTDIR that holds the input, lies in it, or holds anything but a result."""
    target = os.path.realpath(outdir)
    for path in files:
        if os.path.realpath(path).startswith(target + os.sep):
            raise DatasetError(f"{outdir}: refusing to replace a directory that holds the input",
                               EXIT_USAGE)
    if os.path.isdir(dataset) and target.startswith(os.path.realpath(dataset) + os.sep):
        # The next run would read this run's output as input.
        raise DatasetError(f"{outdir}: the output must not lie inside the input directory",
                           EXIT_USAGE)
    parent = os.path.dirname(os.path.abspath(outdir))
    if not os.path.isdir(parent):
        raise DatasetError(f"cannot write {outdir}: {parent} is not a directory", EXIT_UNWRITABLE)
    if not os.path.lexists(outdir):
        return
    if not os.path.isdir(outdir) or os.path.islink(outdir):
        raise DatasetError(f"{outdir} exists and is not a directory", EXIT_USAGE)
    others = [name for name in os.listdir(outdir) if not _PART.fullmatch(name)]
    if others:
        raise DatasetError(
            f"{outdir} holds files other than a former result (e.g. {others[0]});"
            " name a new directory or empty it",
            EXIT_USAGE,
        )


@contextlib.contextmanager
def _client(scheduler: str, workers: int | None) -> Iterator[Any]:
    from distributed import Client, LocalCluster

    # The run reports in one line; Dask's own log lines would only bury it.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    if workers is None:
        try:
            client = Client(scheduler, timeout="10s")
        except (OSError, ValueError, TypeError) as e:
            raise DatasetError(f"cannot reach the scheduler {scheduler}: {e}", EXIT_USAGE) from None
        with client:
            yield client
        return
    # Ctrl-C in a terminal reaches every process of the group. The workers inherit an ignored
    # SIGINT, so only this process reacts: it stops them and reports in one line, where each
    # worker would print its own traceback.
    with _sigint_ignored():
        cluster = LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=LOOPBACK_ANY_PORT,
            silence_logs=logging.CRITICAL,  # failures reach the client as exceptions
        )
    with cluster, Client(cluster) as client:
        yield client


@contextlib.contextmanager
def _sigint_ignored() -> Iterator[None]:
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread: leave signals alone
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@contextlib.contextmanager
def _temporary_directory(outdir: str, parent: str) -> Iterator[str]:
    try:
        tmp = tempfile.mkdtemp(prefix=f".{os.path.basename(os.path.abspath(outdir))}.",
                               suffix=".tmp", dir=parent)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o777 & ~umask)  # mkdtemp's 0700 would otherwise become OUTDIR's
    except OSError as e:
        raise DatasetError(f"cannot write {outdir}: {e.strerror}", EXIT_UNWRITABLE) from None
    try:
        yield tmp
    finally:
        _remove(tmp)


def _arrow_types(path: str, columns: list[str]) -> dict[str, Any]:
    """The Parquet types of ``columns`` in ``path``, to write them back as they came."""
    import pyarrow.parquet as pq

    try:
        schema = pq.read_schema(path)
    except Exception:  # noqa: BLE001 - the read itself reports an unreadable file
        return {}
    return {name: schema.field(name).type for name in columns if name in schema.names}


def _write_part(
    partition: Any,
    tmp: str,
    unreadable: str,
    echoed: dict[str, Any],
    partition_info: dict | None = None,
) -> Any:
    import pandas as pd
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    number = partition_info["number"] if partition_info else 0
    table = pa.Table.from_pandas(partition, preserve_index=False)
    # Through pandas a string column may come back as large_string, a date as a timestamp.
    schema = pa.schema(
        [f.with_type(echoed.get(f.name, f.type)) for f in table.schema]
    )
    if schema != table.schema:
        with contextlib.suppress(pa.ArrowException):
            table = table.cast(schema)
    try:
        pq.write_table(table, os.path.join(tmp, PART_NAME.format(number)))
    except OSError as e:
        raise OutputError(e.strerror or str(e)) from None
    count = pc.sum(pc.match_substring_regex(table.column("error"), unreadable)).as_py() or 0
    return pd.DataFrame({"rows": [len(partition)], "unreadable": [count]})


def _replace(tmp: str, outdir: str) -> None:
    try:
        if os.path.isdir(outdir):
            old = tmp[: -len(".tmp")] + ".old"
            os.rename(outdir, old)
            try:
                os.rename(tmp, outdir)
            except OSError:
                os.rename(old, outdir)
                raise
            _remove(old)
        else:
            os.rename(tmp, outdir)
    except OSError as e:
        raise DatasetError(f"cannot write {outdir}: {e.strerror}", EXIT_UNWRITABLE) from None


def _remove(path: str) -> None:
    # A worker still finishing its part can add a file while the tree is removed.
    for _ in range(5):
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.lexists(path):
            return


def _reason(error: BaseException) -> str:
    while error.__cause__ is not None:  # Dask wraps the reader's own error, which says why
        error = error.__cause__
    text = getattr(error, "strerror", None) or str(error) or type(error).__name__
    return text.splitlines()[0]
