"""Exact fractional coverage of pixel footprints by edges, circles and struts.

A pixel is a unit square around its position in the pixel grid; a 2x2
Jacobian carries it into the edge plane, where it becomes a parallelogram
footprint around its footprint centre (see `trovel.grid` for the grid's
conventions).  The functions here give, per pixel, the exact fraction of that
footprint on one side of a straight edge, inside a circle (whose rim is taken
as straight across each footprint), or inside a strut.

Each capability has one block function, ``f(block, out_block, ...)``, that
evaluates a `PixelBlock` into a contiguous run of the result; the public
functions loop it over the blocks of a pixel set (a lazy grid in blocks of
rows that stay in cache, per-pixel footprints in one block).  The output
never shares memory with an input: no aliasing is accepted.
"""
from __future__ import annotations

from collections.abc import Callable
import math
import typing
from typing import Any

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk
from ._checks import Affine, FloatArray
from .grid import (BLOCK_PIXELS, PixelBlock, Pixels, Plan, check_affine, grid_pixels,
                   tile_blocks)
from .shapes import Edges, Strut

__all__ = ["Pixels", "circle_coverage", "edge_coverage", "strut_coverage"]

BlockFunction = Callable[[PixelBlock, FloatArray, int, int], None]


# --- one block function per capability --------------------------------------------------

def edge_block(block: PixelBlock, out: FloatArray, line: tuple[float, float, float, float]) -> None:
    """One edge line (x0, y0, dx, dy) for every pixel of the block."""
    px, py, qx, qy, j00, j01, j10, j11 = block.addresses
    x0, y0, dx, dy = line
    # the native pair (a, b) is the direction read as (dy, dx)
    _trovel.pixel_frac(x0, y0, dy, dx, qx, qy, px, py, j00, j01, j10, j11,
                       chk.address(out), block.n)


def edge_lines_block(block: PixelBlock, out: FloatArray, x0: FloatArray, y0: FloatArray,
                     dx: FloatArray, dy: FloatArray) -> None:
    """One edge line per pixel: four arrays of the block's length."""
    px, py, qx, qy, j00, j01, j10, j11 = block.addresses
    a = chk.address
    _trovel.pixel_frac(a(x0), a(y0), a(dy), a(dx), qx, qy, px, py, j00, j01, j10, j11,
                       a(out), block.n)


def circle_block(block: PixelBlock, out: FloatArray, cx: float, cy: float, r: float) -> None:
    px, py, qx, qy, j00, j01, j10, j11 = block.addresses
    _trovel.enclosed_circle(px, py, qx, qy, cx, cy, r, j00, j01, j10, j11,
                            chk.address(out), block.n)


def strut_block(block: PixelBlock, out: FloatArray, length: float, edges: Edges) -> None:
    px, py, qx, qy, j00, j01, j10, j11 = block.addresses
    _trovel.enclosed_strut(px, py, qx, qy, length, *edges, j00, j01, j10, j11,
                           chk.address(out), block.n)


# --- the loop over blocks -----------------------------------------------------------------

def _evaluate(plan: Plan, out: Any, run: BlockFunction, *inputs: FloatArray) -> FloatArray:
    """Step 2 and 3: check the pixels and the output, then run the block
    function over the pixel set's blocks, straight into the output's rows."""
    res = (chk.new_array("the result", plan.shape, np.float64) if out is None
           else chk.output("out", out, plan.shape, np.float64))
    chk.disjoint("out", res, *plan.arrays, *inputs)
    flat = res.reshape(-1)
    for start, stop, block in plan.blocks():
        run(block, flat[start:stop], start, stop)
    return res if out is None else typing.cast(FloatArray, out)


def grid_tile(run: BlockFunction, shape: tuple[int, int], affine: Affine,
              rows: tuple[int, int], cols: tuple[int, int], *,
              out: np.ndarray | None = None) -> np.ndarray:
    """Rows [r0, r1) by columns [c0, c1) of the lazy grid of `shape` under
    `affine`, evaluated by `run(block, out_block, start, stop)` (the same
    block function the whole grid goes through; start and stop count in the
    tile's flattened result), so that tiles put together are the whole
    result bit for bit.  Only the map and the ranges are needed: a tile
    builds its own footprints."""
    ny, nx = chk.int_pair("shape", shape, minimum=0)
    affine = chk.plain_affine(affine)
    check_affine((ny, nx), affine)
    (r0, r1), (c0, c1) = (chk.int_pair(n, v, minimum=0) for n, v in (("rows", rows),
                                                                     ("cols", cols)))
    if not (r0 <= r1 <= ny and c0 <= c1 <= nx):
        raise ValueError(f"rows {rows} and cols {cols} must be ranges within the grid's "
                         f"shape {(ny, nx)}")
    tile = (r1 - r0, c1 - c0)
    res = (chk.new_array("the tile", tile, np.float64) if out is None
           else chk.output("out", out, tile, np.float64))
    flat = res.reshape(-1)
    for start, stop, block in tile_blocks(affine, (r0, r1), (c0, c1)):
        run(block, flat[start:stop], start, stop)
    return res if out is None else out


