"""Binding arguments to parameters and converting them: results and every failure, exactly."""

import gc
import itertools
import random
import sys
from decimal import Decimal
from fractions import Fraction

import pytest

import _corvane
from conftest import PARAM_KINDS, SCALAR_FUNCTIONS, vectorcall
from reference import BASELINE as ARGS, bounds, random_inputs  # ARGS: all in range

NAMES = {s.name: s for s in SCALAR_FUNCTIONS}
each_function = pytest.mark.parametrize("s", SCALAR_FUNCTIONS, ids=str)


def each_param(kind):
    """Parametrize (s, i) over every parameter of that kind in every scalar function."""
    cases = [(s, i) for s in SCALAR_FUNCTIONS for i in range(11) if PARAM_KINDS[i] == kind]
    return pytest.mark.parametrize("s, i", cases, ids=[f"{s}-{s.params[i]}" for s, i in cases])


def numpy():
    """Imported only where used: the module itself must work without it."""
    return pytest.importorskip("numpy")


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def assert_raises_exactly(exc_type, text, call):
    e = raised(call)
    assert type(e) is exc_type, repr(e)
    assert e.args == (text,)
    return e


def with_value(i, value, args=ARGS):
    return args[:i] + (value,) + args[i + 1:]


def outcome(call):
    """A result as its hex text, or the message of the ValueError raised."""
    try:
        return call().hex()
    except ValueError as e:
        return e.args


# --- binding -----------------------------------------------------------------------------


@each_function
def test_any_split_and_order_of_keywords_binds_like_positions(s):
    rng = random.Random(f"keywords-{s.name}")
    for _ in range(10):
        args = random_inputs(rng, s.horizon)
        want = s(*args).hex()
        for k in range(12):
            names = list(s.params[k:])
            rng.shuffle(names)
            kwargs = {n: args[s.params.index(n)] for n in names}
            assert s(*args[:k], **kwargs).hex() == want, (k, names)


@each_function
def test_non_interned_and_str_subclass_keyword_names_bind(s):
    """Names matched only by pointer against interned names would miss these."""
    class Name(str):
        pass

    joined = {"".join(list(n)): v for n, v in zip(s.params, ARGS)}
    assert all(k is not sys.intern(k) for k in joined if len(k) > 1)
    want = s(*ARGS).hex()
    assert s(**joined).hex() == want
    assert s(**{Name(n): v for n, v in zip(s.params, ARGS)}).hex() == want
    assert vectorcall(s.fn, ARGS[:1], s.params[1:], ARGS[1:]).hex() == want


def _other_params(s):
    return next(o.params for o in SCALAR_FUNCTIONS if o.params != s.params)


def _foreign(s):
    """The other models' names for positions 7, 10 and 11."""
    return [n for n in _other_params(s) if n not in s.params]


UNKNOWN_NAMES = ["bogus", "Age", "SEX", "Sex", "bmi ", "eGFR", "data", "", "ägé", "sex\x00",
                 "\udc80", "age\ud800"]
