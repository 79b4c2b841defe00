"""Exact overlap of triangles with the pixels of an image."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk


def overlap_area(triangle: npt.ArrayLike, pixel: tuple[int, int]) -> float:
    """Exact area of a triangle inside one pixel.

    Pixel ``(i, j)`` is the closed unit square centred on the point ``(i, j)``;
    ``i`` runs along x and ``j`` along y.

    Parameters
    ----------
    triangle : array_like, shape (3, 2) or (6,)
        The three vertices, in either orientation.
    pixel : (int, int)
        The pixel's indices ``(i, j)``.

    Returns
    -------
    float
        The overlap area; a whole pixel is 1.0.

    Examples
    --------
    >>> overlap_area([(0, 0), (2, 0), (0, 2)], (1, 1))
    0.5
    """
    tri = chk.float_array("triangle", triangle)
    if tri.shape not in ((3, 2), (6,)):
        raise ValueError(f"triangle must have shape (3, 2) or (6,), got {tri.shape}")
    if len(pixel) != 2:
        raise ValueError("pixel must be a pair of integers (i, j)")
    i = chk.int32("pixel[0]", pixel[0])
    j = chk.int32("pixel[1]", pixel[1])
    return _trovel.clip_area(chk.address(tri), i, j)


def deposit_triangles(
    triangles: npt.ArrayLike,
    values: npt.ArrayLike,
    divisors: npt.ArrayLike = 1.0,
    *,
    size: int | None = None,
    out: np.ndarray | None = None,
) -> np.ndarray:
    """Add triangles to a square image by their exact overlap with each pixel.

    Every pixel that triangle ``t`` overlaps gains ``area * values[t] /
    divisors[t]``.  Triangles whose divisor is zero or negative are skipped.
    With a triangle's own area as its divisor its value is spread evenly over
    it, so the image gains the value in total (for triangles inside the image).

    The image has ``size`` rows (along y) and columns (along x).  Pixel
    ``(k, j)``, the unit square centred on ``(k, j)``, is element
    ``[c + j, c + k]`` with ``c = (size - 1) // 2``, so the origin lies at the
    centre of an odd-sized image.  Only pixels with ``-c <= k, j <= c`` are
    written: for an even size the last row and column stay untouched.

    Parameters
    ----------
    triangles : array_like, shape (n, 3, 2) or (n, 6)
        Vertices in pixel units.
    values, divisors : float or array_like, shape (n,)
        Each triangle's value and the divisor of its value.
    size : int, optional
        The image's side; required unless ``out`` is given.
    out : ndarray of float64, shape (size, size), optional
        An image to add to (it is not cleared).  A new zero image otherwise.

    Returns
    -------
    ndarray of float64, shape (size, size)
        The image (``out`` when given).

    Examples
    --------
    >>> img = deposit_triangles([[(-0.5, -0.5), (0.5, -0.5), (-0.5, 0.5)]], 2.0, size=3)
    >>> float(img[1, 1])
    1.0
    """
    tris, _ = chk.triangles("triangles", triangles)
    n = tris.shape[0]
    vals = chk.per_item("values", values, n)
    divs = chk.per_item("divisors", divisors, n)
    if out is None:
        if size is None:
            raise TypeError("give the image size, or an image as out")
        size = chk.int32("size", size, minimum=1)
        out = np.zeros((size, size), dtype=np.float64)
    else:
        if not isinstance(out, np.ndarray) or out.ndim != 2 or out.shape[0] != out.shape[1]:
            raise ValueError("out must be a square 2-d image")
        side = out.shape[0] if size is None else chk.int32("size", size, minimum=1)
        chk.int32("image side", out.shape[0], minimum=1)
        chk.output("out", out, (side, side), np.float64)
        chk.disjoint("out", out, tris, vals, divs)
        size = side
    _trovel.accumulate_triangles(chk.address(tris), chk.address(vals), chk.address(divs),
                                 chk.address(out), n, size)
    return out
