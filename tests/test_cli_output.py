"""The command's output: the format a name or --format asks for, streams, the CSV dialect, and
every kind of column carried from the input into every format."""

import datetime as dt
import decimal
import gzip
import io
import json
import os
import subprocess
import sys
import uuid

import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from test_cli import GOOD, HEADER, RISKS, corvane, write

UUID = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")
# Carried column -> (Arrow column, its text in CSV, its value in JSON Lines), first row.
KINDS = {
    "bin": (pa.array([b"\x00\xffA", None]), "00ff41", "00ff41"),
    "fixed16": (pa.array([UUID.bytes, None], pa.binary(16)), str(UUID), str(UUID)),
    "uuid": (pa.array([UUID.bytes, None], pa.uuid()), str(UUID), str(UUID)),
    "st": (pa.array([{"a": 1, "b": "x"}, None]), '{"a":1,"b":"x"}', {"a": 1, "b": "x"}),
    "li": (pa.array([[1, 2], None]), "[1,2]", [1, 2]),
    "bins": (pa.array([[b"\x01", None], None]), '["01",null]', ["01", None]),
    "dur_s": (pa.array([-93784, None], pa.duration("s")), "-P1DT2H3M4S", "-P1DT2H3M4S"),
    "dur_ms": (pa.array([5_400_000, None], pa.duration("ms")), "PT1H30M", "PT1H30M"),
    "dur_us": (pa.array([183_600_000_001, None], pa.duration("us")), "P2DT3H0.000001S",
               "P2DT3H0.000001S"),
    "dur_ns": (pa.array([-1_500_000_001, None], pa.duration("ns")), "-PT1.500000001S",
               "-PT1.500000001S"),
    "time": (pa.array([dt.time(1, 2, 3), None]), "01:02:03.000000000", "01:02:03"),
    "date": (pa.array([dt.date(2020, 1, 2), None]), "2020-01-02", "2020-01-02"),
    "ts": (pa.array([dt.datetime(2020, 1, 2, 3, 4, 5), None], pa.timestamp("us", "UTC")),
           "2020-01-02T03:04:05.000000+0000", "2020-01-02T03:04:05+00:00"),
    "dec": (pa.array([decimal.Decimal("1.10"), None], pa.decimal128(12, 2)), "1.10", "1.10"),
    "large": (pa.array(["x", None], pa.large_string()), "x", "x"),
    "dict": (pa.array(["x", None]).dictionary_encode(), "x", "x"),
    "nothing": (pa.nulls(2), "", None),
}
READERS = {
    "csv": lambda p: pl.read_csv(p, infer_schema=False),
    "csv.gz": lambda p: pl.read_csv(gzip.decompress(p.read_bytes()), infer_schema=False),
    "tsv": lambda p: pl.read_csv(p, separator="\t", infer_schema=False),
    "tsv.gz": lambda p: pl.read_csv(gzip.decompress(p.read_bytes()), separator="\t",
                                    infer_schema=False),
    "parquet": pl.read_parquet,
    "jsonl": pl.read_ndjson,
    "arrow": pl.read_ipc,
}
SUFFIXES = {"csv": ".CSV", "csv.gz": ".csv.gz", "tsv": ".tsv", "tsv.gz": ".Tsv.GZ",
            "parquet": ".pq", "jsonl": ".ndjson", "arrow": ".feather"}


@pytest.fixture(scope="module")
def kinds(tmp_path_factory):
    """A Parquet cohort of two patients carrying one column of every kind."""
    names = HEADER.split(",")
    table = pa.table({
        "id": ["p1", "p2"],
        **{n: pa.array([v, v]) for n, v in zip(names[1:], GOOD.split(","))},
        **{name: column for name, (column, _, _) in KINDS.items()},
    })
    path = tmp_path_factory.mktemp("kinds") / "kinds.parquet"
    pq.write_table(table, path)
    return path


def risks(frame):
    return frame.select(pl.col(RISKS).cast(pl.Float64).to_physical())