# (id, call(s), expected text(s)); the first failure wins: count, then keywords in order.
BINDING_FAILURES = [
    *[(f"{n}-positional", lambda s, n=n: s(*(ARGS * 3)[:n]),
       lambda s, n=n: f"{s.name}() takes 11 positional arguments but {n} were given")
      for n in (12, 13, 30)],
    ("too-many-and-bad-keyword", lambda s: s(*ARGS, 1, bogus=1),
     lambda s: f"{s.name}() takes 11 positional arguments but 12 were given"),
    ("too-many-and-repeated", lambda s: s(*ARGS, 1, sex="male"),
     lambda s: f"{s.name}() takes 11 positional arguments but 12 were given"),
    *[(f"unknown-{n!r}-{given}", lambda s, n=n, g=given: s(*ARGS[:g], **{n: 1}),
       lambda s, n=n: f"{s.name}() got an unexpected keyword argument '{n}'")
      for n in UNKNOWN_NAMES for given in (10, 11)],
    ("other-models-names", lambda s: s(**dict(zip(_other_params(s), ARGS))),
     lambda s: f"{s.name}() got an unexpected keyword argument '{_foreign(s)[0]}'"),
    *[(f"other-models-name-{k}", lambda s, k=k: s(*ARGS[:-1], **{_foreign(s)[k]: False}),
       lambda s, k=k: f"{s.name}() got an unexpected keyword argument '{_foreign(s)[k]}'")
      for k in range(3)],
    *[(f"repeated-{i}", lambda s, i=i: s(*ARGS[:i + 1], **{s.params[i]: ARGS[i]}),
       lambda s, i=i: f"{s.name}() got multiple values for argument '{s.params[i]}'")
      for i in range(11)],
    ("unknown-then-repeated", lambda s: s(ARGS[0], bogus=1, sex="male"),
     lambda s: f"{s.name}() got an unexpected keyword argument 'bogus'"),
    ("repeated-then-unknown", lambda s: s(ARGS[0], sex="male", bogus=1),
     lambda s: f"{s.name}() got multiple values for argument 'sex'"),
    ("repeated-keyword", lambda s: vectorcall(s.fn, ARGS[:1], ("age",) + s.params[1:],
                                              (50.0,) + ARGS[1:]),
     lambda s: f"{s.name}() got multiple values for argument 'age'"),
    *[(f"name-{t}", lambda s, b=b: vectorcall(s.fn, ARGS[:1], (b,) + s.params[1:],
                                              (1,) + ARGS[1:]),
       lambda s, t=t: f"'{t}' object cannot be converted to 'PyString'")
      for b, t in [(5, "int"), (b"age", "bytes"), (None, "NoneType")]],
    ("unknown-then-non-str", lambda s: vectorcall(s.fn, ARGS[:1], ("bogus", 5) + s.params[1:],
                                                  (1, 1) + ARGS[1:]),
     lambda s: f"{s.name}() got an unexpected keyword argument 'bogus'"),
    ("unknown-beats-bad-value", lambda s: s(b"x", *ARGS[1:], bogus=1),
     lambda s: f"{s.name}() got an unexpected keyword argument 'bogus'"),
]


@each_function
@pytest.mark.parametrize("call, text", [c[1:] for c in BINDING_FAILURES],
                         ids=[c[0] for c in BINDING_FAILURES])
def test_binding_failure_exact_text(s, call, text):
    """Repeated and non-str keyword names only arrive through the C calling convention."""
    assert_raises_exactly(TypeError, text(s), lambda: call(s))


def quoted(names):
    q = [f"'{n}'" for n in names]
    return " and ".join(q) if len(q) < 3 else ", ".join(q[:-1]) + ", and " + q[-1]


def missing_text(s, names):
    word = "argument" if len(names) == 1 else "arguments"
    return f"{s.name}() missing {len(names)} required positional {word}: {quoted(names)}"


@pytest.mark.parametrize("name, nargs, text", [
    ("calculate_10_yr_cvd_rust", 0,
     "calculate_10_yr_cvd_rust() missing 11 required positional arguments: 'sex', 'age', "
     "'total_cholesterol', 'hdl_cholesterol', 'systolic_bp', 'has_diabetes', 'current_smoker', "
     "'bmi', 'egfr', 'on_htn_meds', and 'on_cholesterol_meds'"),
    ("calculate_10_yr_heart_failure_rust", 0,
     "calculate_10_yr_heart_failure_rust() missing 11 required positional arguments: 'sex', "
     "'age', 'total_cholesterol', 'hdl_cholesterol', 'systolic_bp', 'has_diabetes', "
     "'is_smoker', 'bmi', 'egfr', 'on_meds', and '_cholesterol_treated'"),
    ("calculate_10_yr_heart_failure_rust", 10,
     "calculate_10_yr_heart_failure_rust() missing 1 required positional argument: "
     "'_cholesterol_treated'"),
    ("calculate_30_yr_ascvd_rust", 9,
     "calculate_30_yr_ascvd_rust() missing 2 required positional arguments: 'on_htn_meds' and "
     "'on_cholesterol_meds'"),
    ("calculate_30_yr_cvd_rust", 8,
     "calculate_30_yr_cvd_rust() missing 3 required positional arguments: 'egfr', "
     "'on_htn_meds', and 'on_cholesterol_meds'"),
])
def test_missing_arguments_listed(name, nargs, text):
    assert_raises_exactly(TypeError, text, lambda: NAMES[name](*ARGS[:nargs]))


