"""Batch functions: array checks, decoding, layouts, result arrays, and agreement with the
scalar functions bit for bit."""

import gc
import os
import subprocess
import sys
import weakref

import numpy as np
import pytest

import _corvane
from conftest import BATCH_FUNCTIONS, BATCH_NAMES, BATCH_PAIRS, expected_batch, random_rows

NAN_BITS = 0x7FF8000000000000


def assert_bits_equal(actual, expected):
    assert actual.dtype == np.float64
    assert actual.view(np.uint64).tolist() == np.asarray(expected).view(np.uint64).tolist()


@pytest.mark.parametrize("batch, scalar", BATCH_PAIRS, ids=BATCH_NAMES)
def test_every_row_equals_its_scalar_call(batch, scalar):
    """A decoding or ordering fault shows up as one row differing from its scalar call."""
    data = random_rows(3000, seed=BATCH_FUNCTIONS.index(batch))
    result = batch(data)
    assert_bits_equal(result, expected_batch(scalar, data))
    # Only the canonical quiet NaN marks a refused row.
    nan_bits = result.view(np.uint64)[np.isnan(result)]
    assert set(nan_bits.tolist()) <= {NAN_BITS}


@pytest.mark.parametrize("batch", BATCH_FUNCTIONS, ids=lambda f: f.__name__)
def test_result_array_properties(batch):
    data = random_rows(50)
    before = data.copy()
    result = batch(data)
    assert result.shape == (50,) and result.dtype == np.float64 and result.ndim == 1
    assert result.flags.c_contiguous and result.flags.writeable
    assert not result.flags.owndata and result.base is not None
    result[:] = -1.0  # writing into it must not leak into the input or later calls
    assert_bits_equal(data, before)
    assert_bits_equal(batch(data), batch(before))


def layouts(data):
    """(name, view, logical C-contiguous copy) for every supported layout."""
    ro = data.copy()
    ro.flags.writeable = False
    packed = np.zeros(len(data), dtype=[("pad", "u1"), ("x", "<f8", (11,))])
    packed["x"] = data
    yield "fortran", np.asfortranarray(data), data
    yield "reversed", data[::-1], data[::-1].copy()
    yield "every_other", data[::2], data[::2].copy()
    yield "column_reversed_back", data[:, ::-1][:, ::-1], data
    yield "readonly", ro, data
    yield "broadcast", np.broadcast_to(data[3], (7, 11)), np.tile(data[3], (7, 1))
    yield "unaligned_packed_field", packed["x"], data
    yield "masked", np.ma.masked_array(data, mask=np.ones_like(data, bool)), data
    yield "matrix", np.asmatrix(data), data
    yield "big_slab_slice", np.zeros((len(data), 30))[:, 5:16] + data, data


@pytest.mark.parametrize("batch", BATCH_FUNCTIONS[::3], ids=lambda f: f.__name__)
@pytest.mark.parametrize("name", [n for n, _, _ in layouts(random_rows(4))])
def test_layouts_read_logical_contents(batch, name):
    """A layout fault reads the wrong element; results must depend only on logical contents."""
    data = random_rows(40, seed=7)
    view, logical = next((v, lg) for n, v, lg in layouts(data) if n == name)
    assert_bits_equal(batch(view), batch(np.ascontiguousarray(logical)))


# Around the decoder's 64-row blocks and its two-row lanes, and large enough to be cut into
# pieces of odd lengths for the workers.
WORKER_SIZES = [1, 2, 3, 63, 64, 65, 129, 2001]


def strided_layouts(data):
    """(name, view) of data's logical contents in layouts the workers must read by strides alone."""
    n = len(data)
    wide = np.zeros((3 * n, 11))
    wide[::3] = data
    packed = np.zeros(n, dtype=[("pad", "u1"), ("x", "<f8", (11,))])  # 89-byte rows
    packed["x"] = data
    # Every element at an odd address, columns 9 bytes apart, rows 101 bytes apart.
    odd = np.ndarray((n, 11), "<f8", buffer=np.zeros(n * 101 + 16, np.uint8), offset=3,
                     strides=(101, 9))
    odd[...] = data
    yield "fortran", np.asfortranarray(data)
    yield "reversed_rows", np.ascontiguousarray(data[::-1])[::-1]
    yield "reversed_columns", np.ascontiguousarray(data[:, ::-1])[:, ::-1]
    yield "every_third_row", wide[::3]
    yield "unaligned_rows", packed["x"]
    yield "unaligned_columns", odd


@pytest.mark.parametrize("n", WORKER_SIZES)
def test_rows_across_blocks_and_pieces_equal_their_scalar_calls(n):
    """A row lost, repeated or shifted where a worker's piece or a decoding block ends."""
    batch, scalar = BATCH_PAIRS[3]
    data = random_rows(n, seed=n)
    assert_bits_equal(batch(data), expected_batch(scalar, data))


