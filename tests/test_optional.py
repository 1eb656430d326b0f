"""Without an optional dependency: one line naming the extra to install, never a traceback,
and pandas frames scored the same without pyarrow as with it."""

import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from cohorts import assert_same_scores, cohort

import corvane


def run_without(packages, code, cwd=None):
    """``code`` in a new interpreter where ``packages`` import as if not installed."""
    blocked = "".join(f"sys.modules[{p!r}] = None; " for p in packages)
    return subprocess.run([sys.executable, "-c", f"import sys; {blocked}{code}"], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def command_without(packages, args, cwd):
    return run_without(packages, f"from corvane.cli import main; sys.exit(main({args!r}))", cwd)


def parquet_folder(tmp_path):
    frame = cohort(50, 1)
    frame.iloc[:25].to_parquet(tmp_path / "cohort" / "part.0.parquet")
    frame.iloc[25:].to_parquet(tmp_path / "cohort" / "part.1.parquet")
    return ["score", "cohort", "-o", "out.csv"]


def uuid_parquet(tmp_path):
    frame = cohort(5, 2).assign(pid=[bytes(range(i, i + 16)) for i in range(5)])
    frame.to_parquet(tmp_path / "cohort" / "ids.parquet")
    return ["score", "cohort/ids.parquet", "-o", "out.csv"]


def arrow_output(tmp_path):
    cohort(5, 3).to_csv(tmp_path / "cohort" / "in.csv", index=False)
    return ["score", "cohort/in.csv", "-o", "out.arrow"]


@pytest.mark.parametrize("make_case, message", [
    (parquet_folder, "reading cohort needs pyarrow"),
    (uuid_parquet, "reading the binary columns of cohort/ids.parquet needs pyarrow"),
    (arrow_output, "Arrow output needs pyarrow"),
])
def test_command_without_pyarrow_names_the_extra(tmp_path, make_case, message):
    """A traceback, or an output file left behind, where pyarrow is missing."""
    (tmp_path / "cohort").mkdir()
    args = make_case(tmp_path)
    done = command_without(["pyarrow"], args, tmp_path)
    assert done.stderr == f'corvane: {message}: pip install "corvane[arrow]"\n'
    assert done.returncode == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cohort"]


def test_dask_module_without_pandas_names_the_extra():
    """A raw ModuleNotFoundError from the import of corvane.dask."""
    done = run_without(["pandas"], "import corvane.dask")
    assert done.returncode == 1
    assert "ModuleNotFoundError" not in done.stderr
    assert done.stderr.splitlines()[-1] == (
        'corvane._optional.MissingDependency: corvane.dask needs pandas:'
        ' pip install "corvane[dask]"'
    )


def typed_cohort():
    """A cohort in pandas' own column types, which pandas reads into Arrow when it can."""
    frame = cohort(3000, 4).astype({
        "sex": pd.StringDtype("python"),
        "has_diabetes": "category",
        "Age": "Float64",
        "on_cholesterol_meds": "Int64",
    })
    frame.loc[::97, "on_htn_meds"] = 7
    return frame


def test_pandas_columns_without_pyarrow_score_the_same(tmp_path):
    """The value-by-value reading of pandas' own column types drifting from Arrow's."""
    # Built in each process: a pickled frame would carry pyarrow's text type in its labels.
    code = (f"sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r});"
            " import pickle, test_optional as t, corvane;"
            " result = corvane.score(t.typed_cohort());"
            " pickle.dump(result, open('out.pkl', 'wb'))")
    done = run_without(["pyarrow"], code, tmp_path)
    assert done.returncode == 0, done.stderr
    got = pickle.loads((tmp_path / "out.pkl").read_bytes())
    expected = corvane.score(typed_cohort())
    assert np.isnan(expected["cvd_10yr"]).any() and expected["cvd_10yr"].notna().any()
    assert_same_scores(got, expected)
