"""Scoring a Parquet dataset into a Parquet directory on Dask."""

import contextlib
import io
import os
import shutil
import signal
import subprocess
import sys
import time

import pandas as pd
import pytest

pytest.importorskip("distributed")

from cohorts import assert_same_scores, write_cohort  # noqa: E402
from corvane import HORIZONS, INPUT_COLUMNS, OUTCOMES  # noqa: E402
import corvane.dask  # noqa: E402
from corvane.cli import main  # noqa: E402
from corvane.batches import score_batch  # noqa: E402


def run(dataset, outdir, scheduler, outcomes=OUTCOMES, horizons=HORIZONS,
        overwrite_columns=False):
    argv = ["score", str(dataset), "-o", str(outdir), "--scheduler", scheduler,
            "--outcomes", ",".join([outcomes] if isinstance(outcomes, str) else outcomes),
            "--horizons", ",".join(map(str, [horizons] if isinstance(horizons, int) else horizons))]
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        status = main(argv + ["--overwrite-columns"] * overwrite_columns)
    return status, err.getvalue()


def scored(whole, *args):
    return pd.concat([whole, score_batch(whole, *args)], axis=1)


def test_a_dataset_is_written_whole_and_rescored_in_place(cohort_dir, dask_client, tmp_path):
    directory, whole = cohort_dir
    out = tmp_path / "scored"
    status, err = run(directory, out, dask_client.scheduler.address)

    expected = scored(whole)
    prefixes = tuple(f"{str(c).strip()}:" for c in whole.columns)
    unreadable = expected["error"].dropna().str.startswith(prefixes).sum()
    assert 0 < unreadable < expected["error"].notna().sum()
    assert (status, err) == (1, f"corvane: {unreadable:,} of {len(whole):,} rows could not be"
                                " read; the error column says why\n")
    assert sorted(os.listdir(out)) == [f"part.{i:05d}.parquet" for i in range(6)]
    assert_same_scores(pd.read_parquet(out), expected)

    # A clean file alone exits 0; the former result is replaced, nothing else left behind.
    assert run(directory / "cohort-05.parq*", out, dask_client.scheduler.address, "hf", 10) \
        == (0, "")
    assert_same_scores(pd.read_parquet(out), scored(whole[-50_000:].reset_index(drop=True),
                                                   "hf", 10))
    assert os.listdir(tmp_path) == ["scored"]

    # A scored dataset is scored again only when asked to replace its columns.
    status, _ = run(out, tmp_path / "again", dask_client.scheduler.address, "cvd", 10,
                    overwrite_columns=True)
    assert status == 0
    assert_same_scores(pd.read_parquet(tmp_path / "again"),
                       scored(whole[-50_000:].reset_index(drop=True), "cvd", 10))


@pytest.mark.parametrize(
    "make, args, status, message",
    [
        (None, ("missing", "out", "local:2"), 2,
         "cannot read {d}/missing: no such file or directory"),
        (None, ("*.csv", "out", "local:2"), 2, "no Parquet file matches {d}/*.csv"),
        (None, ("in", "out", "local:x"), 2,
         "--scheduler local:x: N in local:N must be a whole number of processes"),
        ("output_is_input", ("in", "in", "local:2"), 2,
         "{d}/in: refusing to replace a directory that holds the input"),
        ("output_is_input", ("in", "in/out", "local:2"), 2,
         "{d}/in/out: the output must not lie inside the input folder"),
        ("output_has_other_files", ("in", "out", "local:2"), 2,
         "{d}/out holds files other than a former result (e.g. notes.txt);"
         " name a new directory or empty it"),
        ("output_is_a_file", ("in", "out", "local:2"), 2, "{d}/out exists and is not a directory"),
        (None, ("in", "nowhere/out", "local:2"), 3,
         "cannot write {d}/nowhere/out: {d}/nowhere is not a directory"),
        ("already_scored", ("in", "out", "local:2"), 2,
         "{d}/in already has the output column 'error'; give --overwrite-columns to replace them"),
        ("broken_file", ("in", "out", "ADDRESS"), 2, "cannot read {d}/in: "),
    ],
)
def test_mistakes_exit_with_one_line_and_write_nothing(
    cohort_dir, dask_client, tmp_path, make, args, status, message
):
    directory, _ = cohort_dir
    shutil.copytree(directory, tmp_path / "in")
    if make == "output_has_other_files":
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "notes.txt").write_text("mine")
    elif make == "output_is_a_file":
        (tmp_path / "out").write_text("mine")
    elif make == "already_scored":
        for path in (tmp_path / "in").iterdir():
            pd.read_parquet(path).assign(error="").to_parquet(path)
    elif make == "broken_file":
        (tmp_path / "in" / "cohort-09.parquet").write_bytes(b"PAR1 this is not a parquet file")
    before = sorted(os.listdir(tmp_path))
    dataset, out, scheduler = args
    scheduler = scheduler.replace("ADDRESS", dask_client.scheduler.address)
    got_status, err = run(tmp_path / dataset, tmp_path / out, scheduler)
    assert got_status == status
    assert err.startswith("corvane: " + message.format(d=tmp_path)) and err.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize(
    "args, message",
    [
        (["in", "-o", "out", "--scheduler", "local:2", "--decimal", ",", "--summary"],
         "argument --scheduler: not with --decimal, --summary, which only one file takes"),
        (["in", "--scheduler", "local:2"],
         "argument --scheduler: give a Parquet dataset (a directory or a glob) and -o OUTDIR"),
        (["-", "-o", "out", "--scheduler", "local:2"],
         "argument --scheduler: give a Parquet dataset (a directory or a glob) and -o OUTDIR"),
    ],
)
def test_the_command_refuses_single_file_options(args, message, capsys):
    with pytest.raises(SystemExit) as exited:
        main(["score", *args])
    assert exited.value.code == 2
    assert capsys.readouterr().err.endswith(f"corvane score: error: {message}\n")


def test_the_command_scores_a_dataset(cohort_dir, dask_client, tmp_path, capsys):
    directory, whole = cohort_dir
    assert main(["score", f"{directory}/cohort-0[45].parquet", "-o", str(tmp_path / "out"),
                 "--outcomes", "hf", "--scheduler", dask_client.scheduler.address]) == 1
    assert_same_scores(pd.read_parquet(tmp_path / "out"),
                       scored(whole[-100_000:].reset_index(drop=True), "hf"))
    assert capsys.readouterr().err.endswith("rows could not be read; the error column says why\n")


# Ctrl-C as a terminal sends it, to the command and its workers; SIGTERM to the command.
@pytest.mark.parametrize("signum, kill", [(signal.SIGINT, os.killpg), (signal.SIGTERM, os.kill)])
def test_an_interrupted_run_leaves_no_output(tmp_path, signum, kill):
    write_cohort(tmp_path / "in", 16, 40_000)
    proc = subprocess.Popen(
        [sys.executable, "-m", "corvane", "score", str(tmp_path / "in"), "-o",
         str(tmp_path / "out"), "--scheduler", "local:2"],
        stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 60
    # Once the first part is written, the run is surely under way.
    while not any(name.endswith(".tmp") and os.listdir(tmp_path / name)
                  for name in os.listdir(tmp_path)):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.005)
    kill(proc.pid, signum)
    _, err = proc.communicate(timeout=60)
    message = f"\ncorvane: interrupted; {tmp_path / 'out'} is unchanged\n"
    assert (proc.returncode, err) == (130, message)
    assert os.listdir(tmp_path) == ["in"]
