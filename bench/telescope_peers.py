"""Real telescope pupils: the ELT's 798 segments on a 2048² grid, rendered
exactly, beside the output-write floor and hcipy's 8×8 supersampling of its
own ELT generator; and every preset of `trovel.telescopes` rendered on a
1024² grid, its total beside its exact area and beside hcipy's 8×8 total of
the same telescope.

`run(table, repeats)` adds the timings to the bench's table and the totals
as the page docs/telescopes_table.rst.  hcipy takes seconds to tens of
seconds a pupil, so it is timed by one call, not a median, and its totals
come from one call each.

    python bench/telescope_peers.py      # the totals alone, printed
"""
from __future__ import annotations

import inspect
import math
import sys
import time
from dataclasses import dataclass
from typing import Any

import numpy as np

import trovel
from harness import Table, medians, optional
from trovel import Pixels, telescopes

FAMILY = "telescope pupils"
SIZE, TOTALS_SIZE, OVERSAMPLING = 2048, 1024, 8


@dataclass(frozen=True)
class Peer:
    """A preset, the grid's extent that holds it (m), its nominal diameter
    (m) and hcipy's generator of the same telescope, with the arguments
    that give the preset's geometry."""

    name: str
    extent: float
    diameter: float
    generator: str
    arguments: tuple[tuple[str, Any], ...] = ()


PEERS = [
    Peer("elt", 40.5, 39.146, "make_elt_aperture"),
    Peer("tmt", 30.5, 30.0, "make_tmt_aperture"),
    Peer("gmt", 25.8, 25.448, "make_gmt_aperture"),
    Peer("luvoir_a", 15.3, 15.0, "make_luvoir_a_aperture"),
    # hcipy widens Keck's gaps tenfold unless told otherwise
    Peer("keck", 11.2, 10.95, "make_keck_aperture", (("gap_padding", 1),)),
    Peer("jwst", 6.8, 6.603, "make_jwst_aperture"),
    Peer("vlt", 8.2, 8.0, "make_vlt_aperture"),
    Peer("subaru", 8.1, 7.95, "make_subaru_aperture"),
    Peer("magellan", 6.7, 6.5, "make_magellan_aperture"),
    Peer("hale", 5.2, 5.08, "make_hale_aperture"),
    Peer("habex", 4.1, 4.0, "make_habex_aperture"),
    Peer("hst", 2.5, 2.4, "make_hst_aperture"),
]


def grid(extent: float, n: int) -> Pixels:
    return Pixels.grid((n, n), center=(0.0, 0.0), scale=extent / n)


def hcipy_image(hcipy: Any, peer: Peer, n: int) -> np.ndarray:
    """hcipy's 8x8 supersampled pupil on the same n x n grid (pixel centres
    at the same points, rows along +y)."""
    aperture = getattr(hcipy, peer.generator)(**dict(peer.arguments))
    pupil_grid = hcipy.make_pupil_grid(n, peer.extent)
    sampled = hcipy.evaluate_supersampled(aperture, pupil_grid, OVERSAMPLING)
    return np.asarray(sampled).reshape(n, n)


