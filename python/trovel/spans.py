"""Coverage of a window of a lazy grid at the cost of the pixels near a
boundary.

Along a row of a lazy grid the footprint centres step by one column of the
map, so the squared distance to a point is a quadratic in the column and an
edge line's side value is linear in it.  The native quick tests settle a
pixel from such values alone; here they are solved for whole runs of
columns, with a margin in columns and a relative margin far beyond any
rounding, so that the runs are filled with the 1 and 0 the native code
would give, and only the pixels left between them are gathered and measured
by the native code.  Every value keeps the bits of the pixel evaluated on
its own.  Each filler returns False, having written nothing, when the
numbers are too extreme for the margins to be sure; the caller then
evaluates the window block by block.
"""
from __future__ import annotations

from collections.abc import Callable
import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from ._checks import Affine, FloatArray
from .grid import BLOCK_PIXELS, PixelBlock, grid_pixels
from .shapes import Edges

IntArray = npt.NDArray[np.int64]
Measure = Callable[[PixelBlock, FloatArray], None]

# Rows are filled one Python step each: worth it only for rows of some length.
MIN_WIDTH = 64


class Window(NamedTuple):
    """Rows [r0, r1) by columns [c0, c1) of the lazy grid under `affine`."""
    affine: Affine
    rows: tuple[int, int]
    cols: tuple[int, int]


def _grid_radius(window: Window) -> float:
    """The largest singular value of the grid's map, the radius of its
    footprints, evaluated as the native quick tests evaluate it."""
    _, ((m00, m01), (m10, m11)) = window.affine
    return (math.sqrt((m00 + m11) * (m00 + m11) + (m01 - m10) * (m01 - m10))
            + math.sqrt((m00 - m11) * (m00 - m11) + (m01 + m10) * (m01 + m10))) * 0.5


def _row_starts(window: Window) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The centre of column 0 of each row of the window."""
    (x0, y0), ((_, m01), (_, m11)) = window.affine
    i = np.arange(*window.rows, dtype=np.float64)
    return m01 * i + x0, m11 * i + y0


def _scale(window: Window, *lengths: float) -> float:
    """A bound on every coordinate the tests meet, for their relative margin."""
    (x0, y0), ((m00, m01), (m10, m11)) = window.affine
    return (abs(x0) + abs(y0) + sum(abs(v) for v in lengths)
            + (abs(m00) + abs(m10)) * window.cols[1] + (abs(m01) + abs(m11)) * window.rows[1])


def _columns(window: Window, lo: npt.NDArray[np.float64], hi: npt.NDArray[np.float64],
             grow: int) -> tuple[IntArray, IntArray]:
    """The whole columns of the real ranges [lo, hi] of each row, `grow` more
    on each side (fewer when negative), within the window; empty where
    lo > hi."""
    c0, c1 = window.cols
    start = np.clip(np.ceil(lo) - grow, c0, c1)
    stop = np.clip(np.floor(hi) + 1 + grow, c0, c1)
    empty = ~(lo <= hi)
    start[empty], stop[empty] = c0, c0
    return start.astype(np.int64), np.maximum(stop, start).astype(np.int64)


def _clipped(start: IntArray, stop: IntArray, lo: IntArray, hi: IntArray) -> IntArray:
    """The runs [start, stop) within [lo, hi), as (start, stop) pairs."""
    a = np.maximum(start, lo)
    return np.stack([a, np.maximum(np.minimum(stop, hi), a)], 1)


def _linear_columns(a: npt.NDArray[np.float64], b: float, below: float, above: float
                    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Columns k (real) with below <= a + b k <= above, per row, as [lo, hi]:
    everything or nothing ([-inf, inf] or [inf, -inf]) when b is 0."""
    if b == 0.0:
        held = (below <= a) & (a <= above)
        return np.where(held, -np.inf, np.inf), np.where(held, np.inf, -np.inf)
    lo, hi = (below - a) / b, (above - a) / b
    return (lo, hi) if b > 0.0 else (hi, lo)


