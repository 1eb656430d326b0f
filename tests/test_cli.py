"""The corvane command, run in a subprocess on small files."""

import csv
import io
import os
import re
import pty
import subprocess
import sys
from importlib import resources
from pathlib import Path

import _corvane
import numpy as np
import pytest
from corvane import INPUT_COLUMNS

HEADER = "id," + ",".join(INPUT_COLUMNS)
RISKS = ["cvd_10yr", "ascvd_10yr", "hf_10yr", "cvd_30yr", "ascvd_30yr", "hf_30yr"]
BATCH = {
    name: getattr(_corvane, f"calculate_{name[-4:-2]}_yr_{name[:-5]}_rust_parallel_np")
    for name in RISKS
}
GOOD = "female,50,200,50,120,0,0,25,90,0,0"
REPO = Path(__file__).resolve().parent.parent


def corvane(*args, stdin=b"", **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "corvane", *map(str, args)],
        input=stdin, capture_output=True, timeout=120, **kwargs,
    )


def write(path, lines, newline="\n", prefix=""):
    path.write_bytes((prefix + newline.join(lines) + newline).encode())
    return path


def read_output(data):
    rows = list(csv.reader(io.StringIO(data.decode())))
    return rows[0], rows[1:]


def random_rows(n, seed):
    """n well-formed rows as text with their numeric batch rows."""
    rng = np.random.default_rng(seed)
    lines, values = [], []
    for i in range(n):
        v = [float(rng.integers(0, 2)), rng.uniform(27, 82), rng.uniform(125, 325),
             rng.uniform(18, 102), rng.uniform(88, 202), float(rng.integers(0, 2)),
             float(rng.integers(0, 2)), rng.uniform(18, 40.5), rng.uniform(13, 142),
             float(rng.integers(0, 2)), float(rng.integers(0, 2))]
        sex = ("Male" if v[0] else "female") if i % 3 else str(int(v[0]))
        flags = {5: ("no", "yes"), 6: ("0", "1"), 9: ("false", "TRUE"), 10: ("0", "1")}
        fields = [sex] + [flags[j][int(x)] if j in flags else repr(x) for j, x in enumerate(v)][1:]
        lines.append(f"P{i}," + ",".join(fields))
        values.append(v)
    return lines, np.array(values)


def test_output_is_input_plus_batch_risks_bit_for_bit(tmp_path):
    """Catches a lost, reordered or altered row, or a risk printed with too few digits."""
    lines, values = random_rows(400, seed=3)
    result = corvane("score", write(tmp_path / "in.csv", [HEADER, *lines]))
    header, rows = read_output(result.stdout)
    assert header == HEADER.split(",") + RISKS + ["error"]
    assert [",".join(r[:12]) for r in rows] == lines
    for k, name in enumerate(RISKS):
        want = BATCH[name](values)
        got = np.array([float(r[12 + k]) if r[12 + k] else np.nan for r in rows])
        assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
    assert [bool(r[-1]) for r in rows] == np.isnan(
        np.column_stack([BATCH[name](values) for name in RISKS])).any(axis=1).tolist()
    assert result.returncode == 0  # rows outside a model's ranges are results, not failures


MALFORMED = [
    (GOOD, ""),
    ("female,50,200,50,120,0,0,25,90,0", "line {}: on_cholesterol_meds: missing value"),
    (GOOD + ",extra", "line {}: 13 values instead of 12"),
    (GOOD + ",,,x,y", "line {}: 16 values instead of 12"),
    ("female,,200,50,120,0,0,25,90,0,0", "line {}: age: missing value"),
    ("female,50,2O0,50,120,0,0,25,90,0,0", "line {}: total_cholesterol: '2O0' is not a number"),
    ("female,50,2_13,50,120,0,0,25,90,0,0", "line {}: total_cholesterol: '2_13' is not a number"),
    ("f,50,200,50,120,0,0,25,90,0,0", "line {}: sex: 'f' is not male/female or 1/0"),
    ("female,50,200,50,120,0,0,25,90,0,2",
     "line {}: on_cholesterol_meds: '2' is not one of 0/1 true/false yes/no"),
    ("female,50,200,50,120,0,0,25,nan,0,0", "line {}: egfr: missing value"),
    (" Male ,50,200,50,120, 0 ,0,25, 90 ,TRUE,No", ""),
    ("female,50,200,50,120,2,0,25,NA,0,0",
     "line {}: has_diabetes: '2' is not one of 0/1 true/false yes/no; egfr: missing value"),
    ("female,50,200,50,120,0,0,25,90,0,0,", ""),  # an empty value past the end is harmless
    ('female,50,200,50,120,0,0,"it\'s",90,0,0', 'line {}: bmi: "it\'s" is not a number'),
    ("female,50,200,50,120,0,0,25,9\x010,0,0", "line {}: egfr: '9\\x010' is not a number"),
    ("female,50,200,50,120,0,0,25,190,0,0", "eGFR must be between 15 and 140"),
    ("male,65,200,50,120,0,0,25,90,0,0", "30-year: Age must be between 30 and 59"),
]