def edge_coverage(pixels: Pixels, point: npt.ArrayLike, direction: npt.ArrayLike, *,
                  out: FloatArray | None = None) -> FloatArray:
    """Fraction of each footprint to the right of an edge line.

    The line runs through ``point`` along ``direction``; its right side is
    measured.  Give one line for all pixels as two pairs, or one per pixel as
    two arrays of shape ``pixels.shape + (2,)``.  Reversing the direction
    gives one minus the result.

    Parameters
    ----------
    pixels : Pixels
        The footprints to measure.
    point : (float, float) or array_like, shape ``pixels.shape + (2,)``
        A point of the line, in the edge plane; one per pixel as an array.
    direction : (float, float) or array_like, shape ``pixels.shape + (2,)``
        The line's direction ``(dx, dy)``, any non-zero length; one per pixel
        as an array, with the shape of ``point``.
    out : ndarray of float64, shape ``pixels.shape``, optional
        A C-contiguous array to write the result into; it must not share
        memory with ``point``, ``direction`` or the pixels' arrays.

    Returns
    -------
    ndarray of float64, shape ``pixels.shape``
        Each footprint's covered fraction, in [0, 1]; ``out`` when given.

    Raises
    ------
    TypeError
        When ``pixels`` is not a `Pixels`, or an argument is not numeric.
    ValueError
        When a point or direction is not finite, a direction is zero, the
        shapes do not match, or ``out`` is unsuitable.

    Examples
    --------
    >>> g = Pixels.grid((1, 1))
    >>> float(edge_coverage(g, (0.25, 0.0), (0.0, 1.0))[0, 0])
    0.25
    """
    pt = chk.array("point", point)
    if pt.shape == (2,):
        x0, y0 = chk.pair("point", pt)
        dx, dy = chk.pair("direction", direction, nonzero=True)
        plan = Plan(pixels)
        plan.check()
        line = (x0, y0, dx, dy)
        # Rows are filled one Python step each: worth it only for rows of some length.
        if plan.affine is not None and plan.size and plan.shape[1] >= 64:
            return _edge_on_grid(plan, out, line)
        return _evaluate(plan, out, lambda b, o, s, e: edge_block(b, o, line))
    dirs = chk.array("direction", direction)
    plan = Plan(pixels)
    plan.check()
    pt, dirs = chk.pairs_per_item(("point", "direction"), (pt, dirs), plan.shape)
    chk.nonzero_pairs("direction", dirs)
    x0s, y0s, dxs, dys = (np.ascontiguousarray(a[..., k]).reshape(-1)
                          for a in (pt, dirs) for k in (0, 1))

    def run(b: PixelBlock, o: FloatArray, s: int, e: int) -> None:
        edge_lines_block(b, o, x0s[s:e], y0s[s:e], dxs[s:e], dys[s:e])

    return _evaluate(plan, out, run, pt, dirs)


def circle_coverage(pixels: Pixels, center: npt.ArrayLike, radius: float, *,
                    out: FloatArray | None = None) -> FloatArray:
    """Fraction of each footprint inside a circle.

    Footprints near the rim are measured against the rim's tangent at the
    point nearest to their centre: exact for a straight rim, and the
    curvature across one footprint is neglected.

    Parameters
    ----------
    pixels : Pixels
        The footprints to measure.
    center : (float, float)
        The circle's centre in the edge plane.
    radius : float
        The circle's radius, finite and not negative.
    out : ndarray of float64, shape ``pixels.shape``, optional
        A C-contiguous array to write the result into, not sharing memory
        with the pixels' arrays.

    Returns
    -------
    ndarray of float64, shape ``pixels.shape``
        Each footprint's fraction inside the circle; ``out`` when given.

    Raises
    ------
    TypeError
        When ``pixels`` is not a `Pixels`, or ``radius`` is not a real number.
    ValueError
        When ``center`` or ``radius`` is not finite, ``radius`` is negative, or
        ``out`` has the wrong shape, is not contiguous or not writable.

    Examples
    --------
    >>> g = Pixels.grid((1, 3), origin=(9.0, 0.0))
    >>> circle_coverage(g, (0, 0), 10.0).round(12)
    array([[1. , 0.5, 0. ]])
    """
    cx, cy = chk.pair("center", center)
    r = chk.finite("radius", radius)
    plan = Plan(pixels)
    chk.nonnegative("radius", r)
    plan.check()
    # Rows are filled one Python step each: worth it only for rows of some length.
    if plan.affine is not None and plan.size and plan.shape[1] >= 64:
        return _circle_on_grid(plan, out, cx, cy, r)
    return _evaluate(plan, out, lambda b, o, s, e: circle_block(b, o, cx, cy, r))


