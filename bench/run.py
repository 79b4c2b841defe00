"""Side-by-side timings of trovel's native kernels and the tools users would
otherwise pick for the same job.

Run with `make bench`.  Every figure is the median of several repeats
measured in this one run.  trovel is timed through the raw `_trovel`
functions on the full problem; a peer too slow for the full problem runs on
a representative subset (every k-th row, every k-th triangle) and is
compared per element: the ratio is peer time per element / trovel time per
element.  Peers are timed on pre-built inputs (geometries, point arrays), so
their set-up is not counted against them.
"""
from __future__ import annotations

import argparse
import math
import os
import platform
import statistics
import sys
import time

# Every tool here runs on one thread; idle BLAS threads spinning on the
# machine's other core would only add noise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import _trovel  # noqa: E402
import trovel  # noqa: E402
from trovel.clip import CIRCLE_FAN, STRUT_FAN  # noqa: E402


def addr(a: np.ndarray) -> int:
    assert a.flags.c_contiguous
    return a.ctypes.data


def median_time(fn, repeats: int, setup=None) -> float:
    """Median wall time of fn() in seconds over `repeats` calls after one
    untimed call (first touches of fresh output pages are not counted);
    setup() runs untimed before each."""
    if setup is not None:
        setup()
    fn()
    times = []
    for _ in range(repeats):
        if setup is not None:
            setup()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


class Table:
    """Rows of (scenario, tool, seconds, elements, note); the first row of a
    scenario is trovel's, and every later row is compared with it."""

    def __init__(self) -> None:
        self.rows: list[tuple[str, str, float, int, str]] = []
        self.notes: list[str] = []

    def add(self, scenario: str, tool: str, seconds: float, elements: int, note: str = "") -> None:
        self.rows.append((scenario, tool, seconds, elements, note))
        print(f"  {scenario:<22} {tool:<30} {seconds * 1e3:10.2f} ms", file=sys.stderr, flush=True)

    def print(self) -> None:
        head = (f"{'scenario':<22} {'tool':<32} {'elements':>11} {'time ms':>10} "
                f"{'ns/elem':>9} {'peer/trovel':>11}  note")
        print(head)
        print("-" * len(head))
        base: dict[str, float] = {}
        last = None
        for scenario, tool, sec, n, note in self.rows:
            per = sec / n * 1e9
            if scenario != last:
                base[scenario] = per
                ratio = ""
                if last is not None:
                    print()
            else:
                ratio = f"{per / base[scenario]:10.1f}x"
            last = scenario
            print(f"{scenario if ratio == '' else '':<22} {tool:<32} {n:>11,} {sec * 1e3:10.2f} "
                  f"{per:9.2f} {ratio:>11}  {note}")
        for note in self.notes:
            print(note)


# ---------------------------------------------------------------------------
# 1. Polygon mask

def star_polygon(n: int, centre: float) -> tuple[np.ndarray, np.ndarray]:
    """A star-shaped ring of n vertices: eleven broad arms with a jagged rim."""
    theta = np.arange(n) * (2 * np.pi / n)
    r = 700 + 250 * np.cos(11 * theta) + np.random.default_rng(1).uniform(-20, 20, n)
    return centre + r * np.cos(theta), centre + r * np.sin(theta)


def bench_polygon_mask(table: Table, repeats: int) -> None:
    import matplotlib.path
    import shapely
    import skimage.draw

    size, n = 2048, 1000
    name = "1 polygon mask"
    px, py = star_polygon(n, size / 2)
    grid = np.arange(size, dtype=np.float64)
    mask = np.empty((size, size), dtype=np.uint8)
    args = (addr(px), addr(py), n, addr(grid), addr(grid), addr(mask), size, size)
    t = median_time(lambda: _trovel.poly_grid_contains(*args), repeats)
    table.add(name, "trovel poly_grid_contains", t, size * size,
              f"{size}x{size} grid, {n} vertices")
    inside = mask.astype(bool)

    poly_xy = np.column_stack([px, py])
    t = median_time(lambda: trovel.polygon_mask(poly_xy, grid, grid), repeats)
    table.add(name, "trovel.polygon_mask (checked)", t, size * size)

    # Every 64th row, for the peers that cost O(vertices) per point.
    rows = np.arange(32, size, 64)
    sub_x, sub_y = np.meshgrid(grid, grid[rows])
    sub_x, sub_y = sub_x.ravel(), sub_y.ravel()
    sub_n = sub_x.size
    sub_inside = inside[rows].ravel()

    def skimage_rows():
        # The same polygon shifted so that each sampled row is row 0 of a
        # one-row image: scikit-image then works on that row only.
        out = np.zeros((rows.size, size), dtype=bool)
        for r, row in enumerate(rows):
            rr, cc = skimage.draw.polygon(py - row, px, (1, size))
            out[r, cc] = True
        return out

    t = median_time(skimage_rows, repeats)
    diff = np.count_nonzero(skimage_rows().ravel() != sub_inside)
    table.add(name, "skimage.draw.polygon", t, sub_n,
              f"every 64th row; differs at {diff} of {sub_n} points")

    path = matplotlib.path.Path(poly_xy)
    pts = np.column_stack([sub_x, sub_y])
    t = median_time(lambda: path.contains_points(pts), repeats)
    diff = np.count_nonzero(path.contains_points(pts) != sub_inside)
    table.add(name, "matplotlib Path.contains_points", t, sub_n,
              f"every 64th row; differs at {diff} points")

    geom = shapely.Polygon(poly_xy)
    shapely.prepare(geom)
    all_x, all_y = np.meshgrid(grid, grid)
    all_x, all_y = all_x.ravel(), all_y.ravel()
    t = median_time(lambda: shapely.contains_xy(geom, all_x, all_y), repeats)
    diff = np.count_nonzero(shapely.contains_xy(geom, all_x, all_y) != inside.ravel())
    table.add(name, "shapely.contains_xy (prepared)", t, size * size,
              f"full grid; differs at {diff} points")


