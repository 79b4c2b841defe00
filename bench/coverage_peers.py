"""Single-shape coverage on a grid, end to end, beside the native call and
photutils' exact circle overlap.

The public calls build their grid (`Pixels.grid`) and return a new array
inside the timing; the native calls run on arrays prepared beforehand (the
grid materialised once) into a reused output.  The exact reference is
`trovel.render` of the same disc or rectangle: true arcs, exact fractions.
"""
from __future__ import annotations

import numpy as np

import _trovel
import trovel
from harness import Table, medians, optional, peak_added
from trovel import Pixels

FAMILY = "coverage (circle, strut, edge)"
# Why a new array gains less from a second thread than a reused one: the
# first write to each fresh page waits for the kernel to clear it, and here
# two threads clearing fresh pages are little faster than one.
FRESH_PAGES = ("; with a new array the kernel's clearing of its fresh pages, which a "
               "second thread barely speeds on this machine, bounds the gain")


def addr(a: np.ndarray) -> int:
    return int(a.ctypes.data)


class Scene:
    """A size x size unit grid with pixel (row i, column k) centred on (k, i),
    a disc and a strut across it, and the grid's arrays prepared for the
    native calls (only when asked: at 4096^2 they take 1 GiB)."""

    def __init__(self, size: int, prepared: bool) -> None:
        self.size = size
        self.center = (0.4998 * size + 0.3, 0.5001 * size - 0.4)
        self.radius = 0.37 * size
        self.vane = (0.4, size / 34, 0.73 * size)  # angle, width, length
        self.strut = trovel.Strut.across(self.center, *self.vane)
        self.out = np.zeros(size * size)
        if prepared:
            arrays = Pixels.grid((size, size)).materialize()
            px, py = arrays.positions()
            qx, qy, *jac = arrays.footprints()
            self.pq = tuple(map(addr, (px, py, qx, qy)))
            self.jac = tuple(map(addr, jac))
            self.keep = (arrays, px, py, qx, qy, jac)

    def grid(self) -> Pixels:
        return Pixels.grid((self.size, self.size))

    def circle(self, threads: int = 1) -> np.ndarray:
        return trovel.circle_coverage(self.grid(), self.center, self.radius, threads=threads)

    def circle_into(self, threads: int = 1) -> np.ndarray:
        out = self.out.reshape(self.size, self.size)
        return trovel.circle_coverage(self.grid(), self.center, self.radius, out=out,
                                      threads=threads)

    def off_grid(self, threads: int = 1, into: bool = False) -> np.ndarray:
        """A circle far off the grid: the driver's whole work is writing
        zeros, so its gain from a second thread bounds that of every
        coverage written the same way (into a new array, or `into` a reused
        one)."""
        far = -10.0 * self.size
        out = self.out.reshape(self.size, self.size) if into else None
        return trovel.circle_coverage(self.grid(), (far, far), 1.0, threads=threads, out=out)

    def native_circle(self) -> None:
        _trovel.enclosed_circle(*self.pq, *self.center, self.radius, *self.jac, addr(self.out),
                                self.size ** 2)

    def exact_disc(self) -> np.ndarray:
        return trovel.render(trovel.Disc(self.center, self.radius), self.grid())

    def photutils_disc(self, geometry) -> np.ndarray:
        n, (cx, cy) = self.size, self.center
        return geometry.circular_overlap_grid(-0.5 - cx, n - 0.5 - cx, -0.5 - cy, n - 0.5 - cy,
                                              n, n, self.radius, 1, 1)


def bench_circle(table: Table, repeats: int) -> None:
    geometry = optional("photutils.geometry")
    for size in (512, 1024, 4096):
        s = Scene(size, prepared=True)
        scenario = f"circle coverage {size}^2"
        fns = [s.circle, s.native_circle, s.exact_disc, s.circle_into,
               lambda: np.ones((size, size)), lambda: s.circle(threads=2),
               lambda: s.circle_into(threads=2), lambda: s.off_grid(), lambda: s.off_grid(threads=2),
               lambda: s.off_grid(into=True), lambda: s.off_grid(threads=2, into=True)]
        if geometry is not None:
            fns.append(lambda: s.photutils_disc(geometry))
        t = medians(fns, repeats if size < 4096 else max(3, repeats - 2))
        exact = s.exact_disc()
        chord = np.abs(s.circle() - exact).max()
        main = size == 4096
        extra = ""
        if main:
            extra = f"; tracemalloc peak {peak_added(s.circle) / s.out.nbytes:.2f}x the output"
        table.add(scenario, "trovel.circle_coverage(Pixels.grid)", t[0], size ** 2, "pixel",
                  FAMILY, f"grid + call, new array; chords across the rim: max |diff| "
                  f"{chord:.1e} from exact{extra}", table=main)
        table.add(scenario, "native enclosed_circle", t[1], size ** 2, "pixel", FAMILY,
                  "prepared arrays (64 B/pixel), reused output", table=main)
        table.add(scenario, "trovel.circle_coverage(grid, out=)", t[3], size ** 2, "pixel",
                  FAMILY, "grid + call into a reused output", table=main)
        table.add(scenario, "trovel.render(Disc)", t[2], size ** 2, "pixel", FAMILY,
                  "exact arcs: the reference", table=main)
        table.add(scenario, "np.ones((n, n))", t[4], size ** 2, "pixel", FAMILY,
                  "the output-write floor", table=main)
        table.add(scenario, "trovel.circle_coverage(threads=2)", t[5], size ** 2, "pixel",
                  FAMILY, f"two threads, the same bits: {t[0] / t[5]:.2f}x one thread",
                  table=main)
        table.add(scenario, "trovel.circle_coverage(out=, threads=2)", t[6], size ** 2,
                  "pixel", FAMILY, f"{t[3] / t[6]:.2f}x one thread into the same output"
                  f"{FRESH_PAGES if main else ''}", table=main)
        table.add(scenario, "trovel.circle_coverage, circle off the grid, threads=2", t[8],
                  size ** 2, "pixel", FAMILY, f"the floor of a new array: every pixel 0, one "
                  f"settled run per row; {t[7] / t[8]:.2f}x one thread ({t[7] * 1e3:.1f} ms)",
                  table=main)
        table.add(scenario, "the same into out=, threads=2", t[10], size ** 2, "pixel", FAMILY,
                  f"the floor of a reused output: the memory's write speed; {t[9] / t[10]:.2f}x "
                  f"one thread ({t[9] * 1e3:.1f} ms)", table=main)
        if geometry is not None:
            diff = np.abs(s.photutils_disc(geometry) - exact).max()
            table.add(scenario, "photutils circular_overlap_grid exact", t[11], size ** 2,
                      "pixel", FAMILY, f"exact arcs, square unrotated pixels only; max |diff| "
                      f"{diff:.1e}", table=main)
        elif main:
            table.skip(scenario, "photutils circular_overlap_grid", FAMILY, "not installed")


