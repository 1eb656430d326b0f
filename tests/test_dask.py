"""corvane.dask on a real two-process cluster, against corvane.score of the whole table."""

import os

import _corvane
import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import corvane  # noqa: E402
import corvane.dask  # noqa: E402
from cohorts import assert_same_scores, cohort  # noqa: E402
from corvane.batches import score_batch  # noqa: E402

FILES = 6


def test_partitions_on_a_cluster_equal_the_whole_table(cohort_dir, dask_client):
    directory, whole = cohort_dir
    scored = corvane.dask.score(dd.read_parquet(directory), keep="patient_id")
    assert scored.npartitions == FILES
    parts = dask_client.gather(dask_client.compute(scored.to_delayed()))

    # Every partition has meta's dtypes, the clean one (nothing refused) included.
    assert [p.dtypes.to_dict() for p in parts] == [scored.dtypes.to_dict()] * FILES
    assert parts[-1]["error"].isna().all() and parts[0]["error"].notna().any()
    assert scored.dtypes["error"] == "string[pyarrow]"
    expected = score_batch(whole, keep="patient_id")
    assert_same_scores(pd.concat(parts, ignore_index=True), expected)
    # Some rows refused by a model, some unreadable, most scored.
    errors = expected["error"].dropna()
    assert errors.str.startswith("sex: ").any() and errors.str.contains(" must be ").any()


def test_each_worker_pool_has_the_workers_threads(cohort_dir, dask_client):
    directory, _ = cohort_dir
    dask_client.compute(corvane.dask.score(dd.read_parquet(directory), "hf", 10)).result()
    # The variable was set only to start the pool: nothing else in the worker sees it.
    assert set(dask_client.run(os.environ.get, "RAYON_NUM_THREADS").values()) == {None}
    assert set(dask_client.run(_corvane._worker_count).values()) == {1}


def test_a_users_worker_count_wins(cohort_dir):
    directory, _ = cohort_dir
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, dashboard_address="127.0.0.1:0",
        env={"RAYON_NUM_THREADS": "3"},
    ) as cluster, distributed.Client(cluster) as client:
        client.compute(corvane.dask.score(dd.read_parquet(directory), "cvd", 30)).result()
        assert list(client.run(_corvane._worker_count).values()) == [3]


def test_columns_and_index_of_a_frame_from_pandas(tmp_path):
    frame = cohort(1_000, seed=7).set_index(pd.Index(np.arange(1_000) * 3, name="row"))
    ddf = dd.from_pandas(frame, npartitions=3)
    scored = corvane.dask.score(ddf, ["hf", "cvd"], 30, keep=["note"])
    assert list(scored.columns) == ["note", "hf_30yr", "cvd_30yr", "error"]
    result = scored.compute(scheduler="sync")
    assert_same_scores(result, score_batch(frame, ["hf", "cvd"], 30, keep=["note"]))
    assert result.index.equals(frame.index)
    scored.to_parquet(tmp_path, compute=False).compute(scheduler="sync")
    assert_same_scores(pd.read_parquet(tmp_path), result)


def _input(**change):
    return dd.from_pandas(cohort(20, seed=1).rename(columns=change), npartitions=2)


# Exact texts are this module's; for corvane.score's own, the name it must mention.
@pytest.mark.parametrize(
    "call, error, exact, mentions",
    [
        (lambda: corvane.dask.score(cohort(5, 1)), TypeError,
         "ddf must be a Dask DataFrame, not DataFrame", None),
        (lambda: corvane.dask.score(_input(), keep="id"), ValueError,
         "keep: no column 'id' (found: patient_id, sex, Age, total_cholesterol,"
         " hdl_cholesterol, Systolic_BP , has_diabetes, current_smoker, bmi, egfr,"
         " on_htn_meds, on_cholesterol_meds, note)", None),
        (lambda: corvane.dask.score(_input(note="error"), keep="error"), ValueError,
         "keep: 'error' is an output column's name", None),
        (lambda: corvane.dask.score(_input(bmi="BMI_kg"), keep="BMI_kg"), ValueError, None,
         "bmi"),
        (lambda: corvane.dask.score(_input(), outcomes="chd"), ValueError, None, "chd"),
        (lambda: corvane.dask.score(_input(), cholesterol_unit="mmol"), ValueError, None,
         "mmol"),
    ],
)
def test_mistakes_raise_at_the_call_not_in_a_worker(call, error, exact, mentions):
    with pytest.raises(error) as caught:
        call()
    if exact is not None:
        assert str(caught.value) == exact
    else:
        assert mentions in str(caught.value)
