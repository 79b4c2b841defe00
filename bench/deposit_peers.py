"""Timings of the checked deposit onto an image in its own frame.

Three scenarios, each row the median of a few repeats measured side by side
in one run:

1. deposit onto a 1024x768 image: `trovel.deposit_triangles(shape=...)`
   beside the native centred `accumulate_triangles` on the same triangles,
   carried into its frame beforehand (a 1025-pixel square window, the
   smallest that covers the image).  Both make a fresh image per call; a
   second pair adds into an existing image.
2. 1,000,000 small triangles (up to 2 pixels across) on 1024x768: the frame
   deposit on one thread and on two (their ratio in the note), beside the
   native centred call.
3. exact polygon coverage on a 2048x2048 grid: `trovel.triangulate` and the
   deposit of its triangles with value 1, beside exactextract's coverage
   fractions of the same polygon (when exactextract is installed).

`run(table, repeats)` adds the rows to the bench's table (bench/run.py).
"""
from __future__ import annotations

from typing import Any

import numpy as np

import _trovel
import trovel
from harness import Table, medians

FAMILY = "deposit (per triangle; polygon coverage per pixel)"


def image_triangles(n: int, ny: int, nx: int, rng: np.random.Generator,
                    across: float = 4.0) -> np.ndarray:
    """n triangles up to `across` pixels across, inside an (ny, nx) image
    whose pixel (row i, column k) is centred on (k, i)."""
    half = across / 2
    centre = rng.uniform((half + 2, half + 2), (nx - half - 3, ny - half - 3), (n, 1, 2))
    return np.ascontiguousarray((centre + rng.uniform(-half, half, (n, 3, 2))).reshape(n, 6))


def native_centred(tris: np.ndarray, values: np.ndarray, divisors: np.ndarray, ny: int,
                   nx: int) -> Any:
    """The native centred deposit onto a new square window that covers an
    (ny, nx) image: the triangles carried into its frame beforehand."""
    side = max(ny, nx) | 1
    c = side // 2
    native_tris = tris - c  # pixel (row i, column k) is native pixel (k - c, i - c)
    n = len(tris)

    def call() -> np.ndarray:
        image = np.zeros((side, side))
        _trovel.accumulate_triangles(native_tris.ctypes.data, values.ctypes.data,
                                     divisors.ctypes.data, image.ctypes.data, n, side)
        return image
    return call


def bench_frame_deposit(table: Table, repeats: int, n: int) -> None:
    name = "deposit 1024x768"
    ny, nx = 768, 1024
    main = n == 100_000
    rng = np.random.default_rng(15)
    tris = image_triangles(n, ny, nx, rng)
    values = rng.uniform(0.5, 2.0, n)
    divisors = np.ones(n)
    side = max(ny, nx) | 1
    c = side // 2
    native_tris = tris - c  # pixel (row i, column k) is native pixel (k - c, i - c)
    args = (native_tris.ctypes.data, values.ctypes.data, divisors.ctypes.data)
    native_fresh = native_centred(tris, values, divisors, ny, nx)

    def public_fresh() -> object:
        return trovel.deposit_triangles(tris, values, divisors, shape=(ny, nx))

    square = np.zeros((side, side))
    image = np.zeros((ny, nx))

    def native_add() -> None:
        _trovel.accumulate_triangles(*args, square.ctypes.data, n, side)

    def public_add() -> object:
        return trovel.deposit_triangles(tris, values, divisors, shape=(ny, nx), out=image)

    t = medians([public_fresh, native_fresh, public_add, native_add], repeats)
    note = f"{n:,} triangles up to 4 px across"
    table.add(name, "trovel.deposit_triangles(shape=)", t[0], n, "triangle", FAMILY,
              f"{note}; new image", table=main)
    table.add(name, "native accumulate_triangles", t[1], n, "triangle", FAMILY,
              f"{side}x{side} window, new image", table=main)
    table.add(name + ", +=", "trovel.deposit_triangles(out=)", t[2], n, "triangle", FAMILY,
              "into an existing image", table=main)
    table.add(name + ", +=", "native accumulate_triangles", t[3], n, "triangle", FAMILY,
              "into an existing image", table=main, series="native accumulate_triangles, +=")


