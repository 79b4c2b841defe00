"""Grid points inside a polygon."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk


def polygon_mask(polygon: npt.ArrayLike, grid_x: npt.ArrayLike, grid_y: npt.ArrayLike, *,
                 out: np.ndarray | None = None) -> np.ndarray:
    """Which points of a grid lie inside a polygon (even-odd rule).

    Row ``i`` and column ``k`` of the result answer for the point
    ``(grid_x[k], grid_y[i])``.  The polygon is closed implicitly (its first
    vertex may also be repeated as its last).  A point exactly on a crossing
    of its row with the polygon counts to the side before the crossing, so of
    a square with corners (0, 0) and (2, 2) the points with ``0 < x <= 2``
    and ``0 < y <= 2`` are inside.  Every crossing below a point counts,
    however many fall between two neighbouring grid columns, so the mask is
    exactly the even-odd interior.

    Parameters
    ----------
    polygon : array_like, shape (n, 2)
    grid_x : array_like, shape (nx,), ascending (repeats allowed); a
        ``ValueError`` otherwise
    grid_y : array_like, shape (ny,), any order
    out : ndarray of bool, shape (ny, nx), optional
        Must not share memory with the inputs.

    Returns
    -------
    ndarray of bool, shape (ny, nx)

    Examples
    --------
    >>> polygon_mask([(0, 0), (2, 0), (2, 2), (0, 2)], [0, 1, 2, 3], [0, 1, 2, 3]).astype(int)
    array([[0, 0, 0, 0],
           [0, 1, 1, 0],
           [0, 1, 1, 0],
           [0, 0, 0, 0]])
    """
    raw = [chk.array(name, v) for name, v in (("polygon", polygon), ("grid_x", grid_x),
                                               ("grid_y", grid_y))]
    poly, gx, gy = (chk.base(name, a) for name, a in zip(("polygon", "grid_x", "grid_y"), raw))
    if poly.ndim != 2 or poly.shape[1] != 2:
        raise ValueError(f"polygon must have shape (n, 2), got {poly.shape}")
    for name, g in (("grid_x", gx), ("grid_y", gy)):
        if g.ndim != 1:
            raise ValueError(f"{name} must be a 1-d array of positions, got shape {g.shape}")
    gx, gy = chk.contiguous("grid_x", gx), chk.contiguous("grid_y", gy)
    if gx.size > 1 and not (gx[1:] >= gx[:-1]).all():
        raise ValueError("grid_x must be ascending")
    shape = (gy.shape[0], gx.shape[0])
    mask = (chk.new_array("the mask", shape, np.bool_) if out is None
            else chk.output("out", out, shape, np.bool_))
    chk.disjoint("out", mask, poly, gx, gy)
    xs = np.array(poly[:, 0], dtype=np.float64)
    ys = np.array(poly[:, 1], dtype=np.float64)
    _trovel.poly_grid_contains(chk.address(xs), chk.address(ys), poly.shape[0], chk.address(gx),
                               chk.address(gy), chk.address(mask), shape[1], shape[0])
    return mask if out is None else out
