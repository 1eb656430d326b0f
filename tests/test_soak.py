"""Load: a million scalar calls and ten thousand batch calls with memory held flat, and eight
threads calling at once with every result exact. Run with `pytest -m soak`."""

import gc
import os
import random
import sys
import threading

import numpy as np
import pytest

from conftest import BATCH_PAIRS, SCALAR_FUNCTIONS, expected_batch, random_rows
from reference import inputs, random_inputs, reference

pytestmark = pytest.mark.soak

PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed blocks wait in a quarantine (256 MB by default) before reuse.
SLACK = 300 * 2**20 if "libasan" in os.environ.get("LD_PRELOAD", "") else 0


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


BATCH = BATCH_PAIRS


def scalar_cases(seed):
    """(function, args, kwargs, expected) where expected is a float or (type, args)."""
    rng = random.Random(seed)
    cases = []
    for s in SCALAR_FUNCTIONS:
        for _ in range(4):
            args = random_inputs(rng, s.horizon)
            cases.append((s.fn, args, {}, reference(s.model, s.horizon, *args)))
        kwargs = dict(zip(s.params, inputs()))
        cases += [
            (s.fn, (), kwargs, reference(s.model, s.horizon, *inputs())),
            (s.fn, inputs(age=20.0), {}, (ValueError, (reference(s.model, s.horizon,
                                                                 *inputs(age=20.0)),))),
            (s.fn, inputs(sex="x"), {}, (ValueError, ("Sex must be either 'male' or 'female'.",))),
            (s.fn, inputs()[:10], {},
             (TypeError, (f"{s.name}() missing 1 required positional argument: "
                          f"'{s.params[10]}'",))),
            (s.fn, inputs(sex=b"male"), {},
             (TypeError, ("argument 'sex': 'bytes' object cannot be converted to 'PyString'",))),
            (s.fn, inputs(bmi=10**400), {},
             (OverflowError, ("int too large to convert to float",))),
            (s.fn, inputs(sex="\ud800"), {}, (UnicodeEncodeError, None)),
        ]
    return cases


def check_scalar(fn, args, kwargs, expected):
    """None when the call did what was expected, else a description."""
    try:
        got = fn(*args, **kwargs)
    except Exception as e:
        if isinstance(expected, tuple) and type(e) is expected[0] and (
                expected[1] is None or e.args == expected[1]):
            return None
        return f"{fn.__name__}{args}: raised {e!r}, expected {expected!r}"
    if isinstance(expected, float) and got.hex() == expected.hex():
        return None
    return f"{fn.__name__}{args}: returned {got!r}, expected {expected!r}"


BAD_ARGUMENTS = [
    (np.zeros((3, 11), np.int64), TypeError),
    (np.zeros((3, 10)), ValueError),
    ([[0.0] * 11], TypeError),
]


def memory_after(run, warm_up, total):
    """Resident memory and Python's block count after warm_up rounds and after the rest."""
    run(warm_up)
    gc.collect()
    before = resident_bytes(), sys.getallocatedblocks()
    run(total - warm_up)
    gc.collect()
    return before, (resident_bytes(), sys.getallocatedblocks())


def test_million_scalar_calls_exact_and_memory_flat():
    """A per-call leak of a message, a converted text or a float shows as steady growth."""
    cases = scalar_cases("soak-scalar")
    failures = []

    def run(times):
        for i in range(times):
            fn, args, kwargs, expected = cases[i % len(cases)]
            problem = check_scalar(fn, args, kwargs, expected)
            if problem is not None:
                failures.append(problem)
                if len(failures) > 20:
                    return

    (rss0, blocks0), (rss1, blocks1) = memory_after(run, 100_000, 1_000_000)
    assert not failures, failures[:5]
    assert blocks1 - blocks0 < 1000, (blocks0, blocks1)
    assert rss1 - rss0 < 4 * 2**20 + SLACK, (rss0, rss1)


def test_ten_thousand_batch_calls_exact_and_memory_flat():
    """Each call allocates a 10,000-row decode buffer and result; losing either grows fast."""
    arrays = [random_rows(10_000, seed) for seed in range(3)]
    expected = {(b, k): expected_batch(s, a).view(np.uint64) for b, s in BATCH for k, a in enumerate(arrays)}
    failures = []

    def run(times):
        for i in range(times):
            batch, _ = BATCH[i % len(BATCH)]
            k = i % len(arrays)
            got = batch(arrays[k]).view(np.uint64)
            if not np.array_equal(got, expected[batch, k]):
                failures.append((batch.__name__, k, i))
            bad, exc = BAD_ARGUMENTS[i % len(BAD_ARGUMENTS)]
            try:
                batch(bad)
                failures.append((batch.__name__, "accepted", type(bad)))
            except exc:
                pass
            if len(failures) > 20:
                return

    (rss0, blocks0), (rss1, blocks1) = memory_after(run, 1_000, 10_000)
    assert not failures, failures[:5]
    assert blocks1 - blocks0 < 1000, (blocks0, blocks1)
    assert rss1 - rss0 < 8 * 2**20 + SLACK, (rss0, rss1)


def test_eight_threads_calling_at_once_get_exact_results():
    """Every outside thread has its own completion latch; a mix-up hands one thread's rows or
    wake-up to another."""
    sizes = (0, 1, 2, 3, 17, 1000, 4000)
    arrays = {n: random_rows(n, 100 + n) for n in sizes}
    expected = {(b, n): expected_batch(s, a).view(np.uint64)
                for b, s in BATCH for n, a in arrays.items()}
    cases = scalar_cases("soak-threads")
    barrier = threading.Barrier(8)
    failures = []

    def worker(seed):
        rng = random.Random(seed)
        barrier.wait()
        try:
            for _ in range(1000):
                batch, _ = rng.choice(BATCH)
                n = rng.choice(sizes)
                if not np.array_equal(batch(arrays[n]).view(np.uint64), expected[batch, n]):
                    failures.append((seed, batch.__name__, n))
                for _ in range(50):
                    problem = check_scalar(*rng.choice(cases))
                    if problem is not None:
                        failures.append((seed, problem))
        except BaseException as e:  # a thread's exception would otherwise go unseen
            failures.append((seed, repr(e)))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock around between calls often
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures[:5]