@each_function
def test_missing_list_names_every_empty_slot_in_parameter_order(s):
    """Slots filled by keyword are left out; the list keeps parameter order, not call order."""
    rng = random.Random(f"missing-{s.name}")
    for _ in range(40):
        k = rng.randint(0, 10)
        rest = list(range(k, 11))
        given = rng.sample(rest, rng.randint(0, len(rest) - 1))
        kwargs = {s.params[i]: ARGS[i] for i in given}
        absent = [s.params[i] for i in rest if i not in given]
        assert_raises_exactly(TypeError, missing_text(s, absent), lambda: s(*ARGS[:k], **kwargs))


# --- conversion --------------------------------------------------------------------------


class _Meta(type):
    """Its classes answer __qualname__ with qualname_result(): a value, or a raised exception."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            result = type.__getattribute__(cls, "qualname_result")
            if isinstance(result, type) and issubclass(result, BaseException):
                raise result("no name")
            return result
        return type.__getattribute__(cls, name)


def odd_type(result):
    return _Meta("Odd", (), {"qualname_result": result})


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatSub(float):
    def __float__(self):
        return 70.0  # never called: a float subclass is read through its stored value


class Raises:
    """__float__ raises a fresh exc_type("boom"), optionally from a cause; keeps the last."""

    def __init__(self, exc_type, cause=None, keep=True):
        self.exc_type, self.cause, self.keep, self.last = exc_type, cause, keep, None

    def __float__(self):
        e = self.exc_type("boom")
        if self.keep:
            self.last = e
        raise e from self.cause


class Outer:
    class Inner:
        pass


class MyTypeError(TypeError):
    pass


class Stop(BaseException):
    pass


@each_function
@pytest.mark.parametrize("value, type_name", [
    (b"male", "bytes"), (bytearray(b"male"), "bytearray"), (None, "NoneType"), (1, "int"),
    (1.5, "float"), (["male"], "list"), (True, "bool"),
])
def test_sex_must_be_str(s, value, type_name):
    assert_raises_exactly(
        TypeError, f"argument 'sex': '{type_name}' object cannot be converted to 'PyString'",
        lambda: s(value, *ARGS[1:]))


@each_function
def test_str_subclass_sex_read_as_text_not_through_its_methods(s):
    class Sex(str):
        def lower(self):
            return "female"

        def __eq__(self, other):
            return True

        __hash__ = str.__hash__

    assert s(Sex("MALE"), *ARGS[1:]).hex() == s("male", *ARGS[1:]).hex()
    assert_raises_exactly(ValueError, "Sex must be either 'male' or 'female'.",
                          lambda: s(Sex("x"), *ARGS[1:]))


@each_function
@pytest.mark.parametrize("text", ["\ud800", "male\udfff", "\udc80female"], ids=repr)
def test_unpaired_surrogate_sex_raises_interpreters_error_unchanged(s, text):
    with pytest.raises(UnicodeEncodeError) as want:
        text.encode("utf-8")
    e = raised(lambda: s(text, *ARGS[1:]))
    assert type(e) is UnicodeEncodeError
    assert e.args == want.value.args


@each_param("bool")
@pytest.mark.parametrize("make", [
    lambda: 0, lambda: 1, lambda: None, lambda: 1.0, lambda: "True", lambda: [],
    lambda: numpy().True_, lambda: numpy().False_, lambda: Outer.Inner(),
], ids=["0", "1", "None", "1.0", "str", "list", "numpy-True", "numpy-False", "nested-class"])
def test_boolean_parameters_take_only_bool(s, i, make):
    """Types are named by __qualname__: 'Outer.Inner', and 'bool' for a NumPy 2 boolean."""
    value = make()
    text = (f"argument '{s.params[i]}': '{type(value).__qualname__}' object cannot be converted "
            "to 'PyBool'")
    assert_raises_exactly(TypeError, text, lambda: s(*with_value(i, value)))
    assert_raises_exactly(TypeError, text, lambda: s(**dict(zip(s.params, with_value(i, value)))))


@each_function
@pytest.mark.parametrize("qualname, shown", [
    (RuntimeError, "<failed to extract type name>"),
    (TypeError, "<failed to extract type name>"),
    (42, "<failed to extract type name>"),
    (None, "<failed to extract type name>"),
    ("Custom", "Custom"),
], ids=["raises", "raises-TypeError", "int", "None", "str"])
def test_misbehaving_qualname(s, qualname, shown):
    odd = odd_type(qualname)()
    assert_raises_exactly(
        TypeError, f"argument 'sex': '{shown}' object cannot be converted to 'PyString'",
        lambda: s(odd, *ARGS[1:]))
    assert_raises_exactly(
        TypeError, f"argument '{s.params[10]}': '{shown}' object cannot be converted to 'PyBool'",
        lambda: s(*with_value(10, odd)))
    assert type(s(*ARGS)) is float  # no error left pending


REAL_VALUES = {1: 50.25, 2: 201.5, 3: 49.75, 4: 121.5, 7: 25.5, 8: 89.25}
# (id, make(v), the float it must convert to)
REAL_FORMS = [
    ("int", int, lambda v: float(int(v))),
    ("__index__", lambda v: Index(int(v)), lambda v: float(int(v))),
    ("__float__", Float, float),
    ("float-subclass", FloatSub, float),
    ("Fraction", Fraction, float),
    ("Decimal", Decimal, float),
    ("numpy.float32", lambda v: numpy().float32(v), float),
    ("numpy.float64", lambda v: numpy().float64(v), float),
    ("numpy.int64", lambda v: numpy().int64(int(v)), lambda v: float(int(v))),
    ("True", lambda v: True, lambda v: 1.0),
    ("-1", lambda v: -1, lambda v: -1.0),
    ("__float__-minus-one", lambda v: Float(-1.0), lambda v: -1.0),
    ("__index__-minus-one", lambda v: Index(-1), lambda v: -1.0),
]


@each_param("real")
@pytest.mark.parametrize("make, want", [f[1:] for f in REAL_FORMS], ids=[f[0] for f in REAL_FORMS])
def test_real_parameters_accept_numbers(s, i, make, want):
    """-1.0 is a value (it reaches the range check), not a failed conversion."""
    v = REAL_VALUES[i]
    got = outcome(lambda: s(*with_value(i, make(v))))
    assert got == outcome(lambda: s(*with_value(i, want(v))))


REAL_TYPE_ERRORS = [
    ("50", "must be real number, not str"),
    (None, "must be real number, not NoneType"),
    ([], "must be real number, not list"),
    (b"1", "must be real number, not bytes"),
    (1j, "must be real number, not complex"),
    (Float(5), "Float.__float__ returned non-float (type int)"),
    (Index("5"), "__index__ returned non-int (type str)"),
    (Raises(TypeError), "boom"),
]


@each_param("real")
@pytest.mark.parametrize("value, text", REAL_TYPE_ERRORS, ids=[t for _, t in REAL_TYPE_ERRORS])
def test_real_type_error_gets_parameter_prefix(s, i, value, text):
    """Replaced by a fresh TypeError: no cause, context suppressed, original not attached."""
    e = assert_raises_exactly(TypeError, f"argument '{s.params[i]}': {text}",
                              lambda: s(*with_value(i, value)))
    assert e.__cause__ is None
    assert e.__suppress_context__ is True
    if isinstance(value, Raises):
        assert value.last not in (e, e.__context__)


@each_function
def test_remapped_type_error_keeps_original_cause(s):
    cause = KeyError("k")
    e = assert_raises_exactly(TypeError, "argument 'age': boom",
                              lambda: s(*with_value(1, Raises(TypeError, cause))))
    assert e.__cause__ is cause
    assert e.__suppress_context__ is True


@each_param("real")
@pytest.mark.parametrize("make", [
    lambda: 10**400, lambda: -(10**400), lambda: Index(10**400), lambda: Raises(ValueError),
    lambda: Raises(MyTypeError), lambda: Raises(ZeroDivisionError), lambda: Raises(Stop),
], ids=["big", "-big", "big-index", "ValueError", "TypeError-subclass", "ZeroDivisionError",
        "BaseException"])
def test_other_conversion_errors_pass_through_unchanged(s, i, make):
    """Only an exact TypeError is prefixed; anything else is the interpreter's own object."""
    value = make()
    e = raised(lambda: s(*with_value(i, value)))
    if isinstance(value, Raises):
        assert e is value.last
    else:
        assert type(e) is OverflowError
        assert e.args == ("int too large to convert to float",)


