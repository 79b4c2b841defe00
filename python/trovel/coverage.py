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
import functools
import typing
from typing import Any

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk
from . import spans
from ._checks import Affine, FloatArray
from .grid import PixelBlock, Pixels, Plan, check_affine, tile_blocks
from .shapes import Edges, Strut

__all__ = ["Pixels", "circle_coverage", "edge_coverage", "strut_coverage"]

BlockFunction = Callable[[PixelBlock, FloatArray, int, int], None]
# Fills a window of a lazy grid as runs: False, having written nothing, when
# it cannot be sure of them.
Filler = Callable[[spans.Window, FloatArray], bool]


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
    res = (chk.new_array("the result", plan.shape, np.float64, given_by="pixels") if out is None
           else chk.output("out", out, plan.shape, np.float64))
    chk.disjoint("out", res, *plan.arrays, *inputs)
    flat = res.reshape(-1)
    for start, stop, block in plan.blocks():
        run(block, flat[start:stop], start, stop)
    return res if out is None else typing.cast(FloatArray, out)


# --- whole windows of a lazy grid, filled as runs where that is sure -----------------------

def circle_filler(cx: float, cy: float, r: float) -> Filler:
    return functools.partial(spans.circle, center=(cx, cy), radius=r,
                             measure=functools.partial(circle_block, cx=cx, cy=cy, r=r))


def edge_filler(line: tuple[float, float, float, float]) -> Filler:
    return functools.partial(spans.edge, line=line,
                             measure=functools.partial(edge_block, line=line))


def strut_filler(length: float, edges: Edges) -> Filler:
    return functools.partial(spans.strut, length=length, edges=edges,
                             measure=functools.partial(strut_block, length=length, edges=edges))


def _cover(plan: Plan, out: Any, run: BlockFunction, filler: Filler) -> FloatArray:
    """A lazy grid filled as runs when that is sure and pays, else (and any
    other pixel set) block by block."""
    if plan.affine is None:
        return _evaluate(plan, out, run)
    res = (chk.new_array("the result", plan.shape, np.float64, given_by="pixels") if out is None
           else chk.output("out", out, plan.shape, np.float64))
    ny, nx = plan.shape
    if not spans.fill(filler, spans.Window(plan.affine, (0, ny), (0, nx)), res):
        _evaluate(plan, res, run)
    return res if out is None else typing.cast(FloatArray, out)


def grid_tile(run: BlockFunction, shape: tuple[int, int], affine: Affine,
              rows: tuple[int, int], cols: tuple[int, int], *,
              out: np.ndarray | None = None, filler: Filler | None = None) -> np.ndarray:
    """Rows [r0, r1) by columns [c0, c1) of the lazy grid of `shape` under
    `affine`, evaluated by `run(block, out_block, start, stop)` (the same
    block function the whole grid goes through; start and stop count in the
    tile's flattened result), or as runs by `filler` where it is sure, so
    that tiles put together are the whole result bit for bit.  Only the map
    and the ranges are needed: a tile builds its own footprints."""
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
    if filler is not None and spans.fill(filler, spans.Window(affine, (r0, r1), (c0, c1)), res):
        return res if out is None else out
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
        return _cover(plan, out, lambda b, o, s, e: edge_block(b, o, line), edge_filler(line))
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
    return _cover(plan, out, lambda b, o, s, e: circle_block(b, o, cx, cy, r),
                  circle_filler(cx, cy, r))


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
    return _cover(plan, out, lambda b, o, s, e: strut_block(b, o, length, edges),
                  strut_filler(length, edges))
