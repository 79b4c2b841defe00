"""Resampling by exact overlap, beside drizzle's square kernel and astropy
reproject's exact method.  Three scenarios, each row a median of calls
made side by side in one run:

1. a 2048^2 image under a mild distortion and a rotation onto a 2560^2
   grid: `trovel.resample` of the corners' quadrilaterals (their check by
   `Pixels.from_corners`, on the same threads, included) on one and two
   threads, beside drizzle 3 (square kernel, pixfrac=1, the Drizzle object
   and its outputs made in the timed call too) given the pixmap of the
   pixel centres;
2. the same under an affine map, where drizzle's footprints are exact: its
   out_img * out_wht against trovel's image times the source footprint's
   area in input pixels (drizzle's unit of weight: the image itself), in
   units of float32 rounding;
3. `trovel.reproject` of a 1024^2 image between two tangent-plane WCS a few
   arcminutes apart, beside reproject's `reproject_exact`.

`run(table, repeats)` adds the rows to the bench's table (bench/run.py).
"""
from __future__ import annotations

import math
from typing import Any, Callable

import numpy as np

import trovel
from harness import Table, medians, optional

FAMILY = "resample (per source pixel)"
N_IN, N_OUT = 2048, 2560
EPS32 = float(np.finfo(np.float32).eps)


def mapping(distortion: float) -> Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, ...]]:
    """Input grid positions to output pixel coordinates: a quadratic
    distortion of up to `distortion` * 3 pixels at the edges, a 7 degree
    turn and a scale of 1.2 output pixels per input pixel, about the
    output's centre."""
    c, m = (N_IN - 1) / 2, (N_OUT - 1) / 2
    cos, sin = math.cos(math.radians(7.0)), math.sin(math.radians(7.0))

    def f(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, ...]:
        a, b = (u - c) / c, (v - c) / c
        x = u - c + distortion * (3.0 * a * a + 1.5 * a * b)
        y = v - c + distortion * (2.0 * b * b - 1.0 * a * b)
        return m + 1.2 * (cos * x - sin * y), m + 1.2 * (sin * x + cos * y)
    return f


