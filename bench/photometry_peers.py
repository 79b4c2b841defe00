"""Aperture photometry of 10,000 sources on a 4096^2 image, beside photutils
(exact overlap, one and two threads) and SEP (subpix=0, exact for circles
and ellipses): circles of radius 5 px, ellipses (a = 6, b = 3, angle 0.4)
when trovel has them, and annuli from 8 to 12 px.  Every tool sums the
same image at the same positions; each note says how far its sums lie from
trovel's (exact to rounding) on the scale of sum(|image| f).

`run(table, repeats)` adds the rows to the bench's table (bench/run.py).
"""
from __future__ import annotations

from typing import Any

import numpy as np

import trovel
from harness import Table, medians, optional

FAMILY = "photometry (per source)"
SIZE, SOURCES = 4096, 10_000


def scene() -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(26)
    image = rng.normal(100.0, 10.0, (SIZE, SIZE))
    positions = rng.uniform(20, SIZE - 21, (SOURCES, 2))
    return image, positions


def note_vs(name: str, theirs: np.ndarray, ours: np.ndarray, scale: np.ndarray) -> str:
    return f"{name}; max |diff| / sum(|image| f) {np.max(np.abs(theirs - ours) / scale):.1e}"


def add_trovel(table: Table, scenario: str, t: list[float], main: bool) -> None:
    table.add(scenario, "trovel.photometry, 1 thread", t[0], SOURCES, "source", FAMILY,
              "one native call, each source on its own window in closed form", table=main)
    table.add(scenario, "trovel.photometry, 2 threads", t[1], SOURCES, "source", FAMILY,
              f"the same bits; {t[0] / t[1]:.2f}x one thread", table=main)


def bench_circles(table: Table, repeats: int, image: np.ndarray, positions: np.ndarray,
                  photutils: Any, sep: Any) -> None:
    scenario = "photometry 10k circles r=5"
    disc = trovel.Disc((0.0, 0.0), 5.0)
    fns = [lambda: trovel.photometry(image, disc, positions),
           lambda: trovel.photometry(image, disc, positions, threads=2)]
    if photutils is not None:
        ap = photutils.CircularAperture(positions, r=5.0)
        fns += [lambda: photutils.AperturePhotometry(image, ap, method="exact").flux,
                lambda: photutils.AperturePhotometry(image, ap, method="exact", n_threads=2).flux]
    if sep is not None:
        fns.append(lambda: sep.sum_circle(image, positions[:, 0], positions[:, 1], 5.0,
                                          subpix=0)[0])
    t = medians(fns, repeats)
    ours = fns[0]().sum
    scale = trovel.photometry(np.abs(image), disc, positions).sum
    add_trovel(table, scenario, t, True)
    k = 2
    if photutils is not None:
        d = note_vs("exact circular overlap", np.asarray(fns[2]()), ours, scale)
        table.add(scenario, "photutils exact, 1 thread", t[2], SOURCES, "source", FAMILY, d)
        table.add(scenario, "photutils exact, 2 threads", t[3], SOURCES, "source", FAMILY,
                  f"n_threads=2; {t[2] / t[3]:.2f}x its one thread")
        k = 4
    else:
        table.skip(scenario, "photutils", FAMILY, "not installed")
    if sep is not None:
        d = note_vs("subpix=0: exact circle overlap in float arithmetic", fns[k](), ours, scale)
        table.add(scenario, "SEP sum_circle(subpix=0)", t[k], SOURCES, "source", FAMILY, d)
    else:
        table.skip(scenario, "SEP", FAMILY, "not installed")


def bench_annuli(table: Table, repeats: int, image: np.ndarray, positions: np.ndarray,
                 photutils: Any) -> None:
    scenario = "photometry 10k annuli r=8..12"
    ring = trovel.Disc((0.0, 0.0), 12.0) - trovel.Disc((0.0, 0.0), 8.0)
    fns = [lambda: trovel.photometry(image, ring, positions),
           lambda: trovel.photometry(image, ring, positions, threads=2)]
    if photutils is not None:
        ap = photutils.CircularAnnulus(positions, r_in=8.0, r_out=12.0)
        fns.append(lambda: photutils.AperturePhotometry(image, ap, method="exact").flux)
    t = medians(fns, repeats)
    add_trovel(table, scenario, t, False)
    if photutils is not None:
        ours = fns[0]().sum
        scale = trovel.photometry(np.abs(image), ring, positions).sum
        table.add(scenario, "photutils CircularAnnulus exact", t[2], SOURCES, "source", FAMILY,
                  note_vs("exact overlap of both rims", np.asarray(fns[2]()), ours, scale),
                  table=False)


def bench_ellipses(table: Table, repeats: int, image: np.ndarray, positions: np.ndarray,
                   photutils: Any, sep: Any) -> None:
    scenario = "photometry 10k ellipses 6x3"
    if not hasattr(trovel, "Ellipse"):
        table.skip(scenario, "trovel.photometry(Ellipse)", FAMILY, "no Ellipse in this trovel")
        return
    ellipse = trovel.Ellipse((0.0, 0.0), 6.0, 3.0, 0.4)
    fns = [lambda: trovel.photometry(image, ellipse, positions),
           lambda: trovel.photometry(image, ellipse, positions, threads=2)]
    if photutils is not None:
        ap = photutils.EllipticalAperture(positions, 6.0, 3.0, theta=0.4)
        fns.append(lambda: photutils.AperturePhotometry(image, ap, method="exact").flux)
    if sep is not None:
        fns.append(lambda: sep.sum_ellipse(image, positions[:, 0], positions[:, 1], 6.0, 3.0,
                                           0.4, 1.0, subpix=0)[0])
    t = medians(fns, repeats)
    add_trovel(table, scenario, t, False)
    ours = fns[0]().sum
    scale = trovel.photometry(np.abs(image), ellipse, positions).sum
    k = 2
    if photutils is not None:
        table.add(scenario, "photutils EllipticalAperture exact", t[k], SOURCES, "source",
                  FAMILY, note_vs("exact elliptical overlap", np.asarray(fns[k]()), ours, scale),
                  table=False)
        k += 1
    if sep is not None:
        table.add(scenario, "SEP sum_ellipse(subpix=0)", t[k], SOURCES, "source", FAMILY,
                  note_vs("subpix=0", fns[k](), ours, scale), table=False)


def run(table: Table, repeats: int) -> None:
    image, positions = scene()
    photutils = optional("photutils.aperture")
    sep = optional("sep")
    bench_circles(table, repeats, image, positions, photutils, sep)
    bench_annuli(table, repeats, image, positions, photutils)
    bench_ellipses(table, repeats, image, positions, photutils, sep)
