"""The exact renderer beside its floors: a 2048 x 2048 pupil (annulus and
four vanes) on a lazy affine grid against `np.ones` of the same size (the
output-write floor), and on per-pixel footprints (a mild radial distortion)
against reading the six footprint arrays once (`np.sum` of each: a pure
streaming read, the least any renderer of them must do) and, as a looser
floor, copying them into one buffer.  Single-threaded unless `threads` says
otherwise; prints wall-time medians and CPU-time medians side by side, all
timed in one run with the rows interleaved so that load on a shared machine
falls on every row alike.

    python bench/render_peers.py [size] [repeats] [threads]
"""
from __future__ import annotations

import statistics
import sys
import time

import numpy as np

import trovel
from trovel import Pixels


def distorted_pixels(size: int, scale: float) -> Pixels:
    """The grid's footprints under q = p (1 + k |p|^2), Jacobians exact."""
    c = (size - 1) / 2
    u = (np.arange(size) - c) * scale
    x, y = np.meshgrid(u, u)
    k = 0.02 / (size * scale / 2) ** 2
    f = 1 + k * (x * x + y * y)
    centres = np.stack([x * f, y * f], -1)
    jac = np.empty((size, size, 2, 2))
    jac[..., 0, 0] = (f + 2 * k * x * x) * scale
    jac[..., 0, 1] = 2 * k * x * y * scale
    jac[..., 1, 0] = 2 * k * x * y * scale
    jac[..., 1, 1] = (f + 2 * k * y * y) * scale
    pos = np.stack(np.meshgrid(np.arange(size), np.arange(size)), -1).astype(float)
    return Pixels.from_arrays(pos, centres, jac)


def compare(size: int = 2048, repeats: int = 15, threads: int = 1) -> list[tuple[str, float, float]]:
    scale = 2.0 / size
    shape = trovel.pupil(2.0, obscuration=0.3, struts=4, strut_width=0.02, strut_angle=0.3)
    grid = Pixels.grid((size, size), center=(0.0, 0.0), scale=scale)
    per = distorted_pixels(size, scale)
    arrays = per.footprints()
    buf = np.empty((6, arrays[0].size))

    def copy_six():
        for r, a in zip(buf, arrays):
            r[:] = a

    rows = {
        "np.ones((n, n))": lambda: np.ones((size, size)),
        "render, affine grid": lambda: trovel.render(shape, grid, threads=threads),
        "sum of the six footprint arrays": lambda: [a.sum() for a in arrays],
        "copy of the six into one buffer": copy_six,
        "render, per-pixel footprints": lambda: trovel.render(shape, per, threads=threads),
    }
    # interleave: one call of each row in turn, `repeats` rounds
    samples: dict[str, list[tuple[float, float]]] = {k: [] for k in rows}
    for fn in rows.values():
        fn()
    for _ in range(repeats):
        for name, fn in rows.items():
            w, c = time.perf_counter(), time.process_time()
            fn()
            samples[name].append((time.perf_counter() - w, time.process_time() - c))
    return [(name, statistics.median(s[0] for s in v), statistics.median(s[1] for s in v))
            for name, v in samples.items()]


def main(argv: list[str]) -> None:
    size = int(argv[1]) if len(argv) > 1 else 2048
    repeats = int(argv[2]) if len(argv) > 2 else 15
    threads = int(argv[3]) if len(argv) > 3 else 1
    print(f"{size}^2 pupil, threads={threads}, medians of {repeats}")
    print(f"{'row':36s} {'wall ms':>9s} {'cpu ms':>9s}")
    for name, wall, cpu in compare(size, repeats, threads):
        print(f"{name:36s} {wall * 1e3:9.2f} {cpu * 1e3:9.2f}")


if __name__ == "__main__":
    main(sys.argv)
