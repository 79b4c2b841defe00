"""The exact renderer on a telescope pupil (annulus and four vanes), beside
the output-write floor, the product-of-coverages route, photutils' exact
annulus and hcipy's supersampled pupil; on per-pixel footprints beside
reading the six arrays it uses; a disc into a reused output beside filling
it; a small window per call; and two threads beside one."""
from __future__ import annotations

import math

import numpy as np

import trovel
from harness import Table, medians, optional
from trovel import Pixels

FAMILY = "exact render (pupil; on footprints)"
OBSCURATION, STRUTS, OVERSAMPLING = 0.3, 4, 8


class Pupil:
    """A pupil filling 0.95 of a size x size unit grid centred on the origin."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.diameter = 0.95 * size
        self.width = size / 200
        self.shape = trovel.pupil(self.diameter, obscuration=OBSCURATION, struts=STRUTS,
                                  strut_width=self.width)
        self.annulus = (trovel.Disc((0, 0), self.diameter / 2)
                        - trovel.Disc((0, 0), OBSCURATION * self.diameter / 2))

    def grid(self) -> Pixels:
        return Pixels.grid((self.size, self.size), center=(0.0, 0.0))

    def render(self, threads: int = 1) -> np.ndarray:
        return trovel.render(self.shape, self.grid(), threads=threads)

    def vanes(self) -> list[trovel.Strut]:
        """The vanes as trovel.pupil makes them: from half a width behind the
        centre to a width beyond the rim."""
        start, end = -0.5 * self.width, self.diameter / 2 + self.width
        mid = 0.5 * (start + end)
        return [trovel.Strut.across((mid * math.cos(a), mid * math.sin(a)), a, self.width,
                                    end - start)
                for a in (2 * math.pi * k / STRUTS for k in range(STRUTS))]

    def product_of_coverages(self) -> np.ndarray:
        g = self.grid()
        out = trovel.circle_coverage(g, (0.0, 0.0), self.diameter / 2)
        out -= trovel.circle_coverage(g, (0.0, 0.0), OBSCURATION * self.diameter / 2)
        for vane in self.vanes():
            out *= 1.0 - trovel.strut_coverage(g, vane)
        return out

    def photutils_annulus(self, geometry) -> np.ndarray:
        h = self.size / 2
        outer = geometry.circular_overlap_grid(-h, h, -h, h, self.size, self.size,
                                               self.diameter / 2, 1, 1)
        outer -= geometry.circular_overlap_grid(-h, h, -h, h, self.size, self.size,
                                                OBSCURATION * self.diameter / 2, 1, 1)
        return outer

    def hcipy_rows(self, hcipy, rows: slice) -> np.ndarray:
        """hcipy's 8x8 supersampled pupil on a band of rows of the grid."""
        ny = rows.stop - rows.start
        zero = (-(self.size - 1) / 2, rows.start - (self.size - 1) / 2)
        grid = hcipy.CartesianGrid(hcipy.RegularCoords(1.0, (self.size, ny), zero))
        aperture = hcipy.make_obstructed_circular_aperture(self.diameter, OBSCURATION, STRUTS,
                                                           self.width)
        return np.asarray(hcipy.evaluate_supersampled(aperture, grid, OVERSAMPLING)).reshape(
            ny, self.size)


