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
import tempfile
import warnings
from collections.abc import Callable, Iterator
from typing import Any

from .._engine import STATUS_TEXTS, STATUS_TEXTS_MMOL
from .._names import cholesterol_in_mmol, error_texts
from .errors import InputError, OutputError
from .output import inside_input
from .run import echoed_columns

PART_NAME = "part.{:05d}.parquet"
_PART = re.compile(r"part\.\d{5,}\.parquet")
_GLOB = re.compile(r"[*?[]")
# The local cluster's status server: on this machine only, on a free port (8787 may be taken,
# and the warning saying so would spoil the command's one-line report).
LOOPBACK_ANY_PORT = "127.0.0.1:0"


class _PartError(Exception):
    """A worker could not write its part of the output (raised in the worker)."""


def score_dataset(
    dataset: str,
    outdir: str,
    scheduler: str,
    outcomes: list[str],
    horizons: list[int],
    *,
    cholesterol_unit: str = "mg/dL",
    overwrite_columns: bool = False,
    columns: dict[str, str] | None = None,
    codes: dict[str, dict[str, str]] | None = None,
    scorer: Callable[[], Callable[..., Any]],
) -> tuple[int, int]:
    """Score ``dataset`` into ``outdir`` on ``scheduler``; return how many rows were read and
    how many of them could not be.

    ``scorer`` gives the function that scores a Dask DataFrame (``corvane.dask.score``,
    handed down by the caller: this layer imports no public module), raising ImportError
    when Dask is missing. ``scheduler`` is a Dask scheduler's address, ``local`` (a cluster of
    one process per available processor, started and stopped here) or ``local:N``. Raises
    the command's errors (InputError, OutputError) and interrupts; ``outdir`` is then as it was.
    """
    with warnings.catch_warnings():
        # The run reports in one line; Dask's advice would only bury it.
        warnings.filterwarnings("ignore", module=r"(distributed|dask)\b")
        return _run(
            dataset, outdir, scheduler, outcomes, horizons, cholesterol_unit,
            overwrite_columns, columns or None, codes or None, scorer,
        )


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
        raise InputError(message) from None

    workers = _local_workers(scheduler)
    files = _input_files(dataset)
    _check_output(outdir, dataset, files)
    # A directory is read as such, so partitioning folders (year=2020/) become columns.
    source = files if _GLOB.search(dataset) else dataset
    try:
        ddf = dd.read_parquet(source, index=False)
    except Exception as e:  # noqa: BLE001 - pyarrow and fsspec raise many kinds
        raise InputError(f"cannot read {dataset}: {_reason(e)}") from None
    header = list(map(str, ddf.columns))
    keep = [header[i] for i in echoed_columns(dataset, header, overwrite_columns)]
    try:
        scored = score(
            ddf, outcomes, horizons, keep=keep, cholesterol_unit=cholesterol_unit,
            columns=columns, codes=codes,
        )
    except (TypeError, ValueError) as e:
        raise InputError(f"{dataset}: {e}") from None
    # An error that is no model's refusal is the reason of an unreadable row.
    statuses = STATUS_TEXTS_MMOL if cholesterol_in_mmol(cholesterol_unit) else STATUS_TEXTS
    refusals = sorted({t for t in error_texts(list(horizons), statuses) if t is not None})
    echoed = _arrow_types(files[0], keep)

    parent = os.path.dirname(os.path.abspath(outdir))
    with _client(scheduler, workers) as client, _temporary_directory(outdir, parent) as tmp:
        counts = scored.map_partitions(
            _write_part, tmp, refusals, echoed, meta={"rows": "int64", "unreadable": "int64"}
        )
        future = client.compute(counts)
        try:
            totals = future.result().sum()
        except _PartError as e:
            raise OutputError(f"cannot write {outdir}: {e}") from None
        except (OSError, ValueError, TypeError) as e:
            # pyarrow's errors are these too: a file that is not Parquet, or whose columns
            # differ in type from the first file's.
            raise InputError(f"cannot read {dataset}: {_reason(e)}") from None
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
        raise InputError(
            f"--scheduler {scheduler}: N in local:N must be a whole number of processes"
        )
    return int(count)


def _input_files(dataset: str) -> list[str]:
    if _GLOB.search(dataset):
        files = sorted(f for f in glob.glob(dataset) if os.path.isfile(f))
        if not files:
            raise InputError(f"no Parquet file matches {dataset}")
        return files
    if os.path.isfile(dataset):
        return [dataset]
    if not os.path.isdir(dataset):
        raise InputError(f"cannot read {dataset}: no such file or directory")
    files = sorted(
        os.path.join(root, name)
        for root, dirs, names in os.walk(dataset)
        for name in names
        if not name.startswith((".", "_"))
    )
    if not files:
        raise InputError(f"cannot read {dataset}: the directory holds no files")
    return files


def _check_output(outdir: str, dataset: str, files: list[str]) -> None:
    """Refuse an OUTDIR that holds the input, lies in it, or holds anything but a result."""
    target = os.path.realpath(outdir)
    for path in files:
        if os.path.realpath(path).startswith(target + os.sep):
            raise InputError(f"{outdir}: refusing to replace a directory that holds the input")
    inside_input(outdir, [dataset] if os.path.isdir(dataset) else [])
    parent = os.path.dirname(os.path.abspath(outdir))
    if not os.path.isdir(parent):
        raise OutputError(f"cannot write {outdir}: {parent} is not a directory")
    if not os.path.lexists(outdir):
        return
    if not os.path.isdir(outdir) or os.path.islink(outdir):
        raise InputError(f"{outdir} exists and is not a directory")
    others = [name for name in os.listdir(outdir) if not _PART.fullmatch(name)]
    if others:
        raise InputError(
            f"{outdir} holds files other than a former result (e.g. {others[0]});"
            " name a new directory or empty it"
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
            raise InputError(f"cannot reach the scheduler {scheduler}: {e}") from None
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
        raise OutputError(f"cannot write {outdir}: {e.strerror}") from None
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
    refusals: list[str],
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
        raise _PartError(e.strerror or str(e)) from None
    error = table.column("error")
    known = pc.is_in(error, value_set=pa.array(refusals, pa.string()))
    count = pc.sum(pc.and_(pc.is_valid(error), pc.invert(known))).as_py() or 0
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
        raise OutputError(f"cannot write {outdir}: {e.strerror}") from None


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