@pytest.mark.parametrize("n", WORKER_SIZES[2:])
@pytest.mark.parametrize("name", [name for name, _ in strided_layouts(random_rows(2))])
def test_workers_read_every_layout_by_its_strides(name, n):
    """Workers decode straight from the array's memory: a stride, sign or alignment fault reads
    the wrong bytes."""
    batch = BATCH_FUNCTIONS[4]
    data = random_rows(n, seed=n + 1)
    view = dict(strided_layouts(data))[name]
    assert_bits_equal(view, data)
    assert_bits_equal(batch(view), batch(data))


def test_private_worker_count_reports_the_pool_size():
    assert "_worker_count" not in _corvane.__all__
    code = "import _corvane; print(_corvane._worker_count())"
    assert run_isolated(code, RAYON_NUM_THREADS="3").strip() == "3"


MALE_SET_ROW = [1.0, 50, 200, 50, 120, 0, 0, 25, 90, 0, 0]


@pytest.mark.parametrize("sex_code, male", [
    (1.0, True), (0.0, False), (2.0, False), (np.nan, False), (np.nextafter(1.0, 0), False),
    (-1.0, False), (np.inf, False),
])
def test_only_exactly_one_means_male(sex_code, male):
    row = np.array([MALE_SET_ROW])
    row[0, 0] = sex_code
    got = _corvane.calculate_10_yr_cvd_rust_parallel_np(row)[0]
    want = _corvane.calculate_10_yr_cvd_rust("male" if male else "female", 50, 200, 50, 120,
                                             False, False, 25, 90, False, False)
    assert got.hex() == want.hex()


@pytest.mark.parametrize("code, truth", [
    (0.0, False), (-0.0, False), (1.0, True), (0.5, True), (-1.0, True), (2.0, True),
    (np.nan, True),
])
@pytest.mark.parametrize("column", [5, 6, 9, 10])
def test_flag_columns_are_true_when_nonzero(code, truth, column):
    row = np.array([MALE_SET_ROW])
    row[0, column] = code
    flags = [False] * 4
    flags[[5, 6, 9, 10].index(column)] = truth
    want = _corvane.calculate_10_yr_cvd_rust("male", 50, 200, 50, 120, flags[0], flags[1], 25,
                                             90, flags[2], flags[3])
    got = _corvane.calculate_10_yr_cvd_rust_parallel_np(row)[0]
    assert got.hex() == want.hex()


def test_invalid_rows_are_nan_in_place_and_neighbours_unaffected():
    data = np.tile(np.array(MALE_SET_ROW), (10, 1))
    data[3, 1] = 25.0
    data[7, 8] = np.nan
    result = _corvane.calculate_10_yr_cvd_rust_parallel_np(data)
    assert np.isnan(result).nonzero()[0].tolist() == [3, 7]
    assert len(set(result[~np.isnan(result)].tolist())) == 1