class _DiscColumns:
    """The columns of each row whose footprint centres lie within a distance
    of a point.  `slack` is a margin of squared distance far beyond the
    rounding of any such test in the window (`reach` bounds the distances
    that matter), or None when the numbers are too extreme for one to be
    sure."""

    def __init__(self, window: Window, cx: float, cy: float, reach: float) -> None:
        _, ((m00, _), (m10, _)) = window.affine
        qx, qy = _row_starts(window)
        self.wx, self.wy = qx - cx, qy - cy
        self.ux, self.uy = m00, m10
        self.uu = m00 * m00 + m10 * m10                  # squared step along a row
        self.scale = _scale(window, cx, cy, reach)
        slack = 1e-9 * self.scale * self.scale
        self.slack = slack if math.isfinite(slack) and self.uu > 1e-6 * slack else None

    def within(self, t: float) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Columns k (real) with |k u + w|^2 <= t, as [lo, hi]; lo is inf
        where none is."""
        wx, wy, uu = self.wx, self.wy, self.uu
        uw = self.ux * wx + self.uy * wy
        disc = uw * uw - uu * (wx * wx + wy * wy - t)
        root = np.sqrt(np.maximum(disc, 0.0))
        lo, hi = (-uw - root) / uu, (-uw + root) / uu
        lo[disc < 0.0] = np.inf
        return lo, hi


def _fill_runs(window: Window, res: FloatArray, runs: IntArray, value: float) -> None:
    """Sets the runs (one row of (start, stop) pairs per row of the window,
    in the grid's columns) of `res`, the window's result, to `value`."""
    c0 = window.cols[0]
    for row, pairs in enumerate(runs.tolist()):
        for a, b in pairs:
            if a < b:
                res[row, a - c0:b - c0] = value


def _measure_runs(window: Window, res: FloatArray, runs: IntArray, measure: Measure) -> None:
    """The native coverage, by `measure(block, values)`, of the runs (as for
    `_fill_runs`), gathered in groups of rows holding about a block of pixels
    each, so that memory stays block-sized however many pixels the runs hold."""
    (r0, _), (c0, _) = window.rows, window.cols
    lengths = runs[:, :, 1] - runs[:, :, 0]
    done = np.cumsum(lengths.sum(1))
    if not done.size or not done[-1]:
        return
    cuts = np.searchsorted(done, np.arange(BLOCK_PIXELS, int(done[-1]), BLOCK_PIXELS))
    for g0, g1 in zip([0, *(cuts + 1).tolist()], [*(cuts + 1).tolist(), len(done)]):
        group, first_at = lengths[g0:g1].reshape(-1), runs[g0:g1, :, 0].reshape(-1)
        n = int(group.sum())
        if not n:
            continue
        row_of = np.repeat(np.arange(g0, g1), lengths[g0:g1].sum(1))
        # each run's columns counted up from its start
        first = np.cumsum(group) - group
        cols = np.arange(n) - np.repeat(first - first_at, group)
        block = grid_pixels(window.affine, row_of + r0, cols)
        values = chk.new_array("the measured pixels", (n,), np.float64)
        measure(block, values)
        res[row_of, cols - c0] = values


def circle(window: Window, res: FloatArray, *, center: tuple[float, float], radius: float,
           measure: Measure) -> bool:
    """Fills the window's result for the circle: 1 where the centre passes
    the native quick test for "inside", 0 beyond the one for "outside", and
    the rim between them measured."""
    cx, cy = center
    rho = _grid_radius(window)
    disc = _DiscColumns(window, cx, cy, radius + rho)
    if disc.slack is None:
        return False
    in0, in1 = _columns(window, *disc.within((radius - rho) ** 2 - disc.slack), -1)
    out0, out1 = _columns(window, *disc.within((radius + rho) ** 2 + disc.slack), 2)
    res.fill(0.0)
    _fill_runs(window, res, np.stack([in0, in1], 1)[:, None, :], 1.0)
    # The rim: [out0, in0) and [in1, out1) of each row (the whole of
    # [out0, out1) when no column is surely inside).
    inside = in0 < in1
    rim = np.stack([np.stack([out0, np.where(inside, in0, out1)], 1),
                    np.stack([np.where(inside, in1, out1), out1], 1)], 1)
    _measure_runs(window, res, rim, measure)
    return True


def edge(window: Window, res: FloatArray, *, line: tuple[float, float, float, float],
         measure: Measure) -> bool:
    """Fills the window's result for one edge line (x0, y0, dx, dy): 1 and 0
    on either side of the columns whose footprints may reach it, which are
    measured.  A footprint lies within rho sqrt(2)/2 of its centre."""
    _, ((m00, m01), (m10, m11)) = window.affine
    px, py, dx, dy = line
    rho = _grid_radius(window)
    if not (rho * rho <= 1e4 * abs(m00 * m11 - m01 * m10)):   # far from square
        return False
    reach = rho * math.sqrt(0.5) + 1e-9 * _scale(window, px, py, rho)
    if not math.isfinite(reach):
        return False
    length = math.hypot(dx, dy)
    ex, ey = dx / length, dy / length
    qx, qy = _row_starts(window)
    # The signed distance of the centre of column k, a + b k: negative on the right.
    a = ex * (qy - py) - ey * (qx - px)
    b = ex * m10 - ey * m00
    near0, near1 = _columns(window, *_linear_columns(a, b, -reach, reach), 2)
    c0, c1 = window.cols
    # The sides of the far columns, read at the window's ends, where they
    # are surely far; a row that no column reaches lies on one side.
    before = np.stack([np.full_like(near0, c0), near0], 1)[:, None, :]
    after = np.stack([near1, np.full_like(near1, c1)], 1)[:, None, :]
    res.fill(0.0)
    _fill_runs(window, res, np.where((a + b * c0 < 0.0)[:, None, None], before, 0), 1.0)
    _fill_runs(window, res, np.where((a + b * (c1 - 1) < 0.0)[:, None, None], after, 0), 1.0)
    _measure_runs(window, res, np.stack([near0, near1], 1)[:, None, :], measure)
    return True


def strut(window: Window, res: FloatArray, *, length: float, edges: Edges,
          measure: Measure) -> bool:
    """Fills the window's result for a strut: 0 outside its disc, 1 where
    both side values are clearly of opposite signs, and the rest (the ends
    of the disc where a centre may fall either side of its rim, and the
    columns near each edge line) measured.  The native quick tests compare
    each edge's side value with twice the footprint radius."""
    _, ((m00, m01), (m10, m11)) = window.affine
    x1, y1, a1, b1, x2, y2, a2, b2 = edges
    rho, half = _grid_radius(window), 0.5 * length
    disc = _DiscColumns(window, (x2 + x1) * 0.5, (y2 + y1) * 0.5,
                        half + math.hypot(x2 - x1, y2 - y1) + rho)
    if disc.slack is None or not (rho * rho <= 1e4 * abs(m00 * m11 - m01 * m10)):
        return False
    qx, qy = _row_starts(window)
    side = []
    for x, y, dy, dx in ((x1, y1, a1, b1), (x2, y2, a2, b2)):
        # the side value dx (qy - y) - dy (qx - x), a + b k along a row
        reach = (2.0 + 1e-9) * rho + 1e-9 * disc.scale * math.hypot(dx, dy)
        if not math.isfinite(reach):
            return False
        side.append((dx * (qy - y) - dy * (qx - x), dx * m10 - dy * m00, reach))
    in0, in1 = _columns(window, *disc.within(half * half - disc.slack), -1)   # surely in
    out0, out1 = _columns(window, *disc.within(half * half + disc.slack), 1)  # maybe in
    inside = in0 < in1
    measured = [np.stack([out0, np.where(inside, in0, out1)], 1),
                np.stack([np.where(inside, in1, out1), out1], 1)]
    for a, b, reach in side:    # the columns near each edge line
        near = _columns(window, *_linear_columns(a, b, -reach, reach), 1)
        measured.append(_clipped(*near, out0, out1))
    # In the disc, side values clearly of opposite signs: 1.
    (s1, t1, r1), (s2, t2, r2) = side
    inf = np.inf
    ones = []
    for first, second in (((-inf, -r1), (r2, inf)), ((r1, inf), (-inf, -r2))):
        lo1, hi1 = _linear_columns(s1, t1, *first)
        lo2, hi2 = _linear_columns(s2, t2, *second)
        both = _columns(window, np.maximum(lo1, lo2), np.minimum(hi1, hi2), 0)
        ones.append(_clipped(*both, in0, in1))
    res.fill(0.0)
    _fill_runs(window, res, np.stack(ones, 1), 1.0)
    _measure_runs(window, res, np.stack(measured, 1), measure)
    return True


def fill(filler: Callable[..., bool], window: Window, res: FloatArray) -> bool:
    """`filler(window, res, ...)` when the window is wide enough to pay."""
    (r0, r1), (c0, c1) = window.rows, window.cols
    return r1 > r0 and c1 - c0 >= MIN_WIDTH and filler(window, res)
