"""The corvane command on folders as engines write them, Arrow files, and odd column kinds."""

import os

import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.feather as feather
import pyarrow.parquet as pq
import pytest
from test_cli import HEADER, corvane, random_rows

LINES, _ = random_rows(30, seed=5)
# Whole ages, so that a part may hold them as integers.
COHORT = pl.DataFrame([r.split(",") for r in LINES], schema=HEADER.split(","), orient="row") \
    .with_columns(pl.col("age").str.replace(r"\..*", ""))
RISKS = ["cvd_10yr", "ascvd_10yr", "hf_10yr", "cvd_30yr", "ascvd_30yr", "hf_30yr"]


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    """Each id's risks when the cohort is read from one CSV file."""
    path = tmp_path_factory.mktemp("plain") / "in.csv"
    COHORT.write_csv(path)
    out = path.with_suffix(".out.parquet")
    assert corvane("score", path, "-o", out).returncode == 0
    return pl.read_parquet(out).select("id", *RISKS)


def spark(root):
    for i in range(3):
        COHORT.slice(10 * i, 10).write_parquet(root / f"part-{i:05d}-0c1d.c000.snappy.parquet")
        (root / f".part-{i:05d}-0c1d.c000.snappy.parquet.crc").write_bytes(b"crc\x00\x9f")
    (root / "_SUCCESS").touch()


def dask(root):
    """Natural order over eleven parts, and pandas' drift: age int64 in one part and float64
    (a NaN elsewhere) in the others, ids absent from one, text as a dictionary in another."""
    frame = COHORT.to_pandas().astype({"age": float})
    for i in range(11):
        part = frame.iloc[3 * i: 3 * i + 3]
        table = pa.Table.from_pandas(part.astype({"age": int}) if i == 2 else part,
                                     preserve_index=False)
        if i == 4:
            table = table.drop_columns("id")
        if i == 7:
            table = table.set_column(1, "sex", table["sex"].dictionary_encode())
        pq.write_table(table, root / f"part.{i}.parquet")
    pq.write_metadata(table.schema, root / "_metadata")
    pq.write_metadata(table.schema, root / "_common_metadata")


def hive(root):
    pq.write_to_dataset(COHORT.to_arrow(), root, partition_cols=["on_htn_meds"])


def csv_parts(root):
    for i in range(2):
        COHORT.slice(15 * i, 15).write_csv(root / f"part-{i:05d}-7f.csv")
    (root / "part-00002-7f.csv").touch()  # an empty partition
    (root / "_SUCCESS").touch()
    (root / ".part-00000-7f.csv.crc").write_bytes(b"\x00\x01")


