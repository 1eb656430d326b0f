"""The cohort report: its numbers against the scores they come from, the same from the API, the
command and a scored file, small counts suppressed, and no row's value anywhere in it."""

import json
import math

import numpy as np
import polars as pl
import pytest

import corvane
from test_cli import corvane as command


@pytest.fixture(scope="module")
def cohort(tmp_path_factory):
    """A cohort with a site column, some rows refused and some unreadable, as a CSV file."""
    rng = np.random.default_rng(5)
    n = 4000
    frame = pl.DataFrame({
        "patient_id": [f"P{i:06d}" for i in range(n)],
        "site": rng.choice(["north", "south", "east & west", "site 10", "site 9"], n),
        "sex": rng.choice(["male", "female"], n),
        "age": rng.integers(25, 85, n).astype(str),
        "total_cholesterol": rng.integers(120, 330, n),
        "hdl_cholesterol": rng.integers(25, 95, n),
        "systolic_bp": rng.integers(95, 199, n),
        "has_diabetes": rng.integers(0, 2, n),
        "current_smoker": rng.integers(0, 2, n),
        "bmi": np.round(rng.uniform(19, 39, n), 1),
        "egfr": rng.integers(20, 130, n),
        "on_htn_meds": rng.integers(0, 2, n),
        "on_cholesterol_meds": rng.integers(0, 2, n),
    }).with_columns(
        age=pl.when(pl.int_range(n) % 97 == 0).then(pl.lit("n/a")).otherwise(pl.col("age")),
        sex=pl.when(pl.int_range(n) == 7).then(pl.lit("unknown")).otherwise(pl.col("sex")),
    )
    path = tmp_path_factory.mktemp("report") / "cohort.csv"
    frame.write_csv(path)
    return path, frame


def test_numbers_match_the_scores_they_come_from(cohort):
    _, frame = cohort
    data = corvane.report(frame, by="site").to_dict()
    scores = corvane.score(frame)
    for model in data["models"]:
        risks = scores[model["column"]].drop_nulls().to_numpy()
        assert model["scored"] == len(risks)
        assert model["median"] == np.median(risks)
        assert model["q1"] == np.quantile(risks, 0.25) and model["q3"] == np.quantile(risks, 0.75)
        assert sum(model["histogram"]["counts"]) == len(risks)
        assert [b["count"] for b in model["bands"]] == [
            int(((risks >= lo) & (risks < hi)).sum()) for lo, hi, _ in corvane._names.BANDS]
    assert data["rows"]["read"] == len(frame)
    sites = [level["level"] for level in data["groups"][2]["levels"]]
    assert sites == ["east & west", "north", "site 9", "site 10", "south"]
    ages = {level["level"]: level["rows"] for level in data["groups"][1]["levels"]}
    assert ages["(missing)"] == frame["age"].eq("n/a").sum()
    assert sum(ages.values()) == len(frame)


def test_the_command_the_api_and_a_scored_file_agree(cohort, tmp_path):
    path, frame = cohort
    direct = corvane.report(frame, by="site").to_dict()
    scored = tmp_path / "scored.csv"
    assert command("score", path, "-o", scored, "--report", tmp_path / "a.html",
                   "--by", "site").returncode == 1
    assert command("report", path, "-o", tmp_path / "b.html", "--by", "site").returncode == 1
    assert command("report", scored, "-o", tmp_path / "c.html", "--by", "site").returncode == 1
    pages = [(tmp_path / f"{name}.html").read_text() for name in "abc"]
    keep = ("models", "groups", "refusals", "inputs", "rows")
    numbers = [_numbers_in(page) for page in pages]
    assert numbers[0] == numbers[1] == numbers[2]
    assert all(str(direct["rows"]["read"]) in page.replace(",", "") for page in pages)
    assert all(k in direct for k in keep)


def _numbers_in(page):
    """The page's text less what names the run (date, file)."""
    body = page.split("<main", 1)[-1]
    return sorted(t for t in body.replace(">", "<").split("<") if any(c.isdigit() for c in t)
                  and "UTC" not in t and ".csv" not in t)


@pytest.mark.parametrize("min_cell", [None, 10])
def test_no_row_reaches_the_report(cohort, min_cell):
    _, frame = cohort
    report = corvane.report(frame, by="site", min_cell=min_cell)
    page = report.html()
    text = json.dumps(report.to_dict())
    for identifier in frame["patient_id"].sample(50, seed=1):
        assert identifier not in page and identifier not in text
    assert "unknown" not in page  # the unreadable cell's text is a row's value
    assert len(page.encode()) < 500_000
    assert "http://" not in page.replace("http://www.w3.org", "") and "https://" not in page
    if min_cell:
        counts = _all_counts(report.to_dict())
        assert not [c for c in counts if isinstance(c, int) and 0 < c < min_cell]
        assert "<10" in counts


def _all_counts(data):
    found = []
    for key, value in (data.items() if isinstance(data, dict) else enumerate(data)):
        if key in ("edges", "median", "q1", "q3", "share", "low", "high", "horizon", "options",
                   "min_cell", "version"):
            continue
        if isinstance(value, (dict, list)):
            found += _all_counts(value)
        elif isinstance(value, (int, str)) and not isinstance(value, bool):
            found.append(value)
    return found


def test_bad_options_are_refused_in_one_line(cohort, tmp_path):
    path, _ = cohort
    for options, message in [(["--min-cell", "1"], "--min-cell: at least 2"),
                             (["--by", "nowhere"], "no column 'nowhere'")]:
        result = command("report", path, "-o", tmp_path / "r.html", *options)
        assert result.returncode == 2 and message in result.stderr.decode()
    assert not (tmp_path / "r.html").exists()
    with pytest.raises(ValueError, match="min_cell"):
        corvane.report({"age": [1]}, min_cell=0)
    assert math.isfinite(corvane.report(cohort[1]).to_dict()["models"][0]["median"])