# ---------------------------------------------------------------------------
# 2. Exact deposit

def pixel_visits(tris: np.ndarray, c: int) -> np.ndarray:
    """The clamped pixel boxes of the triangles, as accumulate_triangles
    visits them: one row (triangle index, k, j) per pixel."""
    x, y = tris[:, 0::2], tris[:, 1::2]
    k_lo = np.maximum(np.floor(x.min(1) + 0.5), -c).astype(int)
    k_hi = np.minimum(np.floor(x.max(1) + 0.5), c).astype(int)
    j_lo = np.maximum(np.floor(y.min(1) + 0.5), -c).astype(int)
    j_hi = np.minimum(np.floor(y.max(1) + 0.5), c).astype(int)
    out = []
    for t in range(tris.shape[0]):
        kk, jj = np.meshgrid(np.arange(k_lo[t], k_hi[t] + 1), np.arange(j_lo[t], j_hi[t] + 1))
        out.append(np.column_stack([np.full(kk.size, t), kk.ravel(), jj.ravel()]))
    return np.concatenate(out)


def deposit_triangles(n: int, size: int, rng) -> np.ndarray:
    c = (size - 1) // 2
    centre = rng.uniform(-c + 4, c - 4, (n, 1, 2))
    return np.ascontiguousarray((centre + rng.uniform(-2.0, 2.0, (n, 3, 2))).reshape(n, 6))


def bench_deposit(table: Table, repeats: int) -> None:
    import shapely

    n, size = 100_000, 1024
    name = "2 exact deposit"
    rng = np.random.default_rng(2)
    tris = deposit_triangles(n, size, rng)
    values = rng.uniform(0.5, 2.0, n)
    divisors = np.ones(n)
    image = np.zeros((size, size))
    c = (size - 1) // 2
    x, y = tris[:, 0::2], tris[:, 1::2]
    visits = int(((np.minimum(np.floor(x.max(1) + 0.5), c) - np.maximum(np.floor(x.min(1) + 0.5), -c) + 1)
                  * (np.minimum(np.floor(y.max(1) + 0.5), c) - np.maximum(np.floor(y.min(1) + 0.5), -c) + 1)).sum())
    args = (addr(tris), addr(values), addr(divisors), addr(image), n, size)
    t = median_time(lambda: _trovel.accumulate_triangles(*args), repeats)
    table.add(name, "trovel accumulate_triangles", t, visits,
              f"{n:,} triangles up to 4 px across, {size}x{size}; per pixel visit")

    tri3 = tris.reshape(n, 3, 2)
    t = median_time(lambda: trovel.deposit_triangles(tri3, values, divisors, size=size), repeats)
    table.add(name, "trovel.deposit_triangles (chk)", t, visits)

    # shapely: every 50th triangle against each pixel box it visits.
    sub = tris[::50]
    v = pixel_visits(sub, c)
    polys = shapely.polygons(sub.reshape(-1, 3, 2))[v[:, 0]]
    boxes = shapely.box(v[:, 1] - 0.5, v[:, 2] - 0.5, v[:, 1] + 0.5, v[:, 2] + 0.5)
    t = median_time(lambda: shapely.area(shapely.intersection(polys, boxes)), repeats)
    ours = np.array([_trovel.clip_area(addr(sub[i]), int(k), int(j)) for i, k, j in v])
    err = np.abs(shapely.area(shapely.intersection(polys, boxes)) - ours).max()
    table.add(name, "shapely intersection + area", t, len(v),
              f"every 50th triangle, {len(v):,} visits; max |area diff| {err:.1e}")


