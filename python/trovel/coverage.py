"""Exact fractional coverage of pixel footprints by edges, circles and struts.

A pixel is a unit square around its position in the pixel grid; a 2x2
Jacobian carries it into the edge plane, where it becomes a parallelogram
footprint around its footprint centre (see `trovel.grid` for the grid's
conventions).  The functions here give, per pixel, the exact fraction of that
footprint on one side of a straight edge, inside a circle (whose rim is taken
as straight across each footprint), or inside a strut.

Each function checks its arguments and makes one call of the native driver
in `trovel._kernels`, which evaluates a lazy grid row by row (filling the
runs its quick tests settle, measuring the rest) or per-pixel footprints in
pieces, with the interpreter lock released and ``threads`` threads; the
result has the same bits whatever the thread count, and the same bits as
`_trovel`'s callables on the materialised arrays.  The output never shares
memory with an input: no aliasing is accepted.
"""
from __future__ import annotations

import typing
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from . import _kernels
from ._checks import FloatArray
from .grid import Pixels
from .shapes import Strut

__all__ = ["Pixels", "circle_coverage", "edge_coverage", "strut_coverage"]


def _returned(out: Any, res: FloatArray) -> FloatArray:
    return res if out is None else typing.cast(FloatArray, out)


# The drivers of a window of a lazy grid, by name, as a Dask task names them.
_DRIVERS: dict[str, Any] = {"circle": _kernels.circle_coverage, "strut": _kernels.strut_coverage,
            "edge": _kernels.edge_coverage}


def grid_tile(driver: str, args: tuple[float, ...], affine: Any, rows: tuple[int, int],
              cols: tuple[int, int], *, threads: int = 1) -> FloatArray:
    """Rows [r0, r1) by columns [c0, c1) of a lazy grid under `affine`, by
    the driver `driver` ("circle", "strut" or "edge") with its arguments as
    the public function checked them.  Each pixel's value depends only on
    its row, its column and the map, so tiles put together are the whole
    result, bit for bit.

    Examples
    --------
    >>> grid = ((9.0, 0.0), ((1.0, 0.0), (0.0, 1.0)))
    >>> grid_tile("circle", (0.0, 0.0, 10.0), grid, (0, 1), (0, 3)).round(12)
    array([[1. , 0.5, 0. ]])
    """
    n = chk.threads(threads)
    window, shape = chk.tile("affine", affine, rows, cols)
    res = chk.new_array("the tile", shape, np.float64, given_by="rows and cols")
    _DRIVERS[chk.keyword("driver", driver, tuple(_DRIVERS))](window, *args, res, n, True)
    return res


def edge_coverage(pixels: Pixels, point: npt.ArrayLike, direction: npt.ArrayLike, *,
                  out: FloatArray | None = None, threads: int = 1) -> FloatArray:
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

    threads : int, optional
        The work is split over this many threads (at most 64 are used) with
        the interpreter lock released; the result has the same bits for any
        count.

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
    n = chk.threads(threads)
    if pt.shape == (2,):
        x0, y0 = chk.pair("point", pt)
        dx, dy = chk.pair("direction", direction, nonzero=True)
        pix = chk.parallelograms(chk.pixel_set(pixels), "edge_coverage")
        res, view = pix.result(out)
        _kernels.edge_coverage(pix.native, x0, y0, dx, dy, view, n, out is None)
        return _returned(out, res)
    dirs = chk.array("direction", direction)
    pix = chk.parallelograms(chk.pixel_set(pixels), "edge_coverage")
    pt, dirs = chk.pairs_per_item(("point", "direction"), (pt, dirs), pix.shape)
    chk.nonzero_pairs("direction", dirs)
    x0s, y0s, dxs, dys = (np.ascontiguousarray(a[..., k]).reshape(-1)
                          for a in (pt, dirs) for k in (0, 1))
    res, view = pix.result(out, pt, dirs)
    _kernels.edges_coverage(pix.native, x0s, y0s, dxs, dys, view, n, out is None)
    return _returned(out, res)


def circle_coverage(pixels: Pixels, center: npt.ArrayLike, radius: float, *,
                    out: FloatArray | None = None, threads: int = 1) -> FloatArray:
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

    threads : int, optional
        The work is split over this many threads (at most 64 are used) with
        the interpreter lock released; the result has the same bits for any
        count.

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
    n = chk.threads(threads)
    pix = chk.parallelograms(chk.pixel_set(pixels), "circle_coverage")
    chk.nonnegative("radius", r)
    res, view = pix.result(out)
    _kernels.circle_coverage(pix.native, cx, cy, r, view, n, out is None)
    return _returned(out, res)


def strut_coverage(pixels: Pixels, strut: Strut, *, out: FloatArray | None = None,
                   threads: int = 1) -> FloatArray:
    """Fraction of each footprint inside a strut.

    The strut is the band between its edge lines, limited to the disc of
    diameter ``strut.length`` about ``strut.center``; the cut at that disc's
    rim is sharp, decided by the footprint centre alone.  (`clip_to_strut`
    ends the same band at straight end lines ``length / 2`` either side of
    ``center``: make struts longer than what they cross and the two agree.)

    Parameters
    ----------
    pixels : Pixels
    strut : Strut
        The band, its centre and its length.
    out : ndarray of float64, optional
        Where the fractions are written (C-contiguous, writable, of shape
        ``pixels.shape`` and apart from the pixels' arrays).

    threads : int, optional
        The work is split over this many threads (at most 64 are used) with
        the interpreter lock released; the result has the same bits for any
        count.

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
    line1, line2, center, length = chk.instance("strut", strut, Strut).checked()
    n = chk.threads(threads)
    pix = chk.parallelograms(chk.pixel_set(pixels), "strut_coverage")
    res, view = pix.result(out)
    _kernels.strut_coverage(pix.native, *line1, *line2, *center, length, view, n,
                            out is None)
    return _returned(out, res)
