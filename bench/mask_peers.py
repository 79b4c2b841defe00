"""The polygon mask beside the tools people would pick for it.

`compare()` times trovel's public `polygon_mask` and each peer on the same
star polygon over a square grid of points at the integers (pixel centres),
in runs of calls to one tool at a time, and counts for each the points that differ from the exact even-odd
interior.  Each peer comes with a one-line note on what it computes
differently.  Peers that are not installed are left out.

    python bench/mask_peers.py [size] [vertices] [repeats]
"""
from __future__ import annotations

import statistics
import sys
import time
from collections.abc import Callable

import numpy as np

import _trovel
import trovel


def star_polygon(n: int, centre: float) -> tuple[np.ndarray, np.ndarray]:
    """A star-shaped ring of n vertices: eleven broad arms with a jagged rim,
    so that many vertices share a pixel column when n is large."""
    theta = np.arange(n) * (2 * np.pi / n)
    r = 700 + 250 * np.cos(11 * theta) + np.random.default_rng(1).uniform(-20, 20, n)
    return centre + r * np.cos(theta), centre + r * np.sin(theta)


def exact_mask(px: np.ndarray, py: np.ndarray, size: int, band: int = 16) -> np.ndarray:
    """The even-odd interior at the integer points of a size x size grid,
    with trovel's rules: an edge crosses the row y when min < y <= max, at
    x = (y - ya) * (xb - xa) / (yb - ya) + xa, and a point counts the
    crossings strictly below it.  Rows are taken in bands, each against the
    edges that reach it."""
    xa, ya = px, py
    xb, yb = np.roll(px, -1), np.roll(py, -1)
    lo, hi = np.minimum(ya, yb), np.maximum(ya, yb)
    grid = np.arange(size, dtype=np.float64)
    mask = np.zeros((size, size), dtype=np.uint8)
    for start in range(0, size, band):
        ys = grid[start:start + band, None]
        near = (lo < ys[-1, 0]) & (hi >= ys[0, 0])
        e_xa, e_ya, e_xb, e_yb = xa[near], ya[near], xb[near], yb[near]
        crosses = (np.minimum(e_ya, e_yb) < ys) & (ys <= np.maximum(e_ya, e_yb))
        with np.errstate(divide="ignore", invalid="ignore"):
            x = (ys - e_ya) * (e_xb - e_xa) / (e_yb - e_ya) + e_xa
        for r in range(ys.shape[0]):
            c = np.sort(x[r][crosses[r]])
            mask[start + r] = np.searchsorted(c, grid, side="left") % 2
    return mask


# ---------------------------------------------------------------------------
# Peers.  Each takes the polygon's vertex arrays and the grid size and
# returns a (size, size) uint8 mask of the points at the integers.

def peer_trovel(px: np.ndarray, py: np.ndarray, size: int) -> np.ndarray:
    grid = np.arange(size, dtype=np.float64)
    return trovel.polygon_mask(np.column_stack([px, py]), grid, grid).view(np.uint8)


def peer_trovel_raw(px: np.ndarray, py: np.ndarray, size: int) -> np.ndarray:
    grid = np.arange(size, dtype=np.float64)
    mask = np.empty((size, size), dtype=np.uint8)
    _trovel.poly_grid_contains(px.ctypes.data, py.ctypes.data, px.size, grid.ctypes.data,
                               grid.ctypes.data, mask.ctypes.data, size, size)
    return mask


def make_numba_scanline() -> Callable[[np.ndarray, np.ndarray, int], np.ndarray] | None:
    """A bucket-and-sort scanline in numba, as a user would write it: an edge
    table sorted by lower end, an active edge list, the row's crossings
    sorted with np.sort, and spans filled between pairs of them."""
    try:
        import numba
    except ImportError:
        return None

    @numba.njit(cache=False)
    def scanline(px, py, size):  # pragma: no cover - compiled
        n = px.size
        mask = np.zeros((size, size), np.uint8)
        xa, ya = px, py
        xb, yb = np.roll(px, -1), np.roll(py, -1)
        lo, hi = np.minimum(ya, yb), np.maximum(ya, yb)
        order = np.argsort(lo)
        active = np.empty(n, np.int64)
        xs = np.empty(n)
        n_active = 0
        nxt = 0
        for row in range(size):
            y = float(row)
            while nxt < n and lo[order[nxt]] < y:
                active[n_active] = order[nxt]
                n_active += 1
                nxt += 1
            m = 0
            keep = 0
            for t in range(n_active):
                j = active[t]
                if hi[j] < y:
                    continue  # passed its upper end
                active[keep] = j
                keep += 1
                xs[m] = xa[j] + (y - ya[j]) * (xb[j] - xa[j]) / (yb[j] - ya[j])
                m += 1
            n_active = keep
            c = np.sort(xs[:m])
            for t in range(0, m - 1, 2):
                start = max(int(np.floor(c[t])) + 1, 0)
                stop = min(int(np.floor(c[t + 1])) + 1, size)
                if start < stop:
                    mask[row, start:stop] = 1
        return mask

    return scanline


