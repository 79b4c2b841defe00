"""Exact rendering of aperture shapes onto pixel sets.

For each pixel, :func:`render` gives the fraction of its footprint's area
inside the shape, with circles and ellipses as true arcs and exact wherever several
boundaries cross one footprint (within 1e-12 of the exact fraction).
"""
from __future__ import annotations

import numpy as np

from . import _checks as chk
from . import _kernels
from ._checks import Affine, FloatArray
from .grid import Pixels
from .shapes import Shape


def render_grid_tile(shape: Shape, affine: Affine, rows: tuple[int, int], cols: tuple[int, int],
                     *, threads: int = 1) -> FloatArray:
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
    native = chk.instance("shape", shape, Shape).native()
    n = chk.threads(threads)
    window, tile = chk.tile("affine", affine, rows, cols)
    res = chk.new_array("the tile", tile, np.float64, zero=True, given_by="rows and cols")
    _kernels.render(native, window, res, n, True)
    return res


def render(shape: Shape, pixels: Pixels, *, out: FloatArray | None = None,
           threads: int = 1) -> FloatArray:
    """Exact fraction of each pixel's footprint inside ``shape``.

    Circles and ellipses are true arcs, and the fraction is exact wherever several
    boundaries cross one footprint, up to rounding (within 1e-12).  Blocks
    of pixels that no boundary crosses are filled without per-pixel work.

    Parameters
    ----------
    shape : Shape
        A `Disc`, `Ellipse`, `Polygon` or `Rectangle`, or any combination
        of them by ``|``, ``&``, ``-`` and ``^``, under any affine map.
    pixels : Pixels
        A lazy affine grid (`Pixels.grid`), per-pixel footprints
        (`Pixels.from_arrays`) or corner footprints (`Pixels.from_corners`),
        whose quadrilaterals are measured exactly, convex or not.
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
    native = chk.instance("shape", shape, Shape).native()
    n = chk.threads(threads)
    pix = chk.pixel_set(pixels)
    res, view = pix.result(out)
    _kernels.render(native, pix.native, view, n, out is None)
    return res if out is None else out
