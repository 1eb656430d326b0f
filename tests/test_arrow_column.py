"""Columns shared with polars without a copy, read from Arrow streams in place, and byte counts."""

import array
import ctypes
import gc
import os

import _corvane
import numpy as np
import polars as pl
import pytest
from conftest import ENGINE_OPTIONS as OPTIONS
from corvane import INPUT_COLUMNS

ODD_FLOATS = [1.5, -0.0, float("inf"), float("nan"), 5e-324, -1.7976931348623157e308]


@pytest.mark.parametrize("fmt, dtype, values", [
    ("d", pl.Float64, ODD_FLOATS),
    ("d", pl.Float64, []),
    ("H", pl.UInt16, [0, 1, 65535, 7]),
    ("H", pl.UInt16, []),
])
def test_new_column_reaches_polars_bit_for_bit_and_outlives_its_object(fmt, dtype, values):
    """Catches a wrong Arrow format, a copy that drops bits, or memory freed with the object."""
    col = _corvane._new_column(len(values), fmt)
    view = memoryview(col)
    assert (view.format, view.shape, view.readonly, len(col)) == (fmt, (len(values),), False,
                                                                  len(values))
    view[:] = array.array(fmt, values)
    view.release()
    with pytest.raises(TypeError):
        type(col)()  # only the module makes one: a bare object would own no memory
    first, second = pl.Series(col), pl.Series(col)
    del col
    gc.collect()
    want = array.array(fmt, values).tobytes()
    for s in (first, second):
        assert s.dtype == dtype and s.to_numpy().tobytes() == want


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer keeps freed memory in quarantine")
@pytest.mark.parametrize("path", ["exported", "imported"])
def test_memory_is_freed_when_the_last_owner_goes(path):
    """Catches a block whose count never reaches zero, or an imported array never released."""
    n = 2 << 20  # 16 MiB of float64
    start = _rss()
    for _ in range(40):
        if path == "exported":
            col = _corvane._new_column(n, "d")
            memoryview(col).cast("B")[:] = bytes(8 * n)  # every page touched
            series = pl.Series(col)
        else:  # the engine imports the series' stream and must release it
            series = col = pl.Series(np.ones(n))
            _corvane._score_columns((series,) * 11, (None,) * 11, OPTIONS, ("cvd_10yr",),
                                    (np.empty(n),), None, np.empty(n, dtype=np.uint16))
        del series, col
    assert _rss() - start < 20 * 8 * n


class _Schema(ctypes.Structure):
    pass


class _Stream(ctypes.Structure):
    pass


_SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(_Schema))
_Schema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p), ("release", _SchemaRelease),
    ("private_data", ctypes.c_void_p),
]
_GetOne = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_Stream), ctypes.c_void_p)
_LastError = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(_Stream))
_StreamRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(_Stream))
_Stream._fields_ = [
    ("get_schema", _GetOne), ("get_next", _GetOne), ("get_last_error", _LastError),
    ("release", _StreamRelease), ("private_data", ctypes.c_void_p),
]
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_STREAM_NAME = b"arrow_array_stream"


class FailingStream:
    """An Arrow stream of float64 whose get_schema or get_next fails with error 5."""

    def __init__(self, fail_in, error_text):
        self.releases = 0
        self._error = ctypes.c_char_p(error_text)

        def release_schema(schema):
            schema[0].release = _SchemaRelease()

        def get_schema(stream, out):
            if fail_in == "schema":
                return 5
            schema = _Schema.from_address(out)
            schema.format, schema.name, schema.release = b"g", b"", self._release_schema
            return 0

        def release(stream):
            self.releases += 1
            stream[0].release = _StreamRelease()

        # The callbacks live as long as the stream object, which outlives every call.
        self._release_schema = _SchemaRelease(release_schema)
        self._stream = _Stream(
            _GetOne(get_schema), _GetOne(lambda stream, out: 5),
            _LastError(lambda stream: ctypes.cast(self._error, ctypes.c_void_p).value),
            _StreamRelease(release), None)

    def __arrow_c_stream__(self, requested_schema=None):
        return _capsule_new(ctypes.addressof(self._stream), _STREAM_NAME, None)


@pytest.mark.parametrize("fail_in", ["schema", "next"])
@pytest.mark.parametrize("text, message", [
    (b"disk went away", "column sex: the Arrow stream failed: disk went away"),
    (None, "column sex: the Arrow stream failed: no message"),
])
def test_a_failing_stream_raises_its_own_error_and_is_released_once(fail_in, text, message):
    stream = FailingStream(fail_in, text)
    columns = (stream,) + tuple(np.ones(1) for _ in range(10))
    with pytest.raises(ValueError) as caught:
        _corvane._score_columns(columns, (None,) * 11, OPTIONS, ("cvd_10yr",), (np.empty(1),),
                                None, np.empty(1, dtype=np.uint16))
    assert str(caught.value) == message
    assert stream.releases == 1