def bench_elt(table: Table, repeats: int, hcipy: Any) -> None:
    peer = PEERS[0]
    shape, pixels = telescopes.elt(), grid(peer.extent, SIZE)
    scenario, n = f"ELT {SIZE}^2 (798 segments)", SIZE * SIZE
    t = medians([lambda: trovel.render(shape, pixels),
                 lambda: trovel.render(shape, pixels, threads=2),
                 lambda: trovel.render(telescopes.elt(), pixels),
                 lambda: np.ones((SIZE, SIZE))], repeats)
    exact = trovel.render(shape, pixels)
    total = (exact * pixels.areas()).sum() / telescopes.collecting_area(shape) - 1
    table.add(scenario, "trovel.render(telescopes.elt()), 1 thread", t[0], n, "pixel", FAMILY,
              f"798 hexagons less 6 spiders, exact; total - exact area: {total:+.1e} relative")
    table.add(scenario, "trovel.render, 2 threads", t[1], n, "pixel", FAMILY,
              f"speed-up {t[0] / t[1]:.2f}x on this machine's 2 cores")
    table.add(scenario, "telescopes.elt() built, then rendered", t[2], n, "pixel", FAMILY,
              "a new shape each call: its native description built again")
    table.add(scenario, "np.ones((n, n))", t[3], n, "pixel", FAMILY, "the output-write floor")
    if hcipy is None:
        table.skip(scenario, "hcipy evaluate_supersampled 8x8", FAMILY, "not installed")
        return
    start = time.perf_counter()
    sampled = hcipy_image(hcipy, peer, SIZE)
    seconds = time.perf_counter() - start
    diff = np.abs(sampled - exact)
    table.add(scenario, "hcipy make_elt_aperture, 8x8 supersampled", seconds, n, "pixel", FAMILY,
              f"one call, not a median; 64 point samples per pixel; max |diff| {diff.max():.1e},"
              f" {np.count_nonzero(diff > 1e-3)} pixels off by more than 1e-3")


@dataclass(frozen=True)
class Total:
    peer: Peer
    segments: int | None
    exact: float
    rendered: float
    sampled: float     # nan without hcipy
    worst_pixel: float

    def cells(self) -> list[str]:
        p = self.peer
        skipped = math.isnan(self.sampled)
        return [f"``{p.name}``", f"{p.diameter:g}", f"{p.extent:g}",
                "-" if self.segments is None else str(self.segments),
                f"{self.exact:.6f}", f"{self.rendered / self.exact - 1:+.1e}",
                "-" if skipped else f"{self.sampled:.4f}",
                "-" if skipped else f"{self.sampled / self.exact - 1:+.3%}",
                "-" if skipped else f"{self.worst_pixel:.3f}"]


HEADS = ["preset", "D (m)", "grid width (m)", "segments", "exact area (m²)",
         "rendered total - exact", "hcipy 8×8 total (m²)", "hcipy - exact",
         "hcipy's largest pixel error"]


def total(peer: Peer, hcipy: Any) -> Total:
    build = getattr(telescopes, peer.name)
    shape, pixels = build(), grid(peer.extent, TOTALS_SIZE)
    image = trovel.render(shape, pixels)
    segmented = "segments" in inspect.signature(build).parameters
    sampled, worst = math.nan, math.nan
    if hcipy is not None:
        hc = hcipy_image(hcipy, peer, TOTALS_SIZE)
        sampled, worst = float(hc.sum() * pixels.areas()), float(np.abs(hc - image).max())
    return Total(peer, len(build(segments=True)) if segmented else None,
                 telescopes.collecting_area(shape), float((image * pixels.areas()).sum()),
                 sampled, worst)


def totals_rst(rows: list[Total]) -> str:
    lines = [".. Written by `make bench` (bench/telescope_peers.py); do not edit by hand.", "",
             f"Each preset rendered on a {TOTALS_SIZE}² grid that holds it (pixel side: the "
             f"grid's width over {TOTALS_SIZE}), beside its exact area "
             f"(``collecting_area``) and hcipy's {OVERSAMPLING}×{OVERSAMPLING} supersampled total "
             "of the same telescope on the same grid; the last column is the largest "
             "difference of one of hcipy's pixels from the exact fraction.", "",
             ".. list-table::", "   :header-rows: 1", ""]
    for cells in [HEADS] + [r.cells() for r in rows]:
        lines += ["   * - " + cells[0]] + [f"     - {c}" for c in cells[1:]]
    return "\n".join(lines) + "\n"


def totals(hcipy: Any) -> list[Total]:
    rows = []
    for peer in PEERS:
        rows.append(total(peer, hcipy))
        print("  " + "  ".join(rows[-1].cells()), file=sys.stderr, flush=True)
    return rows


def run(table: Table, repeats: int) -> None:
    hcipy = optional("hcipy")
    bench_elt(table, repeats, hcipy)
    table.pages["telescopes_table.rst"] = totals_rst(totals(hcipy))


if __name__ == "__main__":
    print(totals_rst(totals(optional("hcipy"))))
