#!/usr/bin/env python3
"""The cohort report's cost, each figure against a baseline timed in the same run.

    .venv/bin/python bench/report_bench.py [--rows 1000000] [--rounds 5]

- `corvane score FILE -o OUT --report R.html` against the same command without the report, each
  a process of its own on a CSV cohort (target: at most 1.15x).
- `corvane.report(frame)` against `corvane.score(frame)` of the same polars frame of numbers, in
  this process (target: at most 1.5x).
Rounds alternate the two sides of each figure; the fastest round of each counts.
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import polars as pl

sys.path.insert(0, str(Path(__file__).parent))
from cli_bench import INPUTS, cohort, timed_run  # noqa: E402

import corvane  # noqa: E402


def fastest(fn, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    frame = cohort(args.rows, seed=3)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "cohort.csv"
        frame.write_csv(path)
        command = [sys.executable, "-m", "corvane", "score", str(path), "-o", str(Path(tmp) / "o.csv")]
        plain, reported = [], []
        for _ in range(args.rounds):
            plain.append(timed_run(command)[0])
            reported.append(timed_run(command + ["--report", str(Path(tmp) / "r.html")])[0])
        ratio = min(reported) / min(plain)
        print(f"score --report, {args.rows:,} rows: {min(reported):.2f} s against"
              f" {min(plain):.2f} s without: {ratio:.2f}x (target <= 1.15x:"
              f" {'met' if ratio <= 1.15 else 'NOT met'})")
    numbers = frame.with_columns(pl.col(c).cast(pl.Float64, strict=False) for c in INPUTS[1:])
    corvane.score(numbers)  # the pool and the imports, before either is timed
    corvane.report(numbers)
    score = report = float("inf")
    for _ in range(args.rounds):
        score = min(score, fastest(lambda: corvane.score(numbers), 1))
        report = min(report, fastest(lambda: corvane.report(numbers), 1))
    ratio = report / score
    print(f"corvane.report of a {args.rows:,}-row polars frame: {report:.3f} s against"
          f" corvane.score {score:.3f} s: {ratio:.2f}x (target <= 1.5x:"
          f" {'met' if ratio <= 1.5 else 'NOT met'})")


if __name__ == "__main__":
    main()