# --- order of failures -------------------------------------------------------------------

WRONG_TYPE = {
    "text": (b"x", "'bytes' object cannot be converted to 'PyString'"),
    "real": ("x", "must be real number, not str"),
    "bool": (0, "'int' object cannot be converted to 'PyBool'"),
}


@each_function
@pytest.mark.parametrize("first, later", list(itertools.combinations(range(11), 2)))
def test_only_first_conversion_failure_reported(s, first, later):
    args = list(ARGS)
    for i in (first, later):
        args[i] = WRONG_TYPE[PARAM_KINDS[i]][0]
    assert_raises_exactly(TypeError,
                          f"argument '{s.params[first]}': {WRONG_TYPE[PARAM_KINDS[first]][1]}",
                          lambda: s(*args))


@each_function
def test_binding_then_conversion_then_range_then_sex(s):
    assert_raises_exactly(TypeError, missing_text(s, [s.params[10]]),
                          lambda: s(1, "x", *ARGS[2:10]))
    assert_raises_exactly(TypeError,
                          "argument 'sex': 'int' object cannot be converted to 'PyString'",
                          lambda: s(1, "x", *ARGS[2:]))
    assert_raises_exactly(
        TypeError, f"argument '{s.params[10]}': 'int' object cannot be converted to 'PyBool'",
        lambda: s("x", 20.0, *ARGS[2:10], 0))
    assert_raises_exactly(ValueError, bounds("age", s.horizon)[2], lambda: s("x", 20.0, *ARGS[2:]))


