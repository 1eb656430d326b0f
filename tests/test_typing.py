"""The package's types as a user's checker sees them: mypy --strict and pyright (strict) pass
a typed script that scores every kind of table, and report exactly the errors expected in one
that misuses the results."""

import functools
import importlib.util
import json
import pathlib
import re
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent / "typing"
ROOT = HERE.parent.parent
OK, BAD = HERE / "ok.py", HERE / "bad.py"


@functools.cache
def mypy():
    """{(file name, line, code)} of every error mypy reports in the two scripts."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    # The cache beside the sources: a second run takes a second instead of fifteen.
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--output", "json",
         "--cache-dir", str(ROOT / ".mypy_cache"), str(OK), str(BAD)],
        capture_output=True, text=True, cwd=ROOT,
    )
    assert run.returncode in (0, 1), run.stdout + run.stderr
    found = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
    return {(pathlib.Path(e["file"]).name, e["line"], e["code"]) for e in found
            if e["severity"] == "error"}


@functools.cache
def pyright():
    """{(file name, line, rule)} of every error pyright reports in the two scripts, each
    strict by its own comment."""
    if importlib.util.find_spec("pyright") is None:
        pytest.skip("pyright is not installed")
    # --outputjson also keeps pyright from asking the network for a newer version.
    run = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         str(OK), str(BAD)],
        capture_output=True, text=True, cwd=ROOT,
    )
    assert run.returncode in (0, 1), run.stdout + run.stderr
    found = json.loads(run.stdout)["generalDiagnostics"]
    return {(pathlib.Path(e["file"]).name, e["range"]["start"]["line"] + 1, e.get("rule", ""))
            for e in found if e["severity"] == "error"}


def expected(checker):
    """{("bad.py", line, code)} that its ``# expect:`` comments name for ``checker``."""
    lines = BAD.read_text().splitlines()
    pairs = set()
    for number, line in enumerate(lines, start=1):
        if marker := re.search(rf"# expect:.*\b{checker}\[([^\]]*)\]", line):
            pairs |= {("bad.py", number + 1, code) for code in marker.group(1).split(",")}
    assert pairs, f"bad.py expects nothing of {checker}"
    return pairs


@pytest.mark.parametrize("check", [mypy, pyright], ids=["mypy", "pyright"])
def test_a_typed_script_passes(check):
    """An overload that returns the wrong kind, or that no call of a table kind matches."""
    assert {e for e in check() if e[0] == OK.name} == set()


@pytest.mark.parametrize("check", [mypy, pyright], ids=["mypy", "pyright"])
def test_a_misused_result_fails_on_its_line(check):
    """Overloads loose enough to take any result, such as one reading every table as Any, or
    a mapping of texts typed as columns."""
    assert {e for e in check() if e[0] == BAD.name} == expected(check.__name__)


def test_the_typed_script_runs_and_each_result_is_of_its_declared_kind():
    """Types that check but lie: an overload naming a kind the call does not return."""
    pytest.importorskip("duckdb")
    run = subprocess.run([sys.executable, str(OK)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