def _footprint_radius(j00: float, j01: float, j10: float, j11: float) -> float:
    """The largest singular value of a Jacobian, evaluated as the native
    quick tests evaluate it."""
    return (math.sqrt((j00 + j11) * (j00 + j11) + (j01 - j10) * (j01 - j10))
            + math.sqrt((j00 - j11) * (j00 - j11) + (j01 + j10) * (j01 + j10))) * 0.5


def _grid_footprint_radius(plan: Plan) -> float:
    _, ((m00, m01), (m10, m11)) = typing.cast(Affine, plan.affine)
    return _footprint_radius(m00, m01, m10, m11)


class _DiscColumns:
    """The columns of each row of a lazy grid whose footprint centres lie
    within a distance of a point: the squared distance is a quadratic along
    a row.  `slack` is a margin of squared distance far beyond the rounding
    of any such test on this grid (the reach given bounds the distances that
    matter), or None when the numbers are too extreme for one to be sure."""

    def __init__(self, plan: Plan, cx: float, cy: float, reach: float) -> None:
        ny, nx = plan.shape
        (x0, y0), ((m00, m01), (m10, m11)) = typing.cast(Affine, plan.affine)
        i = np.arange(ny, dtype=np.float64)
        self.wx, self.wy = (m01 * i + x0) - cx, (m11 * i + y0) - cy   # column 0, from C
        self.ux, self.uy = m00, m10
        self.uu = m00 * m00 + m10 * m10                            # squared step along a row
        scale = (abs(x0) + abs(y0) + abs(cx) + abs(cy) + reach
                 + (abs(m00) + abs(m10)) * nx + (abs(m01) + abs(m11)) * ny)
        slack = 1e-9 * scale * scale
        self.scale = scale
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


def _circle_spans(plan: Plan, cx: float, cy: float, r: float
                  ) -> tuple[npt.NDArray[np.int64], ...] | None:
    """For each row of a lazy grid, the columns whose footprint centre passes
    the native quick test for "inside" ([in0, in1)) and the columns outside
    [out0, out1) that pass the one for "outside", both found from the
    quadratic that the squared distance is along a row and then narrowed by
    a column and a relative margin far beyond any rounding, so that the
    native code would give exactly 1 or 0 there too.  None when the numbers
    are too extreme for the margin to be sure."""
    ny, nx = plan.shape
    rho = _grid_footprint_radius(plan)
    disc = _DiscColumns(plan, cx, cy, r + rho)
    if disc.slack is None:
        return None
    within, slack = disc.within, disc.slack
    lo, hi = within((r - rho) * (r - rho) - slack)
    in0 = np.clip(np.ceil(lo + 1.0), 0, nx).astype(np.int64)
    in1 = np.clip(np.floor(hi - 1.0) + 1, 0, nx).astype(np.int64)
    in1 = np.maximum(in1, in0)
    lo, hi = within((rho + r) * (rho + r) + slack)
    out0 = np.clip(np.floor(lo - 1.0), 0, nx).astype(np.int64)
    out1 = np.clip(np.ceil(hi + 1.0) + 1, 0, nx).astype(np.int64)
    out1 = np.maximum(out1, out0)
    empty = ~(lo <= hi)          # no column comes near the circle
    out0[empty], out1[empty] = 0, 0
    return in0, in1, out0, out1


