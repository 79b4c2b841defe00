"""Mesh cuts of a million small triangles, public and native, beside a numpy
prefilter plus pyclipr (Clipper2) on each straddling triangle.

The peer is what a user would write: numpy sorts the triangles into kept,
dropped and straddling by their vertices, and Clipper2 cuts each straddling
triangle.  Its per-triangle Python loop is slow, so it runs on every k-th
straddling triangle and its time is scaled to all of them; its cut areas are
compared per triangle with trovel's.
"""
from __future__ import annotations

import math

import numpy as np

import _trovel
import trovel
from harness import Table, medians, optional, peak_added

FAMILY = "mesh cut (1 triangle = 1 unit)"
SCALE = 2 ** 20   # Clipper2 works on integers: coordinates rounded to 2^-20
CIRCLE_SIDES = 1024


def addr(a: np.ndarray) -> int:
    return int(a.ctypes.data)


def small_triangles(n: int) -> np.ndarray:
    rng = np.random.default_rng(1)
    centres = rng.uniform(-100, 100, (n, 1, 2))
    return np.ascontiguousarray((centres + rng.uniform(-0.5, 0.5, (n, 3, 2))).reshape(n, 6))


def areas(t: np.ndarray) -> np.ndarray:
    return 0.5 * np.abs((t[:, 2] - t[:, 0]) * (t[:, 5] - t[:, 1])
                        - (t[:, 4] - t[:, 0]) * (t[:, 3] - t[:, 1]))


class Cut:
    """One cut (circle or strut): the public call, the native call into a
    reused buffer, the numpy prefilter and the Clipper2 cut of one triangle."""

    def __init__(self, kind: str, tris: np.ndarray) -> None:
        self.kind, self.tris, self.n = kind, tris, tris.shape[0]
        self.counters = np.zeros(2, np.int32)
        if kind == "circle":
            self.center, self.radius = (0.0, 0.0), 80.0
            self.fan, self.native = 4, _trovel.clip_triangles_to_circle
            self.args = (0.0, 0.0, 80.0, 1, 0.0)
            theta = np.arange(CIRCLE_SIDES) * (2 * math.pi / CIRCLE_SIDES)
            # A polygon through the circle's points: its chords, as trovel's cut.
            self.clip_path = np.column_stack([80 * np.cos(theta), 80 * np.sin(theta)])
        else:
            self.strut = trovel.Strut.across((0, 0), 0.3, 20.0, 150.0)
            self.fan, self.native = 7, _trovel.clip_triangles_to_strut
            self.args = (*self.strut.native_edges(), 0.0, 0.0, 150.0, 0.0)
            d, w, h = np.array([math.cos(0.3), math.sin(0.3)]), 10.0, 75.0
            left = np.array([-d[1], d[0]])
            self.clip_path = np.array([-h * d - w * left, h * d - w * left,
                                       h * d + w * left, -h * d + w * left])
        self.buf = np.zeros((self.fan * self.n, 6))

    def public(self) -> trovel.ClipResult:
        if self.kind == "circle":
            return trovel.clip_to_circle(self.tris, self.center, self.radius)
        return trovel.clip_to_strut(self.tris, self.strut)

    def native_call(self, tris: np.ndarray, out: np.ndarray) -> int:
        c = addr(self.counters)
        return int(self.native(addr(tris), tris.shape[0], *self.args, addr(out), c, c + 4))

    def native_into_buffer(self) -> int:
        return self.native_call(self.tris, self.buf)

    def straddling(self) -> np.ndarray:
        """Indices of the triangles with vertices on both sides (numpy)."""
        x, y = self.tris[:, 0::2], self.tris[:, 1::2]
        if self.kind == "circle":
            inside = x * x + y * y < self.radius ** 2
        else:
            d = (math.cos(0.3), math.sin(0.3))
            along, across = x * d[0] + y * d[1], -x * d[1] + y * d[0]
            inside = (np.abs(along) < 75.0) & (np.abs(across) < 10.0)
        count = inside.sum(axis=1)
        return np.flatnonzero((count > 0) & (count < 3))

    def clipper_area(self, pyclipr, tri: np.ndarray) -> float:
        pc = pyclipr.Clipper()
        pc.scaleFactor = SCALE
        pc.addPath(tri.reshape(3, 2), pyclipr.Subject)
        pc.addPath(self.clip_path, pyclipr.Clip)
        op = pyclipr.Intersection if self.kind == "circle" else pyclipr.Difference
        return sum(abs(_ring_area(p)) for p in pc.execute(op, pyclipr.FillRule.NonZero))

    def trovel_area(self, tri: np.ndarray) -> float:
        out = np.empty((self.fan, 6))
        m = self.native_call(np.ascontiguousarray(tri.reshape(1, 6)), out)
        return float(areas(out[:m]).sum())


def _ring_area(p: np.ndarray) -> float:
    p = np.asarray(p)
    x, y = p[:, 0], p[:, 1]
    return 0.5 * float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))


def run(table: Table, repeats: int) -> None:
    pyclipr = optional("pyclipr")
    for n in (100_000, 1_000_000):
        tris = small_triangles(n)
        for kind in ("circle", "strut"):
            cut = Cut(kind, tris)
            main = n == 1_000_000
            scenario = f"cut by a {kind}, {n:,} triangles"
            fns = [cut.public, cut.native_into_buffer]
            if pyclipr is not None:
                straddle = cut.straddling()
                step = max(1, straddle.size // 500)
                sample = tris[straddle[::step]]

                def clip_sample() -> None:
                    for t in sample:
                        cut.clipper_area(pyclipr, t)
                fns += [cut.straddling, clip_sample]
            t = medians(fns, repeats if not main else max(3, repeats - 2))
            result = cut.public()
            peak = peak_added(cut.public) / result.triangles.nbytes
            table.add(scenario, f"trovel.clip_to_{kind}", t[0], n, "triangle", FAMILY,
                      f"{result.clipped:,} cut, {result.triangles.shape[0]:,} written; "
                      f"tracemalloc peak {peak:.2f}x the output (counts untouched reserve)",
                      table=main)
            table.add(scenario, f"native clip_triangles_to_{kind}", t[1], n, "triangle",
                      FAMILY, f"into a reused {cut.fan}n-record buffer", table=main)
            if pyclipr is None:
                if main:
                    table.skip(scenario, "numpy prefilter + pyclipr", FAMILY, "not installed")
                continue
            # The peer's time for all straddling triangles: the prefilter plus
            # the sample's Clipper2 time scaled by the share it stands for,
            # each timed on its own (a difference of two times would carry
            # the noise of both).
            t_peer = t[2] + t[3] * straddle.size / sample.shape[0]
            diff = max(abs(cut.clipper_area(pyclipr, s) - cut.trovel_area(s)) for s in sample)
            shape = (f"the circle as a {CIRCLE_SIDES}-gon (trovel cuts along chords too)"
                     if kind == "circle" else "the strut rectangle")
            table.add(scenario, "numpy prefilter + pyclipr per straddler", t_peer, n, "triangle",
                      FAMILY, f"{straddle.size:,} straddle, every {step}th timed and scaled; "
                      f"{shape}; coordinates rounded to 2^-20; max |area diff| {diff:.1e}",
                      table=main, series=f"numpy prefilter + pyclipr, {kind}")