BAD_ARRAYS = [
    ("list", [[0.0] * 11], TypeError,
     "argument 'data': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("none", None, TypeError,
     "argument 'data': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
    ("int64", np.zeros((2, 11), np.int64), TypeError,
     "argument 'data': type mismatch:\n from=int64, to=float64"),
    ("int64_wrong_shape", np.zeros((2, 3), np.int64), TypeError,
     "argument 'data': type mismatch:\n from=int64, to=float64"),
    ("float32", np.zeros((2, 11), np.float32), TypeError,
     "argument 'data': type mismatch:\n from=float32, to=float64"),
    ("big_endian", np.zeros((2, 11), ">f8"), TypeError,
     "argument 'data': type mismatch:\n from=>f8, to=float64"),
    ("object", np.zeros((2, 11), object), TypeError,
     "argument 'data': type mismatch:\n from=object, to=float64"),
    ("ten_columns", np.zeros((2, 10)), ValueError, "Array shape must be (n, 11)"),
    ("twelve_columns", np.zeros((2, 12)), ValueError, "Array shape must be (n, 11)"),
    ("one_dim", np.zeros(11), ValueError, "Array shape must be (n, 11)"),
    ("three_dim", np.zeros((11, 11, 1)), ValueError, "Array shape must be (n, 11)"),
    ("zero_dim", np.array(1.0), ValueError, "Array shape must be (n, 11)"),
]


@pytest.mark.parametrize("batch", BATCH_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("name, data, exc, message", BAD_ARRAYS, ids=[b[0] for b in BAD_ARRAYS])
def test_unusable_argument_raises_exact_error(batch, name, data, exc, message):
    with pytest.raises(exc) as info:
        batch(data)
    assert type(info.value) is exc and info.value.args == (message,)
    if exc is TypeError:
        assert info.value.__cause__ is None and info.value.__suppress_context__


@pytest.mark.parametrize("call, message", [
    (lambda f: f(), "{}() missing 1 required positional argument: 'data'"),
    (lambda f: f(np.zeros((1, 11)), np.zeros((1, 11))),
     "{}() takes 1 positional arguments but 2 were given"),
    (lambda f: f(np.zeros((1, 11)), data=np.zeros((1, 11))),
     "{}() got multiple values for argument 'data'"),
    (lambda f: f(Data=np.zeros((1, 11))), "{}() got an unexpected keyword argument 'Data'"),
])
def test_binding_errors_of_the_one_parameter(call, message):
    fn = _corvane.calculate_30_yr_hf_rust_parallel_np
    with pytest.raises(TypeError) as info:
        call(fn)
    assert info.value.args == (message.format(fn.__name__),)


def test_keyword_and_empty_input():
    fn = _corvane.calculate_10_yr_ascvd_rust_parallel_np
    data = random_rows(5)
    assert_bits_equal(fn(data=data), fn(data))
    empty = fn(np.zeros((0, 11)))
    assert empty.shape == (0,) and empty.dtype == np.float64


def test_too_large_for_memory_raises_memory_error_and_module_survives():
    """A broadcast view costs NumPy nothing; decoding it must fail cleanly, not kill us."""
    huge = np.broadcast_to(np.array(MALE_SET_ROW), (10**12, 11))
    fn = _corvane.calculate_10_yr_cvd_rust_parallel_np
    for _ in range(3):
        with pytest.raises(MemoryError):
            fn(huge)
    assert fn(np.array([MALE_SET_ROW] * 3)).shape == (3,)


def test_no_reference_or_memory_growth():
    fn = _corvane.calculate_10_yr_hf_rust_parallel_np
    data = random_rows(100)
    bad = np.zeros((3, 4))
    refs = (sys.getrefcount(data), sys.getrefcount(bad))
    for _ in range(2000):
        fn(data)
        for arg in (bad, [1.0], np.zeros((2, 11), np.int32)):
            try:
                fn(arg)
            except (TypeError, ValueError):
                pass
    assert (sys.getrefcount(data), sys.getrefcount(bad)) == refs
    result = fn(data)
    holder = weakref.ref(result.base) if hasattr(type(result.base), "__weakref__") else None
    watch = weakref.ref(data)
    del data, result
    gc.collect()
    assert watch() is None
    if holder is not None:
        assert holder() is None


def run_isolated(code, **env):
    """Runs code in a fresh interpreter, since the pool is built once per process."""
    full_env = {**os.environ, **env}
    out = subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stdout


WORKER_COUNT_CODE = """
import numpy as np, sys
sys.path.insert(0, {tests!r})
import _corvane
from conftest import BATCH_FUNCTIONS, BATCH_NAMES, BATCH_PAIRS, expected_batch, random_rows
from conftest import random_rows
data = random_rows(20000, seed=3)
out = [f(data).view(np.uint64) for f in [
    _corvane.calculate_10_yr_cvd_rust_parallel_np, _corvane.calculate_30_yr_hf_rust_parallel_np]]
print(hash(tuple(np.concatenate(out).tolist())))
"""


def test_large_batch_equals_the_same_rows_in_small_batches():
    """Past a few megabytes the record and result buffers are allocated another way (2 MiB pages);
    a fault there reads or writes the wrong memory. 600,000 rows take that way for both."""
    data = random_rows(600_000, seed=11)
    batch = _corvane.calculate_30_yr_cvd_rust_parallel_np
    small = np.concatenate([batch(part) for part in np.array_split(data, 60)])
    assert_bits_equal(batch(data), small)


def test_results_identical_for_every_worker_count():
    code = WORKER_COUNT_CODE.format(tests=os.path.dirname(__file__))
    digests = {w: run_isolated(code, RAYON_NUM_THREADS=str(w)) for w in (1, 2, 3, 64)}
    assert len(set(digests.values())) == 1, digests


def test_first_batch_call_loads_numpy_lazily_and_cleanly():
    """Loading NumPy's table must not warn (a DeprecationWarning would be an error here)."""
    code = ("import sys, _corvane\n"
            "assert 'numpy' not in sys.modules\n"
            "import numpy as np\n"
            "r = _corvane.calculate_10_yr_cvd_rust_parallel_np(np.zeros((0, 11)))\n"
            "print(r.shape)")
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "(0,)"


def test_numpy_unavailable_is_an_internal_failure_and_the_next_call_retries():
    """A failed load must raise, not abort the process, and must not be cached."""
    code = """
import sys, _corvane
sys.modules["numpy.core.multiarray"] = None  # makes the import fail
try:
    _corvane.calculate_10_yr_cvd_rust_parallel_np([[0.0] * 11])
except BaseException as e:
    cls = type(e)
    print(cls.__module__, cls.__name__, issubclass(cls, Exception), len(e.args))
    print(e.args[0].startswith("Failed to access NumPy array API capsule"))
del sys.modules["numpy.core.multiarray"]
import numpy as np
print(_corvane.calculate_10_yr_cvd_rust_parallel_np(np.zeros((2, 11))).shape)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:3] == ["pyo3_runtime PanicException False 1", "True", "(2,)"]
