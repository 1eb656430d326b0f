"""The module object: its names, function metadata, repeated init, sub-interpreters."""

import inspect
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

import _corvane
from conftest import BATCH_NAMES, SCALAR_FUNCTIONS

SCALAR_NAMES = tuple(s.name for s in SCALAR_FUNCTIONS)
PARAMS = {s.name: s.params for s in SCALAR_FUNCTIONS} | {name: ("data",) for name in BATCH_NAMES}


def run_python(code):
    """Run code in a fresh interpreter (no cwd on sys.path) and return its stdout."""
    done = subprocess.run([sys.executable, "-I", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_all_lists_functions_in_registration_order():
    """The batch names join once the batch functions are registered, after the scalar ones."""
    assert type(_corvane.__all__) is list
    assert _corvane.__all__ in (list(SCALAR_NAMES), list(SCALAR_NAMES + BATCH_NAMES))


def test_public_names_are_exactly_all():
    public = {name for name in vars(_corvane) if not name.startswith("_")}
    assert public == set(_corvane.__all__)


def test_module_doc_is_empty_text():
    assert _corvane.__doc__ == ""
    assert _corvane.__name__ == "_corvane"


@pytest.mark.parametrize("name", SCALAR_NAMES + BATCH_NAMES)
def test_function_metadata(name):
    """Wrong flags, a stray docstring or a wrong parameter list in the signature shows here."""
    if name not in _corvane.__all__:
        pytest.skip("batch functions not registered yet")
    fn = getattr(_corvane, name)
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__name__ == name
    assert fn.__module__ == "_corvane"
    assert fn.__self__ is _corvane
    assert fn.__doc__ is None
    assert fn.__text_signature__ == "(" + ", ".join(PARAMS[name]) + ")"
    params = list(inspect.signature(fn).parameters.values())
    assert [p.name for p in params] == list(PARAMS[name])
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.default is inspect.Parameter.empty for p in params)


def test_second_init_returns_the_same_module():
    """A second init that built a new module would give other function objects and state."""
    out = run_python("""
        import ctypes, sys
        import _corvane as first
        init = ctypes.PyDLL(first.__file__).PyInit__corvane
        init.restype = ctypes.py_object
        again = init()
        del sys.modules["_corvane"]
        import _corvane as third
        print(again is first, third is first, third.__all__ == first.__all__)
        print(third.calculate_10_yr_cvd_rust("male", 50, 200, 50, 120, False, False, 25, 90,
                                             False, False) > 0)
    """)
    assert out.split() == ["True", "True", "True", "True"]


def test_import_and_scalar_calls_do_not_import_numpy():
    out = run_python("""
        import sys
        import _corvane
        args = ("female", 50.0, 200.0, 50.0, 120.0, True, False, 25.0, 90.0, True, False)
        for name in _corvane.__all__:
            if not name.endswith("_parallel_np"):
                fn = getattr(_corvane, name)
                fn(*args)
                for bad in (args[:1] + (99.0,) + args[2:], ("x",) + args[1:]):
                    try:
                        fn(*bad)
                    except ValueError:
                        pass
                try:
                    fn(*args[:5], 1, *args[6:])
                except TypeError:
                    pass
        print("numpy" in sys.modules)
    """)
    assert out.split() == ["False"]


def test_import_in_subinterpreter_raises_import_error():
    """The module keeps process-wide state, so a second interpreter must be refused cleanly."""
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("no _testcapi to start a sub-interpreter")
    out = run_python("""
        import os
        import _corvane, _testcapi
        read_end, write_end = os.pipe()
        code = "\\n".join([
            "import os",
            "try:",
            "    import _corvane",
            "except ImportError as e:",
            "    result = type(e).__name__ + ': ' + str(e)",
            "else:",
            "    result = 'imported'",
            f"os.write({write_end}, result.encode())",
        ])
        _testcapi.run_in_subinterp(code)
        os.close(write_end)
        print(os.read(read_end, 1 << 16).decode())
        print(_corvane.calculate_30_yr_cvd_rust("male", 50, 200, 50, 120, False, False, 25, 90,
                                                False, False) > 0)
    """)
    first, still_works = out.rstrip("\n").split("\n")
    assert first.startswith("ImportError: PyO3 modules do not yet support subinterpreters")
    assert still_works == "True"


def test_only_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", _corvane.__file__],
                             capture_output=True, text=True, check=True).stdout
    linker_marks = {"_init", "_fini", "_edata", "_end", "__bss_start"}
    exported = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert exported - linker_marks == {"PyInit__corvane"}
