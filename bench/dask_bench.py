"""A large pupil through trovel.dask: worker processes, memory per worker and
the cost of Dask itself.

    .venv/bin/python bench/dask_bench.py [--size 16384] [--chunk 2048] [--repeats 3]

Three tables, every figure the median of `repeats` runs after one untimed run:

1. The pupil (the exact renderer) and a disc's coverage (through `_trovel`)
   over a size x size lazy grid in chunk x chunk tiles, through a
   `dask.distributed` LocalCluster of 1 and then 2 worker processes of one
   thread each.  Only the sum of each tile comes back, so the time is the
   tiles' work, not the transfer of the image.
2. The peak memory of each worker above what it held before the run, in
   tiles (chunk**2 float64).
3. The in-memory call against Dask with one chunk on the threaded
   scheduler, for the image itself (Dask copies a result that is a single
   chunk) and for its sum (the cost of the graph and the scheduler alone).
"""
from __future__ import annotations

import argparse
import os
import statistics
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import dask  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import trovel  # noqa: E402
import trovel.dask as td  # noqa: E402


def median_time(fn, repeats: int) -> float:
    fn()
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def alternated(first, second, repeats: int) -> tuple[float, float]:
    """Median times of two calls run in turn, so that a change in the
    machine's load falls on both."""
    first(), second()
    a, b = [], []
    for _ in range(repeats):
        for fn, times in ((first, a), (second, b)):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
    return statistics.median(a), statistics.median(b)


def reset_peak() -> int:
    """Forget this process's peak resident size; give the current one (bytes)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return _status("VmRSS")


def peak() -> int:
    return _status("VmHWM")


def _status(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=16384)
    ap.add_argument("--chunk", type=int, default=2048)
    ap.add_argument("--repeats", type=int, default=3)
    a = ap.parse_args()
    n, chunk = a.size, a.chunk
    shape = trovel.pupil(8.0, obscuration=0.3, struts=4, strut_width=0.05)
    grid = trovel.Pixels.grid((n, n), center=(0.0, 0.0), scale=8.4 / n)
    tile_bytes = chunk * chunk * 8
    jobs = {
        "pupil (render)": lambda c: td.render(shape, grid, chunks=c),
        "disc (circle_coverage)": lambda c: td.circle_coverage(grid, (0.0, 0.0), 4.0, chunks=c),
    }
    print(f"{n} x {n} grid, {chunk} x {chunk} tiles ({tile_bytes / 2**20:.0f} MiB each), "
          f"median of {a.repeats}, {os.cpu_count()} cores")

    times: dict[tuple[str, int], float] = {}
    memory: dict[tuple[str, int], float] = {}
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, memory_limit=0) as cluster, \
                Client(cluster) as client:
            for name, job in jobs.items():
                total = job(chunk).sum()
                times[name, workers] = median_time(lambda: client.compute(total).result(),
                                                   a.repeats)
                before = client.run(reset_peak)
                client.compute(total).result()
                after = client.run(peak)
                memory[name, workers] = max(after[w] - before[w] for w in after) / tile_bytes

    print("\n1-2. dask.distributed, worker processes of one thread")
    print(f"{'':24s}{'1 worker s':>12s}{'2 workers s':>13s}{'speed-up':>10s}"
          f"{'peak/worker (tiles) 1 | 2':>28s}")
    for name in jobs:
        t1, t2 = times[name, 1], times[name, 2]
        print(f"{name:24s}{t1:12.3f}{t2:13.3f}{t1 / t2:9.2f}x"
              f"{memory[name, 1]:20.2f} | {memory[name, 2]:.2f}")

    print("\n3. in memory against Dask with one chunk (threaded scheduler), runs alternated")
    print(f"{'':24s}{'':8s}{'in memory s':>12s}{'dask s':>10s}{'overhead':>10s}")
    eager = {
        "pupil (render)": lambda: trovel.render(shape, grid),
        "disc (circle_coverage)": lambda: trovel.circle_coverage(grid, (0.0, 0.0), 4.0),
    }
    for name, job in jobs.items():
        lazy = job((n, n))
        lazy_sum = lazy.sum()
        # The image itself, and its sum (the image consumed in place, as a
        # store or a reduction does): Dask hands back a copy of a result that
        # is a single chunk (dask.array.core.finalize), which the sum avoids.
        pairs = {"image": (eager[name], lambda: lazy.compute(scheduler="threads")),
                 "sum": (lambda: float(eager[name]().sum()),
                         lambda: float(lazy_sum.compute(scheduler="threads")))}
        for what, (mem, dsk) in pairs.items():
            t_mem, t_dask = alternated(mem, dsk, a.repeats)
            print(f"{name:24s}{what:8s}{t_mem:12.3f}{t_dask:10.3f}"
                  f"{100 * (t_dask / t_mem - 1):9.1f}%")

    with dask.config.set(scheduler="threads", num_workers=2):
        lazy = jobs["pupil (render)"](chunk).sum()
        t2 = median_time(lambda: lazy.compute(), a.repeats)
    with dask.config.set(scheduler="threads", num_workers=1):
        t1 = median_time(lambda: lazy.compute(), a.repeats)
    print(f"\nthe pupil on the threaded scheduler: 1 thread {t1:.3f} s, 2 threads {t2:.3f} s, "
          f"{t1 / t2:.2f}x")


if __name__ == "__main__":
    main()
