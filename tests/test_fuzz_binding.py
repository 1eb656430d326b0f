"""Random call shapes against a small model of binding and conversion: the module must raise
exactly the model's exception type and text, or return the model's value."""

import ctypes
import math
import struct

import numpy as np
from hypothesis import HealthCheck, event, given, settings, strategies as st

import _corvane
from conftest import (BATCH_NAMES, HF_PARAMS, PARAM_KINDS, SCALAR_FUNCTIONS, STANDARD_PARAMS,
                      decoded_args, vectorcall)
from reference import bounds, reference

# The interpreter's own conversion, which the real-number parameters are defined by. Through
# pythonapi the interpreter lock stays held and a pending exception is raised as itself.
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = (ctypes.py_object,)


# --- the model ---------------------------------------------------------------------------


class Fn:
    def __init__(self, name, params, kinds, model=None, horizon=None):
        self.name, self.params, self.kinds = name, params, kinds
        self.model, self.horizon = model, horizon
        self.fn = getattr(_corvane, name)

    def __repr__(self):
        return self.name


FUNCTIONS = [Fn(s.name, s.params, PARAM_KINDS, s.model, s.horizon) for s in SCALAR_FUNCTIONS]
# calculate_<horizon>_yr_<model>_rust_parallel_np
FUNCTIONS += [Fn(name, ("data",), ("array",), name.split("_")[3], int(name.split("_")[1]))
              for name in BATCH_NAMES]


def type_name(value):
    try:
        name = type(value).__qualname__
    except Exception:
        return "<failed to extract type name>"
    return name if isinstance(name, str) else "<failed to extract type name>"


def quoted(names):
    q = [f"'{n}'" for n in names]
    return " and ".join(q) if len(q) < 3 else ", ".join(q[:-1]) + ", and " + q[-1]


def bind(f, positional, keywords):
    """The slots, or raises the binder's TypeError."""
    n = len(f.params)
    if len(positional) > n:
        raise TypeError(f"{f.name}() takes {n} positional arguments but {len(positional)} "
                        "were given")
    empty = object()
    slots = list(positional) + [empty] * (n - len(positional))
    for key, value in keywords:
        if not isinstance(key, str):
            raise TypeError(f"'{type_name(key)}' object cannot be converted to 'PyString'")
        # Compared as text: a subclass's own __eq__ is never asked.
        matches = [i for i, p in enumerate(f.params) if str.__eq__(p, key) is True]
        if not matches:
            raise TypeError(f"{f.name}() got an unexpected keyword argument '{str(key)}'")
        if slots[matches[0]] is not empty:
            raise TypeError(f"{f.name}() got multiple values for argument '{str(key)}'")
        slots[matches[0]] = value
    absent = [p for p, v in zip(f.params, slots) if v is empty]
    if absent:
        word = "argument" if len(absent) == 1 else "arguments"
        raise TypeError(f"{f.name}() missing {len(absent)} required positional {word}: "
                        f"{quoted(absent)}")
    return slots


def prefixed(parameter, error):
    """Only an exact TypeError gets the parameter's name; anything else passes unchanged."""
    if type(error) is TypeError:
        return TypeError(f"argument '{parameter}': {error}")
    return error


def convert(kind, parameter, value):
    if kind == "text":
        if not isinstance(value, str):
            raise TypeError(f"argument '{parameter}': '{type_name(value)}' object cannot be "
                            "converted to 'PyString'")
        return value.encode("utf-8").decode("utf-8")  # the text itself, not its methods
    if kind == "real":
        if type(value) is float:
            return value
        try:
            return _as_double(value)
        except BaseException as e:
            raise prefixed(parameter, e) from None
    if kind == "bool":
        if type(value) is not bool:
            raise TypeError(f"argument '{parameter}': '{type_name(value)}' object cannot be "
                            "converted to 'PyBool'")
        return value
    if not isinstance(value, np.ndarray):
        raise TypeError(f"argument '{parameter}': '{type_name(value)}' object cannot be "
                        "converted to 'PyArray<T, D>'")
    if value.dtype != np.dtype("=f8"):
        raise TypeError(f"argument '{parameter}': type mismatch:\n from={value.dtype}, "
                        "to=float64")
    if value.ndim != 2 or value.shape[1] != 11:
        raise ValueError("Array shape must be (n, 11)")
    return value


def batch_rows(f, array):
    """Each decoded row through the reference: its float, or NaN for a message."""
    out = []
    for row in array.tolist():
        r = reference(f.model, f.horizon, *decoded_args(row))
        out.append(r if isinstance(r, float) else math.nan)
    return out


def model(f, positional, keywords):
    """("value", result) or ("raise", exception), as the module should behave."""
    try:
        slots = bind(f, positional, keywords)
        values = [convert(kind, p, v) for kind, p, v in zip(f.kinds, f.params, slots)]
    except BaseException as e:
        return "raise", e
    if f.kinds == ("array",):
        return "value", batch_rows(f, values[0])
    result = reference(f.model, f.horizon, *values)
    return ("value", result) if isinstance(result, float) else ("raise", ValueError(result))


# --- values ------------------------------------------------------------------------------


class Text(str):
    def lower(self):
        return "male"


class Loud(str):
    """A keyword name whose str() differs from its text."""

    def __str__(self):
        return "LOUD"


class Real(float):
    def __float__(self):
        return 99.0  # never asked: a float subclass is read through its stored value


class FloatGives:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, type):
            raise self.result("boom")
        return self.result


class IndexGives:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, type):
            raise self.result("boom")
        return self.result


class MyTypeError(TypeError):
    pass


