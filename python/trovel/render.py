"""Exact rendering of aperture shapes onto pixel sets.

For each pixel, :func:`render` gives the fraction of its footprint's area
inside the shape, with circles as true arcs and exact wherever several
boundaries cross one footprint (within 1e-12 of the exact fraction).
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _checks as chk
from . import _kernels
from ._checks import Affine, FloatArray
from .apertures import Description, Shape, _shape

if TYPE_CHECKING:
    from .grid import Pixels


def _threads(threads: Any) -> int:
    return chk.int32("threads", threads, minimum=1)


def _native_description(shape: Shape) -> Description:
    """The shape's flat form as the kernel reads it: C-contiguous and aligned
    (a form that travelled through pickle, as under Dask, may be neither)."""
    kinds, starts, counts, coords, program = shape.description()
    return (np.require(kinds, np.int32, ["C", "A"]), np.require(starts, np.int32, ["C", "A"]),
            np.require(counts, np.int32, ["C", "A"]), np.require(coords, np.float64, ["C", "A"]),
            np.require(program, np.int32, ["C", "A"]))


def render_grid_tile(shape: Shape, affine: Affine, rows: tuple[int, int], cols: tuple[int, int],
                     *, out: FloatArray | None = None, threads: int = 1) -> FloatArray:
    """Rows ``[r0, r1)`` and columns ``[c0, c1)`` of the lazy affine grid
    ``affine = ((x0, y0), ((m00, m01), (m10, m11)))``.  Each pixel's value
    depends only on its row, its column and the map, so tiles put together
    are the whole image, bit for bit.

    Examples
    --------
    >>> from trovel import Disc
    >>> grid = ((-1.0, -1.0), ((1.0, 0.0), (0.0, 1.0)))
    >>> render_grid_tile(Disc((0, 0), 5.0), grid, (0, 2), (0, 3)).tolist()
    [[1.0, 1.0, 1.0], [1.0, 1.0, 1.0]]
    """
    desc = _native_description(_shape("shape", shape))
    try:
        (x0, y0), ((m00, m01), (m10, m11)) = affine
    except (TypeError, ValueError):
        raise TypeError("affine must be ((x0, y0), ((m00, m01), (m10, m11)))") from None
    x0, y0, m00, m01, m10, m11 = (chk.finite("affine", v) for v in (x0, y0, m00, m01, m10, m11))
    if m00 * m11 - m01 * m10 == 0.0:
        raise ValueError("affine must have a non-singular matrix")
    r0, r1 = (chk.int32("rows", v) for v in rows)
    c0, c1 = (chk.int32("cols", v) for v in cols)
    if r1 < r0 or c1 < c0:
        raise ValueError(f"rows and cols must be increasing ranges, got {rows} and {cols}")
    shape_out = (r1 - r0, c1 - c0)
    res = (chk.new_array("the image", shape_out, np.float64, given_by="pixels") if out is None
           else chk.output("out", out, shape_out, np.float64))
    _kernels.grid(*desc, x0, y0, m00, m01, m10, m11, r0, r1, c0, c1, res, _threads(threads))
    return res


def render(shape: Shape, pixels: Pixels, *, out: FloatArray | None = None,
           threads: int = 1) -> FloatArray:
    """Exact fraction of each pixel's footprint inside ``shape``.

    Circles are true arcs, and the fraction is exact wherever several
    boundaries cross one footprint, up to rounding (within 1e-12).  Blocks
    of pixels that no boundary crosses are filled without per-pixel work.

    Parameters
    ----------
    shape : Shape
        A `Disc`, `Polygon` or `Rectangle`, or any combination of them by
        ``|``, ``&`` and ``-``.
    pixels : Pixels
        A lazy affine grid (`Pixels.grid`) or per-pixel footprints
        (`Pixels.from_arrays`).
    out : ndarray of float64, shape ``pixels.shape``, optional
        Written in place and returned; must not share memory with the
        footprints.
    threads : int, optional
        The work is split over this many threads (at most 64 are used) while
        the interpreter lock is released; the result is the same, bit for
        bit, for any count.

    Returns
    -------
    ndarray of float64, shape ``pixels.shape``
        Each footprint's fraction inside the shape, in [0, 1].

    Raises
    ------
    TypeError, ValueError
        When ``shape`` or ``pixels`` is of the wrong kind, ``out`` does not
        fit, or ``threads`` is not a positive int.

    Examples
    --------
    >>> from trovel import Pixels, Rectangle
    >>> g = Pixels.grid((1, 3), origin=(-1.0, 0.0))
    >>> render(Rectangle((0, 0), 0.0, 1.0, 2.0), g).tolist()
    [[0.5, 1.0, 0.5]]
    """
    from .coverage import Pixels

    shape = _shape("shape", shape)
    if not isinstance(pixels, Pixels):
        raise TypeError(f"pixels must be trovel.Pixels, got {type(pixels).__name__}")
    nthreads = _threads(threads)
    affine = getattr(pixels, "affine", None)
    if affine is not None:
        ny, nx = pixels.shape
        return render_grid_tile(shape, affine, (0, ny), (0, nx), out=out, threads=nthreads)
    desc = _native_description(shape)
    result_shape = chk.plain_shape(pixels.shape)
    qx, qy, j00, j01, j10, j11 = chk.native_arrays(pixels.footprints(), math.prod(result_shape))
    res = (chk.new_array("the image", result_shape, np.float64, given_by="pixels") if out is None
           else chk.output("out", out, result_shape, np.float64))
    chk.disjoint("out", res, qx, qy, j00, j01, j10, j11)
    _kernels.footprints(*desc, qx, qy, j00, j01, j10, j11, res.reshape(-1), nthreads)
    return res
