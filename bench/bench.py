#!/usr/bin/env python3
"""corvane's benchmark: scalar call cost, batch throughput and batch memory, each set against a
baseline timed in the same run, printed as one table with the targets it must meet.

    .venv/bin/python bench/bench.py [--rounds 3] [--quick] [--json build/bench/bench.json]

Baselines: math.hypot with eleven floats (a builtin with comparable argument handling, the floor
for a scalar call); the same equations in plain Python and with vectorized NumPy
(bench/formulas.py); the bare C++ risk core over already-decoded rows (bench/core_bench.cpp, built
here as the module builds its core). With --baseline, the scalar and one-row figures of an earlier
run's JSON (another build, say) are set beside this run's, each as a ratio to its own run's floor. The batch runs one subprocess per worker count W, since W
is fixed when a process first builds its pool; rounds alternate W=1 and W=2 so that other load on
the machine touches both alike. Every figure is a median: of samples within a process, then of
rounds. Rows are all in range (random sex and flags), so every row runs the whole equation.
"""

import argparse
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
BUILD = ROOT / "build" / "bench"
sys.path.insert(0, str(BENCH))

import formulas  # noqa: E402

SIZES = (1, 1_000, 100_000, 1_000_000, 10_000_000)
TARGET_N = 1_000_000
MEMORY_N = 10_000_000
STANDARD = ("sex", "age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "has_diabetes",
            "current_smoker", "bmi", "egfr", "on_htn_meds", "on_cholesterol_meds")
HEART_FAILURE = STANDARD[:6] + ("is_smoker", "bmi", "egfr", "on_meds", "_cholesterol_treated")
ARGS = ("male", 50.0, 200.0, 50.0, 120.0, False, True, 25.0, 90.0, True, False)


def make_rows(n, seed=1):
    """n rows of the batch layout, every value in range; sex and flags 1.0 or 0.0 at random."""
    rng = np.random.default_rng(seed)
    data = np.empty((n, 11))
    data[:, 0] = rng.integers(0, 2, n)
    for col, (lo, hi) in {1: (30, 79), 2: (130, 320), 3: (20, 100), 4: (90, 200), 7: (18.5, 39.9),
                          8: (15, 140)}.items():
        data[:, col] = rng.uniform(lo, hi, n)
    for col in (5, 6, 9, 10):
        data[:, col] = rng.integers(0, 2, n)
    return data


def sample(fn, target_s=0.05):
    """Seconds per call of fn(), from a loop sized to take about target_s."""
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    loops = max(1, int(target_s / max(once, 1e-9)))
    if loops == 1:
        return once
    start = time.perf_counter()
    for _ in range(loops):
        fn()
    return (time.perf_counter() - start) / loops


def interleaved(candidates, samples, best=False):
    """Median seconds per call of each named statement, sampled round-robin; with best, also
    the fastest sample, the one least disturbed by other load."""
    times = {name: [] for name in candidates}
    for _ in range(samples):
        for name, fn in candidates.items():
            times[name].append(fn())
    if best:
        return {name: (statistics.median(t), min(t)) for name, t in times.items()}
    return {name: statistics.median(t) for name, t in times.items()}


