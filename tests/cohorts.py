"""Messy cohort datasets in Parquet files, for the distributed tests."""

import os

import numpy as np
import pandas as pd


def cohort(n, seed, clean=False):
    """n patients as a real export looks: mixed spellings, some rows out of range, some
    values missing or unreadable. ``clean`` gives rows every model scores."""
    rng = np.random.default_rng(seed)

    def spelled(choices, odd=()):
        p = np.full(len(choices) + len(odd), 0.0)
        p[: len(choices)] = (1 - 0.002 * len(odd) * (not clean)) / len(choices)
        p[len(choices):] = 0.0 if clean else 0.002
        return rng.choice(np.array([*choices, *odd], dtype=object), n, p=p / p.sum())

    def number(low, high, spill):
        lo, hi = (low, high) if clean else (low - spill, high + spill)
        return np.round(rng.uniform(lo, hi, n), 1)

    frame = pd.DataFrame({
        "patient_id": np.arange(n, dtype=np.int64) + seed * 1_000_000,
        "sex": spelled(["male", "female", "FEMALE", " Male ", "1", "0"], ["unknown", None]),
        "Age": number(30, 59, 12),
        "total_cholesterol": number(130, 320, 6),
        "hdl_cholesterol": rng.integers(20, 101, n) if clean else rng.integers(17, 104, n),
        "Systolic_BP ": number(90, 200, 5),
        "has_diabetes": spelled(["yes", "no", "Yes", "NO"], ["maybe", ""]),
        "current_smoker": rng.random(n) < 0.2,
        "bmi": number(18.5, 39.9, 1),
        "egfr": number(15, 140, 3),
        "on_htn_meds": rng.integers(0, 2, n),
        "on_cholesterol_meds": rng.integers(0, 2, n),
        "note": np.array(["follow-up"] * n, dtype=object),
    })
    if not clean:
        frame.loc[rng.random(n) < 0.002, "Age"] = np.nan
        frame.loc[rng.random(n) < 0.002, "on_cholesterol_meds"] = 2
    return frame


def write_cohort(directory, files, rows):
    """``files`` Parquet files of ``rows`` patients each, the last one clean; returns the
    whole table in file order."""
    os.makedirs(directory, exist_ok=True)
    parts = [cohort(rows, seed, clean=seed == files - 1) for seed in range(files)]
    for seed, part in enumerate(parts):
        part.to_parquet(os.path.join(directory, f"cohort-{seed:02d}.parquet"), index=False)
    return pd.concat(parts, ignore_index=True)


def assert_same_scores(got, expected):
    """Equal columns in order, floats bit for bit, messages with ==."""
    assert list(got.columns) == list(expected.columns)
    for name in expected.columns:
        a, b = got[name].to_numpy(), expected[name].to_numpy()
        if a.dtype == np.float64:
            assert b.dtype == np.float64, name
            assert np.array_equal(a.view(np.uint64), b.view(np.uint64)), name
        else:
            assert [None if pd.isna(x) else x for x in a] == [
                None if pd.isna(x) else x for x in b
            ], name