def bench_pupil(table: Table, repeats: int) -> None:
    geometry, hcipy = optional("photutils.geometry"), optional("hcipy")
    for size in (512, 1024, 2048):
        p = Pupil(size)
        main = size == 2048
        scenario = f"pupil {size}^2 (annulus, 4 vanes)"
        n = size * size
        band = slice(size // 2 - 32, size // 2 + 32)  # 64 rows through the centre
        fns = [p.render, lambda: p.render(threads=2), lambda: np.ones((size, size)),
               p.product_of_coverages, lambda: trovel.render(p.annulus, p.grid())]
        if geometry is not None:
            fns.append(lambda: p.photutils_annulus(geometry))
        if hcipy is not None:
            fns.append(lambda: p.hcipy_rows(hcipy, band))
        t = medians(fns, repeats)
        exact = p.render()
        product = np.abs(p.product_of_coverages() - exact).max()
        table.add(scenario, "trovel.render(pupil), 1 thread", t[0], n, "pixel", FAMILY,
                  "lazy grid; exact arcs and crossings", table=main)
        table.add(scenario, "trovel.render(pupil), 2 threads", t[1], n, "pixel", FAMILY,
                  f"speed-up {t[0] / t[1]:.2f}x on this machine's 2 cores", table=main)
        table.add(scenario, "np.ones((n, n))", t[2], n, "pixel", FAMILY,
                  "the output-write floor", table=main)
        table.add(scenario, "product of coverages", t[3], n, "pixel", FAMILY,
                  f"circle and strut coverages multiplied: chords, and products where two "
                  f"boundaries cross a pixel; max |diff| {product:.1e}", table=main)
        table.add(scenario, "trovel.render(annulus)", t[4], n, "pixel", FAMILY,
                  "the annulus alone, for photutils", table=main)
        k = 5
        if geometry is not None:
            annulus = np.abs(p.photutils_annulus(geometry) - trovel.render(p.annulus, p.grid()))
            table.add(scenario, "photutils annulus (2 exact overlap grids)", t[k], n, "pixel",
                      FAMILY, f"annulus only, exact arcs, square unrotated pixels; max |diff| "
                      f"{annulus.max():.1e} from render(annulus)", table=main)
            k += 1
        elif main:
            table.skip(scenario, "photutils annulus", FAMILY, "not installed")
        if hcipy is not None:
            sampled = np.abs(p.hcipy_rows(hcipy, band) - exact[band]).max()
            table.add(scenario, "hcipy evaluate_supersampled 8x8", t[k], 64 * size, "pixel",
                      FAMILY, f"64 rows through the centre; 64 point samples per pixel; "
                      f"max |diff| {sampled:.1e}", table=main)
        elif main:
            table.skip(scenario, "hcipy evaluate_supersampled", FAMILY, "not installed")


def bench_footprints(table: Table, repeats: int) -> None:
    """The pupil on per-pixel footprints."""
    for size in (1024, 2048):
        footprints(table, repeats, size)


def footprints(table: Table, repeats: int, size: int) -> None:
    """A grid under a radial distortion, whose eight arrays (positions,
    centres, Jacobians) the renderer reads."""
    p = Pupil(size)
    c = np.arange(size, dtype=np.float64) - (size - 1) / 2
    gx, gy = np.meshgrid(c, c)
    k = 2e-8
    f = 1 + k * (gx * gx + gy * gy)
    centres = np.stack([gx * f, gy * f], axis=-1)
    jac = np.empty((size, size, 2, 2))
    jac[..., 0, 0] = f + 2 * k * gx * gx
    jac[..., 0, 1] = jac[..., 1, 0] = 2 * k * gx * gy
    jac[..., 1, 1] = f + 2 * k * gy * gy
    positions = np.stack([gx, gy], axis=-1)
    pixels = Pixels.from_arrays(positions, centres, jac)
    arrays = pixels.footprints()   # the six the renderer reads: centres and Jacobians
    out = np.empty((size, size))

    def read_six() -> None:
        for a in arrays:
            np.add.reduce(a)

    def new_pixels() -> None:
        trovel.render(p.shape, Pixels.from_arrays(positions, centres, jac), out=out)

    t = medians([lambda: trovel.render(p.shape, pixels, out=out), read_six,
                 lambda: trovel.render(p.shape, pixels), new_pixels], repeats)
    scenario, main = f"pupil on footprints {size}^2", size == 2048
    table.add(scenario, "trovel.render(pupil, from_arrays)", t[2], size * size, "pixel",
              FAMILY, "radially distorted footprints, new array", table=main)
    table.add(scenario, "trovel.render(..., out=)", t[0], size * size, "pixel",
              FAMILY, "into a reused output; the pixel set keeps the bounds of its runs of "
              "footprints, found by its first render", table=main)
    table.add(scenario, "Pixels.from_arrays, then render(out=)", t[3], size * size, "pixel",
              FAMILY, "a new pixel set each call: the arrays copied, and the runs' bounds "
              "found again", table=main)
    table.add(scenario, "numpy: read the six arrays once", t[1], size * size, "pixel",
              FAMILY, f"np.add.reduce over each (centres, Jacobians): the read floor; "
              f"render into out= takes {t[0] / t[1]:.2f}x it", table=main)


def bench_disc_into_out(table: Table, repeats: int) -> None:
    """A disc of radius 200 px on a 4096^2 grid into a reused output: nearly
    all of it is runs of 0 and 1, so the floor is filling the output."""
    size = 4096
    disc = trovel.Disc((size / 2 + 0.3, size / 2 - 0.4), 200.0)
    grid = Pixels.grid((size, size))
    out = np.zeros((size, size))
    t = medians([lambda: trovel.render(disc, grid, out=out), lambda: out.fill(1.0)], repeats)
    scenario = f"disc r=200 into out= {size}^2"
    table.add(scenario, "trovel.render(Disc, out=)", t[0], size * size, "pixel", FAMILY,
              f"{t[0] / t[1]:.2f}x out.fill(1.0); streaming stores for large outputs")
    table.add(scenario, "out.fill(1.0)", t[1], size * size, "pixel", FAMILY,
              "the floor: writing the output once")


def bench_small_window(table: Table, repeats: int) -> None:
    """A 12x12 window around a disc of radius 5 px, as photometry of one
    source renders it: the per-call cost, the same shape object each time."""
    disc = trovel.Disc((0.3, 0.2), 5.0)
    grid = Pixels.grid((12, 12), center=(0.0, 0.0))
    calls = 2000

    def many() -> None:
        for _ in range(calls):
            trovel.render(disc, grid)

    t = medians([many], repeats)
    table.add("render 12x12 (disc r=5)", "trovel.render, per call", t[0] / calls, 144, "pixel",
              FAMILY, f"{t[0] / calls * 1e6:.1f} us per call, the shape's description "
              "built once and reused")


def bench_threads(table: Table, repeats: int) -> None:
    """The pupil on 4096^2 into a reused output, one and two threads."""
    p = Pupil(4096)
    grid = p.grid()
    out = np.zeros((4096, 4096))
    t = medians([lambda: trovel.render(p.shape, grid, out=out),
                 lambda: trovel.render(p.shape, grid, out=out, threads=2),
                 lambda: out.fill(1.0)], repeats)
    scenario = "pupil 4096^2, threads"
    table.add(scenario, "trovel.render(pupil, out=), 1 thread", t[0], 4096 ** 2, "pixel", FAMILY,
              "into a reused output")
    table.add(scenario, "trovel.render(pupil, out=), 2 threads", t[1], 4096 ** 2, "pixel",
              FAMILY, f"{t[0] / t[1]:.2f}x one thread; out.fill(1.0) takes {t[2] * 1e3:.1f} ms "
              "(the memory's write speed bounds both)")


def run(table: Table, repeats: int) -> None:
    bench_pupil(table, repeats)
    bench_footprints(table, repeats)
    bench_disc_into_out(table, repeats)
    bench_small_window(table, repeats)
    bench_threads(table, repeats)
