#!/usr/bin/env python3
"""corvane.score against the six batch functions, timed in the same process.

    .venv/bin/python bench/score_bench.py [--rows 1000000] [--rounds 5]

The baseline is the six batch functions on a prebuilt (n, 11) float64 array. Against it:
corvane.score on a pandas DataFrame with numeric sex and flags (target at most 0.7x), with
text sex and flags such as "male" and "yes" (at most 1.0x), and with 1% of cells unreadable
(within 20% of the clean figure). Peak memory beyond the input, from tracemalloc (NumPy and
pandas report their buffers to it), is set against the size of the output columns (target
at most 1.1x). Runs with W=2 workers unless RAYON_NUM_THREADS says otherwise. Each figure is
the best of interleaved rounds: other load on the machine only ever slows a round down.
"""

import argparse
import os
import sys
import time
import tracemalloc

os.environ.setdefault("RAYON_NUM_THREADS", "2")

import _corvane  # noqa: E402
import corvane  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

COLUMNS = corvane.INPUT_COLUMNS
FLAGS = ("has_diabetes", "current_smoker", "on_htn_meds", "on_cholesterol_meds")
BATCH = [
    getattr(_corvane, f"calculate_{h}_yr_{o}_rust_parallel_np") for h in (10, 30)
    for o in ("cvd", "ascvd", "hf")
]


def cohort(n, seed=1):
    """Columns with every value in range; sex and flags 1.0 or 0.0 at random."""
    rng = np.random.default_rng(seed)
    ranges = {"age": (30, 79), "total_cholesterol": (130, 320), "hdl_cholesterol": (20, 100),
              "systolic_bp": (90, 200), "bmi": (18.5, 39.9), "egfr": (15, 140)}
    columns = {}
    for name in COLUMNS:
        if name in ranges:
            columns[name] = rng.uniform(*ranges[name], n)
        else:
            columns[name] = rng.integers(0, 2, n).astype(np.float64)
    return columns


def text_frame(columns):
    frame = pd.DataFrame(columns)
    frame["sex"] = np.where(columns["sex"] == 1.0, "male", "female")
    for name in FLAGS:
        frame[name] = np.where(columns[name] == 1.0, "yes", "no")
    return frame


def dirty_frame(columns, share=0.01, seed=2):
    """The text frame with `share` of all cells unreadable: NaN numbers and "unknown" codes."""
    frame = text_frame(columns)
    rng = np.random.default_rng(seed)
    n = len(frame)
    for name in COLUMNS:
        rows = rng.random(n) < share
        if frame[name].dtype.kind == "f":
            frame.loc[rows, name] = np.nan
        else:
            frame.loc[rows, name] = "unknown"
    return frame


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def peak_beyond_input(fn):
    """Peak bytes allocated while fn runs (beyond what existed before), and the result's size."""
    tracemalloc.start()
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    result = fn()
    peak = tracemalloc.get_traced_memory()[1] - before
    tracemalloc.stop()
    return peak, result


def output_bytes(frame):
    """The columns' buffers, plus each distinct text object of the error column once."""
    texts = {id(t): sys.getsizeof(t) for t in frame["error"].to_numpy() if t is not None}
    return int(frame.memory_usage(index=False, deep=False).sum()) + sum(texts.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    n = args.rows
    columns = cohort(n)
    array = np.column_stack([columns[name] for name in COLUMNS])
    frames = {
        "numeric": pd.DataFrame(columns),
        "text": text_frame(columns),
        "dirty": dirty_frame(columns),
    }
    cases = {
        "batch": lambda: [fn(array) for fn in BATCH],
        **{name: (lambda f=frame: corvane.score(f)) for name, frame in frames.items()},
    }
    for fn in cases.values():  # warm up: the pool, NumPy, the first-call imports
        fn()
    times = {name: [] for name in cases}
    for _ in range(args.rounds):
        for name, fn in cases.items():
            times[name].append(timed(fn))
    median = {name: min(t) for name, t in times.items()}  # the least disturbed round
    peak, result = peak_beyond_input(lambda: corvane.score(frames["numeric"]))
    peak_dirty, result_dirty = peak_beyond_input(lambda: corvane.score(frames["dirty"]))

    w = _corvane._worker_count()
    base = median["batch"]
    rows = [
        ("six batch functions, (n, 11) array", base, None, ""),
        ("score(pandas), numeric sex and flags", median["numeric"], median["numeric"] / base,
         "<= 0.70x batch"),
        ("score(pandas), text sex and flags", median["text"], median["text"] / base,
         "<= 1.00x batch"),
        ("score(pandas), 1% unreadable cells", median["dirty"], median["dirty"] / median["text"],
         "<= 1.20x clean text"),
    ]
    print(f"corvane.score, {n:,} rows, all six models, W={w} (best of {args.rounds} interleaved rounds)")
    for label, seconds, ratio, target in rows:
        shown = f"{ratio:5.2f}x" if ratio is not None else "     "
        ok = "" if ratio is None else ("ok" if ratio <= float(target.split()[1][:-1]) else "MISS")
        print(f"  {label:<40} {seconds * 1e3:8.1f} ms  {shown}  {target:<20} {ok}")
    for label, bytes_peak, frame in (("clean", peak, result), ("1% unreadable", peak_dirty,
                                                               result_dirty)):
        out = output_bytes(frame)
        ratio = bytes_peak / out
        print(f"  peak memory beyond input, {label:<14} {bytes_peak / 2**20:8.1f} MiB"
              f"  {ratio:5.2f}x output ({out / 2**20:.1f} MiB)  <= 1.10x"
              f"  {'ok' if ratio <= 1.10 else 'MISS'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