@pytest.mark.parametrize("first", [GOOD + ",x,y,z,w,v,u", GOOD + ",x"])
def test_a_long_first_record_is_one_bad_row(tmp_path, first):
    """Catches the whole file refused when its first record is the long one."""
    result = corvane("score", write(tmp_path / "in.csv", [HEADER, f"a,{first}", f"b,{GOOD}"]))
    header, rows = read_output(result.stdout)
    assert [r[-1] for r in rows] == [f"line 2: {min(first.count(',') + 2, 16)} values instead"
                                     " of 12", ""]
    assert result.returncode == 1


@pytest.mark.parametrize("batch_rows", [1, 7, None])
@pytest.mark.parametrize("row_id, shown", [
    ("id {}", "id {}"),
    ('"id {}, quoted"', "id {}, quoted"),
    ('"id {}\nnote, with ""quotes"""', 'id {}\nnote, with "quotes"'),
])
def test_bad_rows_are_reported_by_physical_line_and_kept_in_order(
        tmp_path, batch_rows, row_id, shown):
    """Catches a dropped or split row, a wrong line number after a quoted newline or across
    batches, blank rows counted as rows, or a run that stops at the first bad row."""
    lines = [HEADER]
    expected = []
    physical = 1
    for i, (row, error) in enumerate(MALFORMED * 3):
        if i % 5 == 4:
            lines += ["", ",,,,,,,,,,,"]  # blank rows are skipped but still count as lines
            physical += 2
        lines.append(f"{row_id.format(i)},{row}")
        physical += 1
        expected.append((shown.format(i), error.format(physical)))
        physical += row_id.count("\n")
    options = ["--batch-rows", batch_rows] if batch_rows else []
    result = corvane("score", write(tmp_path / "in.csv", lines), *options)
    header, rows = read_output(result.stdout)
    assert [(r[0], r[-1]) for r in rows] == expected
    assert {len(r) for r in rows} == {len(header)}
    # An unreadable row has no risks, even one whose cells read (it has too many of them).
    assert {tuple(r[12:-1]) for r in rows if r[-1].startswith("line")} == {("",) * 6}
    assert result.returncode == 1
    failed = sum(1 for _, error in MALFORMED if error.startswith("line")) * 3
    assert result.stderr.decode() == (
        f"corvane: {failed} of {len(MALFORMED) * 3} rows could not be read;"
        " the error column says why\n")


def test_every_batch_size_gives_the_same_output(tmp_path):
    lines, _ = random_rows(300, seed=4)
    lines[17] = lines[17].replace(",", ",,", 1)
    path = write(tmp_path / "in.csv", [HEADER, *lines])
    outputs = {corvane("score", path, "--batch-rows", n).stdout for n in (1, 33, 4096)}
    assert len(outputs) == 1


@pytest.mark.parametrize("lines, status", [
    ([HEADER, "a," + GOOD, "b," + GOOD], 0),
    ([HEADER], 0),
    ([HEADER, "a," + GOOD, "b," + GOOD.replace("50", "20", 1)], 0),
    ([HEADER, "a," + GOOD.replace("female", "x")], 1),
])
def test_exit_status_tells_whether_any_row_was_unreadable(tmp_path, lines, status):
    """A model's range refusal is a result (0); only an unreadable row is a failure (1)."""
    result = corvane("score", write(tmp_path / "in.csv", lines))
    assert result.returncode == status
    assert len(result.stdout.decode().splitlines()) == len(lines)
    if status == 0:
        assert result.stderr == b""  # and no progress bar when stderr is not a terminal


@pytest.mark.parametrize("header, message", [
    (HEADER.replace(",egfr", ""), "missing column 'egfr'"),
    (HEADER.replace(",bmi", "").replace(",sex", ""), "missing columns 'sex', 'bmi'"),
    (HEADER + ",age", "column 'age' appears more than once"),
    (HEADER + ",error", "already has the output column 'error';"
                        " give --overwrite-columns to replace them"),
    (HEADER.replace("id", '"id'), "is a quote left open?"),
])
def test_unusable_header_is_a_clear_error(tmp_path, header, message):
    result = corvane("score", write(tmp_path / "in.csv", [header, "a," + GOOD]))
    assert result.returncode == 2
    assert result.stdout == b""
    assert message in result.stderr.decode()