def make_cv2_fill() -> Callable[[np.ndarray, np.ndarray, int], np.ndarray] | None:
    try:
        import cv2
    except ImportError:
        return None

    def fill(px: np.ndarray, py: np.ndarray, size: int) -> np.ndarray:
        # 8 fractional bits: vertices rounded to 1/256 px.
        pts = np.rint(np.column_stack([px, py]) * 256).astype(np.int32).reshape(-1, 1, 2)
        mask = np.zeros((size, size), dtype=np.uint8)
        cv2.fillPoly(mask, [pts], 1, lineType=cv2.LINE_8, shift=8)
        return mask

    return fill


def make_rasterio_fill() -> Callable[[np.ndarray, np.ndarray, int], np.ndarray] | None:
    try:
        from affine import Affine
        from rasterio import features
    except ImportError:
        return None
    # Pixel (row, col) has its centre at the point (col, row).
    to_points = Affine(1.0, 0.0, -0.5, 0.0, 1.0, -0.5)

    def fill(px: np.ndarray, py: np.ndarray, size: int) -> np.ndarray:
        ring = np.column_stack([px, py]).tolist()
        ring.append(ring[0])
        shape = {"type": "Polygon", "coordinates": [ring]}
        return features.rasterize([(shape, 1)], out_shape=(size, size), transform=to_points,
                                  fill=0, dtype="uint8")

    return fill


PEER_NOTES = {
    "trovel.polygon_mask": "exact even-odd interior; a point on a crossing counts to its left side",
    "trovel poly_grid_contains (raw)": "the same without the argument checks",
    "numba scanline": "the same rule, crossings rounded as x_a + (y - y_a) * dx / dy",
    "cv2.fillPoly (shift=8)": "vertices rounded to 1/256 px, and every pixel the outline touches is filled",
    "rasterio features.rasterize": "GDAL's pixel-centre rule with its own rounding of crossings",
}


def peers() -> dict[str, Callable[[np.ndarray, np.ndarray, int], np.ndarray]]:
    tools: dict[str, Callable | None] = {
        "trovel.polygon_mask": peer_trovel,
        "trovel poly_grid_contains (raw)": peer_trovel_raw,
        "numba scanline": make_numba_scanline(),
        "cv2.fillPoly (shift=8)": make_cv2_fill(),
        "rasterio features.rasterize": make_rasterio_fill(),
    }
    return {name: fn for name, fn in tools.items() if fn is not None}


def compare(size: int = 2048, vertices: int = 1000, repeats: int = 5) -> list[dict]:
    """Median seconds of each tool (over about `repeats` calls) on the star of `vertices` vertices over a
    size x size grid, its ratio to trovel.polygon_mask (above 1: slower than
    trovel) and its points differing from the exact interior."""
    px, py = star_polygon(vertices, size / 2)
    reference = exact_mask(px, py, size)
    tools = peers()
    # The first call compiles (numba) and gives the points to compare.
    differing = {name: int(np.count_nonzero(fn(px, py, size) != reference))
                 for name, fn in tools.items()}
    # Each tool is timed in runs of consecutive calls after an untimed one,
    # so that it is measured in its own steady state rather than in the
    # caches and allocator state that the tool before it left; three passes
    # over the tools share out the changing load of the machine.
    times: dict[str, list[float]] = {name: [] for name in tools}
    passes = 3
    for pass_ in range(passes):
        for name, fn in tools.items():
            fn(px, py, size)
            for _ in range(-(-repeats // passes)):
                t0 = time.perf_counter()
                fn(px, py, size)
                times[name].append(time.perf_counter() - t0)
    base = statistics.median(times["trovel.polygon_mask"])
    return [{"tool": name, "seconds": statistics.median(ts),
             "ratio": statistics.median(ts) / base, "differing": differing[name],
             "note": PEER_NOTES[name]} for name, ts in times.items()]


def main(argv: list[str]) -> None:
    size, vertices, repeats = (int(a) for a in (argv + ["2048", "1000", "5"][len(argv):]))
    print(f"polygon mask, {size}x{size} grid, star of {vertices} vertices, "
          f"median of {repeats}")
    for row in compare(size, vertices, repeats):
        print(f"  {row['tool']:<32} {row['seconds'] * 1e3:9.2f} ms {row['ratio']:7.2f}x "
              f"{row['differing']:8d} differing  {row['note']}")


if __name__ == "__main__":
    main(sys.argv[1:])
