#!/usr/bin/env python3
"""A Parquet dataset scored on a local Dask cluster against one process, end to end.

    .venv/bin/python bench/cluster_bench.py [--rows 10000000] [--files 20] [--workers 2]

Writes a messy cohort (tests/cohorts.py) as FILES Parquet files, then times, alternately for
ROUNDS rounds, each of:
- one process: pandas reads the whole dataset, corvane.score scores it, pyarrow writes one file;
- corvane.dask.score(...).to_parquet on a LocalCluster of WORKERS processes × 1 thread, started
  beforehand (the library path);
- the command, `corvane score DATASET -o OUTDIR --scheduler local:WORKERS`, in a subprocess,
  cluster start-up included.
Prints the medians and their ratios to the one-process figure.
"""

import argparse
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import dask.dataframe as dd  # noqa: E402
import distributed  # noqa: E402
import pandas as pd  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import corvane.dask  # noqa: E402
from cohorts import write_cohort  # noqa: E402
from corvane.batches import score_batch  # noqa: E402

def one_process(dataset, out):
    whole = pd.read_parquet(dataset)
    pq.write_table(pa.Table.from_pandas(pd.concat([whole, score_batch(whole)], axis=1),
                                        preserve_index=False), out / "scored.parquet")


def on_dask(dataset, out, client):
    ddf = dd.read_parquet(dataset)
    corvane.dask.score(ddf, keep=list(ddf.columns)).to_parquet(out / "dask", compute=False)\
        .compute()


def command(dataset, out, workers):
    status = subprocess.run([sys.executable, "-m", "corvane", "score", str(dataset), "-o",
                             str(out / "cmd"), "--scheduler", f"local:{workers}"],
                            stderr=subprocess.DEVNULL).returncode
    assert status in (0, 1), status


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        dataset = Path(tmp) / "cohort"
        write_cohort(dataset, args.files, args.rows // args.files)
        times = {"one process": [], "corvane.dask": [], "command": []}
        with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                      dashboard_address="127.0.0.1:0") as cluster, \
                distributed.Client(cluster) as client:
            for _ in range(args.rounds):
                for name, run in (("one process", lambda o: one_process(dataset, o)),
                                  ("corvane.dask", lambda o: on_dask(dataset, o, client)),
                                  ("command", lambda o: command(dataset, o, args.workers))):
                    out = Path(tmp) / "out"
                    out.mkdir()
                    start = time.perf_counter()
                    run(out)
                    times[name].append(time.perf_counter() - start)
                    shutil.rmtree(out)
    base = statistics.median(times["one process"])
    print(f"{args.rows:,} rows in {args.files} Parquet files, {args.workers} workers × 1 thread,"
          f" median of {args.rounds}")
    for name, samples in times.items():
        median = statistics.median(samples)
        print(f"  {name:<14} {median:7.2f} s  {median / base:5.2f}x one process")


if __name__ == "__main__":
    main()