@pytest.mark.parametrize("layout", [spark, dask, hive, csv_parts])
@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_folders_score_like_one_file_in_their_parts_order(tmp_path, expected, layout, suffix):
    """Catches markers or checksums read as parts, part.10 read before part.2, a drifted
    part schema refused, or partition values lost."""
    root = tmp_path / "in"
    root.mkdir()
    layout(root)
    out = tmp_path / f"out{suffix}"
    result = corvane("score", root, "-o", out)
    assert (result.returncode, result.stderr) == (0, b"")
    got = pl.read_parquet(out) if suffix == ".parquet" else pl.read_csv(out, infer_schema=False)
    got = got.with_columns(pl.col(RISKS).cast(pl.Float64))
    if layout is hive:
        assert got.columns[-9:-7] == ["on_cholesterol_meds", "on_htn_meds"]
        got = got.sort(pl.col("id").str.slice(1).cast(pl.Int64))
    want = expected.with_columns(pl.when(pl.int_range(30) // 3 != 4).then("id")) \
        if layout is dask else expected
    assert got.select("id", *RISKS).equals(want)


@pytest.mark.parametrize("kind", ["parquet", "csv"])
def test_reasons_name_the_part_and_its_own_row(tmp_path, kind):
    """Catches a row counted across the whole folder, or a reason that does not say which
    file to open."""
    root = tmp_path / "in"
    root.mkdir()
    frame = COHORT.with_columns(
        age=pl.when(pl.int_range(30).is_in([4, 27])).then(pl.lit("abc")).otherwise("age"))
    for i, piece in ((2, frame.head(12)), (10, frame.slice(12))):
        getattr(piece, f"write_{kind}")(root / f"part.{i}.{kind}")
    result = corvane("score", root, "--batch-rows", "7")
    assert result.returncode == 1
    where = "row" if kind == "parquet" else "line"
    errors = pl.read_csv(result.stdout, infer_schema=False)["error"]
    assert errors.filter(errors.str.contains("abc")).to_list() == [
        f"part.2.{kind} {where} {5 + (kind == 'csv')}: age: 'abc' is not a number",
        f"part.10.{kind} {where} {16 + (kind == 'csv')}: age: 'abc' is not a number",
    ]


def test_text_in_one_part_and_numbers_in_another_read_as_text(tmp_path, expected):
    root = tmp_path / "in"
    root.mkdir()
    frame = COHORT.with_columns(pl.col("age").cast(pl.Float64))
    frame.head(10).write_parquet(root / "a.parquet")
    frame.slice(10).with_columns(pl.col("age").cast(pl.String)).write_parquet(root / "b.parquet")
    result = corvane("score", root, "-o", tmp_path / "out.parquet")
    assert result.returncode == 0
    assert pl.read_parquet(tmp_path / "out.parquet").select("id", *RISKS).equals(expected)


def write_feather_v1(path):
    pd.DataFrame({"a": [1]}).to_feather(path)
    path.write_bytes(b"FEA1" + path.read_bytes()[4:])


@pytest.mark.parametrize("make, output, message", [
    (lambda p: (p / "_SUCCESS").touch(), "out.csv", "{in} is a folder without Parquet or CSV files"),
    (lambda p: [COHORT.write_parquet(p / "a.parquet"), COHORT.write_csv(p / "b.csv")], "out.csv",
     "{in}: a.parquet and b.csv are not both Parquet or both CSV; a folder holds parts of one kind"),
    (lambda p: [COHORT.write_csv(p / "a.csv"), COHORT.rename({"bmi": "BMI"}).write_csv(p / "b.csv")],
     "out.csv", "{in}: the header of b.csv differs from that of a.csv"),
    (lambda p: [COHORT.write_parquet(p / "a.parquet"),
                COHORT.with_columns(age=pl.struct("age")).write_parquet(p / "b.parquet")],
     "out.csv", "{in}: column 'age' holds String in a.parquet but Struct({{'age': String}}) in"
                " b.parquet"),
    (hive, "on_htn_meds=1/scored.parquet",
     "{in}/on_htn_meds=1/scored.parquet: the output must not lie inside the input folder {in}"),
])
def test_folders_that_cannot_be_read_give_one_line_and_status_2(tmp_path, make, output, message):
    root = tmp_path / "in"
    root.mkdir()
    make(root)
    before = sorted(os.walk(root))
    result = corvane("score", root, "-o", root / output if "=" in output else tmp_path / output)
    assert result.returncode == 2
    assert result.stderr.decode() == f"corvane: {message.format(**{'in': root})}\n"
    assert sorted(os.walk(root)) == before and not (tmp_path / output).exists()


def test_old_feather_files_get_a_hint(tmp_path):
    path = tmp_path / "in.feather"
    write_feather_v1(path)
    result = corvane("score", path)
    assert (result.returncode, result.stderr.decode()) == (
        2, f"corvane: {path} is an old Feather (version 1) file; save it as Feather 2 or Parquet\n")


@pytest.mark.parametrize("name", ["in.arrow", "in.feather", "cohort.data"])
@pytest.mark.parametrize("interval", [False, True])
def test_arrow_files_score_like_csv_and_carry_odd_columns(tmp_path, expected, name, interval):
    """Catches an Arrow file refused as binary, and an interval column that panics inside
    polars or is not carried to the output."""
    table = COHORT.to_arrow()
    if interval:
        values = [pa.MonthDayNano([1, -2, 3_000_000_007]), None] * 15
        table = table.append_column("wait", pa.array(values, pa.month_day_nano_interval()))
    feather.write_feather(table, tmp_path / name, chunksize=7)
    result = corvane("score", tmp_path / name, "-o", tmp_path / "out.parquet", "--batch-rows", 4)
    assert (result.returncode, result.stderr) == (0, b"")
    got = pl.read_parquet(tmp_path / "out.parquet")
    assert got.select("id", *RISKS).equals(expected)
    if interval:
        assert got["wait"].head(2).to_list() == [
            {"months": 1, "days": -2, "nanoseconds": 3_000_000_007}, None]


def test_duckdb_intervals_and_uuids_arrive_as_columns(tmp_path, expected):
    duckdb = pytest.importorskip("duckdb")
    COHORT.write_parquet(tmp_path / "in.parquet")
    duckdb.sql(f"copy (select *, interval 3 day + interval 1500 millisecond as wait,"
               f" uuid() as u from '{tmp_path / 'in.parquet'}') to '{tmp_path / 'odd.parquet'}'")
    result = corvane("score", tmp_path / "odd.parquet", "-o", tmp_path / "out.parquet")
    assert (result.returncode, result.stderr) == (0, b"")
    got = pl.read_parquet(tmp_path / "out.parquet")
    assert got.select("id", *RISKS).equals(expected)
    assert got["wait"][0] == {"months": 0, "days": 3, "nanoseconds": 1_500_000_000}
    assert got["u"].dtype == pl.Binary
