"""The command as a user meets it on odd days: piped input, a stream cut short, signals at any
moment, and files that need a word of advice."""

import gzip
import signal
import subprocess
import sys
import time

import pandas as pd
import pytest
from test_cli import GOOD, HEADER, corvane, random_rows, write

LINES, _ = random_rows(3000, seed=21)


@pytest.mark.parametrize("stdin, sample", [
    (b"", True),  # an empty pipe, as a test runner or CI gives
    (None, True),  # /dev/null
    ((HEADER + "\n" + f"a,{GOOD}\n").encode(), False),
])
def test_piped_rows_are_scored_and_no_stdin_scores_the_sample(stdin, sample):
    if stdin is None:
        result = subprocess.run([sys.executable, "-m", "corvane", "score"],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    else:
        result = corvane("score", stdin=stdin)
    assert result.returncode == 0, result.stderr
    assert (b"bundled synthetic sample" in result.stdout) == sample
    assert (result.stdout.startswith(HEADER.encode())) == (not sample)


def test_a_stream_cut_short_says_so_and_a_file_is_never_left_so(tmp_path):
    data = gzip.compress(("\n".join([HEADER, *LINES * 40]) + "\n").encode())
    path = tmp_path / "cut.csv.gz"
    path.write_bytes(data[: len(data) * 3 // 4])
    streamed = corvane("score", path)
    assert streamed.returncode == 5 and streamed.stdout.startswith(HEADER.encode())
    assert streamed.stderr.decode().endswith("; the rows written to stdout before it are"
                                             " incomplete\n")
    out = tmp_path / "out.csv"
    to_file = corvane("score", path, "-o", out)
    assert to_file.returncode == 2 and not out.exists()
    assert "incomplete" not in to_file.stderr.decode()


def test_ctrl_c_while_starting_gives_one_line(tmp_path):
    """Catches a signal that lands while polars loads: a traceback, or a run that goes on."""
    path = write(tmp_path / "in.csv", [HEADER, *LINES])
    out = tmp_path / "out.csv"
    for delay in (0.05, 0.15, 0.25):
        process = subprocess.Popen([sys.executable, "-m", "corvane", "score", path, "-o", out],
                                   stderr=subprocess.PIPE)
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
        text = stderr.decode()
        # Python itself may not have started its own handler yet: then it dies by the signal.
        if process.returncode == -signal.SIGINT:
            continue
        assert "Traceback" not in text and process.returncode in (0, 1, 130), text
        assert (process.returncode == 130) == text.strip().startswith("corvane: interrupted")
        assert out.exists() == (process.returncode != 130)
        out.unlink(missing_ok=True)


def _stata(path):
    pd.DataFrame({"age": [50]}).to_stata(path, write_index=False)


@pytest.mark.parametrize("name, data, options, message", [
    ("quote.csv", "\n".join([HEADER, *[f"a,{GOOD}"] * 3, f'a",{GOOD}', f"a,{GOOD}"]), [],
     '{}: line 5: a quote opens a value that never closes (a quote inside a value is written'
     ' twice: "")'),
    ("title.csv", "\n".join(["Registry export, December", "", HEADER, f"a,{GOOD}"]), [],
     "the header seems to be line 3: give --skip-rows 2"),
    ("le.csv", (HEADER + "\n").encode("utf-16-le"), [],
     "{} looks like UTF-16 text; give --encoding utf-16-le or save it as UTF-8"),
    ("be.csv", (HEADER + "\n").encode("utf-16-be"), ["--encoding", "utf-16"], None),
    ("cohort.dta", _stata, [], "{} looks like a Stata data file, not a CSV or Parquet file;"
     " export it as CSV or Parquet (pandas.read_stata)"),
])
def test_advice_that_works(tmp_path, name, data, options, message):
    path = tmp_path / name
    if callable(data):
        data(path)
    else:
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
    result = corvane("score", path, *options)
    text = result.stderr.decode()
    if message is None:  # the advice taken: a big-endian file without a mark reads
        assert result.returncode == 0 and result.stdout.startswith(HEADER.encode()), text
        return
    assert result.returncode == 2 and result.stdout == b"" and text.count("\n") == 1
    assert message.format(path) in text


@pytest.mark.parametrize("lines, options", [
    (["sep=;", HEADER.replace(",", ";"), f"a;{GOOD.replace(',', ';')}"], []),
    (["Registry export, December", "", HEADER, f"a,{GOOD}"], ["--skip-rows", "1"]),
])
def test_lines_above_the_header_are_skipped_as_asked(tmp_path, lines, options):
    path = write(tmp_path / "in.csv", lines)
    result = corvane("score", path, *options)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines()[0].startswith(HEADER)


def test_cholesterol_in_mmol_gets_a_hint(tmp_path):
    cells = dict(zip(HEADER.split(","), f"a,{GOOD}".split(",")))
    cells.update(total_cholesterol="5.2", hdl_cholesterol="1.3")
    path = write(tmp_path / "in.csv", [HEADER, ",".join(cells[c] for c in HEADER.split(","))])
    hinted = corvane("score", path).stderr.decode()
    assert "give --cholesterol-unit mmol/L" in hinted
    assert "mmol" not in corvane("score", path, "--cholesterol-unit", "mmol/L").stderr.decode()
