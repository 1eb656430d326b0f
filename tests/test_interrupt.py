"""Ctrl-C during a long batch call: the call runs to the end, KeyboardInterrupt follows it, and
the module keeps working."""

import os
import select
import signal
import subprocess
import sys
import time

import pytest

ROWS = 20_000_000  # seconds of work, so the signal surely lands inside the call
TIMEOUT = 180

CHILD = f"""
import numpy as np
import _corvane

fn = _corvane.calculate_10_yr_hf_rust_parallel_np
row = np.array([1.0, 50, 200, 50, 120, 1, 0, 32, 55, 1, 0])
one = fn(np.array([row, row])).view(np.uint64)[0]  # the pool exists before the long call
data = np.broadcast_to(row, ({ROWS}, 11))
out = []
print("ready", flush=True)
try:
    # Called from C (list.extend over map), so the result is kept even though the interrupt is
    # raised the moment the call returns.
    out.extend(map(fn, [data]))
except KeyboardInterrupt:
    whole = len(out) == 1 and out[0].shape == ({ROWS},)
    print("interrupted", whole and bool((out[0].view(np.uint64) == one).all()), flush=True)
else:
    print("not-interrupted", flush=True)
scalar = _corvane.calculate_10_yr_heart_failure_rust("male", 50, 200, 50, 120, True, False, 32,
                                                     55, True, False)
again = fn(np.array([row] * 1000)).view(np.uint64)
print("after", bool((again == one).all()) and scalar == one.view(np.float64), flush=True)
"""


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime of every thread


def test_sigint_during_batch_call_raises_after_it_returns():
    """A wait that gave up on a signal would hand back a half-written array, or leave workers
    writing into freed memory; one that never checks afterwards would lose the interrupt."""
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT)
        assert ready and proc.stdout.readline() == "ready\n", proc.stderr.read()
        # The only work left after "ready" is the call: CPU time spent since then means the
        # child is inside it.
        start, deadline = cpu_ticks(proc.pid), time.monotonic() + TIMEOUT
        while cpu_ticks(proc.pid) - start < 0.2 * os.sysconf("SC_CLK_TCK"):
            assert proc.poll() is None, proc.stderr.read()
            assert time.monotonic() < deadline, "the call never started"
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer in {TIMEOUT} s")
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == 0, err
    assert out.split("\n") == ["interrupted True", "after True", ""], (out, err)