# ---------------------------------------------------------------------------
# 3. Mesh cutting

def grid_mesh(nx: int, ny: int, x0: float, y0: float, h: float) -> np.ndarray:
    """Two triangles per cell of an nx by ny grid of cells of side h."""
    xs = x0 + h * np.arange(nx + 1)
    ys = y0 + h * np.arange(ny + 1)
    X, Y = np.meshgrid(xs, ys)
    a = np.stack([X[:-1, :-1], Y[:-1, :-1]], -1)
    b = np.stack([X[:-1, 1:], Y[:-1, 1:]], -1)
    c = np.stack([X[1:, 1:], Y[1:, 1:]], -1)
    d = np.stack([X[1:, :-1], Y[1:, :-1]], -1)
    lower = np.concatenate([a, b, c], -1).reshape(-1, 6)
    upper = np.concatenate([a, c, d], -1).reshape(-1, 6)
    return np.ascontiguousarray(np.stack([lower, upper], 1).reshape(-1, 6))


def bench_mesh_cutting(table: Table, repeats: int) -> None:
    import shapely

    name = "3 mesh cut: circle"
    tris = grid_mesh(1000, 500, -500.0, -250.0, 1.0)
    n = tris.shape[0]
    cx, cy, radius = 3.3, -1.7, 200.0
    strut = trovel.Strut.across(center=(0.0, 0.0), angle=0.3, width=40.0, length=900.0)
    edges = strut.native_edges()
    counters = np.zeros(2, dtype=np.int32)
    out_c = np.empty((CIRCLE_FAN * n, 6))
    out_s = np.empty((STRUT_FAN * n, 6))
    cargs = (addr(tris), n, cx, cy, radius, 1, 0.0, addr(out_c), addr(counters),
             addr(counters[1:]))
    t = median_time(lambda: _trovel.clip_triangles_to_circle(*cargs), repeats)
    counters[:] = 0
    m = _trovel.clip_triangles_to_circle(*cargs)
    table.add(name, "trovel clip_to_circle (inside)", t, n,
              f"{n:,} triangles; {counters[1]:,} cut, {m:,} written")
    sub = tris[::20]
    polys = shapely.polygons(sub.reshape(-1, 3, 2))
    disc = shapely.Point(cx, cy).buffer(radius)  # a 64-gon by default
    shapely.prepare(disc)
    t = median_time(lambda: shapely.intersection(polys, disc), repeats)
    table.add(name, "shapely intersection", t, len(sub),
              "every 20th triangle; the circle as a 64-gon")

    name = "3 mesh cut: strut"
    sargs = (addr(tris), n, *edges, 0.0, 0.0, 900.0, 0.0, addr(out_s), addr(counters),
             addr(counters[1:]))
    t = median_time(lambda: _trovel.clip_triangles_to_strut(*sargs), repeats)
    counters[:] = 0
    m = _trovel.clip_triangles_to_strut(*sargs)
    table.add(name, "trovel clip_to_strut", t, n,
              f"{counters[1]:,} cut, {m:,} written")

    band = shapely.Polygon([
        (strut.point1[0] - 450 * math.cos(0.3), strut.point1[1] - 450 * math.sin(0.3)),
        (strut.point1[0] + 450 * math.cos(0.3), strut.point1[1] + 450 * math.sin(0.3)),
        (strut.point2[0] + 450 * math.cos(0.3), strut.point2[1] + 450 * math.sin(0.3)),
        (strut.point2[0] - 450 * math.cos(0.3), strut.point2[1] - 450 * math.sin(0.3))])
    shapely.prepare(band)
    t = median_time(lambda: shapely.difference(polys, band), repeats)
    table.add(name, "shapely difference", t, len(sub), "every 20th triangle")


# ---------------------------------------------------------------------------
# 4. Coverage