def bench_strut_edge(table: Table, repeats: int) -> None:
    size = 4096
    s = Scene(size, prepared=True)
    n = size * size
    edges = s.strut.native_edges()
    px, py, qx, qy = s.pq
    point, direction = s.center, (0.6, 0.8)

    out = s.out.reshape(size, size)

    def strut(threads: int = 1, into: bool = False) -> np.ndarray:
        return trovel.strut_coverage(s.grid(), s.strut, threads=threads,
                                     out=out if into else None)

    def native_strut() -> None:
        _trovel.enclosed_strut(*s.pq, s.strut.length, *edges, *s.jac, addr(s.out), n)

    # The strut coverage has no end lines: it is 0 where a footprint centre
    # lies outside the disc of diameter `length`.  Within that disc it is a
    # band, rendered exactly as a rectangle longer than the grid.
    angle, width, length = s.vane
    rect = trovel.Rectangle(s.center, angle, width, 4.0 * size)
    k = np.arange(size, dtype=np.float64)
    within = np.hypot(k[None, :] - s.center[0], k[:, None] - s.center[1]) < 0.5 * length - 1

    def exact_strut() -> np.ndarray:
        return trovel.render(rect, s.grid())

    def edge(threads: int = 1, into: bool = False) -> np.ndarray:
        return trovel.edge_coverage(s.grid(), point, direction, threads=threads,
                                    out=out if into else None)

    def native_edge() -> None:
        _trovel.pixel_frac(*point, 0.8, 0.6, qx, qy, px, py, *s.jac, addr(s.out), n)

    t = medians([strut, native_strut, exact_strut, edge, native_edge, lambda: strut(2),
                 lambda: edge(2), lambda: strut(1, True), lambda: strut(2, True),
                 lambda: edge(1, True), lambda: edge(2, True)], max(3, repeats - 2))
    diff = np.abs(strut() - exact_strut())[within].max()
    scenario = f"strut coverage {size}^2"
    table.add(scenario, "trovel.strut_coverage(Pixels.grid)", t[0], n, "pixel", FAMILY,
              f"grid + call, new array; ends a sharp disc of pixel centres; max |diff| "
              f"{diff:.1e} from exact inside it")
    table.add(scenario, "trovel.strut_coverage(threads=2)", t[5], n, "pixel", FAMILY,
              f"two threads, the same bits: {t[0] / t[5]:.2f}x one thread")
    table.add(scenario, "trovel.strut_coverage(out=)", t[7], n, "pixel", FAMILY,
              "grid + call into a reused output")
    table.add(scenario, "trovel.strut_coverage(out=, threads=2)", t[8], n, "pixel", FAMILY,
              f"{t[7] / t[8]:.2f}x one thread into the same output{FRESH_PAGES}")
    table.add(scenario, "native enclosed_strut", t[1], n, "pixel", FAMILY,
              "prepared arrays, reused output")
    table.add(scenario, "trovel.render(Rectangle)", t[2], n, "pixel", FAMILY,
              "the band, exact, as a rectangle longer than the grid")
    scenario = f"edge coverage {size}^2"
    table.add(scenario, "trovel.edge_coverage(Pixels.grid)", t[3], n, "pixel", FAMILY,
              "grid + call, new array")
    table.add(scenario, "trovel.edge_coverage(threads=2)", t[6], n, "pixel", FAMILY,
              f"two threads, the same bits: {t[3] / t[6]:.2f}x one thread")
    table.add(scenario, "trovel.edge_coverage(out=)", t[9], n, "pixel", FAMILY,
              "grid + call into a reused output")
    table.add(scenario, "trovel.edge_coverage(out=, threads=2)", t[10], n, "pixel", FAMILY,
              f"{t[9] / t[10]:.2f}x one thread into the same output{FRESH_PAGES}")
    table.add(scenario, "native pixel_frac", t[4], n, "pixel", FAMILY,
              "prepared arrays, reused output")


def run(table: Table, repeats: int) -> None:
    bench_circle(table, repeats)
    bench_strut_edge(table, repeats)
