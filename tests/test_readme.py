"""Every Python block of the README runs as a user would paste it: as a script of its own, in a
folder of its own. Blocks for Spark and Ray run with the Spark tests, which install both."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).parents[1] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)
# Libraries the default test run does not install.
HEAVY = re.compile(r"^\s*(?:import|from) (pyspark|ray)\b", re.M)


def cases():
    for number, block in enumerate(BLOCKS, 1):
        marks = [pytest.mark.spark] if HEAVY.search(block) else []
        yield pytest.param(block, marks=marks, id=f"block{number}")


def test_the_readme_has_recipes():
    assert len(BLOCKS) >= 6


@pytest.mark.parametrize("block", list(cases()))
def test_a_readme_block_runs_as_written(block, tmp_path):
    script = tmp_path / "recipe.py"
    script.write_text(block, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