def bench_coverage(table: Table, repeats: int) -> None:
    size = 4096
    n = size * size
    k, i = np.meshgrid(np.arange(size, dtype=np.float64), np.arange(size, dtype=np.float64))
    px, py = k.ravel(), i.ravel()
    qx, qy = px.copy(), py.copy()
    del k, i
    j00, j01, j10, j11 = np.ones(n), np.zeros(n), np.zeros(n), np.ones(n)
    out = np.empty(n)
    cx, cy, r = 2047.3, 2048.6, 1500.0
    strut = trovel.Strut.across(center=(cx, cy), angle=0.4, width=120.0, length=3000.0)
    x1, y1, a1, b1, x2, y2, a2, b2 = strut.native_edges()
    jac = tuple(map(addr, (j00, j01, j10, j11)))
    pq = tuple(map(addr, (px, py, qx, qy)))

    def floor():
        # Read each of the eight inputs once and write the output once: a
        # reduction over seven of them, a copy of the eighth into out.
        for a in (px, py, qx, qy, j00, j01, j10):
            a.max()
        np.copyto(out, j11)

    name = "4 coverage: circle"
    t_floor = median_time(floor, repeats)
    t = median_time(lambda: _trovel.enclosed_circle(*pq, cx, cy, r, *jac, addr(out), n), repeats)
    circle = out.copy()
    table.add(name, "trovel enclosed_circle", t, n,
              f"{size}x{size}, radius {r:g} px")
    table.add(name, "numpy read inputs + write out", t_floor, n, "the memory-traffic floor")

    grid = trovel.Pixels(px, py, qx, qy, j00, j01, j10, j11, (size, size))
    t = median_time(lambda: trovel.circle_coverage(grid, center=(cx, cy), radius=r, out=out.reshape(size, size)),
                    repeats)
    table.add(name, "trovel.circle_coverage (chk)", t, n)

    # 8 x 8 supersampling on every 32nd row.
    rows = np.arange(16, size, 32)
    sub = (np.arange(8) + 0.5) / 8 - 0.5
    xs = np.arange(size, dtype=np.float64)

    def supersample_circle():
        acc = np.zeros((rows.size, size))
        ys = rows.astype(np.float64)[:, None]
        for sy in sub:
            dy2 = (ys + sy - cy) ** 2
            for sx in sub:
                acc += ((xs + sx - cx) ** 2 + dy2) <= r * r
        return acc / 64

    t = median_time(supersample_circle, repeats)
    err = np.abs(supersample_circle() - circle.reshape(size, size)[rows]).max()
    table.add(name, "numpy 8x8 supersampling", t, rows.size * size,
              f"every 32nd row; max |error| {err:.4f}")

    name = "4 coverage: strut"
    t = median_time(lambda: _trovel.enclosed_strut(*pq, 3000.0, x1, y1, a1, b1, x2, y2, a2, b2,
                                                   *jac, addr(out), n), repeats)
    strut_cov = out.copy()
    table.add(name, "trovel enclosed_strut", t, n, "width 120 px, length 3000 px")
    table.add(name, "numpy read inputs + write out", t_floor, n, "the memory-traffic floor")

    def supersample_strut():
        acc = np.zeros((rows.size, size))
        ys = rows.astype(np.float64)[:, None]
        mx, my = (x1 + x2) * 0.5, (y1 + y2) * 0.5
        inside_disc = (xs - mx) ** 2 + (ys - my) ** 2 < 1500.0 ** 2
        for sy in sub:
            for sx in sub:
                X, Y = xs + sx, ys + sy
                s1 = (Y - y1) * b1 - (X - x1) * a1
                s2 = (Y - y2) * b2 - (X - x2) * a2
                acc += (s1 < 0) & (s2 > 0)
        return np.where(inside_disc, acc / 64, 0.0)

    t = median_time(supersample_strut, repeats)
    err = np.abs(supersample_strut() - strut_cov.reshape(size, size)[rows]).max()
    table.add(name, "numpy 8x8 supersampling", t, rows.size * size,
              f"every 32nd row; max |error| {err:.4f}")

    # A grid where far more pixels meet an edge: one per pixel, same arrays.
    name = "4 coverage: edge"
    t = median_time(lambda: _trovel.pixel_frac(x1, y1, a1, b1, addr(qx), addr(qy), addr(px),
                                               addr(py), *jac, addr(out), n), repeats)
    table.add(name, "trovel pixel_frac (shared edge)", t, n, "every pixel through the kernel")


SCENARIOS = {
    "mask": bench_polygon_mask,
    "deposit": bench_deposit,
    "cut": bench_mesh_cutting,
    "coverage": bench_coverage,
}


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=5, help="repeats per measurement (median)")
    ap.add_argument("--only", choices=sorted(SCENARIOS), action="append",
                    help="run only these scenarios")
    opts = ap.parse_args()
    table = Table()
    for key, fn in SCENARIOS.items():
        if opts.only and key not in opts.only:
            continue
        print(f"{key} ...", file=sys.stderr, flush=True)
        fn(table, opts.repeats)
    print(f"CPU: {cpu_model()}, {os.cpu_count()} logical CPUs; Python {platform.python_version()}, "
          f"numpy {np.__version__}; median of {opts.repeats} repeats")
    table.print()


if __name__ == "__main__":
    main()