def _circle_on_grid(plan: Plan, out: Any, cx: float, cy: float, r: float) -> FloatArray:
    """circle_coverage of a lazy grid at the cost of its rim: rows are
    filled with 1 and 0 where the native quick tests would settle every
    pixel, and only the pixels near the rim are gathered and measured by the
    native code.  Every value has the bits of the whole grid evaluated."""
    res = (chk.new_array("the result", plan.shape, np.float64) if out is None
           else chk.output("out", out, plan.shape, np.float64))
    spans = _circle_spans(plan, cx, cy, r)
    if spans is None:
        _evaluate(plan, res, lambda b, o, s, e: circle_block(b, o, cx, cy, r))
        return res if out is None else typing.cast(FloatArray, out)
    in0, in1, out0, out1 = spans
    res.fill(0.0)
    for row, (a, b) in enumerate(zip(in0.tolist(), in1.tolist())):
        if a < b:
            res[row, a:b] = 1.0
    # The pixels between the two verdicts: [out0, in0) and [in1, out1) of each
    # row (the whole near span when no column is surely inside).
    inside = in0 < in1
    left_end = np.where(inside, in0, out1)
    right_start = np.where(inside, in1, out1)
    # two runs per row, left then right
    starts = np.stack([out0, right_start], 1)
    lengths = np.stack([left_end - out0, out1 - right_start], 1)
    _measure_runs(plan, res, starts, lengths, lambda b, o: circle_block(b, o, cx, cy, r))
    return res if out is None else typing.cast(FloatArray, out)


def _edge_spans(plan: Plan, line: tuple[float, float, float, float]
                ) -> tuple[npt.NDArray[np.int64], ...] | None:
    """For each row of a lazy grid, the columns [near0, near1) whose
    footprints may reach the edge line, and whether the columns before
    (left) and after (right) them lie on its right side.  The side value is
    linear along a row; a footprint lies within its radius of its centre, and
    a column margin and a relative margin far beyond any rounding keep every
    column outside the span wholly on one side, where the native code gives
    exactly 1 or 0.  None when the map is too extreme for the margin to be sure."""
    ny, nx = plan.shape
    (x0, y0), ((m00, m01), (m10, m11)) = typing.cast(Affine, plan.affine)
    px, py, dx, dy = line
    rho, det = _footprint_radius(m00, m01, m10, m11), m00 * m11 - m01 * m10
    if not (rho * rho <= 1e4 * abs(det)):   # far from square: rounding in the grid's units
        return None
    scale = (abs(x0) + abs(y0) + abs(px) + abs(py) + rho
             + (abs(m00) + abs(m10)) * nx + (abs(m01) + abs(m11)) * ny)
    reach = rho * math.sqrt(0.5) + 1e-9 * scale
    if not math.isfinite(reach):
        return None
    length = math.hypot(dx, dy)
    ex, ey = dx / length, dy / length
    i = np.arange(ny, dtype=np.float64)
    # The side value of the centre of column k, a + b k: negative on the right.
    a = ex * ((m11 * i + y0) - py) - ey * ((m01 * i + x0) - px)
    b = ex * m10 - ey * m00
    if b != 0.0:
        lo, hi = np.sort(np.stack([(-reach - a) / b, (reach - a) / b]), axis=0)
        near0 = np.clip(np.floor(lo) - 1, 0, nx).astype(np.int64)
        near1 = np.clip(np.ceil(hi) + 2, 0, nx).astype(np.int64)
        near1 = np.maximum(near1, near0)
    else:   # the line runs along the rows
        touched = np.abs(a) <= reach
        near0 = np.where(touched, 0, nx).astype(np.int64)
        near1 = np.full(ny, nx, dtype=np.int64)
    left = (a < 0.0).astype(np.int64)
    right = (a + b * (nx - 1) < 0.0).astype(np.int64)
    return near0, near1, left, right


def _edge_on_grid(plan: Plan, out: Any, line: tuple[float, float, float, float]) -> FloatArray:
    """edge_coverage of a lazy grid at the cost of the pixels along the line:
    each row is filled with 1 and 0 on either side of the columns that may
    reach it, and only those are gathered and measured by the native code.
    Every value has the bits of the whole grid evaluated."""
    res = (chk.new_array("the result", plan.shape, np.float64) if out is None
           else chk.output("out", out, plan.shape, np.float64))
    spans = _edge_spans(plan, line)
    if spans is None:
        _evaluate(plan, res, lambda b, o, s, e: edge_block(b, o, line))
        return res if out is None else typing.cast(FloatArray, out)
    near0, near1, left, right = spans
    for row, (a, b, lv, rv) in enumerate(zip(near0.tolist(), near1.tolist(), left.tolist(),
                                             right.tolist())):
        res[row, :a] = lv
        res[row, b:] = rv
    _measure_runs(plan, res, near0[:, None], (near1 - near0)[:, None],
                  lambda b, o: edge_block(b, o, line))
    return res if out is None else typing.cast(FloatArray, out)