@pytest.mark.parametrize("make", [
    lambda: _corvane._new_column(2, "d"),
])
def test_a_shared_column_refuses_writers(make):
    """Catches a write into memory polars takes as immutable, the engine's included."""
    col = make()
    pl.Series(col)
    view = ctypes.create_string_buffer(256)  # room for a Py_buffer, never filled
    with pytest.raises(BufferError):
        ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(col), view, 0x0001)  # WRITABLE
    columns = tuple(np.ones(2) for _ in INPUT_COLUMNS)
    with pytest.raises(BufferError):
        _corvane._score_columns(columns, (None,) * 11, OPTIONS, ("cvd_10yr",), (col,), None,
                                np.empty(2, dtype=np.uint16))


def test_engine_gives_the_same_bits_through_polars_as_through_arrays():
    rng = np.random.default_rng(5)
    n = 1001
    spans = {"age": (27, 82), "total_cholesterol": (125, 325), "hdl_cholesterol": (18, 102),
             "systolic_bp": (88, 202), "bmi": (18, 40.5), "egfr": (13, 142)}
    data = [np.round(rng.uniform(*spans[k], n), 1) if k in spans
            else rng.integers(0, 2, n).astype(np.float64) for k in INPUT_COLUMNS]
    models = ("cvd_10yr", "ascvd_10yr", "hf_10yr", "cvd_30yr", "ascvd_30yr", "hf_30yr")
    masks = (None,) * 11

    arrays = [np.empty((1, n)) for _ in models]
    errors = np.empty((1, n), dtype=np.uint16)
    _corvane._score_columns(tuple(data), masks, OPTIONS, models, tuple(arrays), None, errors)

    columns = tuple(pl.Series(d) for d in data)
    risks = [_corvane._new_column(n, "d") for _ in models]
    codes = _corvane._new_column(n, "H")
    _corvane._score_columns(columns, masks, OPTIONS, models, tuple(risks), None, codes)
    for got, want in zip(risks, arrays):
        assert pl.Series(got).to_numpy().tobytes() == want.tobytes()
    assert pl.Series(codes).to_numpy().tobytes() == errors.tobytes()


BLOCK = 255 * 16  # the counting loop's block, whose tallies must not wrap
DATA = bytes(range(256)) * 300 + b"\n" * (BLOCK + 17)  # past 64 KiB: counted unlocked


@pytest.mark.parametrize("data", [b"", b"\n", DATA[:15], DATA[:16], DATA[:BLOCK + 1], DATA],
                         ids=len)
@pytest.mark.parametrize("byte", [10, 0, 255])
@pytest.mark.parametrize("start, end", [
    (0, None), (None, None), (1, -1), (-17, None), (3, 2), (-10**30, 10**30), (BLOCK, BLOCK + 16),
])
def test_count_byte_agrees_with_bytes_count(data, byte, start, end):
    want = data[start:end].count(bytes([byte]))
    for buffer in (data, bytearray(data), memoryview(data)):
        assert _corvane._count_byte(buffer, byte, start, end) == want


@pytest.mark.parametrize("call, error, message", [
    (lambda: _corvane._count_byte(b"ab", 256, 0, None), ValueError,
     "byte must be in range(0, 256)"),
    (lambda: _corvane._count_byte(b"ab", -1, 0, None), ValueError,
     "byte must be in range(0, 256)"),
    (lambda: _corvane._count_byte(b"ab", b"a", 0, None), TypeError,
     "_count_byte: byte must be an int"),
    (lambda: _corvane._count_byte(b"ab", 97, 0.5, None), TypeError,
     "_count_byte: start and end must be integers or None"),
    (lambda: _corvane._new_column(-1, "d"), ValueError, "_new_column: n must not be negative"),
    (lambda: _corvane._new_column(3, "f"), ValueError,
     "_new_column: format must be 'd' (float64) or 'H' (uint16)"),
    (lambda: _corvane._new_column(3, b"d"), TypeError, "_new_column: format must be a str"),
    (lambda: _corvane._new_column(1.0, "d"), TypeError,
     "'float' object cannot be interpreted as an integer"),
    (lambda: _corvane._new_column(2**62, "d"), MemoryError, ""),
    (lambda: _corvane._new_column(2**80, "H"), MemoryError, ""),
])
def test_bad_arguments_raise_clear_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error and str(caught.value) == message
