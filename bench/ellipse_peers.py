"""Elliptical apertures: trovel.render beside photutils' exact elliptical
overlap grid and SEP's exact elliptical sums (subpix=0), on one large
ellipse over a whole grid and on many small apertures as photometry sums
them.

What each computes: trovel and photutils give every pixel's fraction
inside the ellipse; SEP gives only the data's sum over the aperture (each
pixel's fraction is used inside, never returned). So for the many small
apertures the job is the sum of the data weighted by the fractions, and
trovel's row renders each aperture on the grid of its bounding window, then
weighs it by the data there."""
from __future__ import annotations

import math

import numpy as np

import trovel
from harness import Table, medians, optional
from trovel import Pixels

FAMILY = "exact ellipse (fractions; aperture sums)"
A, B, THETA = 300.3, 120.7, 0.5


def bench_large(table: Table, repeats: int) -> None:
    """One ellipse of semi-axes 300 x 120 px, turned by 0.5 rad, over a
    1024^2 unit grid centred on its centre."""
    geometry = optional("photutils.geometry")
    size = 1024
    grid = Pixels.grid((size, size), center=(0.0, 0.0))
    ellipse = trovel.Ellipse((0.0, 0.0), A, B, THETA)
    h = size / 2
    fns = [lambda: trovel.render(ellipse, grid)]
    if geometry is not None:
        fns.append(lambda: geometry.elliptical_overlap_grid(-h, h, -h, h, size, size, A, B,
                                                            THETA, 1, 1))
    t = medians(fns, repeats)
    exact = trovel.render(ellipse, grid)
    scenario = f"ellipse {A:g} x {B:g} on {size}^2"
    total = exact.sum() / (math.pi * A * B) - 1
    table.add(scenario, "trovel.render(Ellipse)", t[0], size * size, "pixel", FAMILY,
              f"lazy grid; rows run in the ellipse's frame; total / (pi a b) - 1 = {total:.1e}")
    if geometry is None:
        return table.skip(scenario, "photutils elliptical_overlap_grid", FAMILY, "not installed")
    theirs = geometry.elliptical_overlap_grid(-h, h, -h, h, size, size, A, B, THETA, 1, 1)
    table.add(scenario, "photutils elliptical_overlap_grid (exact)", t[1], size * size, "pixel",
              FAMILY, f"the same fractions (axis-aligned unit pixels only); max |diff| "
              f"{np.abs(theirs - exact).max():.1e}, total / (pi a b) - 1 = "
              f"{theirs.sum() / (math.pi * A * B) - 1:.1e}")


class Apertures:
    """n elliptical apertures (a in [3, 8] px, b/a in [0.3, 1]) at random
    sub-pixel positions on a 2048^2 image of random data."""

    def __init__(self, n: int) -> None:
        rng = np.random.default_rng(7)
        self.size = 2048
        self.data = rng.uniform(0.0, 1.0, (self.size, self.size))
        self.x = rng.uniform(20, self.size - 20, n)
        self.y = rng.uniform(20, self.size - 20, n)
        self.a = rng.uniform(3.0, 8.0, n)
        self.b = self.a * rng.uniform(0.3, 1.0, n)
        self.theta = rng.uniform(-math.pi / 2, math.pi / 2, n)

    def trovel_sums(self) -> np.ndarray:
        """One aperture per source, in one call (the image's default grid:
        pixel centres on whole numbers)."""
        shapes = [trovel.Ellipse((x, y), a, b, t)
                  for x, y, a, b, t in zip(self.x, self.y, self.a, self.b, self.theta)]
        return trovel.photometry(self.data, shapes).sum

    def sep_sums(self, sep) -> np.ndarray:
        return sep.sum_ellipse(self.data, self.x, self.y, self.a, self.b, self.theta, r=1.0,
                               subpix=0)[0]

    def photutils_sums(self, geometry) -> np.ndarray:
        out = np.empty(len(self.x))
        for k, (x, y, a, b, t) in enumerate(zip(self.x, self.y, self.a, self.b, self.theta)):
            x0, y0 = int(math.floor(x - a)) - 1, int(math.floor(y - a)) - 1
            w = 2 * int(math.ceil(a)) + 4
            # the window's pixel edges relative to the ellipse's centre
            frac = geometry.elliptical_overlap_grid(x0 - 0.5 - x, x0 + w - 0.5 - x,
                                                    y0 - 0.5 - y, y0 + w - 0.5 - y,
                                                    w, w, a, b, t, 1, 1)
            out[k] = float(np.sum(frac * self.data[y0:y0 + w, x0:x0 + w]))
        return out


def bench_apertures(table: Table, repeats: int) -> None:
    geometry, sep = optional("photutils.geometry"), optional("sep")
    n = 2000
    ap = Apertures(n)
    fns = [ap.trovel_sums]
    if sep is not None:
        fns.append(lambda: ap.sep_sums(sep))
    if geometry is not None:
        fns.append(lambda: ap.photutils_sums(geometry))
    t = medians(fns, repeats)
    exact = ap.trovel_sums()
    scenario = f"{n} elliptical aperture sums (a 3-8 px) on 2048^2"
    table.add(scenario, "trovel.photometry, one shape per source", t[0], n, "aperture", FAMILY,
              "the 2000 Ellipse shapes built and measured in one native call")
    k = 1
    if sep is not None:
        rel = np.abs(ap.sep_sums(sep) / exact - 1).max()
        table.add(scenario, "sep.sum_ellipse(subpix=0)", t[k], n, "aperture", FAMILY,
                  f"exact overlap, sums only (no fractions), one call for all; max relative "
                  f"|diff| of the sums {rel:.1e}")
        k += 1
    else:
        table.skip(scenario, "sep.sum_ellipse", FAMILY, "not installed")
    if geometry is not None:
        rel = np.abs(ap.photutils_sums(geometry) / exact - 1).max()
        table.add(scenario, "photutils elliptical_overlap_grid per window", t[k], n, "aperture",
                  FAMILY, f"exact fractions per window, times the data; max relative |diff| "
                  f"of the sums {rel:.1e}")
    else:
        table.skip(scenario, "photutils elliptical_overlap_grid", FAMILY, "not installed")


def run(table: Table, repeats: int) -> None:
    bench_large(table, repeats)
    bench_apertures(table, repeats)
