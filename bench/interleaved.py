"""What the engine benchmarks (Dask, Spark, Ray) share: their three
positional counts, the shared sample data on the import path, and the
interleaved best-of-N timing with its name=value lines."""
import math
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))


def counts(*defaults):
    """The positional arguments as integers, each missing one its default."""
    return [int(sys.argv[i + 1]) if len(sys.argv) > i + 1 else default for i, default in enumerate(defaults)]


def best_of(jobs, repeats, warm_up, after=None):
    """Each job's best time over `repeats` rounds, the jobs interleaved in a
    round so that a slow spell of the machine falls on all of them. With
    warm_up, each runs once first, unmeasured (workers start and import what
    they use). after(name), when given, runs after each timed run of a job,
    outside its time: checks of its output, cleaning up."""
    if warm_up:
        for job in jobs.values():
            job()
    best = {name: math.inf for name in jobs}
    for _ in range(repeats):
        for name, job in jobs.items():
            started = time.perf_counter()
            job()
            best[name] = min(best[name], time.perf_counter() - started)
            if after is not None:
                after(name)
    return best


def report(header, best, ratios):
    """The header line, NAME_s= per job, then each RATIO=numerator/denominator,
    the benchmark's headline last."""
    print(header)
    for name, seconds in best.items():
        print(f"{name}_s={seconds:.3f}")
    for label, numerator, denominator in ratios:
        print(f"{label}={best[numerator] / best[denominator]:.3f}")
