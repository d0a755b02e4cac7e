"""Timing two or more ways of starting the same application side by side, for the small cost
benchmarks (checksum_cost.py, file_times_cost.py, interpreter_times.py)."""
import statistics
import subprocess
import time


def run_once(argv, env=None, cwd=None):
    """Seconds one run of argv takes; a failing run stops the benchmark."""
    start = time.perf_counter()
    subprocess.run(argv, check=True, env=env, cwd=cwd, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def interleaved(runs, reps):
    """runs: name -> argv. One unmeasured run of each (the page cache), then `reps` rounds in which
    every argv runs once, the order reversed every other round. Returns name -> list of seconds."""
    for argv in runs.values():
        run_once(argv)
    times = {name: [] for name in runs}
    for rep in range(reps):
        order = list(runs.items())
        if rep % 2:
            order.reverse()
        for name, argv in order:
            times[name].append(run_once(argv))
    return times


def median_ms(values):
    return statistics.median(values) * 1000