def _measure_runs(plan: Plan, res: FloatArray, starts: npt.NDArray[np.int64],
                  lengths: npt.NDArray[np.int64],
                  measure: Callable[[PixelBlock, FloatArray], None]) -> None:
    """The native coverage, by `measure(block, values)`, of the runs of
    columns [start, start + length) of each row (one row of `starts` and
    `lengths` per row of the grid), gathered in groups of rows holding about
    a block of pixels each, so that memory stays block-sized however many
    pixels the runs hold."""
    done = np.cumsum(lengths.sum(1))
    if not done.size or not done[-1]:
        return
    cuts = np.searchsorted(done, np.arange(BLOCK_PIXELS, int(done[-1]), BLOCK_PIXELS))
    for r0, r1 in zip([0, *(cuts + 1).tolist()], [*(cuts + 1).tolist(), len(done)]):
        runs, first_at = lengths[r0:r1], starts[r0:r1]
        n = int(runs.sum())
        if not n:
            continue
        row_of = np.repeat(np.arange(r0, r1), runs.sum(1))
        # each run's columns counted up from its start
        first = np.cumsum(runs.reshape(-1)) - runs.reshape(-1)
        cols = np.arange(n) - np.repeat(first - first_at.reshape(-1), runs.reshape(-1))
        block = grid_pixels(typing.cast(Affine, plan.affine), row_of, cols)
        values = chk.new_array("the measured pixels", (n,), np.float64)
        measure(block, values)
        res[row_of, cols] = values


def strut_coverage(pixels: Pixels, strut: Strut, *, out: FloatArray | None = None) -> FloatArray:
    """Fraction of each footprint inside a strut.

    The strut is the band between its edge lines, limited to the disc of
    diameter ``strut.length`` about the midpoint of its two edge points; the
    cut at that disc's rim is sharp, decided by the footprint centre alone.

    Parameters
    ----------
    pixels : Pixels
    strut : Strut
        The band, its centre and its length.
    out : ndarray of float64, optional
        Where the fractions are written (C-contiguous, writable, of shape
        ``pixels.shape`` and apart from the pixels' arrays).

    Returns
    -------
    ndarray of float64
        Of shape ``pixels.shape`` (``out`` when given): each footprint's
        fraction inside the strut.

    Raises
    ------
    TypeError
        When ``pixels`` is not a `Pixels` or ``strut`` not a `Strut`.
    ValueError
        When a field of ``strut`` was changed to a value that is not finite,
        or ``out`` does not fit the pixels.

    Examples
    --------
    >>> s = Strut.across((0, 0), angle=0.0, width=0.6, length=100.0)
    >>> strut_coverage(Pixels.grid((1, 1)), s).round(12)
    array([[0.6]])
    """
    length, edges, _ = chk.instance("strut", strut, Strut).native_args()
    plan = Plan(pixels)
    plan.check()
    # Rows are filled one Python step each: worth it only for rows of some length.
    if plan.affine is not None and plan.size and plan.shape[1] >= 64:
        return _strut_on_grid(plan, out, length, edges)
    return _evaluate(plan, out, lambda b, o, s, e: strut_block(b, o, length, edges))


