"""The corvane command on real-world files: formats, encodings, options, safe output."""

import gzip
import os
import signal
import subprocess
import sys
import time

import polars as pl
import pytest
from test_cli import GOOD, HEADER, corvane, random_rows, read_output, write

ROWS, _ = random_rows(60, seed=11)
_cells = ROWS[5].split(",")
ROWS[5] = ",".join(_cells[:2] + [""] + _cells[3:])  # one row without age: exit 1 everywhere


@pytest.fixture
def plain(tmp_path):
    path = write(tmp_path / "plain.csv", [HEADER, *ROWS])
    return path, corvane("score", path)


def _gzip(data):
    return gzip.compress(data)


def _utf16(data):
    return data.decode().encode("utf-16")


@pytest.mark.parametrize("name, transform, options", [
    ("crlf.csv", lambda d: d.replace(b"\n", b"\r\n"), []),
    ("cr.csv", lambda d: d.replace(b"\n", b"\r"), []),
    ("bom.csv", lambda d: b"\xef\xbb\xbf" + d.replace(b"\n", b"\r\n"), []),
    ("blank_first.csv", lambda d: b"\n \n" + d, []),
    ("semicolon.csv", lambda d: d.replace(b",", b";"), []),
    ("tab.tsv", lambda d: d.replace(b",", b"\t"), []),
    ("pipe.txt", lambda d: d.replace(b",", b"|"), []),
    ("pipe_named.txt", lambda d: d.replace(b",", b"|"), ["--delimiter", "|"]),
    ("cohort.csv.gz", _gzip, []),
    ("gzip_inside.csv", _gzip, []),
    ("utf16.csv", _utf16, ["--encoding", "utf-16"]),
    ("comma_decimal.csv",
     lambda d: b"\n".join(line.replace(b",", b";").replace(b".", b",") for line in d.split(b"\n")),
     ["--decimal", ","]),
])
def test_other_layouts_of_the_same_cohort_give_the_same_output(tmp_path, plain, name, transform,
                                                               options):
    """Catches CR-only files read as one line, a BOM in the first name, a missed delimiter,
    gzip read as text, or a decimal comma read as a separator."""
    path, expected = plain
    other = tmp_path / name
    other.write_bytes(transform(path.read_bytes()))
    result = corvane("score", other, *options)
    assert result.returncode == expected.returncode == 1
    want = expected.stdout
    if name.startswith("blank_first"):
        want = want.replace(b"line 7:", b"line 9:")
    if name.startswith("comma_decimal"):  # the numbers are echoed as written
        assert [r[12:] for r in read_output(result.stdout)[1]] == [
            r[12:] for r in read_output(want)[1]]
    else:
        assert result.stdout == want


def test_flags_written_as_decimals_follow_the_decimal_comma(tmp_path):
    """Catches "1,0" flags (a float column exported with a decimal comma) refused as unreadable."""
    cells = GOOD.split(",")
    cells[5] = "1"
    plain = write(tmp_path / "plain.csv", [HEADER, "p1," + ",".join(cells)])
    cells = [c + ",0" if i in (5, 6, 9, 10) else c for i, c in enumerate(cells)]
    other = write(tmp_path / "comma.csv", [HEADER.replace(",", ";"), "p1;" + ";".join(cells)])
    expected, result = corvane("score", plain), corvane("score", other, "--decimal", ",")
    assert result.returncode == expected.returncode == 0
    assert read_output(result.stdout)[1][0][12:] == read_output(expected.stdout)[1][0][12:]