ROW = [1.0, 50.0, 200.0, 50.0, 120.0, 0.0, 1.0, 25.0, 90.0, 1.0, 0.0]
GOOD_ARRAYS = [np.array([ROW]), np.array([ROW, [0.0] + ROW[1:], [2.0] * 11]), np.zeros((0, 11)),
               np.asfortranarray(np.array([ROW] * 3))]
HOSTILE = [
    "male", "FEMALE", "x", "", "\ud800", "male\udfff", Text("female"), Text("x"),
    np.str_("Male"), b"male", bytearray(b"male"),
    0, 1, -1, 50, 10**400, -(10**400), True, False,
    50.0, -1.0, math.nan, math.inf, -0.0, 5e-324, 1e308, Real(50.0), Real(math.nan),
    None, [], (1,), 1j, object(),
    np.float64(50.0), np.float32(50.5), np.int64(50), np.uint8(7), np.bool_(True),
    np.float64(math.nan),
    FloatGives(TypeError), FloatGives(ValueError), FloatGives(MyTypeError),
    FloatGives(ZeroDivisionError), FloatGives(5), FloatGives(55.0), FloatGives(-1.0),
    IndexGives(50), IndexGives(10**400), IndexGives(TypeError), IndexGives("5"),
    *GOOD_ARRAYS, np.zeros((2, 11), np.int64), np.zeros((2, 11), ">f8"),
    np.zeros((2, 11), np.float32), np.zeros((2, 3)), np.zeros(11), np.array(1.0),
    [ROW],
]


def good(f, i):
    kind = f.kinds[i]
    if kind == "text":
        return st.sampled_from(["male", "female", "MALE", "Female"])
    if kind == "real":
        lo, hi, _ = bounds(STANDARD_PARAMS[i], 30)
        return st.one_of(st.floats(lo, hi), st.sampled_from([lo, hi, int(hi)]))
    if kind == "bool":
        return st.booleans()
    return st.sampled_from(GOOD_ARRAYS)


ALL_NAMES = sorted(set(STANDARD_PARAMS) | set(HF_PARAMS) | {"data"})
UNKNOWN = ["bogus", "", "ägé", "\ud800", "age\x00", "sex ", " sex", "\udc80sex", "data_",
           "Data", "DATA"]
CASINGS = [str.upper, str.capitalize, str.title, str.swapcase, lambda s: s[:1].upper() + s[1:]]


@st.composite
def keyword_name(draw, f):
    kind = draw(st.sampled_from(["param", "param", "miscased", "foreign", "unknown", "not-str"]))
    if kind == "not-str":
        return draw(st.sampled_from([5, b"age", None, 1.5, ("sex",)]))
    if kind == "param":
        name = draw(st.sampled_from(f.params))
    elif kind == "miscased":
        name = draw(st.sampled_from(CASINGS))(draw(st.sampled_from(f.params)))
    elif kind == "foreign":
        name = draw(st.sampled_from(ALL_NAMES))
    else:
        name = draw(st.one_of(st.sampled_from(UNKNOWN), st.text(max_size=4)))
        if name not in f.params and draw(st.booleans()):
            return Loud(name)
    # Names from **kwargs need not be interned, and may be str subclasses.
    return draw(st.sampled_from([name, "".join(list(name)), Text(name)]))


@st.composite
def call_shape(draw):
    f = draw(st.sampled_from(FUNCTIONS))
    n = len(f.params)
    values = [draw(good(f, i)) for i in range(n)]
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 1, 2, 3]))):
        values[draw(st.integers(0, n - 1))] = draw(st.sampled_from(HOSTILE))
    # Mostly a count that fits, so that binding often succeeds and conversion is reached.
    most = 13 if n > 1 else 3
    nargs = draw(st.one_of(st.integers(0, n), st.integers(0, n), st.integers(0, most)))
    positional = values[:nargs] + [draw(st.sampled_from(HOSTILE)) for _ in range(nargs - n)]
    # Mostly the rest by keyword in any order; sometimes one left out.
    keywords = [(f.params[i], values[i]) for i in range(nargs, n)
                if draw(st.sampled_from([True] * 20 + [False]))]
    keywords = list(draw(st.permutations(keywords)))
    for _ in range(draw(st.sampled_from([0, 0, 0, 0, 0, 1, 1, 2]))):
        extra = (draw(keyword_name(f)), draw(st.one_of(good(f, 0), st.sampled_from(HOSTILE))))
        keywords.insert(draw(st.integers(0, len(keywords))), extra)
    return f, positional, keywords


def plain_call_possible(keywords):
    names = [k for k, _ in keywords]
    return all(isinstance(k, str) for k in names) and len(set(names)) == len(names)


def same_exception(got, want):
    return type(got) is type(want) and got.args == want.args


@settings(max_examples=3000, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(shape=call_shape(), python_call=st.booleans())
def test_module_matches_binding_and_conversion_model(shape, python_call):
    f, positional, keywords = shape
    outcome, want = model(f, positional, keywords)
    via_python = python_call and plain_call_possible(keywords)
    try:
        if via_python:
            got = f.fn(*positional, **dict(keywords))
        else:
            got = vectorcall(f.fn, positional, [k for k, _ in keywords],
                             [v for _, v in keywords])
    except Exception as e:
        event(f"raises {type(e).__name__}")
        assert outcome == "raise", (e, want)
        assert same_exception(e, want), (e, want)
        if type(e) is TypeError and e.args[0].startswith("argument '"):
            assert e.__cause__ is None and e.__suppress_context__
        return
    event("returns")
    assert outcome == "value", (got, want)
    if isinstance(got, np.ndarray):
        assert got.dtype == np.float64 and got.shape == (len(want),)
        assert got.view(np.uint64).tolist() == np.array(want, np.float64).view(np.uint64).tolist()
    else:
        assert type(got) is float and struct.pack("<d", got) == struct.pack("<d", want)