@pytest.mark.parametrize("format", READERS)
def test_every_format_carries_every_kind_and_the_same_risks(tmp_path, kinds, format):
    """Catches a carried binary, UUID, duration or nested column that fails the run, is written
    as something else, or a risk that changes with the format."""
    out = tmp_path / f"out{SUFFIXES[format]}"
    result = corvane("score", kinds, "-o", out)
    assert (result.returncode, result.stderr) == (0, b"")
    got = READERS[format](out)
    reference = tmp_path / "ref.parquet"
    assert corvane("score", kinds, "-o", reference).returncode == 0
    assert risks(got).equals(risks(pl.read_parquet(reference)))
    if format in ("parquet", "arrow"):
        return
    first = got.row(0, named=True)
    for name, (_, text, value) in KINDS.items():
        if format == "jsonl":
            assert first[name] == value, name
        else:
            assert (first[name] or "") == text, name
        assert got[name][1] is None, name


@pytest.mark.parametrize("name", ["out.xlsx", "out.json", "out.csv.zst", "out.txt", "out"])
def test_a_name_that_tells_no_format_is_refused_before_reading(tmp_path, name):
    """Catches a workbook name silently filled with comma-separated text."""
    result = corvane("score", tmp_path / "missing.csv", "-o", tmp_path / name)
    assert result.returncode == 2 and not (tmp_path / name).exists()
    text = result.stderr.decode()
    assert text.count("\n") == 1 and "--format" in text and ".jsonl" in text


@pytest.mark.parametrize("options, message", [
    (["-o", "x.parquet", "--format", "csv"], "x.parquet: the name says parquet, not --format csv"),
    (["-o", "x.csv", "--output-decimal", ","],
     "a decimal comma needs another --output-delimiter, e.g. ';'"),
    (["-o", "x.parquet", "--output-delimiter", ";"],
     "--output-delimiter is for CSV and TSV output, not parquet"),
    (["-o", "x.tsv", "--output-delimiter", ";"],
     "--output-delimiter ';': TSV output is tab-separated"),
])
def test_options_that_contradict_the_output_are_refused(tmp_path, options, message):
    path = write(tmp_path / "in.csv", [HEADER, "p," + GOOD])
    result = corvane("score", path, *options, cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == (2, f"corvane: {message}\n")
    assert sorted(os.listdir(tmp_path)) == ["in.csv"]


@pytest.mark.parametrize("format", ["csv", "parquet", "arrow", "jsonl"])
def test_dev_stdout_into_a_pipe_is_a_stream(tmp_path, kinds, format):
    """Catches /dev/stdout opened again by name: a pipe failed with status 3."""
    result = corvane("score", kinds, "-o", "/dev/stdout", "--format", format)
    assert result.returncode == 0
    got = READERS[format](io.BytesIO(result.stdout))
    assert got["id"].to_list() == ["p1", "p2"] and risks(got)["cvd_10yr"].null_count() == 0


def test_dev_fd_writes_the_descriptor_and_keeps_what_is_there(tmp_path):
    """Catches /dev/fd/N truncated or replaced by a renamed file: appended rows stay appended."""
    path = write(tmp_path / "in.csv", [HEADER, "p," + GOOD])
    out = tmp_path / "log.csv"
    out.write_bytes(b"before\n")
    with open(out, "ab") as log:
        os.set_inheritable(log.fileno(), True)
        result = subprocess.run(
            [sys.executable, "-m", "corvane", "score", path, "-o", f"/dev/fd/{log.fileno()}"],
            pass_fds=[log.fileno()], capture_output=True, timeout=120)
    assert result.returncode == 0
    lines = out.read_text().splitlines()
    assert lines[0] == "before" and lines[1].startswith("id,sex") and len(lines) == 3
    assert corvane("score", path, "-o", "/dev/fd/9").returncode == 3


@pytest.mark.parametrize("options, delimiter, decimal", [
    (["--output-delimiter", ";", "--output-decimal", ","], ";", ","),
    (["--output-delimiter", "tab"], "\t", "."),
    (["--format", "tsv", "--output-decimal", ","], "\t", ","),
])
def test_output_dialect_applies_to_header_risks_and_carried_floats(tmp_path, kinds, options,
                                                                   delimiter, decimal):
    """Catches a header left comma-separated, or risks written with a point for a comma."""
    plain = corvane("score", kinds)
    result = corvane("score", kinds, *options)
    assert result.returncode == plain.returncode == 0
    want = pl.read_csv(plain.stdout, infer_schema=False)
    got = pl.read_csv(result.stdout, separator=delimiter, infer_schema=False)
    assert got.columns == want.columns
    for column in RISKS + ["age"]:
        comma = want[column].str.replace(".", decimal, literal=True)
        assert got[column].to_list() == comma.to_list()
    assert json.loads(got["st"][0]) == KINDS["st"][2]