def test_other_encodings_are_written_as_utf8(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes((HEADER + "\nJosé," + GOOD + "\n").encode("latin-1"))
    result = corvane("score", path, "--encoding", "latin-1")
    assert result.returncode == 0
    assert read_output(result.stdout)[1][0][0] == "José"


@pytest.mark.parametrize("data, message", [
    ("a;b\n".encode("utf-16"),
     "{} looks like UTF-16 text; give --encoding utf-16 or save it as UTF-8"),
    (b"PK\x03\x04rest of a workbook",
     "{} looks like a ZIP archive (an Excel workbook?), not a CSV or Parquet file;"
     " save it as CSV"),
    (b"\x00\x01\x02binary", "{} looks like a binary file, not a CSV or Parquet file"),
    ((HEADER + "\na,f\xe9male,50\n").encode("latin-1"),
     "{}: not UTF-8 text; give its encoding, e.g. --encoding latin-1"),
    (b"", "{}: empty file (expected a header line with column names)"),
    ((HEADER + "\na,female,50,\"200\n").encode(),
     '{}: line 2: a quote opens a value that never closes (a quote inside a value is written'
     ' twice: "")'),
])
def test_input_that_is_not_a_cohort_gets_one_line_and_status_2(tmp_path, data, message):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    result = corvane("score", path)
    assert result.returncode == 2 and result.stdout == b""
    text = result.stderr.decode()
    assert text.count("\n") == 1 and "\x00" not in text
    if message:
        assert text == f"corvane: {message.format(path)}\n"
    else:
        assert text.startswith(f"corvane: {path}: not valid CSV after line 1 (")


def test_header_that_splits_with_another_delimiter_says_which(tmp_path):
    path = write(tmp_path / "in.csv", [HEADER.replace(",", ";"), "a;" + GOOD.replace(",", ";")])
    result = corvane("score", path, "--delimiter", ",")
    assert result.returncode == 2
    assert result.stderr.decode().endswith("; the header splits with ';': try --delimiter ';'\n")


def test_numbers_with_a_decimal_comma_get_a_hint(tmp_path):
    path = write(tmp_path / "in.csv", [HEADER.replace(",", ";"),
                                       "a;" + GOOD.replace(",", ";").replace("25", "25,5")])
    result = corvane("score", path)
    assert result.returncode == 1
    assert result.stderr.decode().splitlines()[-1] == (
        "corvane: 1 numbers have a decimal comma; give --decimal , to read them")


@pytest.mark.parametrize("suffix", [".csv", ".csv.gz", ".parquet"])
def test_output_format_follows_the_extension_and_reads_back(tmp_path, plain, suffix):
    """Catches a risk that does not read back to the same bits, or a lost null."""
    path, expected = plain
    out = tmp_path / f"out{suffix}"
    assert corvane("score", path, "-o", out).returncode == 1
    if suffix == ".parquet":
        got = pl.read_parquet(out)
    else:
        data = out.read_bytes()
        got = pl.read_csv(gzip.decompress(data) if suffix.endswith("gz") else data,
                          infer_schema=False)
    want = pl.read_csv(expected.stdout, infer_schema=False)
    assert got.columns == want.columns
    risks = [c for c in want.columns if c.endswith("yr")]
    got = got.with_columns(pl.col(risks).cast(pl.Float64))
    want = want.with_columns(pl.col(risks).cast(pl.Float64))
    assert got.select(pl.col(risks).cast(pl.Float64).to_physical()).equals(
        want.select(pl.col(risks).to_physical()))
    assert got.drop(risks).equals(want.drop(risks))


@pytest.mark.parametrize("typed", [False, True, "categories"])
@pytest.mark.parametrize("as_directory", [False, True])
def test_parquet_input_scores_like_the_csv(tmp_path, plain, as_directory, typed):
    """Catches a typed column (numbers, booleans, categories) decoded differently from its
    text, or refused."""
    path, expected = plain
    frame = pl.read_csv(path, infer_schema=False)
    if typed == "categories":
        frame = frame.with_columns(pl.col("sex", "age").cast(pl.Categorical),
                                   pl.col("bmi").cast(pl.Enum(frame["bmi"].unique().drop_nulls())))
    elif typed:
        flags = ["has_diabetes", "current_smoker", "on_htn_meds", "on_cholesterol_meds"]
        frame = frame.with_columns(
            pl.col("age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "bmi",
                   "egfr").cast(pl.Float64),
            pl.col(flags).replace_strict({"0": False, "1": True, "no": False, "yes": True,
                                          "false": False, "TRUE": True}),
        )
    if as_directory:
        (tmp_path / "ds").mkdir()
        frame.head(20).write_parquet(tmp_path / "ds" / "a.parquet")
        frame.slice(20).write_parquet(tmp_path / "ds" / "b.parquet")
        source = tmp_path / "ds"
    else:
        source = tmp_path / "in.parquet"
        frame.write_parquet(source)
    result = corvane("score", source)
    assert result.returncode == 1
    rows = read_output(result.stdout)[1]
    assert [r[12:-1] for r in rows] == [r[12:-1] for r in read_output(expected.stdout)[1]]
    assert result.stdout.count(b"\n") == 61
    assert rows[5][-1] == "a.parquet " * as_directory + "row 6: age: missing value"


@pytest.mark.parametrize("how", ["named", "hard link", "symlink", "stdin", "stdout append"])
def test_refuses_to_write_over_its_input(tmp_path, how):
    """Catches the run that truncated its own input and grew it forever."""
    path = write(tmp_path / "in.csv", [HEADER, "a," + GOOD])
    before = path.read_bytes()
    target = tmp_path / "out.csv"
    if how == "hard link":
        os.link(path, target)
    elif how == "symlink":
        os.symlink(path, target)
    else:
        target = path
    if how == "stdin":
        with open(path, "rb") as stdin:
            result = subprocess.run([sys.executable, "-m", "corvane", "score", "-", "-o", target],
                                    stdin=stdin, capture_output=True, timeout=60)
    elif how == "stdout append":
        with open(path, "ab") as stdout:
            result = subprocess.run([sys.executable, "-m", "corvane", "score", path],
                                    stdout=stdout, stderr=subprocess.PIPE, timeout=60)
    else:
        result = corvane("score", path, "-o", target)
    assert result.returncode == 2
    assert b"refusing to" in result.stderr
    assert path.read_bytes() == before


def test_failed_write_keeps_the_previous_output_and_says_so(tmp_path):
    path = write(tmp_path / "in.csv", [HEADER, "a," + GOOD])
    full = corvane("score", path, "-o", "/dev/full")
    assert full.returncode == 3
    assert full.stderr.decode() == (
        "corvane: cannot write /dev/full: No space left on device; /dev/full is unchanged\n")
    (tmp_path / "full.parquet").symlink_to("/dev/full")
    full = corvane("score", path, "-o", tmp_path / "full.parquet")
    assert full.returncode == 3 and b"No space left on device" in full.stderr
    missing = corvane("score", path, "-o", tmp_path / "no" / "out.csv")
    assert missing.returncode == 3 and missing.stderr.count(b"\n") == 1
    # Unreadable input half way: the earlier output stays and no temporary file is left.
    bad = write(tmp_path / "bad.csv", [HEADER, *(["a," + GOOD] * 5000), 'b,"female,1'])
    out = tmp_path / "out.csv"
    out.write_text("previous\n")
    result = corvane("score", bad, "-o", out, "--batch-rows", "100")
    assert result.returncode == 2
    assert out.read_text() == "previous\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "bad.csv", "full.parquet", "in.csv", "out.csv"]


@pytest.mark.parametrize("signum, suffix", [(signal.SIGINT, ".csv"), (signal.SIGTERM, ".csv"),
                                            (signal.SIGINT, ".parquet"),
                                            (signal.SIGHUP, ".parquet"), (signal.SIGQUIT, ".csv")])
def test_interrupt_keeps_the_previous_output(tmp_path, signum, suffix):
    lines, _ = random_rows(3000, seed=12)
    path = write(tmp_path / "in.csv", [HEADER, *lines * 10])
    out = tmp_path / f"out{suffix}"
    out.write_text("previous\n")
    process = subprocess.Popen(
        [sys.executable, "-m", "corvane", "score", path, "-o", out, "--batch-rows", "5"],
        stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not any(p.name.endswith(".partial") for p in tmp_path.iterdir()):
        assert time.monotonic() < deadline and process.poll() is None
        time.sleep(0.01)
    process.send_signal(signum)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130
    assert stderr.decode().strip() == f"corvane: interrupted; {out} is unchanged"
    assert out.read_text() == "previous\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", out.name]


def test_interrupt_while_stdin_sends_nothing_ends_at_once(tmp_path):
    """Catches a run that waits for its reading thread, which waits on stdin forever."""
    out = tmp_path / "out.csv"
    out.write_text("previous\n")
    process = subprocess.Popen(
        [sys.executable, "-m", "corvane", "score", "-", "-o", out, "--batch-rows", "5"],
        stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdin.write((HEADER + "\n" + f"a,{GOOD}\n" * 2000).encode())  # past the sniffing
    process.stdin.flush()
    deadline = time.monotonic() + 60
    while not any(p.name.endswith(".partial") for p in tmp_path.iterdir()):
        assert time.monotonic() < deadline and process.poll() is None
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=30) == 130  # stdin is still open
    process.stdin.close()
    assert process.stderr.read().decode().strip() == f"corvane: interrupted; {out} is unchanged"
    assert out.read_text() == "previous\n"


@pytest.mark.parametrize("rows_or_summary", ["rows", "summary"])
def test_closed_pipe_ends_quietly(tmp_path, rows_or_summary):
    lines, _ = random_rows(2000, seed=13)
    path = write(tmp_path / "in.csv", [HEADER, *lines * 20])
    score = f"{path} --batch-rows 100" if rows_or_summary == "rows" else ""
    command = f"{sys.executable} -m corvane score {score} | head -n 2"
    result = subprocess.run(["bash", "-o", "pipefail", "-c", command], capture_output=True,
                            timeout=120)
    assert result.stderr == b"" and result.returncode == 0
    assert len(result.stdout.splitlines()) == 2


def test_column_and_code_options_map_a_foreign_file(tmp_path):
    foreign = HEADER.replace(",age,", ",AGE_YRS,").replace(",sex,", ",gender,")
    row = GOOD.replace("female", " F ").replace(",0,0,25", ",Y,0,25")
    path = write(tmp_path / "in.csv", [foreign, "a," + row])
    result = corvane("score", path, "--column", "age=age_yrs", "--column", "sex=GENDER",
                     "--code", "sex=M:male,F:female", "--code", "has_diabetes=Y:1,N:0")
    expected = corvane("score", write(tmp_path / "plain.csv",
                                      [HEADER, "a," + GOOD.replace(",0,0,25", ",1,0,25")]))
    assert result.returncode == 0, result.stderr
    assert read_output(result.stdout)[0][:3] == ["id", "gender", "AGE_YRS"]
    assert [r[12:] for r in read_output(result.stdout)[1]] == [
        r[12:] for r in read_output(expected.stdout)[1]]


def test_cholesterol_in_mmol_per_litre(tmp_path):
    row = GOOD.replace("200,50", "5.2,1.3")
    path = write(tmp_path / "in.csv", [HEADER, "a," + row])
    as_mg = corvane("score", path, "--outcomes", "cvd", "--horizons", "10")
    as_mmol = corvane("score", path, "--outcomes", "cvd", "--horizons", "10",
                      "--cholesterol-unit", "mmol/L")
    assert read_output(as_mg.stdout)[1][0][-1] == "Total cholesterol must be between 130 and 320"
    risk, error = read_output(as_mmol.stdout)[1][0][-2:]
    assert error == "" and 1.0 < float(risk) < 10.0


def test_overwrite_columns_rescores_a_scored_file(tmp_path, plain):
    path, expected = plain
    scored = tmp_path / "scored.csv"
    scored.write_bytes(expected.stdout)
    refused = corvane("score", scored)
    assert refused.returncode == 2 and b"--overwrite-columns" in refused.stderr
    again = corvane("score", scored, "--overwrite-columns")
    assert again.stdout == expected.stdout


def test_summary_goes_to_stderr_when_rows_go_to_stdout(tmp_path, plain):
    path, expected = plain
    result = corvane("score", path, "--summary")
    assert result.stdout == expected.stdout
    text = result.stderr.decode()
    assert f"{path}: 60 patients" in text and text.count("median") == 6
    assert "line 7: age: missing value" in text
    to_file = corvane("score", path, "--summary", "-o", tmp_path / "out.csv")
    assert f"{path}: 60 patients" in to_file.stdout.decode()


@pytest.mark.parametrize("args, message", [
    (["--horizons", "20"], "argument --horizons: invalid choice '20' (choose from 10, 30)"),
    (["--batch-rows", "100000000000"], "argument --batch-rows: must be between 1 and 10,000,000"),
    (["--column", "weight=w"], "argument --column: 'weight' is not an input"),
    (["--code", "sex=M:man"], "argument --code: sex: code 'M' stands for 'man', which is not male/female or 1/0"),
    (["--decimal", ",", "--delimiter", ","], "a decimal comma needs another delimiter"),
    (["--cholesterol-unit", "g/L"], "choose mg/dL or mmol/L, not 'g/L'"),
    (["--encoding", "klingon"], "unknown encoding 'klingon'"),
    (["--bogus"], "unrecognized arguments: --bogus"),
])
def test_argument_errors_show_the_score_usage(tmp_path, args, message):
    result = corvane("score", "in.csv", *args)
    text = result.stderr.decode()
    assert result.returncode == 2
    assert text.startswith("usage: corvane score [-h]") and message in text


def test_help_names_units_and_exit_statuses():
    text = " ".join(corvane("score", "--help").stdout.decode().split())
    for words in ("mg/dL", "mmol/L", "mmHg", "Exit status: 0", "2 usage error", "3 the output",
                  "130 interrupted"):
        assert words in text


def test_sample_rows_to_stdout_and_summary_to_stderr():
    result = corvane("score", "-o", "-")
    assert result.returncode == 0
    assert len(result.stdout.splitlines()) == 3001
    assert "3,000 patients" in result.stderr.decode()


@pytest.mark.parametrize("kind", ["gzip", "parquet"])
def test_stdin_may_be_gzip_or_parquet(tmp_path, plain, kind):
    path, expected = plain
    if kind == "gzip":
        data = gzip.compress(path.read_bytes())
    else:
        pl.read_csv(path, infer_schema=False).write_parquet(tmp_path / "in.parquet")
        data = (tmp_path / "in.parquet").read_bytes()
    result = corvane("score", "-", stdin=data)
    assert result.returncode == 1
    got = [r[12:-1] for r in read_output(result.stdout)[1]]
    assert got == [r[12:-1] for r in read_output(expected.stdout)[1]]


def test_other_columns_are_echoed_as_written(tmp_path):
    """Catches duplicate or odd column names renamed, or cell text changed on the way."""
    header = HEADER + ',note,note, Spaced "name" ,x'
    row = 'a,' + GOOD + ',"two\r\nlines",,"",  padded  '
    result = corvane("score", write(tmp_path / "in.csv", [header, row]))
    out_header, rows = read_output(result.stdout)
    assert out_header[12:16] == ["note", "note", ' Spaced "name" ', "x"]
    assert rows[0][12:16] == ["two\r\nlines", "", "", "  padded  "]


def test_replaced_output_keeps_the_target_permissions(tmp_path):
    path = write(tmp_path / "in.csv", [HEADER, "a," + GOOD])
    out = tmp_path / "out.csv"
    out.write_text("previous\n")
    out.chmod(0o640)
    assert corvane("score", path, "-o", out).returncode == 0
    assert out.stat().st_mode & 0o777 == 0o640 and out.read_bytes().startswith(b"id,")


@pytest.mark.parametrize("piece_bytes", [1, 2, 3, 5, 8, 13, 64])
@pytest.mark.parametrize("line_end, eol", [(b"\n", b"\n"), (b"\r\n", b"\n"), (b"\r", b"\r")])
@pytest.mark.parametrize("sized", [False, True])
def test_pieces_end_only_at_record_ends(monkeypatch, piece_bytes, line_end, eol, sized):
    """Catches a record split between two pieces at a quoted line end or an escaped quote,
    also where the pieces shrink towards the end of a file of known size."""
    from corvane.command import source as _cohort_input

    monkeypatch.setattr(_cohort_input, "_PIECE_BYTES", piece_bytes)
    monkeypatch.setattr(_cohort_input, "_FIRST_PIECE_BYTES", 1)
    records = [b'a,"x' + line_end + b'y",1', b'"q""' + line_end + b'""",b,2', b"plain,c,3",
               b'"",,4', b'"long' + line_end * 3 + b'note","""",5']
    text = line_end.join(records) + line_end
    chunks = [text[i:i + 3] for i in range(0, len(text), 3)]
    pieces = list(_cohort_input._pieces(iter(chunks), eol, len(text) if sized else None))
    assert b"".join(pieces) == text
    schema = dict.fromkeys(["column_1", "column_2", "column_3"], pl.String)
    read = pl.concat(pl.read_csv(p, has_header=False, eol_char=eol.decode(), schema=schema,
                                 missing_columns="insert", truncate_ragged_lines=True)
                     for p in pieces)
    assert read["column_3"].to_list() == ["1", "2", "3", "4", "5"]


def test_parquet_column_of_lists_is_refused_by_name(tmp_path):
    source = tmp_path / "in.parquet"
    columns = dict(zip(HEADER.split(","), ["a", *GOOD.split(",")]))
    pl.DataFrame({k: [v] for k, v in columns.items()} | {"age": [[50.0]]}).write_parquet(source)
    result = corvane("score", source)
    assert result.returncode == 2
    assert result.stderr.decode().endswith("column 'age' holds List(Float64) values, not numbers"
                                           " or text\n")


def test_parquet_output_keeps_batches_in_order_and_repeated_names(tmp_path, plain):
    """Catches a batch lost or moved by the Parquet writer, and a repeated column name (which a
    polars frame cannot hold) that fails the run or is renamed."""
    import pyarrow.parquet as pq

    path, expected = plain
    out = tmp_path / "out.parquet"
    assert corvane("score", path, "-o", out, "--batch-rows", "3").returncode == 1
    want = pl.read_csv(expected.stdout, infer_schema=False).select(pl.first(), "error")
    assert pl.read_parquet(out).select(pl.first(), "error").equals(want)
    lines = path.read_text().splitlines()
    twice = write(tmp_path / "twice.csv",
                  [lines[0] + ",note,note"] + [f"{r},a,b" for r in lines[1:]])
    assert corvane("score", twice, "-o", out, "--batch-rows", "3").returncode == 1
    table = pq.ParquetFile(out).read()
    assert table.column_names[-10:-7] == ["on_cholesterol_meds", "note", "note"]
    assert table.column("error").to_pylist() == want["error"].to_list()


@pytest.mark.parametrize("encode", [bytes, gzip.compress, _utf16], ids=["plain", "gzip", "utf-16"])
def test_file_read_through_a_small_reused_buffer_is_read_whole(tmp_path, monkeypatch, encode):
    """Catches a chunk kept after its buffer was refilled: rows repeated, lost or mixed up."""
    from corvane.command import source as _cohort_input

    monkeypatch.setattr(_cohort_input, "_CHUNK_BYTES", 7)
    monkeypatch.setattr(_cohort_input, "_PIECE_BYTES", 50)
    lines = [HEADER, *ROWS]
    path = tmp_path / "in.csv"
    path.write_bytes(encode(("\n".join(lines) + "\n").encode()))
    encoding = "utf-16" if encode is _utf16 else "utf-8"
    source = _cohort_input.open_source(str(path), delimiter=None, encoding=encoding,
                                       batch_rows=1000, wanted=lambda names: 11)
    batches = list(source.batches())
    source.close()
    frame = pl.concat([b.frame for b in batches])
    assert [",".join(r) for r in frame.fill_null("").rows()] == lines[1:]
    where = [_cohort_input._each_row(b.where, len(b.frame)) for b in batches]
    assert pl.concat(where).to_list() == list(range(2, len(lines) + 1))


@pytest.mark.parametrize("size", [0, 1, (1 << 16) - 1, 1 << 16, (1 << 16) + 1, 3 << 16])
def test_counting_a_byte_agrees_with_bytes_count(size):
    from corvane.command.source import _count

    data = bytes(range(256)) * (size // 256 + 1)
    data = data[:size]
    assert _count(data, b"\n") == data.count(b"\n")
    assert _count(data, b'"', 5, size - 3) == data.count(b'"', 5, max(size - 3, 0))


def test_version_is_looked_up_only_when_asked():
    result = corvane("--version")
    assert result.returncode == 0 and result.stdout.decode().startswith("corvane ")


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_the_command_runs_without_numpy(tmp_path, plain, suffix):
    # NumPy's import is a tenth of a million-row run; the command reads and writes through
    # polars alone. A summary and corvane.score do use it.
    path, expected = plain
    code = ("import sys; from corvane import cli; cli.main(sys.argv[1:]);"
            " print('numpy' in sys.modules)")
    target = tmp_path / f"out{suffix}"
    run = subprocess.run([sys.executable, "-c", code, "score", str(path), "-o", str(target)],
                         capture_output=True, text=True)
    assert run.stdout == "False\n", run.stderr
    if suffix == ".csv":
        assert read_output(target.read_bytes()) == read_output(expected.stdout)
    else:
        assert pl.read_parquet(target).height == len(ROWS)


@pytest.mark.parametrize("suffix", [".csv", ".csv.gz", ".parquet"])
def test_output_that_outgrows_the_file_size_limit_keeps_the_previous_file(tmp_path, suffix):
    """Catches a writer's failure lost on its thread: a run reported as done, or a partial
    file left behind. The limit stands in for a full disk."""
    import resource

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 18, 1 << 18))

    lines, _ = random_rows(3000, seed=13)
    path = write(tmp_path / "in.csv", [HEADER, *lines * 10])
    out = tmp_path / f"out{suffix}"
    out.write_bytes(b"previous\n")
    result = subprocess.run([sys.executable, "-m", "corvane", "score", path, "-o", out],
                            preexec_fn=limit, capture_output=True, timeout=120)
    assert result.returncode == 3
    assert result.stderr.decode() == (
        f"corvane: cannot write {out}: File too large; {out} is unchanged\n")
    assert out.read_bytes() == b"previous\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", out.name]
