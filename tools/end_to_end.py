"""End-to-end cost of the checked layer against the native call it wraps.

Prints, side by side, the median time of each public call (grid construction
included) and of the native call on arrays prepared beforehand, the peak
memory the public call adds (tracemalloc) against its output, and the ns per
pixel of circle_coverage from 256^2 to 8192^2.  Run by hand:

    .venv/bin/python tools/end_to_end.py [--quick]
"""
from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

import _trovel
import trovel
from trovel import Pixels, Strut

# The benchmark's timing helpers: one way of timing for both.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from harness import medians, peak_added  # noqa: E402


def median_time(fn: Callable[[], Any], repeats: int) -> float:
    return medians([fn], repeats)[0]


def paired(public: Callable[[], Any], native: Callable[[], Any],
           repeats: int) -> tuple[float, float]:
    """Median times of two calls run alternately, so that both see the same
    load on a shared machine."""
    tp, tn = medians([public, native], repeats)
    return tp, tn


def peak_rss_added(fn: Callable[[], Any]) -> int:
    """Peak resident memory added by fn (Linux: the high-water mark is reset first)."""
    def status(key: str) -> int:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    result = fn()
    peak = status("VmHWM:") - before
    del result
    return peak


def addr(a: np.ndarray) -> int:
    return int(a.ctypes.data)


def row(name: str, public: float, native: float, note: str = "") -> None:
    print(f"{name:34s} {public * 1e3:9.1f} ms {native * 1e3:9.1f} ms {public / native:6.2f}x  {note}")


def coverage(size: int, repeats: int) -> None:
    center = ((size - 1) / 2, (size - 1) / 2)
    r = 0.37 * size
    strut = Strut.across(center, 0.4, size / 34, 0.73 * size)
    prepared = Pixels.grid((size, size)).materialize()
    px, py = prepared.positions()
    qx, qy, *jac = prepared.footprints()
    pq = tuple(map(addr, (px, py, qx, qy)))
    j = tuple(map(addr, jac))
    out = np.empty(size * size)
    n = size * size
    cases = {
        "circle_coverage": (
            lambda **kw: trovel.circle_coverage(Pixels.grid((size, size)), center, r, **kw),
            lambda: _trovel.enclosed_circle(*pq, *center, r, *j, addr(out), n)),
        "strut_coverage": (
            lambda **kw: trovel.strut_coverage(Pixels.grid((size, size)), strut, **kw),
            lambda: _trovel.enclosed_strut(*pq, strut.length, *strut.native_edges(), *j,
                                           addr(out), n)),
        "edge_coverage": (
            lambda **kw: trovel.edge_coverage(Pixels.grid((size, size)), center, (0.6, 0.8), **kw),
            lambda: _trovel.pixel_frac(*center, 0.8, 0.6, pq[2], pq[3], pq[0], pq[1], *j,
                                       addr(out), n)),
    }
    print(f"\n{size}x{size} grid: public (grid + call) vs native on prepared arrays; "
          f"peak added / output ({out.nbytes / 2**20:.0f} MiB)")
    given = np.empty((size, size))
    given.fill(0.0)
    for name, (public, native) in cases.items():
        tp, tn = paired(public, native, repeats)
        row(name, tp, tn, f"peak {peak_added(public) / out.nbytes:.2f}x output (tracemalloc), "
            f"{peak_rss_added(public) / out.nbytes:.2f}x (RSS)")
        to, tn = paired(lambda f=public: f(out=given), native, repeats)  # type: ignore[misc]
        row("  the same into a given out=", to, tn, "no page faults of a new output")


def scaling(sizes: list[int]) -> None:
    print("\ncircle_coverage end to end, ns per pixel")
    for size in sizes:
        t = median_time(lambda: trovel.circle_coverage(
            Pixels.grid((size, size), center=(0, 0)), (0, 0), 0.37 * size), 3 if size > 4096 else 7)
        print(f"  {size:5d}^2  {t * 1e9 / size**2:6.2f} ns/pixel  ({t * 1e3:.1f} ms)")


def cuts(n: int, repeats: int) -> None:
    rng = np.random.default_rng(1)
    centres = rng.uniform(-100, 100, (n, 1, 2))
    tris = np.ascontiguousarray(centres + rng.uniform(-0.5, 0.5, (n, 3, 2)))
    flat = tris.reshape(-1, 6)
    strut = Strut.across((0, 0), 0.3, 20.0, 150.0)
    counters = np.zeros(2, np.int32)
    c = addr(counters)
    print(f"\n{n} small triangles: public vs native into a preallocated buffer; "
          "peak added / output")
    for name, fan, public, native_fn, args in (
        ("clip_to_circle", 4, lambda: trovel.clip_to_circle(tris, (0, 0), 80.0),
         _trovel.clip_triangles_to_circle, (0.0, 0.0, 80.0, 1, 0.0)),
        ("clip_to_strut", 7, lambda: trovel.clip_to_strut(tris, strut),
         _trovel.clip_triangles_to_strut, (*strut.native_edges(), 0.0, 0.0, 150.0, 0.0)),
    ):
        buf = np.empty((fan * n, 6))
        buf.fill(0.0)  # pages touched before timing, as a reused buffer would be

        def native(f: Any = native_fn, a: tuple[Any, ...] = args, b: np.ndarray = buf) -> int:
            return int(f(addr(flat), n, *a, addr(b), c, c + 4))

        def native_fresh(f: Any = native_fn, a: tuple[Any, ...] = args) -> int:
            fresh = np.empty((fan * n, 6))
            return int(f(addr(flat), n, *a, addr(fresh), c, c + 4))

        tp, tn = paired(public, native, repeats)
        _, tf = paired(public, native_fresh, repeats)
        out_bytes = public().triangles.nbytes
        row(name, tp, tn, f"peak {peak_added(public) / out_bytes:.2f}x output (tracemalloc), "
            f"{peak_rss_added(public) / out_bytes:.2f}x (RSS) of {out_bytes / 2**20:.0f} MiB")
        row("  native into a fresh buffer", tf, tn, "the page faults of a new output")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="1024^2 grid, fewer repeats")
    quick = parser.parse_args().quick
    print(f"{'call':34s} {'public':>12s} {'native':>12s} {'ratio':>7s}")
    coverage(1024 if quick else 4096, 5 if quick else 11)
    scaling([256, 1024] if quick else [256, 1024, 4096, 8192])
    cuts(100_000 if quick else 1_000_000, 21)


if __name__ == "__main__":
    main()