# --- references and memory ---------------------------------------------------------------


def _text(s):
    return "".join(list(s))  # a fresh, non-interned str


def _fresh_args(s):
    return (_text("fe" + "male"), float("50.5"), float("200.5"), float("50.5"), float("120.5"),
            True, False, float("25.5"), float("90.5"), False, True)


# (id, make(s) -> (args, kwargs), the exception expected or None)
LEAK_CASES = [
    ("success", lambda s: (_fresh_args(s), {}), None),
    ("success-keywords",
     lambda s: ((), {_text(n): v for n, v in zip(s.params, _fresh_args(s))}), None),
    ("too-many", lambda s: (_fresh_args(s) + (float("1.5"),), {}), TypeError),
    ("unexpected", lambda s: (_fresh_args(s)[:10], {_text("bogus"): float("1.5")}), TypeError),
    ("multiple", lambda s: (_fresh_args(s), {_text("sex"): _text("male")}), TypeError),
    ("missing", lambda s: (_fresh_args(s)[:5], {}), TypeError),
    *[(f"{i}-{name}", lambda s, i=i, make=make: (with_value(i, make(), _fresh_args(s)), {}), exc)
      for i, name, make, exc in [
          (0, "bytes", lambda: bytes([120, 121]), TypeError),
          (0, "surrogate", lambda: _text("\ud800x"), UnicodeEncodeError),
          (0, "odd-type", lambda: odd_type(RuntimeError)(), TypeError),
          (0, "unknown-sex", lambda: _text("xyz"), ValueError),
          (1, "out-of-range", lambda: float("20.5"), ValueError),
          (2, "str", lambda: _text("ab"), TypeError),
          (3, "float-raises-TypeError", lambda: Raises(TypeError, keep=False), TypeError),
          (4, "float-raises-ValueError", lambda: Raises(ValueError, keep=False), ValueError),
          (7, "overflow", lambda: 10**400, OverflowError),
          (8, "float-returns-int", lambda: Float(5), TypeError),
          (6, "list", lambda: [1], TypeError),
          (9, "odd-type", lambda: odd_type(RuntimeError)(), TypeError),
      ]],
]


@each_function
@pytest.mark.parametrize("make, exc_type", [c[1:] for c in LEAK_CASES],
                         ids=[c[0] for c in LEAK_CASES])
def test_no_reference_or_memory_leak(s, make, exc_type):
    args, kwargs = make(s)
    if exc_type is None:
        assert type(s.fn(*args, **kwargs)) is float
    else:
        assert type(raised(lambda: s.fn(*args, **kwargs))) is exc_type

    def call(times):
        for _ in range(times):
            try:
                s.fn(*args, **kwargs)
            except exc_type or ():
                pass

    objects = [*args, *kwargs, *kwargs.values()]
    call(200)  # create-once state (interned names, cached classes) is filled by now
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    blocks = sys.getallocatedblocks()
    call(3000)
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == counts
    assert sys.getallocatedblocks() - blocks < 300


def test_module_reference_count_stable():
    """Each call borrows the module as self; a stray incref or decref shows here."""
    s = SCALAR_FUNCTIONS[0]
    before = sys.getrefcount(_corvane)
    for _ in range(3000):
        s(*ARGS)
        try:
            s()
        except TypeError:
            pass
    assert sys.getrefcount(_corvane) == before