def test_header_names_ignore_case_and_order(tmp_path):
    names = list(reversed(HEADER.upper().split(",")))
    values = list(reversed(("a," + GOOD).split(",")))
    shuffled = corvane("score", write(tmp_path / "x.csv", [",".join(names), ",".join(values)]))
    plain = corvane("score", write(tmp_path / "y.csv", [HEADER, "a," + GOOD]))
    risks = [result.stdout.splitlines()[1].split(b",")[12:] for result in (shuffled, plain)]
    assert risks[0] == risks[1]


def test_stdin_and_output_file_match_the_plain_run(tmp_path):
    lines, _ = random_rows(50, seed=5)
    path = write(tmp_path / "in.csv", [HEADER, *lines])
    plain = corvane("score", path)
    piped = corvane("score", "-", "-o", tmp_path / "out.csv", stdin=path.read_bytes())
    assert piped.stdout == b""
    assert (tmp_path / "out.csv").read_bytes() == plain.stdout
    assert piped.returncode == plain.returncode


def test_windows_export_with_bom_and_crlf_reads_like_plain_text(tmp_path):
    lines, _ = random_rows(20, seed=6)
    plain = corvane("score", write(tmp_path / "a.csv", [HEADER, *lines]))
    excel = corvane("score", write(tmp_path / "b.csv", [HEADER, *lines], "\r\n", "\ufeff"))
    assert excel.stdout == plain.stdout


def test_outcomes_and_horizons_select_columns(tmp_path):
    path = write(tmp_path / "in.csv", [HEADER, "a," + GOOD])
    result = corvane("score", "--outcomes", "hf", path, "--outcomes", "cvd", "--horizons", "30")
    header, rows = read_output(result.stdout)
    assert header[12:] == ["hf_30yr", "cvd_30yr", "error"]
    bad = corvane("score", path, "--horizons", "20")
    assert bad.returncode == 2 and "invalid choice '20'" in bad.stderr.decode()


def test_refuses_to_overwrite_its_input(tmp_path):
    path = write(tmp_path / "in.csv", [HEADER, "a," + GOOD])
    before = path.read_bytes()
    result = corvane("score", path, "-o", path)
    assert result.returncode == 2 and path.read_bytes() == before


def test_progress_bar_goes_to_a_terminal_stderr_only(tmp_path):
    lines, _ = random_rows(200, seed=7)
    path = write(tmp_path / "in.csv", [HEADER, *lines * 100])
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run(
            [sys.executable, "-m", "corvane", "score", path, "--batch-rows", "1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=terminal, timeout=120)
        os.close(terminal)
        shown = b""
        while True:
            try:
                data = os.read(controller, 4096)
            except OSError:
                break
            if not data:
                break
            shown += data
    finally:
        os.close(controller)
    counts = re.findall(rb"corvane: scoring ([\d,]+) rows", shown)
    assert len(counts) > 1 and counts[-1] == b"20,000"
    assert result.stdout == corvane("score", path).stdout


def test_without_file_summarises_the_bundled_sample():
    result = corvane("score")
    text = result.stdout.decode()
    assert result.returncode == 0, result.stderr
    assert "3,000 patients" in text
    for title in ("10-year total cardiovascular disease", "30-year heart failure"):
        assert title in text
    assert text.count("median") == 6 and text.count("7.5") >= 6
    assert "Age must be between 30 and 59" in text
    assert "line 38: sex: 'unknown' is not male/female or 1/0" in text
    assert "line 2000: 13 values instead of 12" in text


def test_bundled_sample_ships_and_matches_its_generator(tmp_path):
    """Catches a sample edited by hand, or a generator that is not deterministic."""
    shipped = resources.files("corvane").joinpath("data/sample_cohort.csv").read_bytes()
    script = REPO / "scripts" / "make_sample_cohort.py"
    if not script.exists():
        pytest.skip("needs the source tree")
    subprocess.run([sys.executable, script, tmp_path / "sample.csv"], check=True)
    assert (tmp_path / "sample.csv").read_bytes() == shipped


def test_console_script_is_installed(tmp_path):
    script = Path(sys.executable).with_name("corvane")
    result = subprocess.run([script, "score", write(tmp_path / "in.csv", [HEADER, "a," + GOOD])],
                            capture_output=True, timeout=120)
    assert result.returncode == 0 and result.stdout.startswith(HEADER.encode())


@pytest.mark.parametrize("values", [[3.0], [2.0, 1.0], [5.0, 0.1, 0.2], [0.1, 0.2, 0.3, 9.0]])
def test_summary_median_is_numpys(values):
    import polars as pl
    from corvane.command.summary import _median

    assert _median(pl.Series(values)) == np.median(values)