def timer(stmt, env):
    t = timeit.Timer(stmt, globals=env)
    loops, _ = t.autorange()  # at least 0.2 s
    loops = max(loops // 4, 1)
    return lambda: t.timeit(loops) / loops


# ---------------------------------------------------------------------------------------------
# Scalar calls, in this process


def scalar_env():
    import _corvane
    names = ("s", "a", "tc", "hdl", "sbp", "d", "sm", "bmi", "eg", "ht", "ch")
    env = dict(zip(names, ARGS))
    env.update(h=math.hypot, cvd=_corvane.calculate_10_yr_cvd_rust,
               hf=_corvane.calculate_10_yr_heart_failure_rust, risk=formulas.python_risk,
               f1=1.5, f2=2.5, f3=3.5, f4=4.5, f5=5.5)
    pos = ", ".join(names)
    return env, {
        "floor: math.hypot, 11 floats": "h(a, tc, hdl, sbp, bmi, eg, f1, f2, f3, f4, f5)",
        "cvd by position": f"cvd({pos})",
        "cvd by keyword": "cvd(" + ", ".join(f"{k}={v}" for k, v in zip(STANDARD, names)) + ")",
        "hf by position": f"hf({pos})",
        "hf by keyword": "hf(" + ", ".join(f"{k}={v}" for k, v in zip(HEART_FAILURE, names)) + ")",
        "pure Python cvd": f"risk('cvd', {pos})",
        "pure Python hf": f"risk('hf', {pos})",
    }


def run_scalar(samples):
    env, stmts = scalar_env()
    assert env["cvd"](*ARGS) == formulas.python_risk("cvd", *ARGS)
    assert env["hf"](*ARGS) == formulas.python_risk("hf", *ARGS)
    return interleaved({name: timer(s, env) for name, s in stmts.items()}, samples)


# ---------------------------------------------------------------------------------------------
# Batch calls, one child process per worker count


def batch_child(sizes, samples):
    import _corvane
    batch = _corvane.calculate_10_yr_cvd_rust_parallel_np
    scalar = _corvane.calculate_10_yr_cvd_rust
    data = make_rows(max(sizes))
    batch(data[:2])  # builds the pool and loads NumPy's table, outside every timing

    # The figures mean nothing unless every path computes the same thing.
    check = data[:2000]
    got = batch(check)
    expected = np.array([scalar("male" if r[0] == 1.0 else "female", r[1], r[2], r[3], r[4],
                                bool(r[5]), bool(r[6]), r[7], r[8], bool(r[9]), bool(r[10]))
                         for r in check.tolist()])
    bits = got.view(np.uint64)
    if bits.tolist() != expected.view(np.uint64).tolist():
        raise SystemExit("batch results differ from the scalar function")
    numpy_same = float(np.mean(bits == formulas.numpy_risk("cvd", check).view(np.uint64)))

    out = {"workers": int(os.environ.get("RAYON_NUM_THREADS", "0")), "numpy_same_bits": numpy_same,
           "batch": {}, "numpy": {}, "batch_best": {}, "numpy_best": {}}
    env, stmts = scalar_env()
    out["scalar_s"] = interleaved({"cvd": timer(stmts["cvd by position"], env)}, samples)["cvd"]
    for n in sizes:
        rows = data[:n]
        reps = samples if n < 10_000_000 else max(1, samples // 3)
        t = interleaved({"batch": lambda: sample(lambda: batch(rows)),
                         "numpy": lambda: sample(lambda: formulas.numpy_risk("cvd", rows))}, reps,
                        best=True)
        for key in ("batch", "numpy"):
            out[key][n], out[key + "_best"][n] = t[key]
    print(json.dumps(out))


def memory_child(n):
    """Peak resident memory of one batch call above what the process held before it."""
    import _corvane
    batch = _corvane.calculate_10_yr_cvd_rust_parallel_np
    data = make_rows(n)
    batch(data[:2])

    def status(field):
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
        raise SystemExit(f"no {field} in /proc/self/status")

    before = status("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current RSS
    result = batch(data)
    peak = status("VmHWM")
    assert len(result) == n
    print(json.dumps({"rows": n, "before": before, "peak": peak, "input": data.nbytes}))


def child(args, env_extra):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", **env_extra)
    done = subprocess.run([sys.executable, __file__] + args, env=env, check=True,
                          capture_output=True, text=True)
    out = json.loads(done.stdout.strip().splitlines()[-1])
    for key in ("batch", "numpy", "batch_best", "numpy_best"):
        if key in out:
            out[key] = {int(n): t for n, t in out[key].items()}
    return out


# ---------------------------------------------------------------------------------------------
# The C++ core


def build_core_bench():
    BUILD.mkdir(parents=True, exist_ok=True)
    exe = BUILD / "core_bench"
    # The module's own flags for its core: -O3, no FMA contraction, no fast math.
    cmd = [os.environ.get("CXX", "g++"), "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off",
           "-fno-fast-math", "-Wall", "-Wextra", f"-I{ROOT / 'src'}", "-pthread",
           str(BENCH / "core_bench.cpp"), str(ROOT / "src" / "array_rows.cpp"),
           *map(str, sorted((ROOT / "src" / "pool").glob("*.cpp"))), "-o", str(exe)]
    subprocess.run(cmd, check=True)
    return exe


def core_run(exe, workers, rows, reps):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    done = subprocess.run([str(exe), "--rows", str(rows), "--reps", str(reps)], env=env,
                          check=True, capture_output=True, text=True)
    lines = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    return {(r["bench"], r["function"], r["workers"]): r for r in lines}


# ---------------------------------------------------------------------------------------------
# The table


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.machine()


def ns(seconds):
    return f"{seconds * 1e9:,.1f}"


def verdict(ok):
    return "met" if ok else "MISSED"


def report(info, scalar, rounds, cores, memory, memory_n):
    lines = []
    add = lines.append
    add(f"corvane benchmark: {info['cores']} cores ({info['cpus']} usable), {info['machine']}, "
        f"NumPy {info['numpy']}, CPython {info['python']}")
    add(f"load average {info['load_before']:.2f} before, {info['load_after']:.2f} after; "
        f"{info['rounds']} rounds; medians throughout")
    add("")

    floor = scalar["floor: math.hypot, 11 floats"]
    add(f"{'Scalar call':34} {'ns/call':>9} {'vs floor':>9} {'Python is':>10}")
    for name, t in scalar.items():
        vs_python = ""
        if name.startswith(("cvd", "hf")):
            python = scalar["pure Python " + name.split()[0]]
            vs_python = f"{python / t:.1f}x slower"
        add(f"{name:34} {ns(t):>9} {t / floor:>8.2f}x {vs_python:>10}")
    add("")

    def med(key, w, n):
        return statistics.median(r[key][n] for r in rounds if r["workers"] == w)

    add(f"{'Batch, 10-yr CVD':18} {'W=1 rows/s':>12} {'ns/row':>8} {'W=2 rows/s':>12} "
        f"{'ns/row':>8} {'W2/W1':>6} {'NumPy ns/row':>13} {'W=1 vs NumPy':>13} "
        f"{'W=2 vs NumPy':>13}")
    figures = {}
    for rows in sorted({n for r in rounds for n in r["batch"]}):
        t1, t2 = med("batch", 1, rows), med("batch", 2, rows)
        np1, np2 = med("numpy", 1, rows), med("numpy", 2, rows)
        figures[rows] = (t1 / rows, t2 / rows, np1 / rows, np2 / rows)
        add(f"n = {rows:<14,} {rows / t1:>12,.0f} {ns(t1 / rows):>8} {rows / t2:>12,.0f} "
            f"{ns(t2 / rows):>8} {t1 / t2:>5.2f}x {ns((np1 + np2) / 2 / rows):>13} "
            f"{np1 / t1:>12.1f}x {np2 / t2:>12.1f}x")
    numpy_same = statistics.median(r["numpy_same_bits"] for r in rounds)
    add(f"(NumPy's formula agrees bit for bit on {numpy_same:.1%} of rows: its power function "
        "is not the C library's)")
    add("")

    def core(bench, workers, key="ns_per_row", function="calculate_10_yr_cvd_risk"):
        found = [c[bench, function, workers][key] for c in cores if (bench, function, workers) in c]
        return statistics.median(found) if found else math.nan

    core_ns = core("core", 1)
    t1, t2, np1, np2 = figures[TARGET_N]
    add(f"C++ core, one thread over {TARGET_N:,} decoded rows, ns/row: cvd {core_ns:.1f} as the "
        f"batch evaluates them, {core('core_rows', 1):.1f} one row per call; hf "
        f"{core('core', 1, function='calculate_10_yr_heart_failure_risk'):.1f} and "
        f"{core('core_rows', 1, function='calculate_10_yr_heart_failure_risk'):.1f}")
    add(f"  the batch path's decoding in C++, rows read from a row-major array on the workers: "
        f"W=1 {core('array', 1):.1f} ns/row (core x {core('array', 1) / core_ns:.2f}), W=2 "
        f"{core('array', 2):.1f} ns/row ({core('array', 1) / core('array', 2):.2f}x W=1)")
    add(f"  pool over decoded rows: W=1 {core('pool', 1):.1f} ns/row, W=2 {core('pool', 2):.1f} "
        f"ns/row ({core('pool', 1) / core('pool', 2):.2f}x); two plain threads with equal shares "
        f"got {core('static_split', 2, 'speedup_vs_core'):.2f}x one thread's speed from the "
        "machine at the time")
    add(f"  batch W=1 at n = {TARGET_N:,}: {t1 * 1e9:.1f} ns/row = core x {t1 * 1e9 / core_ns:.2f} "
        f"(decoding, dispatch and result creation add {t1 * 1e9 / core_ns - 1:.0%})")
    add(f"  calling thread's share (batch W=1 - pool W=1): {t1 * 1e9 - core('pool', 1):.1f} ns/row;"
        f" estimated from W=1 and W=2 (2 x W2 - W1): {(2 * t2 - t1) * 1e9:.1f} ns/row")
    add("")

    mem = statistics.median(m["peak"] - m["before"] for m in memory)
    expected = memory_n * 8
    add(f"Memory, n = {memory_n:,}: peak {mem / 2**20:,.1f} MiB above the input "
        f"({memory[0]['input'] / 2**20:,.1f} MiB); the result alone is {expected / 2**20:,.1f} MiB "
        f"= n x 8; ratio {mem / expected:.3f}")
    add("")

    def best(key, w, n):
        return min(r[key + "_best"][n] for r in rounds if r["workers"] == w)

    b1, b2 = best("batch", 1, TARGET_N), best("batch", 2, TARGET_N)
    bnp2 = best("numpy", 2, TARGET_N)
    best_core = min(c[("core", "calculate_10_yr_cvd_risk", 1)]["min_s"] for c in cores) / TARGET_N
    add(f"Fastest samples at n = {TARGET_N:,}, the least disturbed by other load: W=1 "
        f"{ns(b1 / TARGET_N)}, W=2 {ns(b2 / TARGET_N)} ns/row ({b1 / b2:.2f}x), NumPy "
        f"{ns(bnp2 / TARGET_N)} ns/row ({bnp2 / b2:.1f}x W=2), core {ns(best_core)} ns/row "
        f"(W=1 = core x {b1 / TARGET_N / best_core:.2f})")
    add("")

    scalar_n1 = statistics.median(r["scalar_s"] for r in rounds)
    batch_n1 = statistics.median(r["batch"][1] for r in rounds)
    pos = [scalar["cvd by position"] / floor, scalar["hf by position"] / floor]
    py = [scalar["pure Python cvd"] / scalar["cvd by position"],
          scalar["pure Python hf"] / scalar["hf by position"]]
    targets = [
        ("scalar by position <= 1.5x floor", max(pos), "x", max(pos) <= 1.5),
        ("scalar >= 8x faster than pure Python", min(py), "x", min(py) >= 8),
        (f"n = {TARGET_N:,}: W=2 >= 1.9x W=1", t1 / t2, "x", t1 / t2 >= 1.9),
        (f"n = {TARGET_N:,}: W=2 >= 12x NumPy", np2 / t2, "x", np2 / t2 >= 12),
        (f"n = {TARGET_N:,}: W=1 <= 1.15x core", t1 * 1e9 / core_ns, "x",
         t1 * 1e9 / core_ns <= 1.15),
        ("n = 1: <= 3x one scalar call", batch_n1 / scalar_n1, "x", batch_n1 / scalar_n1 <= 3),
        ("memory at most the result + 5%", mem / expected, "x", mem / expected <= 1.05),
    ]
    add("Targets")
    for name, value, unit, ok in targets:
        add(f"  {name:40} {value:8.2f}{unit:1}  {verdict(ok)}")
    return "\n".join(lines), targets


def compare(scalar, rounds, baseline):
    """This run's scalar and one-row figures beside an earlier run's, each against its own floor."""
    def figures(scalar, rounds):
        floor = scalar["floor: math.hypot, 11 floats"]
        out = {name: t / floor for name, t in scalar.items() if name.startswith(("cvd", "hf"))}
        n1 = statistics.median(r["batch"][1] if 1 in r["batch"] else r["batch"]["1"]
                               for r in rounds)
        out["batch n = 1"] = n1 / floor
        out["batch n = 1 / scalar call"] = n1 / statistics.median(r["scalar_s"] for r in rounds)
        return out
    now = figures(scalar, rounds)
    before = figures(baseline["scalar_s"], baseline["rounds"])
    lines = [f"{'Against the baseline run':34} {'before':>9} {'now':>9} {'now/before':>11}"]
    for name in now:
        lines.append(f"{name:34} {before[name]:>8.2f}x {now[name]:>8.2f}x "
                     f"{now[name] / before[name]:>10.2f}x")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--samples", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="one round, no 10-million-row runs")
    parser.add_argument("--json", type=Path, default=BUILD / "bench.json")
    parser.add_argument("--baseline", type=Path, help="an earlier run's JSON to compare with")
    parser.add_argument("--batch-child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--sizes", type=str, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.batch_child:
        return batch_child([int(s) for s in args.sizes.split(",")], args.samples)
    if args.memory_child:
        return memory_child(args.memory_child)

    rounds_n = 1 if args.quick else args.rounds
    sizes = [n for n in SIZES if not (args.quick and n > TARGET_N)]
    memory_n = TARGET_N if args.quick else MEMORY_N
    info = {"cpus": len(os.sched_getaffinity(0)), "cores": os.cpu_count(), "numpy": np.__version__,
            "python": platform.python_version(), "machine": cpu_model(),
            "load_before": os.getloadavg()[0], "rounds": rounds_n}
    exe = build_core_bench()
    rounds, cores, memory = [], [], []
    for r in range(rounds_n):
        print(f"round {r + 1} of {rounds_n} ...", file=sys.stderr, flush=True)
        for w in (1, 2):
            rounds.append(child(["--batch-child", "--samples", str(args.samples),
                                 "--sizes", ",".join(map(str, sizes))],
                                {"RAYON_NUM_THREADS": str(w)}))
            cores.append(core_run(exe, w, TARGET_N, args.samples))
        memory.append(child(["--memory-child", str(memory_n)], {}))
    scalar = run_scalar(2 * args.samples + 1)
    info["load_after"] = os.getloadavg()[0]
    text, targets = report(info, scalar, rounds, cores, memory, memory_n)
    print(text)
    if args.baseline:
        print()
        print(compare(scalar, rounds, json.loads(args.baseline.read_text())))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({"info": info, "scalar_s": scalar, "rounds": rounds,
                                     "core": [list(c.values()) for c in cores],
                                     "memory": memory,
                                     "targets": [[n, v, ok] for n, v, _, ok in targets]},
                                    indent=1))


if __name__ == "__main__":
    main()
