#!/usr/bin/env python3
"""End-to-end throughput of `corvane score` on a generated cohort CSV, and where it goes.

    .venv/bin/python bench/cli_throughput.py [--rows 1000000] [--repeat 1]

Writes a synthetic cohort (about 10% of rows refused by some range) to a temporary
directory, times the command on it in a subprocess, then, in this process, splits the
time into reading, risk evaluation and writing, and times the other ways of reading the
same CSV against the one the command uses.
"""

import argparse
import csv
import itertools
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _corvane
import corvane
import numpy as np
from corvane import INPUT_COLUMNS, cli

HEADER = "patient_id," + ",".join(INPUT_COLUMNS)
BATCH = [
    getattr(_corvane, f"calculate_{h}_yr_{o}_rust_parallel_np")
    for h in (10, 30)
    for o in ("cvd", "ascvd", "hf")
]


def write_cohort(path: Path, rows: int) -> None:
    rng = np.random.default_rng(42)
    chunk = 200_000
    with open(path, "w", newline="\n") as f:
        f.write(HEADER + "\n")
        for start in range(0, rows, chunk):
            n = min(chunk, rows - start)
            cols = [
                np.char.add("P", np.arange(start, start + n).astype(str)),
                np.where(rng.random(n) < 0.5, "female", "male"),
                rng.integers(30, 80, n).astype(str),
                rng.integers(128, 322, n).astype(str),
                rng.integers(20, 100, n).astype(str),
                rng.integers(90, 200, n).astype(str),
                rng.integers(0, 2, n).astype(str),
                rng.integers(0, 2, n).astype(str),
                np.round(rng.uniform(18.5, 40.2, n), 1).astype(str),
                rng.integers(15, 140, n).astype(str),
                rng.integers(0, 2, n).astype(str),
                rng.integers(0, 2, n).astype(str),
            ]
            f.write("\n".join(map(",".join, zip(*(c.tolist() for c in cols)))) + "\n")


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def read_with(parse, path: Path) -> np.ndarray:
    """The command's blocks and line split, each block parsed by `parse`."""
    with open(path, "rb") as stream:
        _, layout = cli._read_header(stream, str(path), [])
        parts = [parse(cli._lines(block), 2, layout)[0]
                 for block in cli._blocks(stream, cli.DEFAULT_CHUNK_BYTES)]
    return np.concatenate(parts)


def read_chosen(path: Path) -> np.ndarray:
    """The command's reader, without scoring."""
    return read_with(cli._parse_lines, path)


SEX = {"male": 1.0, "female": 0.0}
FLAG = {"0": 0.0, "1": 1.0}


def read_csv_per_row(path: Path) -> np.ndarray:
    """csv.reader and one Python conversion per value."""
    with open(path, newline="") as f:
        reader = csv.reader(f)
        next(reader)
        rows = [(SEX[r[1]], float(r[2]), float(r[3]), float(r[4]), float(r[5]), FLAG[r[6]],
                 FLAG[r[7]], float(r[8]), float(r[9]), FLAG[r[10]], FLAG[r[11]]) for r in reader]
    return np.array(rows)


def read_csv_per_column(path: Path, chunk: int = 65536) -> np.ndarray:
    """csv.reader in chunks, transposed, then one map() per column."""
    kinds = [None, SEX, float, float, float, float, FLAG, FLAG, float, float, FLAG, FLAG]
    parts = []
    with open(path, newline="") as f:
        reader = csv.reader(f)
        next(reader)
        while rows := list(itertools.islice(reader, chunk)):
            cols = list(zip(*rows))
            parts.append(np.column_stack([
                np.fromiter(map(k if k is float else k.__getitem__, c), np.float64, len(c))
                for k, c in zip(kinds, cols) if k is not None
            ]))
    return np.concatenate(parts)


def read_split_per_column(path: Path) -> np.ndarray:
    """The command's blocks and line split, but Python conversion instead of loadtxt."""
    return read_with(cli._parse_irregular, path)


def read_pandas(path: Path) -> np.ndarray:
    """pandas.read_csv (not a dependency; for comparison only)."""
    import pandas as pd

    parts = []
    for frame in pd.read_csv(path, chunksize=65536):
        frame["sex"] = frame["sex"].map(SEX)
        parts.append(frame[list(INPUT_COLUMNS)].to_numpy(np.float64))
    return np.concatenate(parts)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "cohort.csv"
        write_cohort(path, args.rows)
        size = path.stat().st_size
        print(f"{args.rows:,} rows, {size / 1e6:.0f} MB")

        command = [sys.executable, "-m", "corvane", "score", str(path), "-o", f"{tmp}/out.csv"]
        best = min(
            timed(lambda: subprocess.run(command, check=False, stderr=subprocess.DEVNULL))[0]
            for _ in range(args.repeat)
        )
        print(f"\ncorvane score, end to end: {best:6.2f} s  {args.rows / best:>10,.0f} rows/s")

        read_s, values = timed(lambda: read_chosen(path))
        models = [(o, h) for h in (10, 30) for o in ("cvd", "ascvd", "hf")]
        score_s, _ = timed(lambda: [fn(values) for fn in BATCH])
        with open(path, "rb") as stream:
            _, layout = cli._read_header(stream, str(path), models)
            chunks = list(cli._scored_chunks(stream, layout, models, cli.DEFAULT_CHUNK_BYTES))
        write_s, _ = timed(lambda: [cli._format_chunk(c) for c in chunks])
        print("  of which, measured apart:")
        print(f"    read and decode the CSV     {read_s:6.2f} s")
        print(f"    six batch risk functions    {score_s:6.2f} s")
        print(f"    format the output rows      {write_s:6.2f} s")

        refused = {m: np.flatnonzero(np.isnan(fn(values))) for m, fn in zip(models, BATCH)}
        total = sum(len(rows) for rows in refused.values())
        vector_s, _ = timed(lambda: [corvane._range_messages(values, rows, *m)
                                     for m, rows in refused.items()])
        scalar_s, _ = timed(lambda: [[corvane._scalar_message(*m, values[i]) for i in rows]
                                     for m, rows in refused.items()])
        print(f"\nMessages for the {total:,} refused (model, row) pairs:")
        print(f"    vectorized range checks (used) {vector_s:6.2f} s")
        print(f"    scalar function per row        {scalar_s:6.2f} s")

        print("\nReading the CSV into the (n, 11) array, other ways:")
        readers = [("split + loadtxt (used)", read_chosen),
                   ("split + map per column", read_split_per_column),
                   ("csv.reader + map per column", read_csv_per_column),
                   ("csv.reader + float per value", read_csv_per_row)]
        try:
            import pandas  # noqa: F401

            readers.append(("pandas.read_csv", read_pandas))
        except ImportError:
            pass
        for label, reader in readers:
            seconds, got = timed(lambda reader=reader: reader(path))
            assert np.array_equal(got, values), label
            print(f"    {label:<30} {seconds:6.2f} s  {args.rows / seconds:>10,.0f} rows/s")


if __name__ == "__main__":
    main()
