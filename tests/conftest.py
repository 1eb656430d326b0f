"""Shared tables and helpers: the module's functions and their parameters, batch rows and the
scalar call each row must agree with."""

import ctypes
from dataclasses import dataclass

import _corvane
import pytest

STANDARD_PARAMS = (
    "sex", "age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "has_diabetes",
    "current_smoker", "bmi", "egfr", "on_htn_meds", "on_cholesterol_meds",
)
HF_PARAMS = (
    "sex", "age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "has_diabetes",
    "is_smoker", "bmi", "egfr", "on_meds", "_cholesterol_treated",
)
# The engine's reading options for plain inputs: each column by its own name, no codes.
ENGINE_OPTIONS = (
    STANDARD_PARAMS,
    tuple((e, e) for e in ("male/female or 1/0",) + ("a number",) * 4 + ("flag",) * 2
          + ("a number",) * 2 + ("flag",) * 2),
    (None,) * 11,
    ".",
    False,
)
# What each position converts to; the same for all six scalar functions.
PARAM_KINDS = ("text", "real", "real", "real", "real", "bool", "bool", "real", "real", "bool",
               "bool")


@dataclass(frozen=True)
class Scalar:
    name: str
    model: str  # "cvd", "ascvd" or "hf", as the reference names them
    horizon: int
    params: tuple

    @property
    def fn(self):
        return getattr(_corvane, self.name)

    def __call__(self, *args, **kwargs):
        return self.fn(*args, **kwargs)

    def __str__(self):
        return self.name


# Registration order.
SCALAR_FUNCTIONS = (
    Scalar("calculate_10_yr_heart_failure_rust", "hf", 10, HF_PARAMS),
    Scalar("calculate_30_yr_heart_failure_rust", "hf", 30, HF_PARAMS),
    Scalar("calculate_10_yr_ascvd_rust", "ascvd", 10, STANDARD_PARAMS),
    Scalar("calculate_30_yr_ascvd_rust", "ascvd", 30, STANDARD_PARAMS),
    Scalar("calculate_10_yr_cvd_rust", "cvd", 10, STANDARD_PARAMS),
    Scalar("calculate_30_yr_cvd_rust", "cvd", 30, STANDARD_PARAMS),
)
BATCH_NAMES = (
    "calculate_10_yr_ascvd_rust_parallel_np",
    "calculate_30_yr_ascvd_rust_parallel_np",
    "calculate_10_yr_cvd_rust_parallel_np",
    "calculate_30_yr_cvd_rust_parallel_np",
    "calculate_10_yr_hf_rust_parallel_np",
    "calculate_30_yr_hf_rust_parallel_np",
)


def scalar_of(batch_name):
    """The scalar function a batch function must agree with row by row."""
    name = batch_name.replace("_parallel_np", "").replace("_hf_", "_heart_failure_")
    return next(s for s in SCALAR_FUNCTIONS if s.name == name)


BATCH_PAIRS = tuple((getattr(_corvane, name), scalar_of(name)) for name in BATCH_NAMES)
BATCH_FUNCTIONS = tuple(batch for batch, _ in BATCH_PAIRS)


def random_rows(n, seed=0, invalid_share=0.1):
    """Mostly in-range batch rows with odd codes in sex and flag columns and some out-of-range
    values."""
    import numpy as np

    rng = np.random.default_rng(seed)
    data = np.empty((n, 11))
    data[:, 0] = rng.choice([0.0, 1.0, 2.0, 0.5, -1.0, np.nan, np.nextafter(1.0, 0)], n)
    data[:, 1] = rng.uniform(30, 79, n)
    data[:, 2] = rng.uniform(130, 320, n)
    data[:, 3] = rng.uniform(20, 100, n)
    data[:, 4] = rng.uniform(90, 200, n)
    data[:, 7] = rng.uniform(18.5, 39.9, n)
    data[:, 8] = rng.uniform(15, 140, n)
    for col in (5, 6, 9, 10):
        data[:, col] = rng.choice([0.0, -0.0, 1.0, 0.5, -1.0, 2.0, np.nan], n)
    bad = rng.random(n) < invalid_share
    cols = rng.choice([1, 2, 3, 4, 7, 8], n)
    values = rng.choice([np.nan, np.inf, -np.inf, 0.0, 1000.0], n)
    data[bad, cols[bad]] = values[bad]
    return data


def decoded_args(row):
    """The scalar arguments a batch row decodes to: "male" exactly when column 0 is 1.0, a flag
    true when it compares unequal to 0.0."""
    r = [float(v) for v in row]
    return ("male" if r[0] == 1.0 else "female", r[1], r[2], r[3], r[4], r[5] != 0.0,
            r[6] != 0.0, r[7], r[8], r[9] != 0.0, r[10] != 0.0)


def scalar_outcome(scalar, row):
    """(risk, None) or (None, message): the scalar call a batch row must agree with."""
    try:
        return scalar(*decoded_args(row)), None
    except ValueError as e:
        return None, e.args[0]


def expected_batch(scalar, data):
    """What a batch call must return for data: each row's scalar call, NaN where it raises."""
    import numpy as np

    return np.array([np.nan if value is None else value
                     for value, _ in (scalar_outcome(scalar, row) for row in data.tolist())])


def vectorcall(fn, positional, kwnames, kwvalues):
    """Call fn as the interpreter does, with a keyword-name tuple no Python call can build:
    repeated and non-str names get through."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = (ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object)
    vector = (ctypes.py_object * (len(positional) + len(kwvalues)))(*positional, *kwvalues)
    return call(fn, vector, len(positional), tuple(kwnames))


# The distributed tests share one cohort on disk and one two-process cluster.

@pytest.fixture(scope="session")
def cohort_dir(tmp_path_factory):
    """A directory of six Parquet files (50,000 messy patients each, the last all clean)
    and the whole table they hold."""
    from cohorts import write_cohort

    directory = tmp_path_factory.mktemp("cohort")
    return directory, write_cohort(directory, 6, 50_000)


@pytest.fixture(scope="session")
def dask_client():
    """A client of a LocalCluster of two worker processes of one thread each."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0"
    ) as cluster, distributed.Client(cluster) as client:
        yield client
