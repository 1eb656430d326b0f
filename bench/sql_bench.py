#!/usr/bin/env python3
"""The SQL functions and corvane.score of a DuckDB relation, against corvane.score of the same
data as a pyarrow Table, in one process.

    .venv/bin/python bench/sql_bench.py [--rows 1000000] [--rounds 5]

The cohort: numbers as DOUBLE, sex as VARCHAR "male"/"female", flags as BOOLEAN, 1% of the
ages NULL. Against corvane.score of it as a pyarrow Table: a DuckDB query of the seven
functions, fetched as Arrow (target at most 3x), and corvane.score of the DuckDB relation,
its result fetched as Arrow (at most 1.3x). Also shown: one function alone, which says what
the other six cost once the batch is scored. Runs with W=2 workers unless RAYON_NUM_THREADS
says otherwise; DuckDB keeps its own thread count. Each figure is the best of interleaved
rounds: other load on the machine only ever slows a round down.
"""

import argparse
import os
import sys
import time

os.environ.setdefault("RAYON_NUM_THREADS", "2")

import _corvane  # noqa: E402
import corvane  # noqa: E402
import corvane.duckdb  # noqa: E402
import duckdb  # noqa: E402
import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402
from corvane._names import SQL_FUNCTIONS  # noqa: E402

RANGES = {"age": (30, 79), "total_cholesterol": (130, 320), "hdl_cholesterol": (20, 100),
          "systolic_bp": (90, 200), "bmi": (18.5, 39.9), "egfr": (15, 140)}


def cohort(n, seed=1):
    rng = np.random.default_rng(seed)
    columns = {}
    for name in corvane.INPUT_COLUMNS:
        if name == "sex":
            columns[name] = pa.array(np.where(rng.random(n) < 0.5, "male", "female"))
        elif name in RANGES:
            values = np.round(rng.uniform(*RANGES[name], n), 1)
            columns[name] = pa.array(values, mask=(rng.random(n) < 0.01) if name == "age" else None)
        else:
            columns[name] = pa.array(rng.random(n) < 0.5)
    return pa.table(columns)


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    table = cohort(args.rows)
    con = duckdb.connect()
    con.register("cohort_arrow", table)
    con.execute("CREATE TABLE cohort AS SELECT * FROM cohort_arrow")
    corvane.duckdb.register(con)
    inputs = ", ".join(corvane.INPUT_COLUMNS)
    seven = "SELECT " + ", ".join(f"{f}({inputs}) AS {c}" for f, c in SQL_FUNCTIONS) + " FROM cohort"
    one = f"SELECT corvane_cvd_10yr({inputs}) FROM cohort"
    relation = con.table("cohort")
    cases = {
        "arrow": lambda: corvane.score(table),
        "seven": lambda: con.sql(seven).arrow().read_all(),
        "one": lambda: con.sql(one).arrow().read_all(),
        "relation": lambda: corvane.score(relation).arrow().read_all(),
    }
    for fn in cases.values():  # warm up: the pool, the first-call imports
        fn()
    times = {name: [] for name in cases}
    for _ in range(args.rounds):
        for name, fn in cases.items():
            times[name].append(timed(fn))
    seconds = {name: min(t) for name, t in times.items()}
    rows = [
        ("corvane.score(pyarrow Table)", "arrow", None),
        ("DuckDB query, the seven functions", "seven", 3.0),
        ("DuckDB query, corvane_cvd_10yr alone", "one", None),
        ("corvane.score(DuckDB relation)", "relation", 1.3),
    ]
    w = _corvane._worker_count()
    print(f"SQL, {args.rows:,} rows, W={w} (best of {args.rounds} interleaved rounds)")
    for label, case, limit in rows:
        ratio = seconds[case] / seconds["arrow"]
        target = "" if limit is None else f"<= {limit:.1f}x score(Arrow)"
        verdict = "" if limit is None else ("met" if ratio <= limit else "NOT met")
        print(f"  {label:<38} {seconds[case] * 1e3:8.1f} ms  {ratio:5.2f}x  {target:<22} {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