def _linear_columns(a: npt.NDArray[np.float64], b: float, below: float, above: float
                    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Columns k (real) with below <= a + b k <= above, per row, as [lo, hi]:
    everything or nothing ([-inf, inf] or [inf, -inf]) when b is 0."""
    if b == 0.0:
        held = (below <= a) & (a <= above)
        return np.where(held, -np.inf, np.inf), np.where(held, np.inf, -np.inf)
    lo, hi = (below - a) / b, (above - a) / b
    return (lo, hi) if b > 0.0 else (hi, lo)


def _strut_spans(plan: Plan, length: float, edges: Edges
                 ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None:
    """For each row of a lazy grid, the runs of columns [start, stop) that
    the native code would set to 1 without measuring (two per row), and the
    runs that it may measure (four per row: the two ends of the disc where a
    centre may fall either side of its rim, and the columns near each edge
    line); every other column is 0.  The native quick tests compare each
    edge's side value with twice the footprint radius; the side values are
    linear along a row, and the margins, in columns and relative, lie far
    beyond any rounding.  None when the numbers are too extreme for that."""
    ny, nx = plan.shape
    (x0, y0), ((m00, m01), (m10, m11)) = typing.cast(Affine, plan.affine)
    x1, y1, a1, b1, x2, y2, a2, b2 = edges
    rho, half = _grid_footprint_radius(plan), 0.5 * length
    mx, my = (x2 + x1) * 0.5, (y2 + y1) * 0.5
    disc = _DiscColumns(plan, mx, my, half + math.hypot(x2 - x1, y2 - y1) + rho)
    if disc.slack is None or not (rho * rho <= 1e4 * abs(m00 * m11 - m01 * m10)):
        return None
    i = np.arange(ny, dtype=np.float64)
    cx, cy = m01 * i + x0, m11 * i + y0                  # centre of column 0
    side = []
    for x, y, dy, dx in ((x1, y1, a1, b1), (x2, y2, a2, b2)):
        # the side value dx (qy - y) - dy (qx - x), a + b k along a row
        reach = (2.0 + 1e-9) * rho + 1e-9 * disc.scale * math.hypot(dx, dy)
        if not math.isfinite(reach):
            return None
        side.append((dx * (cy - y) - dy * (cx - x), dx * m10 - dy * m00, reach))
    inf = np.inf

    def columns(lo: npt.NDArray[np.float64], hi: npt.NDArray[np.float64], grow: int
                ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
        # whole columns of [lo, hi], `grow` more each side (fewer when negative)
        start = np.clip(np.ceil(lo) - grow, 0, nx)
        stop = np.clip(np.floor(hi) + 1 + grow, 0, nx)
        empty = ~(lo <= hi)
        start[empty], stop[empty] = 0, 0
        return start.astype(np.int64), np.maximum(stop, start).astype(np.int64)

    def clipped(start: npt.NDArray[np.int64], stop: npt.NDArray[np.int64],
                lo: npt.NDArray[np.int64], hi: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        # the runs [start, stop) within [lo, hi), as (start, stop) pairs
        a = np.maximum(start, lo)
        return np.stack([a, np.maximum(np.minimum(stop, hi), a)], 1)

    in0, in1 = columns(*disc.within(half * half - disc.slack), -1)      # surely in the disc
    out0, out1 = columns(*disc.within(half * half + disc.slack), 1)     # maybe in the disc
    inside = in0 < in1
    measured = [np.stack([out0, np.where(inside, in0, out1)], 1),
                np.stack([np.where(inside, in1, out1), out1], 1)]
    for a, b, reach in side:    # columns near each edge line
        measured.append(clipped(*columns(*_linear_columns(a, b, -reach, reach), 1), out0, out1))
    # In the disc, side values clearly of opposite signs: 1.
    (a1s, b1s, r1), (a2s, b2s, r2) = side
    ones = []
    for first, second in (((-inf, -r1), (r2, inf)), ((r1, inf), (-inf, -r2))):
        lo1, hi1 = _linear_columns(a1s, b1s, *first)
        lo2, hi2 = _linear_columns(a2s, b2s, *second)
        ones.append(clipped(*columns(np.maximum(lo1, lo2), np.minimum(hi1, hi2), 0), in0, in1))
    return np.stack(ones, 1), np.stack(measured, 1)


def _strut_on_grid(plan: Plan, out: Any, length: float, edges: Edges) -> FloatArray:
    """strut_coverage of a lazy grid at the cost of the pixels near its
    edges and the rim of its disc: each row is filled with 0 and with runs of
    1 where the native quick tests would settle every pixel, and only the
    rest is gathered and measured by the native code.  Every value has the
    bits of the whole grid evaluated."""
    res = (chk.new_array("the result", plan.shape, np.float64) if out is None
           else chk.output("out", out, plan.shape, np.float64))
    spans = _strut_spans(plan, length, edges)
    if spans is None:
        _evaluate(plan, res, lambda b, o, s, e: strut_block(b, o, length, edges))
        return res if out is None else typing.cast(FloatArray, out)
    ones, measured = spans
    res.fill(0.0)
    for row, runs in enumerate(ones.tolist()):
        for a, b in runs:
            if a < b:
                res[row, a:b] = 1.0
    _measure_runs(plan, res, measured[:, :, 0], measured[:, :, 1] - measured[:, :, 0],
                  lambda b, o: strut_block(b, o, length, edges))
    return res if out is None else typing.cast(FloatArray, out)