def bench_small_triangles(table: Table, repeats: int) -> None:
    name = "deposit 1M small, 1024x768"
    ny, nx, n = 768, 1024, 1_000_000
    rng = np.random.default_rng(16)
    tris = image_triangles(n, ny, nx, rng, across=2.0)
    values = rng.uniform(0.5, 2.0, n)
    divisors = np.ones(n)

    def public(threads: int) -> Any:
        return lambda: trovel.deposit_triangles(tris, values, divisors, shape=(ny, nx),
                                                threads=threads)

    t = medians([public(1), public(2), native_centred(tris, values, divisors, ny, nx)], repeats)
    note = f"{n:,} triangles up to 2 px across; new image"
    table.add(name, "trovel.deposit_triangles(shape=)", t[0], n, "triangle", FAMILY,
              f"{note}; one thread", series="trovel.deposit_triangles, 2 px")
    table.add(name, "trovel.deposit_triangles(threads=2)", t[1], n, "triangle", FAMILY,
              f"two threads: {t[0] / t[1]:.2f}x faster than one", series="trovel, 2 threads")
    table.add(name, "native accumulate_triangles", t[2], n, "triangle", FAMILY,
              f"{max(ny, nx) | 1} square window, new image; holds the lock, one thread",
              series="native accumulate_triangles, 2 px")


def star_polygon(n: int, centre: float) -> np.ndarray:
    """A star-shaped ring of n vertices: eleven broad arms with a jagged rim."""
    theta = np.arange(n) * (2 * np.pi / n)
    r = 700 + 250 * np.cos(11 * theta) + np.random.default_rng(1).uniform(-20, 20, n)
    return np.column_stack([centre + r * np.cos(theta), centre + r * np.sin(theta)])


def bench_polygon_coverage(table: Table, repeats: int) -> None:
    name = "polygon coverage 2048^2"
    size, n = 2048, 1000
    poly = star_polygon(n, size / 2)

    def ours() -> np.ndarray:
        tris = trovel.triangulate(poly)
        return trovel.deposit_triangles(tris, 1.0, shape=(size, size)).image

    def rendered() -> np.ndarray:
        return trovel.render(trovel.Polygon(poly), trovel.Pixels.grid((size, size)))

    note = f"{n}-vertex star polygon, exact fractions, new image"
    family = FAMILY
    try:
        from exactextract import exact_extract
        from exactextract.feature import JSONFeatureSource
        from exactextract.raster import NumPyRasterSource
    except ImportError:
        table.add(name, "trovel triangulate + deposit", medians([ours], repeats)[0], size * size,
                  "pixel", family, note)
        table.skip(name, "exactextract", family, "not installed")
        return
    raster = NumPyRasterSource(np.zeros((size, size)), -0.5, -0.5, size - 0.5, size - 0.5)
    ring = poly.tolist()
    features = JSONFeatureSource([{"type": "Feature", "properties": {"id": 1},
                                   "geometry": {"type": "Polygon",
                                                "coordinates": [ring + [ring[0]]]}}])

    def peer() -> Any:
        return exact_extract(raster, features, ["coverage", "cell_id"], output="geojson")

    t = medians([ours, peer, rendered], repeats)
    props = peer()[0]["properties"]
    theirs = np.zeros(size * size)
    theirs[np.asarray(props["cell_id"], dtype=np.intp)] = props["coverage"]
    theirs = theirs.reshape(size, size)[::-1]  # their row 0 is the top row
    diff = float(np.abs(theirs - ours()).max())
    table.add(name, "trovel triangulate + deposit", t[0], size * size, "pixel", family, note)
    table.add(name, "exactextract coverage", t[1], size * size, "pixel", family,
              f"exact, axis-aligned grids only; float32 fractions, cells as lists; "
              f"max |fraction diff| {diff:.1e}")
    table.add(name, "trovel.render(Polygon)", t[2], size * size, "pixel", family,
              f"the same fractions (max |diff| {float(np.abs(rendered() - ours()).max()):.0e}); "
              "no triangulation: Green's theorem over the rim pixels")


def run(table: Table, repeats: int) -> None:
    for n in (10_000, 100_000):
        bench_frame_deposit(table, repeats, n)
    bench_small_triangles(table, repeats)
    bench_polygon_coverage(table, repeats)