def scene(distortion: float) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The image (float32, as drizzle takes it), the corners and the pixmap."""
    rng = np.random.default_rng(27)
    image = rng.uniform(0.5, 1.5, (N_IN, N_IN)).astype(np.float32)
    f = mapping(distortion)
    v, u = np.mgrid[0:N_IN + 1, 0:N_IN + 1].astype(np.float64) - 0.5
    x, y = f(u, v)
    v, u = np.mgrid[0:N_IN, 0:N_IN].astype(np.float64)
    pixmap = np.dstack(f(u, v))
    return image, x, y, pixmap


def drizzle_call(drizzle: Any, image: np.ndarray, pixmap: np.ndarray) -> Callable[[], Any]:
    def call() -> Any:
        d = drizzle.Drizzle(kernel="square", out_shape=(N_OUT, N_OUT))
        d.add_image(image, exptime=1.0, pixmap=pixmap, pixfrac=1.0)
        return d
    return call


def bench_resample(table: Table, repeats: int, drizzle: Any, distortion: float,
                   scenario: str, main: bool) -> None:
    image, x, y, pixmap = scene(distortion)
    flux = image.astype(np.float64)
    target = trovel.Pixels.grid((N_OUT, N_OUT))

    def ours(threads: int) -> Callable[[], trovel.Resampled]:
        return lambda: trovel.resample(flux, trovel.Pixels.from_corners(x, y, threads=threads),
                                       target, threads=threads)
    built = trovel.Pixels.from_corners(x, y)

    def on_built(threads: int) -> Callable[[], trovel.Resampled]:
        return lambda: trovel.resample(flux, built, target, threads=threads)
    fns = [ours(1), ours(2)]
    if main:
        fns += [on_built(1), on_built(2)]
    if drizzle is not None:
        fns.append(drizzle_call(drizzle, image, pixmap))
    t = medians(fns, repeats, settle=True)
    r = fns[0]()
    lost = abs(r.image.sum() + r.outside - flux.sum()) / flux.sum()
    table.add(scenario, "trovel.resample, 1 thread", t[0], N_IN * N_IN, "pixel", FAMILY,
              f"exact overlap of the corners' quadrilaterals; flux conserved to {lost:.0e}",
              table=main)
    table.add(scenario, "trovel.resample, 2 threads", t[1], N_IN * N_IN, "pixel", FAMILY,
              f"the same bits; {t[0] / t[1]:.2f}x one thread", table=main)
    if main:
        table.add(scenario, "trovel.resample of a built pixel set, 1 thread", t[2],
                  N_IN * N_IN, "pixel", FAMILY,
                  f"the corners checked once before: {t[0] - t[2]:.3f} s of the call above")
        table.add(scenario, "trovel.resample of a built pixel set, 2 threads", t[3],
                  N_IN * N_IN, "pixel", FAMILY, f"{t[2] / t[3]:.2f}x one thread")
        t = t[:2] + t[4:]
    if drizzle is None:
        table.skip(scenario, "drizzle square kernel", FAMILY, "drizzle not installed")
        return
    d = fns[-1]()
    # drizzle's weight is the overlap in units of the input pixel's area, so
    # out_img * out_wht is trovel's image times the source footprint's area
    # in input pixels: the image itself
    theirs = np.nan_to_num(d.out_img.astype(np.float64)) * d.out_wht
    inner = np.zeros(theirs.shape, bool)
    inner[3:-3, 3:-3] = True   # drizzle drops what crosses the grid's border
    gap = np.abs(theirs - r.image)[inner].max() / np.abs(r.image).max()
    dropped = (r.image[~inner].sum() - theirs[~inner].sum()) / flux.sum()
    what = (f"affine, its footprints exact: out_img * out_wht within {gap / EPS32:.1f} "
            "float32 eps of trovel's image (of the largest value)"
            if distortion == 0.0 else
            "corners interpolated from the pixmap of centres, float32: out_img * out_wht "
            f"off trovel's image by up to {gap:.1e} of the largest value")
    table.add(scenario, "drizzle 3 square kernel, pixfrac=1", t[2], N_IN * N_IN, "pixel",
              FAMILY, f"{what} 3 px inside the grid; its outer rows lose {dropped:.1e} of the "
              f"flux; {t[2] / t[0]:.2f}x trovel on one thread", table=main)


def tan_wcs(wcs: Any, crval: tuple[float, float], cdelt: float, turn: float, n: int) -> Any:
    w = wcs.WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval = crval
    w.wcs.crpix = [n / 2 + 0.5, n / 2 + 0.5]
    c, s = math.cos(math.radians(turn)), math.sin(math.radians(turn))
    w.wcs.cd = np.array([[-cdelt * c, cdelt * s], [cdelt * s, cdelt * c]])
    return w


def bench_reproject(table: Table, repeats: int, wcs: Any, reproject: Any) -> None:
    scenario = "reproject 1024^2 exact"
    n = 1024
    if wcs is None:
        table.skip(scenario, "trovel.reproject", FAMILY, "astropy not installed")
        return
    w_in = tan_wcs(wcs, (150.0, 2.0), 0.2 / 3600, 10.0, n)
    w_out = tan_wcs(wcs, (150.0 + 2 / 60, 2.0 + 1.5 / 60), 0.25 / 3600, -5.0, n)
    rng = np.random.default_rng(28)
    yy, xx = np.mgrid[0:n, 0:n]
    image = 1.0 + rng.random((n, n)) + 50.0 * np.exp(-((xx - 600) ** 2 + (yy - 500) ** 2) / 50.0)
    fns = [lambda: trovel.reproject(image, w_in, w_out, (n, n)),
           lambda: trovel.reproject(image, w_in, w_out, (n, n), threads=2)]
    if reproject is not None:
        fns.append(lambda: reproject.reproject_exact((image, w_in), w_out, shape_out=(n, n)))
    t = medians(fns, max(3, repeats // 2))
    ours, foot = fns[0]()
    table.add(scenario, "trovel.reproject, 1 thread", t[0], n * n, "pixel", FAMILY,
              "corner quadrilaterals in the output's tangent plane, resampled exactly")
    table.add(scenario, "trovel.reproject, 2 threads", t[1], n * n, "pixel", FAMILY,
              f"the same bits; {t[0] / t[1]:.2f}x one thread")
    if reproject is None:
        table.skip(scenario, "reproject_exact", FAMILY, "reproject not installed")
        return
    theirs, their_foot = fns[2]()
    both = (foot > 0) & (their_foot > 0)
    gap = np.max(np.abs(theirs[both] - ours[both]) / np.abs(ours[both]))
    table.add(scenario, "astropy reproject_exact", t[2], n * n, "pixel", FAMILY,
              f"spherical polygons' exact overlap; surface brightness within {gap:.1e} of "
              f"trovel's, footprints within {np.abs(foot - their_foot).max():.1e}; "
              f"{t[2] / t[0]:.2f}x trovel")


def run(table: Table, repeats: int) -> None:
    drizzle = optional("drizzle.resample")
    bench_resample(table, repeats, drizzle, 1.0, "resample 2048^2 distorted", True)
    bench_resample(table, max(3, repeats // 2), drizzle, 0.0, "resample 2048^2 affine", False)
    bench_reproject(table, repeats, optional("astropy.wcs"), optional("reproject"))
